// The live pipeline under load: the sim scene at 1920x1080 with moving content, captured at
// 60 fps and 6 Mbit/s (by default for 60 seconds), encoded at the source size. Reports frames
// handed over, encoder drops, the back-off tier reached, process CPU time per second of
// capture, peak resident memory and the bytes in the segment and audio rings at the end. The
// simulated desktop and microphone play tones and are recorded too, unless "video" is given.
//
// Usage: pipeline_bench [--trace=FILE] [seconds] [fps] [maxHeight] [video]
//
// --trace=FILE samples the process while it captures (2 ms apart, ~5 ms per sample with the
// reads) and writes one line per sample: milliseconds since the start, resident memory, its
// anonymous and huge-page parts (from /proc/self/smaps_rollup), the high-water mark, the thread
// count, whether a spare encoder is waiting or being built, and the segments and bytes in the
// ring. Transitions of these give the encoder events: a spare taken (rotation), a spare built, a
// segment finalized into the ring.
// At the end it lists every mapping that holds 1 MB or more ("#" lines).
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "capture/sim_capture.h"
#include "session_impl.h"
#include "sim_platform.h"
#include "tallowmarch_session.h"

using namespace tallowmarch;
using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// CPU time of the scene itself (rendering one 1080p frame), so that it can be told apart from
// the engine's share.
double SceneRenderMs(int width, int height) {
  std::vector<std::uint32_t> pixels(static_cast<size_t>(width) * height);
  const double start = CpuSeconds();
  const int frames = 30;
  for (int f = 0; f < frames; ++f)
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        pixels[static_cast<size_t>(y) * width + x] = platform::SimCapture::ScenePixel(
            platform::SimScenePattern::MovingGradient, 0, static_cast<std::uint64_t>(f), x, y);
  volatile std::uint32_t sink = pixels[pixels.size() / 2];
  (void)sink;
  return (CpuSeconds() - start) * 1000.0 / frames;
}

struct MemorySample {
  long rssKb = 0, anonKb = 0, hugeKb = 0, hwmKb = 0, threads = 0;
};

long FieldKb(const std::string& text, const char* name) {
  const std::size_t at = text.find(name);
  return at == std::string::npos ? 0 : std::atol(text.c_str() + at + std::strlen(name));
}

MemorySample ReadMemory() {
  MemorySample m;
  std::ifstream rollup("/proc/self/smaps_rollup");
  const std::string r((std::istreambuf_iterator<char>(rollup)), std::istreambuf_iterator<char>());
  m.rssKb = FieldKb(r, "\nRss:");
  m.anonKb = FieldKb(r, "\nAnonymous:");
  m.hugeKb = FieldKb(r, "\nAnonHugePages:");
  std::ifstream status("/proc/self/status");
  const std::string t((std::istreambuf_iterator<char>(status)), std::istreambuf_iterator<char>());
  m.hwmKb = FieldKb(t, "\nVmHWM:");
  m.threads = FieldKb(t, "\nThreads:");
  return m;
}

// Samples memory and the pipeline's encoder state until stop is set, writing one line each.
void TraceLoop(TallowmarchSession::Impl& s, const std::string& path, Clock::time_point start,
               const std::atomic<bool>& stop) {
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) return;
  std::fprintf(out, "ms rss_kb anon_kb huge_kb hwm_kb threads spare building ring_segs ring_kb\n");
  while (!stop.load()) {
    const MemorySample m = ReadMemory();
    bool spare = false, building = false;
    {
      std::lock_guard lock(s.spareMutex);
      spare = static_cast<bool>(s.spareEncoder);
    }
    {
      std::lock_guard lock(s.spareBuildMutex);
      building = s.spareBuilding;
    }
    const auto segments = s.videoRing.Snapshot({INT64_MIN / 2, INT64_MAX / 2});
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::fprintf(out, "%.1f %ld %ld %ld %ld %ld %d %d %zu %zu\n", ms, m.rssKb, m.anonKb, m.hugeKb,
                 m.hwmKb, m.threads, spare ? 1 : 0, building ? 1 : 0, segments.size(),
                 s.videoRing.TotalBytes() / 1024);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  // Where the resident memory sits at the end: every mapping holding 1 MB or more.
  std::ifstream smaps("/proc/self/smaps");
  std::string line, range, name;
  long rss = 0;
  auto flush = [&] {
    if (rss >= 1024) std::fprintf(out, "# %s rss_kb %ld %s\n", range.c_str(), rss, name.c_str());
  };
  while (std::getline(smaps, line)) {
    if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) &&
        line.find('-') < line.find(' ')) {
      flush();
      range = line.substr(0, line.find(' '));
      const std::size_t path = line.find_first_of("/[");
      name = path == std::string::npos ? "" : line.substr(path);
      rss = 0;
    } else if (line.rfind("Rss:", 0) == 0) {
      rss = std::atol(line.c_str() + 4);
    } else if (line.rfind("AnonHugePages:", 0) == 0) {
      const long huge = std::atol(line.c_str() + 14);
      if (huge > 0) name += " huge_kb " + std::to_string(huge);
    }
  }
  flush();
  std::fclose(out);
}

}  // namespace

int main(int argc, char** argv) {
  std::string tracePath;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--trace=", 0) == 0)
      tracePath = arg.substr(8);
    else
      args.push_back(arg);
  }
  const int seconds = args.size() > 0 ? std::atoi(args[0].c_str()) : 60;
  const unsigned fps = args.size() > 1 ? static_cast<unsigned>(std::atoi(args[1].c_str())) : 60;
  const unsigned maxHeight =
      args.size() > 2 ? static_cast<unsigned>(std::atoi(args[2].c_str())) : 0;
  const bool videoOnly = args.size() > 3 && args[3] == "video";
  av_log_set_level(AV_LOG_FATAL);

  const HWND window = reinterpret_cast<HWND>(std::uintptr_t{0x1001});
  sim::ResetAll();
  sim::Capture().SetWindows(
      {{window, reinterpret_cast<HMONITOR>(std::uintptr_t{1}), {1920, 1080}, true}});
  sim::Capture().SetSceneRate(fps);
  sim::Capture().SetSceneMoving(true);

  std::mutex logMutex;  // guards lines
  std::vector<std::wstring> lines;
  TallowmarchSession session;
  session.SetLogCallback([&](const std::wstring& line) {
    std::lock_guard lock(logMutex);
    lines.push_back(line);
  });
  auto& s = session.State();
  if (videoOnly) {
    AudioSettings muted;
    muted.desktopMuted = muted.micMuted = true;
    session.SetAudioSettings(muted);
  }

  const double renderMs = SceneRenderMs(1920, 1080);
  const double cpuStart = CpuSeconds();
  const auto wallStart = Clock::now();
  if (!session.Start(window, false, maxHeight, fps, 6000000, 0)) {
    std::fprintf(stderr, "start failed\n");
    return 1;
  }
  std::atomic<bool> traceStop{false};
  std::thread tracer;
  if (!tracePath.empty())
    tracer = std::thread(TraceLoop, std::ref(s), tracePath, wallStart, std::cref(traceStop));
  // Drops and attempts are reset by the back-off thread every 2 s: sample them just before.
  std::uint64_t drops = 0, attempts = 0;
  int maxTier = 0;
  std::uint64_t lastDrops = 0, lastAttempts = 0;
  const auto end = wallStart + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::uint64_t d = s.encodeDrops.load(), a = s.encodeAttempts.load();
    if (a < lastAttempts) {  // a new period began: count the previous one
      drops += lastDrops;
      attempts += lastAttempts;
    }
    lastDrops = d;
    lastAttempts = a;
    maxTier = std::max(maxTier, static_cast<int>(s.backoffTier.load()));
  }
  drops += lastDrops;
  attempts += lastAttempts;
  const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
  const double cpu = CpuSeconds() - cpuStart;
  const std::uint64_t submitted = s.framesSubmitted.load();
  const std::uint64_t coalesced = s.framesCoalesced.load();
  const std::size_t ringBytes = s.videoRing.TotalBytes();
  const std::size_t audioBytes = s.desktopRing.TotalBytes() + s.micRing.TotalBytes();
  const auto segments = s.videoRing.Snapshot({INT64_MIN / 2, INT64_MAX / 2});
  std::uint64_t segmentFrames = 0;
  for (const auto& segment : segments) segmentFrames += segment.frameCount;
  traceStop.store(true);
  if (tracer.joinable()) tracer.join();
  session.Stop();

  int stallLines = 0, rotationLines = 0;
  for (const auto& line : lines) {
    if (line.rfind(L"[DIAG-FFMPEG-MAP-STALL-DROP]", 0) == 0) ++stallLines;
    if (line.rfind(L"[ROTATION-TIMING]", 0) == 0) ++rotationLines;
  }
  std::printf("capture: 1920x1080 scene at %u fps, encoded at %ux%u, 6 Mbit/s, %.1f s\n", fps,
              s.encodeWidth, s.encodeHeight, wall);
  std::printf("frames delivered by the scene: %llu\n",
              static_cast<unsigned long long>(sim::Capture().FramesDelivered()));
  std::printf("frames handed over: %llu (coalesced %llu)\n",
              static_cast<unsigned long long>(submitted),
              static_cast<unsigned long long>(coalesced));
  std::printf("encoder attempts: %llu, drops: %llu, stall-drop lines: %d\n",
              static_cast<unsigned long long>(attempts), static_cast<unsigned long long>(drops),
              stallLines);
  std::printf("back-off tier reached: %d\n", maxTier);
  std::printf("segments in ring: %zu holding %llu frames, %.1f MB\n", segments.size(),
              static_cast<unsigned long long>(segmentFrames), ringBytes / 1048576.0);
  std::printf("audio rings: %.1f MB (%s)\n", audioBytes / 1048576.0,
              videoOnly ? "both sources muted" : "desktop and microphone");
  std::printf("rotation-timing lines: %d\n", rotationLines);
  std::printf("process CPU: %.2f s per second of capture (scene rendering alone ~%.2f)\n",
              cpu / wall, renderMs * fps / 1000.0);
  std::printf("peak resident memory: %.1f MB\n", PeakRssKb() / 1024.0);
  return 0;
}
