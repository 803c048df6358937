// The engine on the real PulseAudio layer: the simulation library with its audio layer swapped
// for the linux one, driven through the exports against a private server. It lists the server's
// endpoints, and records a tone played into a null sink and the microphone (a sine source) into
// a saved clip whose AAC stream carries both.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "audio/linux_audio.h"
#include "capture/sim_capture.h"
#include "export_test_log.h"
#include "platform.h"
#include "pulse_test_support.h"
#include "save_test_support.h"
#include "sim_platform.h"
#include "tallowmarch/core.h"

namespace {

using namespace std::chrono_literals;

using tallowmarch::test::CountLines;
using tallowmarch::test::ToneAmplitude;

const HWND kWindow = reinterpret_cast<HWND>(std::uintptr_t{0x1001});

// The engine's log, for the record of a failed case.
void PrintLinesIfFailed() {
  if (!testing::Test::HasFailure()) return;
  tallowmarch::test::PrintLines();
}

std::mutex g_devicesMutex;  // guards g_devices
std::vector<std::wstring> g_devices;

void CollectDevice(const wchar_t* id, const wchar_t* name, bool isDefault) {
  std::lock_guard lock(g_devicesMutex);
  g_devices.push_back(std::wstring(id) + L"|" + name + (isDefault ? L"|default" : L""));
}

std::vector<std::wstring> ListDevices(bool capture) {
  {
    std::lock_guard lock(g_devicesMutex);
    g_devices.clear();
  }
  Tallowmarch_EnumerateAudioDevices(capture, &CollectDevice);
  std::lock_guard lock(g_devicesMutex);
  return g_devices;
}

// Each case runs the simulation library's engine on a private PulseAudio server of its own.
class LinuxAudioThroughExports : public testing::Test {
 protected:
  void SetUp() override {
    if (!tallowmarch::test::PulseToolsInstalled()) GTEST_SKIP() << "no pulseaudio or pactl";
    ASSERT_TRUE(server.Start());
    setenv("PULSE_SERVER", server.Address().c_str(), 1);
    tallowmarch::test::ClearLines();
    tallowmarch::sim::ResetAll();
    tallowmarch::sim::UseRealSound();
  }

  tallowmarch::test::PulseServer server;
};

TEST_F(LinuxAudioThroughExports, ListsTheServersEndpointsWithTheDefaultFlagged) {
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  EXPECT_EQ(ListDevices(false),
            (std::vector<std::wstring>{L"tm_speakers|Speakers|default", L"tm_headset|Headset"}));
  EXPECT_EQ(ListDevices(true),
            (std::vector<std::wstring>{L"tm_mic|Sine source at 440 Hz|default"}));
  // With the headset as the default and no microphone at all.
  ASSERT_EQ(server.Pactl({"set-default-sink", tallowmarch::test::kHeadset}), "");
  server.Pactl({"unload-module", "module-sine-source"});
  EXPECT_EQ(ListDevices(false),
            (std::vector<std::wstring>{L"tm_speakers|Speakers", L"tm_headset|Headset|default"}));
  EXPECT_TRUE(ListDevices(true).empty());
  // No server: nothing is listed, and nothing hangs.
  server.Kill();
  EXPECT_TRUE(ListDevices(false).empty());
  Tallowmarch_GlobalShutdown();
  tallowmarch::sim::ResetAll();
}

TEST_F(LinuxAudioThroughExports, TheSavedClipCarriesTheTonePlayedIntoTheSinkAndTheMicrophone) {
  ASSERT_TRUE(server.PlayTone(tallowmarch::test::kSpeakers, 1000));
  tallowmarch::sim::Capture().SetSceneRate(30.0);
  ASSERT_EQ(tallowmarch::test::InitialiseAndStart(kWindow, 1.0f, 1.0f, false), TALLOWMARCH_OK);
  // Chunks of 2 s, the third one well inside the clip.
  const tallowmarch::test::SavedClip saved =
      tallowmarch::test::RecordSaveAndShutDown(9s, "tm_pulse_export");
  tallowmarch::sim::ResetAll();
  PrintLinesIfFailed();
  ASSERT_EQ(saved.result, TALLOWMARCH_OK);

  EXPECT_EQ(CountLines(L"[desktop-audio] device: Speakers"), 1);
  EXPECT_EQ(CountLines(L"[mic-audio] device: Sine source at 440 Hz"), 1);
  EXPECT_EQ(CountLines(L"[desktop-audio] capture error"), 0);
  EXPECT_EQ(CountLines(L"[mic-audio] capture error"), 0);
  EXPECT_EQ(CountLines(L"[desktop-audio] device changed"), 0);
  EXPECT_EQ(CountLines(L"[mic-audio] device changed"), 0);

  const tallowmarch::test::ClipReadback clip = tallowmarch::test::ReadClip(saved.path);
  std::filesystem::remove_all(saved.folder);
  ASSERT_TRUE(clip.opened);
  ASSERT_EQ(clip.streams, 2);
  EXPECT_EQ(clip.audioCodec, "aac");
  EXPECT_EQ(clip.sampleRate, 48000);
  ASSERT_EQ(clip.channels, 2);
  // A null sink's monitor starts delivering about 2 s late and settles its timing over the
  // first chunks; from 5 s on, the clip holds the tone throughout, beside the microphone's
  // sine at the same level.
  ASSERT_GE(clip.audio.size(), 2u * 48000 * 13 / 2);
  for (int channel = 0; channel < 2; ++channel) {
    SCOPED_TRACE(testing::Message() << "channel " << channel);
    const std::vector<float> all = tallowmarch::test::Channel(clip.audio, channel);
    const auto first = all.begin() + 5 * 48000;
    const std::vector<float> stretch(first, first + 72000);  // 1.5 s: whole cycles of both
    EXPECT_NEAR(ToneAmplitude(stretch, 1000.0, 48000), tallowmarch::test::kToneAmplitude, 0.06);
    EXPECT_GT(ToneAmplitude(stretch, 440.0, 48000), 0.01);  // the microphone
    EXPECT_LT(ToneAmplitude(stretch, 700.0, 48000), 0.01);
  }
}

TEST_F(LinuxAudioThroughExports, ACaptureFollowsTheDefaultSinkAndSurvivesItsRemoval) {
  ASSERT_EQ(tallowmarch::test::InitialiseAndStart(kWindow, 1.0f, 1.0f, true), TALLOWMARCH_OK);
  using tallowmarch::test::WaitFor;
  EXPECT_TRUE(WaitFor([] { return CountLines(L"[desktop-audio] device: Speakers") == 1; }));

  // A new sink made the default: the loop reconnects to it.
  const std::string module = server.Pactl({"load-module", "module-null-sink", "sink_name=tm_usb",
                                           "sink_properties=device.description=USB"});
  ASSERT_FALSE(module.empty());
  ASSERT_EQ(server.Pactl({"set-default-sink", "tm_usb"}), "");
  EXPECT_TRUE(WaitFor([] {
    return CountLines(L"[desktop-audio] device changed - reconnecting (reconnect #1)...") == 1;
  }));
  EXPECT_TRUE(WaitFor([] { return CountLines(L"[desktop-audio] device: USB") == 1; }));
  // The previous stream is gone by then: the one that records is the USB sink's.
  EXPECT_TRUE(WaitFor([&] {
    return server.Pactl({"list", "source-outputs"}).find("Corked: no") != std::string::npos;
  }));

  // Up to here every endpoint the loop opened existed.
  EXPECT_EQ(CountLines(L"[desktop-audio] capture error"), 0);

  // The sink goes away: its stream dies, and the loop opens the server's next default. (A pass
  // may still be opening the vanishing sink, which then fails once with the capture-error line
  // and is retried: the outcome below is what counts.)
  ASSERT_EQ(server.Pactl({"unload-module", module}), "");
  // The server picks either remaining sink as its new default.
  EXPECT_TRUE(WaitFor([] {
    return CountLines(L"[desktop-audio] device: Speakers") +
               CountLines(L"[desktop-audio] device: Headset") >=
           2;
  }));
  EXPECT_GE(CountLines(L"[desktop-audio] device changed - reconnecting (reconnect #2)..."), 1);
  Tallowmarch_StopCapture();
  Tallowmarch_GlobalShutdown();
  Tallowmarch_SetLogCallback(nullptr);
  tallowmarch::sim::ResetAll();
  EXPECT_EQ(CountLines(L"[mic-audio]"), 0);  // muted: no thread
  PrintLinesIfFailed();
}

TEST_F(LinuxAudioThroughExports, ACaptureOutlivesTheServerAndResumesWhenItReturns) {
  ASSERT_EQ(tallowmarch::test::InitialiseAndStart(kWindow, 1.0f, 1.0f, true), TALLOWMARCH_OK);
  using tallowmarch::test::WaitFor;
  EXPECT_TRUE(WaitFor([] { return CountLines(L"[desktop-audio] device: Speakers") == 1; }));
  // The device line comes before the stream is opened: wait until it records.
  EXPECT_TRUE(WaitFor([&] {
    return server.Pactl({"list", "source-outputs"}).find("Corked: no") != std::string::npos;
  }));

  // The stream dies with the server; while it is gone every attempt fails and is retried.
  server.Kill();
  EXPECT_TRUE(WaitFor([] {
    return CountLines(L"[desktop-audio] device changed - reconnecting (reconnect #1)...") == 1;
  }));
  EXPECT_TRUE(
      WaitFor([] { return CountLines(L"[desktop-audio] capture error: 0x88890010") >= 2; }));
  // A server at the same address again: the loop opens its default sink.
  ASSERT_TRUE(server.Start());
  EXPECT_TRUE(WaitFor([] { return CountLines(L"[desktop-audio] device: Speakers") >= 2; }));
  Tallowmarch_StopCapture();
  Tallowmarch_GlobalShutdown();
  Tallowmarch_SetLogCallback(nullptr);
  tallowmarch::sim::ResetAll();
  PrintLinesIfFailed();
}

}  // namespace
