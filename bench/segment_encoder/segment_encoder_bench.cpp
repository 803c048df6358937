// Sustained throughput of one FfmpegSegmentEncoder on 1920x1080 BGRA frames of moving,
// desktop-like content at 60 fps timestamps and 6 Mbit/s, at encode sizes 1920x1080 and
// 1280x720; CPU time per frame, split into the BGRA-to-NV12 conversion and the rest (mostly
// encoding); and the same frames through the ffmpeg command-line tool (rawvideo BGRA in,
// libx264 with the same options, NV12) for comparison.
//
// Usage: segment_encoder_bench [frames=600] [distinct=60] [repeats=3] [ffmpeg=ffmpeg]
// Our runs and the tool's alternate, `repeats` times each; medians are reported, so that a
// burst of other work on a shared machine does not land on one side only.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gpu/sim_gpu.h"
#include "gpu/video_converter.h"
#include "gpu_encode_context.h"
#include "gpu_setup.h"
#include "segment_encoder.h"
#include "sim_platform.h"

namespace {

using namespace tallowmarch;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSourceWidth = 1920, kSourceHeight = 1080;
constexpr std::uint32_t kFps = 60, kBitrate = 6000000;

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// A desktop-like canvas larger than the frame: gradient background, "windows" with rows of
// glyph-like marks, a noisy photo-like area. Frames are crops of it that scroll, plus a box that
// moves across: every frame differs from the last, as a scrolled page or a played video does.
std::vector<std::vector<std::uint8_t>> MakeFrames(int count) {
  const std::uint32_t cw = 2560, ch = 1440;
  std::vector<std::uint8_t> canvas(std::size_t{cw} * ch * 4);
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 24;
  };
  for (std::uint32_t y = 0; y < ch; ++y) {
    for (std::uint32_t x = 0; x < cw; ++x) {
      std::uint8_t* p = &canvas[(std::size_t{y} * cw + x) * 4];
      p[0] = static_cast<std::uint8_t>(60 + x * 120 / cw);
      p[1] = static_cast<std::uint8_t>(40 + y * 100 / ch);
      p[2] = static_cast<std::uint8_t>(90 + (x + y) * 60 / (cw + ch));
      p[3] = 255;
    }
  }
  for (int w = 0; w < 14; ++w) {  // windows with text
    const std::uint32_t x0 = (w * 331) % (cw - 700), y0 = (w * 197) % (ch - 500);
    for (std::uint32_t y = y0; y < y0 + 480; ++y) {
      for (std::uint32_t x = x0; x < x0 + 680; ++x) {
        std::uint8_t* p = &canvas[(std::size_t{y} * cw + x) * 4];
        const bool titleBar = y < y0 + 28;
        const bool textRow = ((y - y0) % 18) < 11 && ((x - x0) % 9) < 6 && next() > 90;
        const std::uint8_t v = titleBar ? 70 : (textRow ? 20 : 240);
        p[0] = p[1] = p[2] = v;
        if (titleBar) p[0] = 200;
      }
    }
  }
  for (std::uint32_t y = 900; y < 1400; ++y) {  // photo-like noise
    for (std::uint32_t x = 1700; x < 2500; ++x) {
      std::uint8_t* p = &canvas[(std::size_t{y} * cw + x) * 4];
      p[0] = static_cast<std::uint8_t>(next());
      p[1] = static_cast<std::uint8_t>((p[0] + x) & 0xFF);
      p[2] = static_cast<std::uint8_t>((p[0] + y) & 0xFF);
    }
  }
  std::vector<std::vector<std::uint8_t>> frames(count);
  for (int k = 0; k < count; ++k) {
    auto& f = frames[k];
    f.resize(std::size_t{kSourceWidth} * kSourceHeight * 4);
    const std::uint32_t ox = (k * 8) % (cw - kSourceWidth), oy = (k * 4) % (ch - kSourceHeight);
    for (std::uint32_t y = 0; y < kSourceHeight; ++y) {
      std::memcpy(&f[std::size_t{y} * kSourceWidth * 4],
                  &canvas[(std::size_t{y + oy} * cw + ox) * 4], kSourceWidth * 4);
    }
    const std::uint32_t bx = (k * 23) % (kSourceWidth - 200), by = (k * 11) % (kSourceHeight - 200);
    for (std::uint32_t y = by; y < by + 200; ++y) {
      for (std::uint32_t x = bx; x < bx + 200; ++x) {
        std::uint8_t* p = &f[(std::size_t{y} * kSourceWidth + x) * 4];
        p[0] = 30;
        p[1] = static_cast<std::uint8_t>(200 + (x - bx) / 4);
        p[2] = 250;
      }
    }
  }
  return frames;
}

struct Result {
  double fps = 0, cpuMsPerFrame = 0;
};

// The conversion alone, as the video processor runs it.
Result MeasureConversion(const std::vector<std::vector<std::uint8_t>>& frames, int count,
                         std::uint32_t w, std::uint32_t h) {
  platform::VideoConverter converter;
  const std::uint32_t pitch = (w + 255) / 256 * 256;
  std::vector<std::uint8_t> out(std::size_t{pitch} * (h + h / 2));
  platform::VideoColorSpace in, outSpace;
  outSpace.ycbcrMatrix = 1;
  outSpace.nominalRange = platform::kNominalRange16_235;
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  for (int i = 0; i < count; ++i) {
    converter.Convert(
        {frames[i % frames.size()].data(), kSourceWidth, kSourceHeight, kSourceWidth * 4},
        {out.data(), w, h, pitch}, in, outSpace);
  }
  const double wall = Seconds(t0, Clock::now());
  return {count / wall, (CpuSeconds(RUSAGE_SELF) - cpu0) * 1000.0 / count};
}

// The whole encoder as the encoder thread drives it, with the frame-arrived handler's copy into
// the shared capture texture before each frame.
Result MeasureEncoder(const std::vector<std::vector<std::uint8_t>>& frames, int count,
                      std::uint32_t w, std::uint32_t h, std::size_t& bytesOut) {
  sim::ResetAll();
  auto device = CreateD3D11Device(nullptr);
  GpuEncodeContext context(device, kSourceWidth, kSourceHeight, w, h, {});
  std::vector<platform::TexturePtr> sources;
  for (const auto& f : frames) {
    platform::TextureDesc desc;
    desc.width = kSourceWidth;
    desc.height = kSourceHeight;
    desc.format = platform::kFormatB8G8R8A8Unorm;
    platform::SubresourceData data{f.data(), kSourceWidth * 4};
    platform::TexturePtr t;
    device->CreateTexture2D(desc, &data, t);
    sources.push_back(t);
  }
  platform::TextureDesc sharedDesc;
  sharedDesc.width = kSourceWidth;
  sharedDesc.height = kSourceHeight;
  sharedDesc.format = platform::kFormatB8G8R8A8Unorm;
  platform::TexturePtr shared;
  device->CreateTexture2D(sharedDesc, nullptr, shared);

  FfmpegSegmentEncoder encoder(&context, w, h, kFps, kBitrate);
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  for (int i = 0; i < count; ++i) {
    context.immediateContext->CopyResource(shared, sources[i % sources.size()]);
    encoder.EncodeFrame(shared, static_cast<std::int64_t>(i) * 10000000 / kFps, nullptr);
  }
  encoder.DrainPending();
  const VideoSegment segment = encoder.Finish();
  const double wall = Seconds(t0, Clock::now());
  bytesOut = segment.bytes->size();
  if (segment.frameCount != static_cast<std::uint32_t>(count)) {
    std::fprintf(stderr, "warning: %u of %d frames encoded\n", segment.frameCount, count);
  }
  return {count / wall, (CpuSeconds(RUSAGE_SELF) - cpu0) * 1000.0 / count};
}

// The same frames through the ffmpeg tool, read from a raw file that it loops over.
Result MeasureCli(const std::string& ffmpeg, const std::string& rawPath, int distinct, int count,
                  std::uint32_t w, std::uint32_t h) {
  const int loops = (count + distinct - 1) / distinct - 1;
  char scale[256];
  std::snprintf(scale, sizeof scale,
                "scale=%u:%u:flags=bilinear:out_color_matrix=bt709:out_range=tv,format=nv12", w, h);
  const std::string loopsText = std::to_string(loops);
  const std::string framesText = std::to_string(count);
  const std::string sizeText = std::to_string(kSourceWidth) + "x" + std::to_string(kSourceHeight);
  std::vector<std::string> args = {ffmpeg,        "-hide_banner",
                                   "-loglevel",   "error",
                                   "-y",          "-stream_loop",
                                   loopsText,     "-f",
                                   "rawvideo",    "-pix_fmt",
                                   "bgra",        "-s",
                                   sizeText,      "-r",
                                   "60",          "-i",
                                   rawPath,       "-frames:v",
                                   framesText,    "-vf",
                                   scale,         "-c:v",
                                   "libx264",     "-preset",
                                   "veryfast",    "-tune",
                                   "zerolatency", "-b:v",
                                   "6000000",     "-maxrate",
                                   "12000000",    "-bufsize",
                                   "24000000",    "-g",
                                   "120",         "-bf",
                                   "0",           "-color_primaries",
                                   "bt709",       "-color_trc",
                                   "bt709",       "-colorspace",
                                   "bt709",       "-color_range",
                                   "tv",          "-f",
                                   "mp4",         "/dev/shm/segment_encoder_bench_cli.mp4"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
  const auto t0 = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const double wall = Seconds(t0, Clock::now());
  std::remove("/dev/shm/segment_encoder_bench_cli.mp4");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "ffmpeg failed (status %d)\n", status);
    return {};
  }
  return {count / wall, (CpuSeconds(RUSAGE_CHILDREN) - cpu0) * 1000.0 / count};
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 600;
  const int distinct = argc > 2 ? std::atoi(argv[2]) : 60;
  const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  const std::string ffmpeg = argc > 4 ? argv[4] : "ffmpeg";
  av_log_set_level(AV_LOG_ERROR);

  std::printf("generating %d distinct 1920x1080 frames...\n", distinct);
  const auto frames = MakeFrames(distinct);
  const std::string rawPath = "/dev/shm/segment_encoder_bench.bgra";
  {
    std::ofstream raw(rawPath, std::ios::binary);
    for (const auto& f : frames) raw.write(reinterpret_cast<const char*>(f.data()), f.size());
  }

  std::printf(
      "%d frames per run, 60 fps timestamps, 6 Mbit/s, libx264 veryfast zerolatency, "
      "median of %d alternating runs\n",
      count, repeats);
  std::printf("%-10s %16s %10s %11s %9s %16s %10s %7s\n", "encode", "ours fps (range)", "cpu ms/f",
              "convert ms", "rest ms", "cli fps (range)", "cli cpu ms", "ratio");
  auto median = [](std::vector<Result> runs, double Result::*field) {
    std::sort(runs.begin(), runs.end(),
              [field](const Result& a, const Result& b) { return a.*field < b.*field; });
    return runs[runs.size() / 2].*field;
  };
  auto range = [](const std::vector<Result>& runs) {
    double lo = runs[0].fps, hi = runs[0].fps;
    for (const Result& r : runs) {
      lo = std::min(lo, r.fps);
      hi = std::max(hi, r.fps);
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.0f-%.0f", lo, hi);
    return std::string(text);
  };
  for (auto [w, h] : {std::pair{1920u, 1080u}, std::pair{1280u, 720u}}) {
    const Result conversion = MeasureConversion(frames, count, w, h);
    std::vector<Result> ours, cli;
    std::size_t bytes = 0;
    for (int r = 0; r < repeats; ++r) {
      ours.push_back(MeasureEncoder(frames, count, w, h, bytes));
      cli.push_back(MeasureCli(ffmpeg, rawPath, distinct, count, w, h));
    }
    const double oursFps = median(ours, &Result::fps), cliFps = median(cli, &Result::fps);
    const double oursCpu = median(ours, &Result::cpuMsPerFrame);
    std::printf("%4ux%-5u %6.1f (%7s) %10.2f %11.2f %9.2f %6.1f (%7s) %10.2f %7.2f  (%.1f MB)\n", w,
                h, oursFps, range(ours).c_str(), oursCpu, conversion.cpuMsPerFrame,
                oursCpu - conversion.cpuMsPerFrame, cliFps, range(cli).c_str(),
                median(cli, &Result::cpuMsPerFrame), cliFps > 0 ? oursFps / cliFps : 0.0,
                bytes / 1e6);
    std::fflush(stdout);
  }
  if (std::getenv("SEGMENT_ENCODER_BENCH_KEEP_RAW") == nullptr) std::remove(rawPath.c_str());
  return 0;
}
