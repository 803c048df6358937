// The engine on the real PulseAudio layer: the simulation library with its audio layer swapped
// for the linux one, driven through the exports against a private server.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "audio/linux_audio.h"
#include "platform.h"
#include "pulse_test_support.h"
#include "sim_platform.h"
#include "tallowmarch/core.h"

namespace {

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

TEST(LinuxAudioThroughExports, ListsTheServersEndpointsWithTheDefaultFlagged) {
  if (!tallowmarch::test::PulseToolsInstalled()) GTEST_SKIP() << "no pulseaudio, pactl or pacat";
  tallowmarch::test::PulseServer server;
  ASSERT_TRUE(server.Start());
  setenv("PULSE_SERVER", server.Address().c_str(), 1);
  tallowmarch::sim::ResetAll();
  tallowmarch::sim::Layers().audio = &tallowmarch::platform::LinuxAudioLayer();
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

}  // namespace
