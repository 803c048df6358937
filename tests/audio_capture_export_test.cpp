// Sound through the C exports of the simulation library: a capture with both sources, a saved
// clip, and its AAC stream decoded with FFmpeg to find the endpoints' tones at their gains.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "audio/sim_audio.h"
#include "capture/sim_capture.h"
#include "export_test_log.h"
#include "save_test_support.h"
#include "sim_platform.h"
#include "tallowmarch/core.h"

namespace {

using namespace std::chrono_literals;

using tallowmarch::test::CountLines;
using tallowmarch::test::ToneAmplitude;

const HWND kWindow = reinterpret_cast<HWND>(std::uintptr_t{0x1001});

TEST(AudioCaptureThroughExports, TheSavedClipCarriesBothEndpointsTonesAtTheirGains) {
  tallowmarch::sim::ResetAll();
  tallowmarch::sim::Capture().SetSceneRate(30.0);
  std::vector<tallowmarch::platform::SimEndpointSpec> endpoints =
      tallowmarch::sim::Audio().Endpoints();
  for (auto& spec : endpoints) spec.toneAmplitude = 0.3;  // speakers 440 Hz, microphone 1000 Hz
  tallowmarch::sim::Audio().SetEndpoints(endpoints);

  ASSERT_EQ(tallowmarch::test::InitialiseAndStart(kWindow, 0.5f, 1.5f, false), TALLOWMARCH_OK);
  // Three finished segments and chunks whatever the scheduling.
  const tallowmarch::test::SavedClip saved =
      tallowmarch::test::RecordSaveAndShutDown(7s, "tm_audio_export");
  ASSERT_EQ(saved.result, TALLOWMARCH_OK);

  EXPECT_EQ(CountLines(L"[desktop-audio] device: Speakers (Sim Audio)"), 1);
  EXPECT_EQ(CountLines(L"[mic-audio] device: Microphone (Sim Audio)"), 1);
  EXPECT_EQ(CountLines(L"[desktop-audio] capture error"), 0);
  EXPECT_EQ(CountLines(L"[mic-audio] capture error"), 0);

  const tallowmarch::test::ClipReadback clip = tallowmarch::test::ReadClip(saved.path);
  std::filesystem::remove_all(saved.folder);
  ASSERT_TRUE(clip.opened);
  ASSERT_EQ(clip.streams, 2);
  EXPECT_EQ(clip.videoIndex, 0);
  EXPECT_EQ(clip.audioIndex, 1);
  EXPECT_EQ(clip.audioCodec, "aac");
  EXPECT_EQ(clip.sampleRate, 48000);
  EXPECT_EQ(clip.channels, 2);
  EXPECT_GE(clip.videoEndSeconds, 3.5);
  // The sound runs from the capture start to the last frame.
  EXPECT_NEAR(clip.audioSeconds, clip.videoEndSeconds, 0.1);

  // The microphone's 1000 Hz at 0.3 x 1.5 over the desktop's 440 Hz at 0.3 x 0.5, measured over
  // two stretches from where the sound begins: the devices start delivering a moment after the
  // picture, and that moment stays silence at its place.
  for (int channel = 0; channel < 2; ++channel) {
    const std::vector<float> all = tallowmarch::test::Channel(clip.audio, channel);
    const auto onset =
        std::find_if(all.begin(), all.end(), [](float sample) { return std::abs(sample) > 0.05f; });
    ASSERT_GE(all.end() - onset, static_cast<long>(2.75 * 48000)) << "channel " << channel;
    for (double from : {0.25, 1.25}) {
      SCOPED_TRACE(testing::Message() << "channel " << channel << " from " << from);
      const auto first = onset + static_cast<long>(from * 48000);
      const std::vector<float> stretch(first, first + 72000);  // 1.5 s: whole cycles of each
      EXPECT_NEAR(tallowmarch::test::DominantFrequency(stretch, 48000), 1000.0, 3.0);
      EXPECT_NEAR(ToneAmplitude(stretch, 1000.0, 48000), 0.45, 0.05);
      EXPECT_NEAR(ToneAmplitude(stretch, 440.0, 48000), 0.15, 0.03);
      EXPECT_LT(ToneAmplitude(stretch, 660.0, 48000), 0.01);  // the headphones were not captured
    }
  }
}

TEST(AudioCaptureThroughExports, ANanDesktopVolumeIsSilenceAndTheMicrophoneKeepsItsSound) {
  tallowmarch::sim::ResetAll();
  ASSERT_EQ(tallowmarch::test::InitialiseAndStart(kWindow, NAN, 1.0f, false), TALLOWMARCH_OK);
  const tallowmarch::test::SavedClip saved =
      tallowmarch::test::RecordSaveAndShutDown(5s, "tm_audio_nan");
  const std::vector<float> left =
      tallowmarch::test::Channel(tallowmarch::test::ReadClip(saved.path).audio, 0);
  std::filesystem::remove_all(saved.folder);
  const auto onset = std::find_if(left.begin(), left.end(), [](float x) { return x > 0.05f; });
  ASSERT_GE(left.end() - onset, 84000);
  const std::vector<float> stretch(onset + 12000, onset + 84000);  // 1.5 s of sound
  EXPECT_NEAR(ToneAmplitude(stretch, 1000.0, 48000), 0.25, 0.05);  // the microphone at gain 1
  EXPECT_LT(ToneAmplitude(stretch, 440.0, 48000), 0.01);           // no desktop sound
}

}  // namespace
