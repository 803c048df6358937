// Picture and sound stay together. The flash-and-tone scene runs on a private Xvfb and plays
// into a private PulseAudio server's default (null) sink; the engine of the simulation library,
// with the real display and the real sound server under it, records it through the exports, and
// in the saved clip every flash and its tone are heard and seen within 40 ms of each other.
// First, the measurement itself is checked on a clip whose timing is known.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "av_sync_analysis.h"
#include "export_test_log.h"
#include "flash_tone_scene.h"
#include "pulse_test_support.h"
#include "save_test_support.h"
#include "sim_platform.h"
#include "tallowmarch/core.h"
#include "x11_test_support.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using namespace std::chrono_literals;

bool RunToEnd(const std::vector<std::string>& args, const std::string& outputFile) {
  const pid_t pid = tallowmarch::test::Spawn(args, {}, outputFile);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

std::string Between(double from, double to) {
  char text[64];
  std::snprintf(text, sizeof text, "between(t,%.6f,%.6f)", from, to);
  return text;
}

// A clip made by FFmpeg's own encoders (H.264 and AAC in MP4, the AAC encoder's priming delay
// included) whose tones come exactly 100 ms after their flashes; one flash has no tone and one
// tone has no flash.
TEST(AvSyncMeasurement, FindsAKnownSoundShiftFlashByFlash) {
  const std::string folder = tallowmarch::test::MakeTempFolder("tm_av_sync_known");
  const std::vector<int> onsetFrames = {30, 57, 92, 120, 151, 186, 213, 246, 280};
  const int silentFlash = 151;
  const double toneWithoutFlash = 10.0;
  std::string flashes, tones;
  for (int frame : onsetFrames) {
    if (!flashes.empty()) flashes += "+";
    flashes += "between(n," + std::to_string(frame) + "," + std::to_string(frame + 5) + ")";
    if (frame == silentFlash) continue;
    const double tone = frame / 30.0 + 0.1;
    tones += "+" + Between(tone, tone + 0.2);
  }
  tones += "+" + Between(toneWithoutFlash, toneWithoutFlash + 0.2);
  const std::string channel = "0.1*sin(2*PI*300*t)+0.5*sin(2*PI*1000*t)*(" + tones.substr(1) + ")";
  const std::string clip = folder + "/known.mp4";
  ASSERT_TRUE(
      RunToEnd({"ffmpeg",
                "-nostdin",
                "-v",
                "error",
                "-f",
                "lavfi",
                "-i",
                "color=c=0x202020:s=160x120:r=30:d=11,drawbox=x=0:y=0:w=iw:h=ih:color=white:"
                "t=fill:enable='" +
                    flashes + "'",
                "-f",
                "lavfi",
                "-i",
                "aevalsrc=exprs='" + channel + "|" + channel + "':s=48000:d=11",
                "-c:v",
                "libx264",
                "-pix_fmt",
                "yuv420p",
                "-c:a",
                "aac",
                "-b:a",
                "192k",
                clip},
               folder + "/ffmpeg.log"))
      << "ffmpeg could not make the clip (is the ffmpeg tool installed?)";

  const tallowmarch::test::AvSyncAnalysis a = tallowmarch::test::AnalyseAvSync(clip);
  std::filesystem::remove_all(folder);
  ASSERT_TRUE(a.opened) << a.error;
  const std::string record = tallowmarch::test::DescribeAvSync(a);
  EXPECT_NEAR(a.typicalShiftSeconds, 0.1, 0.003) << record;
  ASSERT_EQ(a.pairs.size(), onsetFrames.size() - 1) << record;
  for (const tallowmarch::test::FlashTonePair& pair : a.pairs) {
    EXPECT_NEAR(pair.OffsetMs(), 100.0, 3.0) << record;
    EXPECT_NEAR(std::fmod(pair.flashSeconds * 30.0 + 0.5, 1.0), 0.5, 0.01) << record;  // on a frame
  }
  ASSERT_EQ(a.lonelyFlashes.size(), 1u) << record;
  EXPECT_NEAR(a.lonelyFlashes[0], silentFlash / 30.0, 0.001) << record;
  ASSERT_EQ(a.lonelyTones.size(), 1u) << record;
  EXPECT_NEAR(a.lonelyTones[0], toneWithoutFlash, 0.004) << record;
  EXPECT_GE(a.MeasuredSeconds(), 9.0) << record;
  EXPECT_LT(a.pilotMissingSeconds, 0.05) << record;
}

TEST(AvSyncThroughExports, EveryFlashAndItsToneStayWithin40Milliseconds) {
  if (!tallowmarch::test::XvfbServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
  if (!tallowmarch::test::PulseToolsInstalled()) GTEST_SKIP() << "no pulseaudio or pactl";
  av_log_set_level(AV_LOG_FATAL);
  tallowmarch::test::XvfbServer display;
  ASSERT_TRUE(display.Start("320x240x24"));
  tallowmarch::test::PulseServer sound;
  ASSERT_TRUE(sound.Start());
  const std::string folder = tallowmarch::test::MakeTempFolder("tm_av_sync");
  tallowmarch::test::FlashToneScene scene;
  ASSERT_TRUE(scene.Start(TALLOWMARCH_FLASH_TONE_SCENE, display.Display(), sound.Address(),
                          folder + "/scene.log"))
      << scene.Output();

  // The capture layers connect to $DISPLAY and $PULSE_SERVER when the capture starts.
  setenv("DISPLAY", display.Display().c_str(), 1);
  setenv("PULSE_SERVER", sound.Address().c_str(), 1);
  tallowmarch::test::ClearLines();
  tallowmarch::sim::ResetAll();
  tallowmarch::sim::UseRealDisplay();
  tallowmarch::sim::UseRealSound();
  // The server's microphone (a sine source) is muted: only the sink's sound is measured.
  const HWND window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(scene.Window()));
  // A 32-second buffer of a longer capture: the clip starts with a segment begun before it.
  ASSERT_EQ(tallowmarch::test::InitialiseAndStart(window, 1.0f, 1.0f, true, 32), TALLOWMARCH_OK);
  const tallowmarch::test::SavedClip saved =
      tallowmarch::test::RecordSaveAndShutDown(35s, "tm_av_sync_clip");
  tallowmarch::sim::ResetAll();
  scene.Stop();
  // Its own account of how steadily it drew and played, for the record of a failure.
  const std::string sceneReport = scene.Output();
  if (saved.result != TALLOWMARCH_OK) tallowmarch::test::PrintLines();
  ASSERT_EQ(saved.result, TALLOWMARCH_OK);

  const tallowmarch::test::AvSyncAnalysis a = tallowmarch::test::AnalyseAvSync(saved.path);
  // The ffmpeg tool decodes it without a word at its error level.
  const std::string report = saved.folder + "/ffmpeg.txt";
  RunToEnd({"ffmpeg", "-nostdin", "-v", "error", "-i", saved.path, "-f", "null", "-"}, report);
  const auto ffmpegErrors = std::filesystem::file_size(report);
  std::filesystem::remove_all(saved.folder);
  std::filesystem::remove_all(folder);
  ASSERT_TRUE(a.opened) << a.error;
  const std::string record = tallowmarch::test::DescribeAvSync(a) + "scene: " + sceneReport;
  const tallowmarch::test::OffsetSummary summary = tallowmarch::test::SummariseOffsets(a.pairs);
  std::printf("flash to tone over %.1f s: %d pairs, median %+.1f ms, %+.1f..%+.1f ms\n",
              a.MeasuredSeconds(), summary.count, summary.medianMs, summary.minMs, summary.maxMs);

  EXPECT_GE(a.MeasuredSeconds(), 20.0) << record;
  EXPECT_GE(summary.count, 16) << record;  // a flash about every second
  EXPECT_TRUE(a.lonelyFlashes.empty()) << record;
  EXPECT_TRUE(a.lonelyTones.empty()) << record;
  int apart = 0;
  for (const tallowmarch::test::FlashTonePair& pair : a.pairs)
    apart += std::abs(pair.OffsetMs()) <= 40.0 ? 0 : 1;
  EXPECT_EQ(apart, 0) << "flashes and tones more than 40 ms apart\n" << record;

  // The sound (the pilot) runs from the first picture to the last one.
  EXPECT_LT(a.pilotStart - a.videoStart, 0.05) << record;
  EXPECT_LT(a.videoEnd - a.pilotEnd, 0.05) << record;
  EXPECT_GE(a.videoEnd, 30.0 - 1.0 / 30) << record;  // a clip of 30 s or more
  EXPECT_EQ(ffmpegErrors, 0u);
}

}  // namespace
