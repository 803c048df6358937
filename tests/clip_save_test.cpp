// Clip saving on a session state filled by the test: segments and audio chunks with their
// wave-format bytes go straight into the rings; the clip is read back with FFmpeg.
#include "clip_save.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <thread>

#include "audio/sim_audio.h"
#include "capture/sim_capture.h"
#include "common/wide_text.h"
#include "ffmpeg_handles.h"
#include "gpu_setup.h"
#include "gpu_test_support.h"
#include "save_reencoder.h"
#include "save_test_support.h"
#include "sim_platform.h"
#include "system/sim_system.h"
#include "tallowmarch/core.h"

// FFmpeg's frame-threaded H.264 decoder (the re-encode path) hands frames between its threads
// with atomics compiled without ThreadSanitizer, which cannot see that ordering and reports the
// release of a decoded frame's buffers as a race. Reports from inside FFmpeg's utility library
// are silenced in this test only; the save itself uses FFmpeg from one thread.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libavutil.so\n";
}

namespace tallowmarch {
namespace {

using test::Yuv;

constexpr std::int64_t kSecond = 10'000'000;
constexpr Yuv kColours[] = {{60, 100, 150}, {120, 90, 160}, {180, 140, 80}, {90, 160, 100}};
const platform::LocalTime kSaveTime{2026, 12, 8, 19, 30, 5};
const std::string kClipName = "clip_2026-12-08_19-30-05.mp4";

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

std::vector<char> Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A NUT file holding one raw 16x16 picture: video that FFmpeg demuxes but the MP4 muxer cannot
// hold, so a clip made of it is refused at its header.
std::vector<std::uint8_t> MakeRawVideoNut() {
  AVFormatContext* raw = nullptr;
  avformat_alloc_output_context2(&raw, nullptr, "nut", nullptr);
  ffmpeg::OutputFormat out(raw);
  AVStream* stream = avformat_new_stream(out.get(), nullptr);
  stream->time_base = {1, 30};
  stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  stream->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
  stream->codecpar->format = AV_PIX_FMT_YUV420P;
  stream->codecpar->width = stream->codecpar->height = 16;
  EXPECT_GE(avio_open_dyn_buf(&out->pb), 0);
  EXPECT_GE(avformat_write_header(out.get(), nullptr), 0);
  ffmpeg::Packet packet(av_packet_alloc());
  EXPECT_GE(av_new_packet(packet.get(), 16 * 16 * 3 / 2), 0);
  packet->pts = packet->dts = 0;
  packet->duration = 1;
  packet->flags |= AV_PKT_FLAG_KEY;
  av_write_frame(out.get(), packet.get());
  av_write_trailer(out.get());
  std::uint8_t* data = nullptr;
  const int size = avio_close_dyn_buf(out->pb, &data);
  out->pb = nullptr;
  const ffmpeg::AvMemory owned(data);
  return std::vector<std::uint8_t>(data, data + std::max(size, 0));
}

class ClipSave : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Pieces are placed seconds before "now": move the clock well past the process start
    // (NowHns starts at its first use, so use it first).
    NowHns();
    sim::System().AdvanceClock(300'000'000'000);
  }

  void SetUp() override {
    folder = test::MakeTempFolder("tm_clip");
    state.logCallback = [this](const std::wstring& line) {
      lines.push_back(line);
      if (onLine) onLine(line);
    };
    sim::System().SetLocalTime(kSaveTime);
    state.encodeWidth = 160;
    state.encodeHeight = 120;
  }
  void TearDown() override {
    sim::System().Reset();
    unsetenv("TALLOWMARCH_SAVE_QUALITY");
    std::filesystem::remove_all(folder);
  }

  // `count` 2-second segments of 160x120 at 30 fps ending now, one colour each; the window is
  // exactly as long, so the first segment starts a moment before the window and the clip's
  // time line starts with it.
  void AddSegments(int count, int width = 160, int height = 120) {
    base = NowHns() - count * 2 * kSecond;
    state.clipWindow.SetSeconds(2.0 * count);
    for (int i = 0; i < count; ++i) {
      auto bytes = std::make_shared<std::vector<std::uint8_t>>(
          test::MakeSegmentMp4(width, height, 30, 60, kColours[i % 4]));
      state.videoRing.PushAndTrim(VideoSegment{bytes, 2.0, 60, base + i * 2 * kSecond, false},
                                  state.clipWindow);
    }
  }

  // A tone chunk in `ring`, from `from` to `to` seconds of the clip.
  void AddTone(AudioRing& ring, const std::vector<std::uint8_t>& format, double from, double to,
               double frequency, double amplitude) {
    ring.SetMixFormat(format);
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(
        test::MakeTone(format, to - from, frequency, amplitude));
    ring.PushAndTrim(AudioChunk{bytes, base + static_cast<std::int64_t>(from * kSecond), to - from},
                     state.clipWindow);
  }

  void SetGains(float desktop, float mic, bool desktopMuted = false, bool micMuted = false) {
    state.audioSettings.desktopVolume = desktop;
    state.audioSettings.micVolume = mic;
    state.audioSettings.desktopMuted = desktopMuted;
    state.audioSettings.micMuted = micMuted;
  }

  bool Save(const std::string& dir, std::wstring& path) {
    return WriteClip(state, Widen(dir), path);
  }

  std::vector<std::wstring> LinesStartingWith(const std::wstring& prefix) const {
    std::vector<std::wstring> out;
    for (const std::wstring& l : lines) {
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    }
    return out;
  }
  std::vector<std::wstring> StageNames() const {
    std::vector<std::wstring> out;
    for (const std::wstring& l : LinesStartingWith(L"[DIAG-SAVE-MEM] stage=")) {
      const size_t from = std::wstring(L"[DIAG-SAVE-MEM] stage=").size();
      out.push_back(l.substr(from, l.find(L' ', from) - from));
    }
    return out;
  }
  void ExpectProgressIdle() const {
    EXPECT_EQ(state.saveStage.load(), 0u);
    EXPECT_EQ(state.saveDone.load(), 0u);
    EXPECT_EQ(state.saveTotal.load(), 0u);
  }

  void MakeEncodeContext() {
    state.encodeContext = std::make_unique<GpuEncodeContext>(
        CreateD3D11Device(nullptr), 160, 120, 160, 120,
        [this](const std::wstring& line) { contextLines.push_back(line); },
        [](const char* name, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
          return std::string(name) == "libx264";
        });
    contextLines.clear();
  }

  std::string folder;
  TallowmarchSession::Impl state;
  std::vector<std::wstring> lines;
  std::vector<std::wstring> contextLines;
  std::function<void(const std::wstring&)> onLine;
  std::int64_t base = 0;
};

TEST(ClipSaveSession, NotCapturingLogsOneLineAndTouchesNothing) {
  TallowmarchSession session;
  std::vector<std::wstring> lines;
  session.SetLogCallback([&](const std::wstring& l) { lines.push_back(l); });
  std::wstring path = L"untouched";
  EXPECT_FALSE(session.SaveClipNow(L"/tmp", path));
  EXPECT_EQ(lines, std::vector<std::wstring>{L"SaveClipNow() called while not running - ignored."});
  EXPECT_EQ(path, L"untouched");
  std::uint32_t stage = 9, done = 9, total = 9;
  EXPECT_FALSE(session.GetSaveProgress(&stage, &done, &total));
  EXPECT_EQ(stage + done + total, 0u);
}

TEST(ClipSaveExport, ChecksFolderSessionAndCaptureFirst) {
  wchar_t path[16] = L"untouched";
  EXPECT_EQ(Tallowmarch_SaveClipNow(nullptr, path, 16), TALLOWMARCH_NOT_INITIALIZED);
  EXPECT_EQ(Tallowmarch_SaveClipNow(L"/tmp", path, 16), TALLOWMARCH_NOT_INITIALIZED);
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  EXPECT_EQ(Tallowmarch_SaveClipNow(nullptr, path, 16), TALLOWMARCH_NOT_INITIALIZED);
  EXPECT_EQ(Tallowmarch_SaveClipNow(L"/tmp", path, 16), TALLOWMARCH_NOT_CAPTURING);
  EXPECT_EQ(std::wstring(path), L"untouched");
  Tallowmarch_GlobalShutdown();
}

TEST_F(ClipSave, NothingBufferedCreatesNoFolderAndNoFile) {
  std::wstring path;
  EXPECT_FALSE(Save(folder + "/new", path));
  EXPECT_EQ(StageNames(), (std::vector<std::wstring>{L"entry", L"snapshot"}));
  EXPECT_EQ(lines.back(), L"Nothing buffered yet - save ignored.");
  EXPECT_TRUE(path.empty());
  EXPECT_FALSE(Exists(folder + "/new"));
  ExpectProgressIdle();
}

TEST_F(ClipSave, RemuxedClipHasVideoFirstAndTheMixedSoundSecond) {
  AddSegments(3);
  SetGains(1.0f, 0.5f);
  // Desktop: 44.1 kHz 16-bit stereo 440 Hz in the first half; microphone: 48 kHz float mono
  // 1000 Hz in the second half.
  AddTone(state.desktopRing, test::WaveFormatBytes(WAVE_FORMAT_PCM, 2, 44100, 16), 0.0, 3.0, 440.0,
          0.5);
  AddTone(state.micRing, test::WaveFormatBytes(WAVE_FORMAT_IEEE_FLOAT, 1, 48000, 32), 3.0, 6.0,
          1000.0, 0.6);
  std::wstring path;
  ASSERT_TRUE(Save(folder, path)) << Narrow(lines.back());
  EXPECT_EQ(Narrow(path), folder + "/" + kClipName);
  ExpectProgressIdle();

  const test::ClipReadback clip = test::ReadClip(Narrow(path));
  ASSERT_TRUE(clip.opened);
  EXPECT_EQ(clip.streams, 2);
  EXPECT_EQ(clip.videoIndex, 0);
  EXPECT_EQ(clip.videoCodec, "h264");
  EXPECT_EQ(clip.audioIndex, 1);
  EXPECT_EQ(clip.audioCodec, "aac");
  EXPECT_EQ(clip.sampleRate, 48000);
  EXPECT_EQ(clip.channels, 2);
  EXPECT_EQ(clip.videoFrames, 180);
  EXPECT_NEAR(clip.durationSeconds, 6.0, 0.15);
  EXPECT_NEAR(clip.videoEndSeconds, 5.967, 0.01);
  // The sound ends at the last frame's start.
  EXPECT_NEAR(clip.audioSeconds, 5.967, 0.05);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(clip.frameCentres[i * 60 + 30].y, kColours[i].y, 3);
    EXPECT_NEAR(clip.frameCentres[i * 60 + 30].v, kColours[i].v, 3);
  }
  auto region = [&](double from, double to) {
    const std::vector<float> left = test::Channel(clip.audio, 0);
    return std::vector<float>(left.begin() + static_cast<long>(from * 48000),
                              left.begin() + static_cast<long>(to * 48000));
  };
  EXPECT_NEAR(test::DominantFrequency(region(0.5, 2.5), 48000), 440.0, 3.0);
  EXPECT_NEAR(test::Rms(region(0.5, 2.5)), 0.5 / std::sqrt(2.0), 0.02);
  EXPECT_NEAR(test::DominantFrequency(region(3.5, 5.5), 48000), 1000.0, 3.0);
  EXPECT_NEAR(test::Rms(region(3.5, 5.5)), 0.6 * 0.5 / std::sqrt(2.0), 0.02);

  EXPECT_EQ(StageNames(), (std::vector<std::wstring>{
                              L"entry", L"snapshot", L"transcoder-init", L"header", L"mixed-alloc",
                              L"audio-concat", L"audio-resample", L"audio-floats", L"audio-concat",
                              L"audio-resample", L"audio-floats", L"audio-released", L"segment-00",
                              L"segment-02", L"flush", L"trailer"}));
  // 1.1 MiB of sound in the rings and the snapshot; the segments are small.
  const std::wstring snapshotLine = LinesStartingWith(L"[DIAG-SAVE-MEM] stage=snapshot")[0];
  EXPECT_TRUE(snapshotLine.ends_with(L" ringV=0MB ringA=1MB snapV=0MB snapA=1MB"))
      << Narrow(snapshotLine);
  EXPECT_EQ(LinesStartingWith(L"Saved clip:"),
            std::vector<std::wstring>{L"Saved clip: ~5s video, ~5s audio -> " + path});
}

TEST_F(ClipSave, AFirstSegmentThatBeganBeforeTheWindowKeepsItsFramesAndItsSync) {
  AddSegments(3);
  state.clipWindow.SetSeconds(5.0);  // the first segment began a second before the window
  SetGains(1.0f, 1.0f);
  // Sound from the moment the second segment (the second colour) begins.
  AddTone(state.desktopRing, test::WaveFormatBytes(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32), 2.0, 6.0,
          700.0, 0.4);
  std::wstring path;
  ASSERT_TRUE(Save(folder, path)) << Narrow(lines.back());
  const test::ClipReadback clip = test::ReadClip(Narrow(path));
  // Nothing of the second segment is lost under the first one's frames.
  EXPECT_EQ(clip.videoFrames, 180);
  EXPECT_NEAR(clip.frameCentres[59].y, kColours[0].y, 3);
  EXPECT_NEAR(clip.frameCentres[60].y, kColours[1].y, 3);
  // The sound starts with the second colour, at 2 s.
  const std::vector<float> left = test::Channel(clip.audio, 0);
  auto rms = [&](double from, double to) {
    return test::Rms(std::vector<float>(left.begin() + static_cast<long>(from * 48000),
                                        left.begin() + static_cast<long>(to * 48000)));
  };
  EXPECT_LT(rms(1.0, 1.9), 0.01);
  EXPECT_NEAR(rms(2.1, 3.0), 0.4 / std::sqrt(2.0), 0.02);
}

// A one-second window between the newest segment's end and now: the save holds that segment and
// sound for its whole picture, from a chunk that ended before the window to the one being gathered.
TEST_F(ClipSave, AOneSecondWindowSavesTheNewestSegmentWithSoundAtBothEdges) {
  base = NowHns() - 35 * kSecond / 10;
  state.clipWindow.SetSeconds(1.0);
  state.videoRing.PushAndTrim(VideoSegment{std::make_shared<std::vector<std::uint8_t>>(
                                               test::MakeSegmentMp4(160, 120, 30, 60, kColours[0])),
                                           2.0, 60, base, false},
                              state.clipWindow);
  const std::vector<std::uint8_t> format =
      test::WaveFormatBytes(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32);
  AddTone(state.desktopRing, format, -0.5, 1.0, 440.0, 0.5);
  AddTone(state.desktopRing, format, 1.0, 1.6, 440.0, 0.5);
  state.desktopRing.Gather([&](AudioRing::Gathering& g) {  // in the ring's format
    g.bytes = test::MakeTone(format, 1.9, 440.0, 0.5);
    g.startTime = base + 16 * kSecond / 10;
    g.rate = 48000;
    g.blockAlign = 8;
  });
  std::wstring path;
  ASSERT_TRUE(Save(folder, path)) << Narrow(lines.back());
  const test::ClipReadback clip = test::ReadClip(Narrow(path));
  EXPECT_EQ(clip.videoFrames, 60);
  const std::vector<float> left = test::Channel(clip.audio, 0);
  const auto loud = [](float sample) { return std::abs(sample) > 0.05f; };
  const long first = std::find_if(left.begin(), left.end(), loud) - left.begin();
  const long last = left.rend() - std::find_if(left.rbegin(), left.rend(), loud);
  EXPECT_LT(first, 48000 * 2 / 100);
  EXPECT_GT(last, static_cast<long>((clip.videoEndSeconds - 0.02) * 48000));
}

// Frames at irregular capture times go through the live segment encoder into two segments and
// through the save, remuxed and then re-encoded: every frame of the clip is at its own capture
// time. The second segment's first frame has the first one's last capture time; only that
// packet moves, by the least amount.
TEST_F(ClipSave, FramesKeepTheirCaptureTimesThroughSegmentsAndSave) {
  MakeEncodeContext();
  state.fps = 30;
  const std::vector<std::vector<double>> captureMs = {
      {0, 20, 45, 47, 90, 160, 171, 230, 262, 300, 333.3, 400, 455, 470, 520},
      {520, 541, 600, 601.5, 680, 700, 760, 790, 850, 880, 951, 1000}};
  const std::int64_t first = NowHns() - 12'000'000;
  state.clipWindow.SetSeconds(1.1);  // the first segment began before the window
  std::vector<double> expected;      // seconds from the first frame
  for (bool reencode : {false, true}) {
    SCOPED_TRACE(reencode ? "re-encoded" : "remuxed");
    expected.clear();
    for (const std::vector<double>& times : captureMs) {
      FfmpegSegmentEncoder encoder(state.encodeContext.get(), 160, 120, 30, 1000000);
      for (size_t i = 0; i < times.size(); ++i) {
        const testing::Rgb colour{static_cast<std::uint8_t>(40 * (i % 6)), 90, 160};
        ASSERT_TRUE(
            encoder.EncodeFrame(testing::MakeBgraTexture(*state.encodeContext->device, 160, 120,
                                                         testing::FilledBgra(160, 120, colour)),
                                first + static_cast<std::int64_t>(times[i] * 10'000), nullptr));
        expected.push_back(times[i] / 1000.0);
      }
      encoder.DrainPending();
      VideoSegment segment = encoder.Finish();
      segment.reencodeAtSave = reencode;
      state.videoRing.PushAndTrim(segment, state.clipWindow);
    }
    std::wstring path;
    ASSERT_TRUE(Save(folder, path)) << Narrow(lines.back());
    state.videoRing.Clear();
    const test::ClipReadback clip = test::ReadClip(Narrow(path));
    ASSERT_EQ(clip.videoPts.size(), expected.size());
    EXPECT_EQ(clip.videoFrames, static_cast<int>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
      const double at =
          static_cast<double>(clip.videoPts[i] - clip.videoPts[0]) * clip.videoTimeBase;
      // Its own time to within a tick of 1/90000 s, far inside one frame interval.
      EXPECT_NEAR(at, expected[i], 1e-4) << "frame " << i;
    }
  }
}

TEST_F(ClipSave, GainsMuteBoostCapAndSoftLimitTheSources) {
  struct Case {
    const char* name;
    float desktopVolume, micVolume;
    bool desktopMuted, micMuted;
    double expectedRms;  // of the sum of two 440 Hz tones of amplitude 0.3 in phase
  };
  const Case cases[] = {
      {"both muted: silence", 1.0f, 1.0f, true, true, 0.0},
      {"desktop stops at 1.0", 1.7f, 0.0f, false, false, 0.3 / std::sqrt(2.0)},
      {"microphone reaches 2.0", 0.0f, 3.0f, false, false, 0.6 / std::sqrt(2.0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    lines.clear();
    state.videoRing.Clear();
    state.desktopRing.Clear();
    state.micRing.Clear();
    AddSegments(1);
    SetGains(c.desktopVolume, c.micVolume, c.desktopMuted, c.micMuted);
    const auto format = test::WaveFormatBytes(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32);
    AddTone(state.desktopRing, format, 0.0, 2.0, 440.0, 0.3);
    AddTone(state.micRing, format, 0.0, 2.0, 440.0, 0.3);
    const std::string dir = folder + "/" + c.name;
    std::wstring path;
    ASSERT_TRUE(Save(dir, path));
    const test::ClipReadback clip = test::ReadClip(Narrow(path));
    const std::vector<float> left = test::Channel(clip.audio, 0);
    const std::vector<float> middle(left.begin() + 24000, left.begin() + 72000);
    EXPECT_NEAR(test::Rms(middle), c.expectedRms, 0.015);
  }

  // Both at full level: peaks of 1.2 are bent below full scale, quiet parts pass.
  lines.clear();
  state.videoRing.Clear();
  state.desktopRing.Clear();
  state.micRing.Clear();
  AddSegments(1);
  SetGains(1.0f, 1.0f);
  const auto format = test::WaveFormatBytes(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32);
  AddTone(state.desktopRing, format, 0.0, 2.0, 440.0, 0.6);
  AddTone(state.micRing, format, 0.0, 2.0, 440.0, 0.6);
  std::wstring path;
  ASSERT_TRUE(Save(folder + "/limited", path));
  const test::ClipReadback clip = test::ReadClip(Narrow(path));
  float peak = 0.0f;
  for (float x : clip.audio) peak = std::max(peak, std::fabs(x));
  EXPECT_GT(peak, 0.9f);
  EXPECT_LT(peak, 1.02f);  // SoftLimit(1.2) = 0.9865, plus the AAC coding error
}

TEST_F(ClipSave, ClipPathFollowsTheFolderRules) {
  EXPECT_EQ(ClipFolderPrefix(L"/a/b"), L"/a/b/");
  EXPECT_EQ(ClipFolderPrefix(L"/a/b/"), L"/a/b/");
  EXPECT_EQ(ClipFolderPrefix(L"C:\\clips\\"), L"C:\\clips\\");
  EXPECT_EQ(ClipFolderPrefix(L""), L"");
  EXPECT_EQ(ClipFileName(kSaveTime, 1), L"clip_2026-12-08_19-30-05.mp4");
  EXPECT_EQ(ClipFileName(platform::LocalTime{2027, 1, 2, 3, 4, 5}, 2),
            L"clip_2027-01-02_03-04-05_2.mp4");

  AddSegments(1);
  std::wstring path;
  // A missing last level is created; with or without a trailing separator.
  ASSERT_TRUE(Save(folder + "/made", path));
  EXPECT_EQ(Narrow(path), folder + "/made/" + kClipName);
  ASSERT_TRUE(Save(folder + "/", path));
  EXPECT_EQ(Narrow(path), folder + "/" + kClipName);
  // An empty folder gives the bare name, in the current folder.
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(folder.c_str()), 0);
  const bool saved = Save("", path);
  ASSERT_EQ(chdir(previous), 0);
  ASSERT_TRUE(saved);
  EXPECT_EQ(Narrow(path), kClipName.substr(0, kClipName.size() - 4) + "_2.mp4");
  EXPECT_TRUE(Exists(folder + "/" + Narrow(path)));
}

TEST_F(ClipSave, MissingParentFolderFailsAtTheFileAndLeavesNothing) {
  AddSegments(1);
  std::wstring path = L"untouched";
  EXPECT_FALSE(Save(folder + "/missing/deeper", path));
  EXPECT_EQ(path, L"untouched");
  EXPECT_EQ(LinesStartingWith(L"SaveClipNow() failed:"),
            std::vector<std::wstring>{L"SaveClipNow() failed: avio_open2 failed for output file"});
  EXPECT_TRUE(test::ListFolder(folder).empty());
  ExpectProgressIdle();
}

TEST_F(ClipSave, ASecondSaveInTheSameSecondKeepsTheFirstClip) {
  AddSegments(1);
  std::wstring first, second, third;
  ASSERT_TRUE(Save(folder, first));
  const std::vector<char> before = Slurp(Narrow(first));
  ASSERT_TRUE(Save(folder, second));
  ASSERT_TRUE(Save(folder, third));
  EXPECT_EQ(Narrow(first), folder + "/" + kClipName);
  EXPECT_EQ(Narrow(second), folder + "/clip_2026-12-08_19-30-05_2.mp4");
  EXPECT_EQ(Narrow(third), folder + "/clip_2026-12-08_19-30-05_3.mp4");
  EXPECT_EQ(Slurp(Narrow(first)), before);
  EXPECT_TRUE(test::ReadClip(Narrow(second)).opened);

  // Two savers at once (another session, as another process would run it): each holds once it
  // has its name until the other has one too, and each keeps its clip.
  TallowmarchSession::Impl other;
  other.clipWindow.SetSeconds(2.0);
  other.videoRing.PushAndTrim(state.videoRing.Snapshot(state.clipWindow.Window())[0],
                              other.clipWindow);
  std::latch named(2);
  onLine = other.logCallback = [&](const std::wstring& line) {
    if (line.rfind(L"[DIAG-SAVE-MEM] stage=transcoder-init", 0) == 0) named.arrive_and_wait();
  };
  std::thread saver([&] { WriteClip(other, Widen(folder), second); });
  Save(folder, third);
  saver.join();
  EXPECT_NE(second, third);
  EXPECT_TRUE(test::ReadClip(Narrow(second)).opened && test::ReadClip(Narrow(third)).opened);
}

TEST_F(ClipSave, ProgressIsReadableFromAnotherThreadStageByStage) {
  AddSegments(12);
  // At chosen lines the save waits until a reader thread has read the progress.
  std::mutex mutex;  // guards the hand-over below
  std::condition_variable cv;
  bool requested = false, answered = false, finished = false;
  std::vector<std::array<std::uint32_t, 3>> seen;
  std::thread reader([&] {
    std::unique_lock lock(mutex);
    while (true) {
      cv.wait(lock, [&] { return requested || finished; });
      if (!requested) return;
      requested = false;
      std::uint32_t stage = state.saveStage.load(std::memory_order_acquire);
      seen.push_back({stage, state.saveDone.load(), state.saveTotal.load()});
      answered = true;
      cv.notify_all();
    }
  });
  onLine = [&](const std::wstring& line) {
    if (line.find(L"stage=segment-") == std::wstring::npos &&
        line.find(L"stage=flush") == std::wstring::npos &&
        line.find(L"stage=mixed-alloc") == std::wstring::npos) {
      return;
    }
    std::unique_lock lock(mutex);
    requested = true;
    answered = false;
    cv.notify_all();
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return answered; }));
  };
  std::wstring path;
  const bool saved = Save(folder, path);
  {
    std::lock_guard lock(mutex);
    finished = true;
    cv.notify_all();
  }
  reader.join();
  ASSERT_TRUE(saved);
  using P = std::array<std::uint32_t, 3>;
  EXPECT_EQ(seen, (std::vector<P>{{1, 0, 0}, {3, 1, 12}, {3, 11, 12}, {3, 12, 12}, {4, 0, 0}}));
  EXPECT_EQ(StageNames(), (std::vector<std::wstring>{
                              L"entry", L"snapshot", L"transcoder-init", L"header", L"mixed-alloc",
                              L"segment-00", L"segment-10", L"segment-11", L"flush", L"trailer"}));
  ExpectProgressIdle();
  // No sound in the window: video only, 0 seconds of audio.
  EXPECT_EQ(test::ReadClip(Narrow(path)).streams, 1);
  EXPECT_NE(LinesStartingWith(L"Saved clip: ~23s video, ~0s audio -> ").size(), 0u);
}

TEST_F(ClipSave, SegmentsThatCannotBeOpenedAreSkippedWithALineAndTheRestWritten) {
  AddSegments(4);
  const auto held = state.videoRing.Snapshot(state.clipWindow.Window());
  *held[0].bytes = *held[2].bytes = std::vector<std::uint8_t>(4096, 0x42);  // not MP4s
  std::wstring path;
  ASSERT_TRUE(Save(folder, path));
  EXPECT_EQ(LinesStartingWith(L"SaveClipNow: segment at t=").size(), 2u);
  EXPECT_EQ(test::ReadClip(Narrow(path)).videoFrames, 120);
}

TEST_F(ClipSave, FirstSegmentWithoutVideoFailsBeforeAnyFile) {
  base = NowHns() - 2 * kSecond;
  state.clipWindow.SetSeconds(2.0);
  state.videoRing.PushAndTrim(
      VideoSegment{std::make_shared<std::vector<std::uint8_t>>(test::MakeAudioOnlyMp4()), 2.0, 60,
                   base, false},
      state.clipWindow);
  std::wstring path;
  EXPECT_FALSE(Save(folder, path));
  EXPECT_EQ(LinesStartingWith(L"SaveClipNow() failed:"),
            std::vector<std::wstring>{L"SaveClipNow() failed: no video stream in first segment"});
  EXPECT_TRUE(test::ListFolder(folder).empty());
}

TEST_F(ClipSave, AHeaderTheMuxerRefusesLeavesNoEmptyFile) {
  base = NowHns() - 2 * kSecond;
  state.clipWindow.SetSeconds(2.0);
  state.videoRing.PushAndTrim(
      VideoSegment{std::make_shared<std::vector<std::uint8_t>>(MakeRawVideoNut()), 2.0, 1, base,
                   false},
      state.clipWindow);
  std::wstring path = L"untouched";
  EXPECT_FALSE(Save(folder, path));
  EXPECT_EQ(path, L"untouched");
  EXPECT_EQ(LinesStartingWith(L"SaveClipNow() failed:"),
            std::vector<std::wstring>{L"SaveClipNow() failed: avformat_write_header failed"});
  EXPECT_TRUE(test::ListFolder(folder).empty());
}

TEST_F(ClipSave, EachSegmentIsLetGoAsSoonAsItIsWritten) {
  AddSegments(3);
  std::vector<std::weak_ptr<std::vector<std::uint8_t>>> bytes;
  for (const VideoSegment& segment : state.videoRing.Snapshot(state.clipWindow.Window()))
    bytes.push_back(segment.bytes);
  ASSERT_EQ(bytes.size(), 3u);
  // Once the save holds its snapshot the capture trims them all away; from then on only the
  // save keeps them.
  std::vector<bool> aliveAfterFirst;
  onLine = [&](const std::wstring& line) {
    if (line.rfind(L"[DIAG-SAVE-MEM] stage=snapshot ", 0) == 0) state.videoRing.Clear();
    if (line.rfind(L"[DIAG-SAVE-MEM] stage=segment-00 ", 0) == 0) {
      for (const auto& b : bytes) aliveAfterFirst.push_back(!b.expired());
    }
  };
  std::wstring path;
  ASSERT_TRUE(Save(folder, path));
  EXPECT_EQ(aliveAfterFirst, (std::vector<bool>{false, true, true}));
}

TEST_F(ClipSave, AnAudioFormatTheResamplerCannotTakeFailsTheSaveWithItsReason) {
  AddSegments(1);
  auto format = test::WaveFormatBytes(WAVE_FORMAT_PCM, 2, 48000, 16);
  AddTone(state.micRing, format, 0.0, 1.0, 440.0, 0.3);
  format[12] = format[13] = 0;  // block alignment 0
  state.micRing.SetMixFormat(format);
  std::wstring path;
  EXPECT_FALSE(Save(folder, path));
  const auto failure = LinesStartingWith(
      L"SaveClipNow() failed: 0xC00D36B4 (audio resampler: "
      L"unsupported device format (a block alignment of 0");
  EXPECT_EQ(failure.size(), 1u) << Narrow(lines.back());
  ExpectProgressIdle();
}

TEST_F(ClipSave, AFlaggedSegmentReencodesTheWholeClipWithTheCurrentProfile) {
  MakeEncodeContext();
  AddSegments(3);
  // Flag the middle one only: every segment is re-encoded.
  auto segments = state.videoRing.Snapshot({0, NowHns()});
  state.videoRing.Clear();
  segments[1].reencodeAtSave = true;
  for (const VideoSegment& s : segments) state.videoRing.PushAndTrim(s, state.clipWindow);
  state.fps = 30;
  state.bitrate = 6000000;
  std::wstring path;
  ASSERT_TRUE(Save(folder, path)) << Narrow(lines.back());
  EXPECT_EQ(
      LinesStartingWith(L"SaveClipNow: two-stage"),
      std::vector<std::wstring>{L"SaveClipNow: two-stage re-encode 3 segment(s) -> 6000kbps"});
  EXPECT_EQ(contextLines, std::vector<std::wstring>{L"[DIAG-SAVE-QUALITY] mode=CURRENT (veryfast, "
                                                    L"VBR, no-B, GOP=2s) @ 6000kbps"});
  const test::ClipReadback clip = test::ReadClip(Narrow(path));
  EXPECT_EQ(clip.videoFrames, 180);
  EXPECT_EQ(clip.gopFrames, 60);
  EXPECT_FALSE(clip.reordered);
  EXPECT_NEAR(clip.frameCentres[150].y, kColours[2].y, 4);
  EXPECT_NE(LinesStartingWith(L"Saved clip: ~6s video").size(), 0u);
}

TEST_F(ClipSave, QualityProfileUsesLongGopsAndBFrames) {
  MakeEncodeContext();
  setenv("TALLOWMARCH_SAVE_QUALITY", "1", 1);
  AddSegments(3);
  auto segments = state.videoRing.Snapshot({0, NowHns()});
  state.videoRing.Clear();
  segments[0].reencodeAtSave = true;
  for (const VideoSegment& s : segments) state.videoRing.PushAndTrim(s, state.clipWindow);
  std::wstring path;
  ASSERT_TRUE(Save(folder, path)) << Narrow(lines.back());
  EXPECT_EQ(contextLines,
            std::vector<std::wstring>{L"[DIAG-SAVE-QUALITY] mode=QUALITY (veryslow, B=3, GOP=10s, "
                                      L"LA-VBR depth=40 +extbrc) @ 6000kbps"});
  const test::ClipReadback clip = test::ReadClip(Narrow(path));
  EXPECT_EQ(clip.videoFrames, 180);
  EXPECT_EQ(clip.gopFrames, 0);  // one key frame in 6 s
  EXPECT_TRUE(clip.reordered);
}

TEST_F(ClipSave, DecodedFramesOfAnotherSizeAreScaledToTheEncoder) {
  MakeEncodeContext();
  AddSegments(2, 320, 240);
  auto segments = state.videoRing.Snapshot({0, NowHns()});
  state.videoRing.Clear();
  segments[0].reencodeAtSave = true;
  for (const VideoSegment& s : segments) state.videoRing.PushAndTrim(s, state.clipWindow);
  std::wstring path;
  ASSERT_TRUE(Save(folder, path)) << Narrow(lines.back());
  const test::ClipReadback clip = test::ReadClip(Narrow(path));
  EXPECT_EQ(clip.width, 160);
  EXPECT_EQ(clip.height, 120);
  EXPECT_EQ(clip.videoFrames, 120);
  EXPECT_NEAR(clip.frameCentres[100].y, kColours[1].y, 4);
  EXPECT_NEAR(clip.frameCentres[100].u, kColours[1].u, 4);
}

// A real capture of the simulated scene with sound put into its rings (the simulation has no
// sound endpoints here, so the audio threads only wait): AAC second, the tones at their times,
// the gains of the audio settings.
TEST(ClipSaveCapture, ACaptureWithBufferedSoundSavesTheTonesWithTheirGains) {
  sim::ResetAll();
  sim::Audio().SetEndpoints({});
  sim::Capture().SetScenePattern(platform::SimScenePattern::Solid, 0xFF3060C0u);
  sim::Capture().SetSceneRate(30.0);
  TallowmarchSession session;
  std::vector<std::wstring> lines;
  std::mutex linesMutex;  // guards lines
  session.SetLogCallback([&](const std::wstring& l) {
    std::lock_guard lock(linesMutex);
    lines.push_back(l);
  });
  AudioSettings settings;
  settings.desktopVolume = 0.8f;
  settings.micVolume = 1.5f;
  session.SetAudioSettings(settings);
  ASSERT_TRUE(session.Start(reinterpret_cast<HWND>(std::uintptr_t{0x1001}), false, 0, 30, 0, 0));
  TallowmarchSession::Impl& s = session.State();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (s.videoRing.Count() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_GE(s.videoRing.Count(), 3u);
  const std::int64_t t0 = s.videoRing.Snapshot({INT64_MIN / 2, INT64_MAX / 2}).front().startTime;
  auto push = [&](AudioRing& ring, std::vector<std::uint8_t> format, double from, double seconds,
                  double frequency, double amplitude) {
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(
        test::MakeTone(format, seconds, frequency, amplitude));
    ring.SetMixFormat(std::move(format));
    ring.PushAndTrim(AudioChunk{bytes, t0 + static_cast<std::int64_t>(from * kSecond), seconds},
                     s.clipWindow);
  };
  push(s.desktopRing, test::WaveFormatBytes(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32), 0.0, 3.0, 440.0,
       0.5);
  push(s.micRing, test::WaveFormatBytes(WAVE_FORMAT_PCM, 1, 44100, 16), 3.0, 3.0, 1000.0, 0.4);
  const std::string folder = test::MakeTempFolder("tm_clip_capture");
  std::wstring path;
  const bool saved = session.SaveClipNow(Widen(folder), path);
  session.Stop();
  ASSERT_TRUE(saved) << Narrow(lines.back());

  const test::ClipReadback clip = test::ReadClip(Narrow(path));
  ASSERT_EQ(clip.streams, 2);
  EXPECT_EQ(clip.videoCodec, "h264");
  EXPECT_EQ(clip.audioIndex, 1);
  EXPECT_EQ(clip.audioCodec, "aac");
  EXPECT_EQ(clip.sampleRate, 48000);
  EXPECT_EQ(clip.channels, 2);
  EXPECT_GE(clip.videoEndSeconds, 5.5);
  for (size_t i = 1; i < clip.videoPts.size(); ++i) {  // on the 1/30-second grid, one a slot
    const double slots = (clip.videoPts[i] - clip.videoPts[i - 1]) * clip.videoTimeBase * 30.0;
    EXPECT_TRUE(slots > 0.999 && std::abs(slots - std::round(slots)) < 0.001) << i;
  }
  // The sound ends with the last frame, or with the window when a slow build's live segments
  // overlapped and the remux moved the later ones back to back.
  EXPECT_LE(clip.audioSeconds, clip.videoEndSeconds + 0.05);
  EXPECT_GE(clip.audioSeconds, 5.5);
  const std::vector<float> left = test::Channel(clip.audio, 0);
  const double lead = static_cast<double>(t0 - s.clipWindow.FloorTime()) / kSecond;
  auto region = [&](double from, double to) {
    return std::vector<float>(left.begin() + static_cast<long>((lead + from) * 48000),
                              left.begin() + static_cast<long>((lead + to) * 48000));
  };
  EXPECT_NEAR(test::DominantFrequency(region(0.5, 2.5), 48000), 440.0, 3.0);
  EXPECT_NEAR(test::Rms(region(0.5, 2.5)), 0.5 * 0.8 / std::sqrt(2.0), 0.02);
  EXPECT_NEAR(test::DominantFrequency(region(3.5, 5.0), 48000), 1000.0, 3.0);
  EXPECT_NEAR(test::Rms(region(3.5, 5.0)), 0.4 * 1.5 / std::sqrt(2.0), 0.02);
  std::filesystem::remove_all(folder);
}

TEST(SaveQuality, OnlyExactlyOneSelectsTheQualityProfile) {
  unsetenv("TALLOWMARCH_SAVE_QUALITY");
  EXPECT_FALSE(SaveQualityRequested());
  for (const char* value : {"", "0", "01", "11", "1 ", "12345678", "111111111"}) {
    setenv("TALLOWMARCH_SAVE_QUALITY", value, 1);
    EXPECT_FALSE(SaveQualityRequested()) << '"' << value << '"';
  }
  setenv("TALLOWMARCH_SAVE_QUALITY", "1", 1);
  EXPECT_TRUE(SaveQualityRequested());
  unsetenv("TALLOWMARCH_SAVE_QUALITY");
}

}  // namespace
}  // namespace tallowmarch
