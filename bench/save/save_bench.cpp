// Clip-save benchmark: 60 seconds of 1080p30 at 6 Mbit/s buffered as 30 two-second MP4
// segments (libx264, moving content) with both sound sources (desktop 48 kHz float stereo,
// microphone 44.1 kHz 16-bit mono), then one save into a tmpfs folder. Reports the whole
// save, its remux part (a save of the same segments without sound), its audio part (resample
// and mix from the stage lines, AAC over the same mix alone) and the peak extra memory while
// it runs; then times the ffmpeg tool remuxing the same 30 files with the concat demuxer.
//
// Usage: save_bench [--folder /dev/shm]

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "clip_save.h"
#include "common/wide_text.h"
#include "ffmpeg_handles.h"
#include "platform.h"
#include "save_audio.h"
#include "save_video.h"
#include "sim_platform.h"
#include "system/sim_system.h"

namespace tmc = tallowmarch;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFps = 30, kSegments = 30, kSegmentFrames = 60;
constexpr std::int64_t kSecond = 10'000'000;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Moving diagonal bands with texture, so that 6 Mbit/s is really spent.
void Paint(AVFrame* frame, int index) {
  for (int y = 0; y < kHeight; ++y) {
    std::uint8_t* row = frame->data[0] + y * frame->linesize[0];
    for (int x = 0; x < kWidth; ++x) {
      row[x] = static_cast<std::uint8_t>(((x + 3 * index) ^ (y + index)) + ((x * y) >> 9));
    }
  }
  for (int y = 0; y < kHeight / 2; ++y) {
    std::uint8_t* u = frame->data[1] + y * frame->linesize[1];
    std::uint8_t* v = frame->data[2] + y * frame->linesize[2];
    for (int x = 0; x < kWidth / 2; ++x) {
      u[x] = static_cast<std::uint8_t>(128 + 40 * std::sin((x + index * 4) * 0.02));
      v[x] = static_cast<std::uint8_t>(128 + 40 * std::cos((y - index * 2) * 0.03));
    }
  }
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One segment as the live encoder makes it: libx264, GOP 2 s, no B-frames, 6 Mbit/s.
std::vector<std::uint8_t> EncodeSegment(int segment, const std::string& path) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  tmc::ffmpeg::CodecContext ctx(avcodec_alloc_context3(codec));
  ctx->width = kWidth;
  ctx->height = kHeight;
  ctx->time_base = {1, kFps};
  ctx->framerate = {kFps, 1};
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->gop_size = 2 * kFps;
  ctx->max_b_frames = 0;
  ctx->bit_rate = 6000000;
  ctx->rc_max_rate = 12000000;
  ctx->rc_buffer_size = 24000000;
  ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "preset", "veryfast", 0);
  av_dict_set(&options, "tune", "zerolatency", 0);
  avcodec_open2(ctx.get(), codec, &options);
  av_dict_free(&options);

  AVFormatContext* raw = nullptr;
  avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str());
  tmc::ffmpeg::OutputFormat out(raw);
  AVStream* stream = avformat_new_stream(out.get(), nullptr);
  avcodec_parameters_from_context(stream->codecpar, ctx.get());
  stream->time_base = ctx->time_base;
  avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE);
  if (avformat_write_header(out.get(), nullptr) < 0) std::abort();
  tmc::ffmpeg::Frame frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = kWidth;
  frame->height = kHeight;
  av_frame_get_buffer(frame.get(), 0);
  tmc::ffmpeg::Packet packet(av_packet_alloc());
  auto drain = [&] {
    while (avcodec_receive_packet(ctx.get(), packet.get()) == 0) {
      packet->duration = 1;
      av_packet_rescale_ts(packet.get(), ctx->time_base, stream->time_base);
      packet->stream_index = 0;
      av_interleaved_write_frame(out.get(), packet.get());
    }
  };
  for (int i = 0; i < kSegmentFrames; ++i) {
    av_frame_make_writable(frame.get());
    Paint(frame.get(), segment * kSegmentFrames + i);
    frame->pts = i;
    avcodec_send_frame(ctx.get(), frame.get());
    drain();
  }
  avcodec_send_frame(ctx.get(), nullptr);
  drain();
  av_write_trailer(out.get());
  avio_closep(&out->pb);
  return ReadFile(path);
}

std::vector<std::uint8_t> WaveFormat(std::uint16_t tag, int channels, int rate, int bits) {
  WAVEFORMATEX f{};
  f.wFormatTag = tag;
  f.nChannels = static_cast<std::uint16_t>(channels);
  f.nSamplesPerSec = static_cast<std::uint32_t>(rate);
  f.wBitsPerSample = static_cast<std::uint16_t>(bits);
  f.nBlockAlign = static_cast<std::uint16_t>(channels * bits / 8);
  f.nAvgBytesPerSec = f.nBlockAlign * f.nSamplesPerSec;
  std::vector<std::uint8_t> bytes(sizeof f);
  std::memcpy(bytes.data(), &f, sizeof f);
  return bytes;
}

// 2-second chunks of a tone in a float-stereo or s16-mono device format.
void FillAudio(tmc::AudioRing& ring, const tmc::ClipWindow& window, std::int64_t base,
               bool floatStereo, double frequency) {
  const int rate = floatStereo ? 48000 : 44100;
  ring.SetMixFormat(floatStereo ? WaveFormat(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32)
                                : WaveFormat(WAVE_FORMAT_PCM, 1, 44100, 16));
  for (int c = 0; c < kSegments; ++c) {
    auto bytes = std::make_shared<std::vector<std::uint8_t>>();
    for (int i = 0; i < 2 * rate; ++i) {
      const double t = static_cast<double>(c * 2 * rate + i) / rate;
      const double value = 0.3 * std::sin(2 * std::numbers::pi * frequency * t);
      if (floatStereo) {
        const float f = static_cast<float>(value);
        for (int ch = 0; ch < 2; ++ch) {
          bytes->insert(bytes->end(), reinterpret_cast<const std::uint8_t*>(&f),
                        reinterpret_cast<const std::uint8_t*>(&f) + 4);
        }
      } else {
        const auto s = static_cast<std::int16_t>(value * 32767);
        bytes->insert(bytes->end(), reinterpret_cast<const std::uint8_t*>(&s),
                      reinterpret_cast<const std::uint8_t*>(&s) + 2);
      }
    }
    ring.PushAndTrim(tmc::AudioChunk{bytes, base + c * 2 * kSecond, 2.0}, window);
  }
}

struct SaveRun {
  bool ok = false;
  double totalMs = 0, mixMs = 0, loopMs = 0;
  double peakPrivateMB = 0, peakRssMB = 0;  // above the level before the save
  std::wstring path;
};

// One save, with stage times from the log and memory sampled every 2 ms.
SaveRun RunSave(tmc::TallowmarchSession::Impl& state, const std::string& folder) {
  struct Stamp {
    std::wstring stage;
    Clock::time_point at;
  };
  std::vector<Stamp> stamps;
  state.logCallback = [&](const std::wstring& line) {
    const std::wstring prefix = L"[DIAG-SAVE-MEM] stage=";
    if (line.rfind(prefix, 0) == 0) {
      stamps.push_back({line.substr(prefix.size(), line.find(L' ', prefix.size()) - prefix.size()),
                        Clock::now()});
    } else if (line.rfind(L"[DIAG-SAVE-MEM-1S]", 0) != 0) {
      std::printf("  log: %ls\n", line.c_str());
    }
  };
  tmc::platform::ProcessMemoryCounters before{};
  tmc::platform::System().QueryProcessMemory(before);
  std::atomic<bool> done{false};
  double peakPrivate = 0, peakRss = 0;
  std::thread sampler([&] {
    while (!done.load()) {
      tmc::platform::ProcessMemoryCounters now{};
      if (tmc::platform::System().QueryProcessMemory(now)) {
        peakPrivate = std::max(
            peakPrivate, (double(now.privateBytes) - double(before.privateBytes)) / 1048576.0);
        peakRss =
            std::max(peakRss, (double(now.workingSet) - double(before.workingSet)) / 1048576.0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  SaveRun run;
  const auto start = Clock::now();
  run.ok = tmc::WriteClip(state, tmc::Widen(folder), run.path);
  run.totalMs = Ms(Clock::now() - start);
  done.store(true);
  sampler.join();
  run.peakPrivateMB = peakPrivate;
  run.peakRssMB = peakRss;
  auto at = [&](const wchar_t* stage) {
    for (const Stamp& s : stamps) {
      if (s.stage == stage) return s.at;
    }
    return Clock::time_point{};
  };
  const bool audio = at(L"audio-released") != Clock::time_point{};
  run.mixMs = audio ? Ms(at(L"audio-released") - at(L"mixed-alloc")) : 0.0;
  run.loopMs = Ms(at(L"flush") - at(audio ? L"audio-released" : L"mixed-alloc"));
  return run;
}

// AAC over a 60-second mix alone, as the save feeds it (in 2-second pieces).
double TimeAac(const std::string& folder) {
  std::vector<float> mix(2 * 60 * 48000);
  for (size_t i = 0; i < mix.size() / 2; ++i) {
    mix[2 * i] = mix[2 * i + 1] =
        0.4f * std::sin(2 * std::numbers::pi_v<float> * 440.0f * i / 48000);
  }
  const std::string path = folder + "/aac_only.mp4";
  AVFormatContext* raw = nullptr;
  avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr);
  tmc::ffmpeg::OutputFormat out(raw);
  AVStream* stream = avformat_new_stream(out.get(), nullptr);
  const auto start = Clock::now();
  tmc::AacEncoder aac(out.get(), 0);
  avcodec_parameters_from_context(stream->codecpar, aac.CodecContext());
  stream->time_base = aac.CodecContext()->time_base;
  avio_open2(&out->pb, path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
  if (avformat_write_header(out.get(), nullptr) < 0) std::abort();
  for (size_t s = 0; s < 30; ++s) aac.Push(mix.data() + s * 2 * 96000, 96000);
  aac.Flush();
  av_write_trailer(out.get());
  avio_closep(&out->pb);
  const double ms = Ms(Clock::now() - start);
  std::remove(path.c_str());
  return ms;
}

double TimeCommand(const std::string& command) {
  const auto start = Clock::now();
  const int status = std::system(command.c_str());
  const double ms = Ms(Clock::now() - start);
  if (status != 0) std::printf("  command failed (%d): %s\n", status, command.c_str());
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root = "/dev/shm";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--folder") == 0) root = argv[i + 1];
  }
  av_log_set_level(AV_LOG_ERROR);
  const std::string folder = root + "/tm_save_bench_" + std::to_string(getpid());
  std::filesystem::create_directories(folder);

  tmc::NowHns();
  tmc::sim::System().AdvanceClock(600'000'000'000);  // room to place 60 s before "now"

  // Encoding the segments takes most of a run: they are kept in the tmpfs folder and reused.
  const std::string cache = root + "/tm_save_bench_segments";
  std::filesystem::create_directories(cache);
  const auto encodeStart = Clock::now();
  std::vector<std::shared_ptr<std::vector<std::uint8_t>>> segments;
  size_t videoBytes = 0;
  int encoded = 0;
  for (int s = 0; s < kSegments; ++s) {
    char name[64];
    std::snprintf(name, sizeof name, "/seg%02d.mp4", s);
    const std::string path = cache + name;
    std::vector<std::uint8_t> bytes = ReadFile(path);
    if (bytes.empty()) {
      bytes = EncodeSegment(s, path);
      ++encoded;
    }
    segments.push_back(std::make_shared<std::vector<std::uint8_t>>(std::move(bytes)));
    videoBytes += segments.back()->size();
  }
  std::printf("%d segments of %dx%d@%d (%d encoded now in %.1f s): %.1f MB, %.2f Mbit/s\n",
              kSegments, kWidth, kHeight, kFps, encoded, Ms(Clock::now() - encodeStart) / 1000,
              videoBytes / 1048576.0, videoBytes * 8.0 / 60.0 / 1e6);

  auto fill = [&](tmc::TallowmarchSession::Impl& state, bool audio) {
    state.clipWindow.SetSeconds(60.0);
    const std::int64_t base = tmc::NowHns() - 60 * kSecond;
    for (int s = 0; s < kSegments; ++s) {
      state.videoRing.PushAndTrim(
          tmc::VideoSegment{segments[s], 2.0, kSegmentFrames, base + s * 2 * kSecond, false},
          state.clipWindow);
    }
    if (audio) {
      FillAudio(state.desktopRing, state.clipWindow, base, true, 440.0);
      FillAudio(state.micRing, state.clipWindow, base, false, 1000.0);
    }
  };

  SaveRun full, videoOnly;
  {
    tmc::TallowmarchSession::Impl state;
    fill(state, true);
    full = RunSave(state, folder + "/full");
  }
  {
    tmc::TallowmarchSession::Impl state;
    fill(state, false);
    videoOnly = RunSave(state, folder + "/video");
  }
  const double aacMs = TimeAac(folder);
  // Of the remux: opening the 30 segments for demuxing (probe and stream information).
  const auto openStart = Clock::now();
  for (int s = 0; s < kSegments; ++s) {
    tmc::SegmentDemuxer open(tmc::VideoSegment{segments[s], 2.0, kSegmentFrames, 0, false},
                             {"open", nullptr, "video"});
  }
  const double openMs = Ms(Clock::now() - openStart);

  std::string list = folder + "/list.txt";
  {
    std::ofstream out(list);
    for (int s = 0; s < kSegments; ++s) {
      char name[64];
      std::snprintf(name, sizeof name, "seg%02d.mp4", s);
      out << "file '" << cache << "/" << name << "'\n";
    }
  }
  const double ffmpegMs = TimeCommand("ffmpeg -v error -y -f concat -safe 0 -i " + list +
                                      " -c copy " + folder + "/concat.mp4");

  std::printf("\nsave with both sources: %s, %.0f ms total\n", full.ok ? "ok" : "FAILED",
              full.totalMs);
  std::printf("  resample + mix + limit (mixed-alloc -> audio-released): %.0f ms\n", full.mixMs);
  std::printf("  segment loop (remux + AAC interleaved): %.0f ms\n", full.loopMs);
  std::printf("  peak extra memory: private %.1f MB, resident %.1f MB\n", full.peakPrivateMB,
              full.peakRssMB);
  std::printf("save without sound: %.0f ms total, remux loop %.0f ms\n", videoOnly.totalMs,
              videoOnly.loopMs);
  std::printf("  of it opening the 30 segments for demuxing: %.0f ms\n", openMs);
  std::printf("AAC alone over the 60 s mix: %.0f ms\n", aacMs);
  std::printf("audio part (resample + mix + AAC): %.0f ms\n", full.mixMs + aacMs);
  std::printf("ffmpeg concat remux of the 30 files: %.0f ms; our remux / ffmpeg = %.2f\n", ffmpegMs,
              videoOnly.loopMs / ffmpegMs);
  std::filesystem::remove_all(folder);
  return full.ok && videoOnly.ok ? 0 : 1;
}
