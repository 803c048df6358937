// The live pipeline under load: the sim scene at 1920x1080 with moving content, captured at
// 60 fps and 6 Mbit/s (by default for 60 seconds), encoded at the source size. Reports frames
// handed over, encoder drops, the back-off tier reached, process CPU time per second of
// capture, peak resident memory and the bytes in the segment and audio rings at the end. The
// simulated desktop and microphone play tones and are recorded too, unless "video" is given.
//
// Usage: pipeline_bench [seconds] [fps] [maxHeight] [video]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const unsigned fps = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 60;
  const unsigned maxHeight = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 0;
  const bool videoOnly = argc > 4 && std::string(argv[4]) == "video";
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
