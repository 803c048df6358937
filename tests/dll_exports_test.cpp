// The engine's C interface, loaded as a real shared library on the simulated platform.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audio/sim_audio.h"
#include "media/sim_media.h"
#include "sim_platform.h"
#include "system/sim_system.h"
#include "tallowmarch/core.h"

namespace {

using tallowmarch::platform::EncoderActivation;

class ExportsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Tallowmarch_GlobalShutdown();
    Tallowmarch_SetLogCallback(nullptr);
    tallowmarch::sim::ResetAll();
  }
};

TEST_F(ExportsTest, VersionAndEncoderQueryNeedNoSession) {
  EXPECT_STREQ(Tallowmarch_GetAppVersion(), "0.1.1");
  auto& media = tallowmarch::sim::Media();
  EXPECT_TRUE(Tallowmarch_HasHardwareEncoder());
  media.SetHardwareEncoders({});
  EXPECT_FALSE(Tallowmarch_HasHardwareEncoder());
  media.SetHardwareEncoders({{"A", E_FAIL, 0}, {"B", S_OK, 1}});
  EXPECT_TRUE(Tallowmarch_HasHardwareEncoder());
  media.SetEnumerationResult(E_FAIL);
  EXPECT_FALSE(Tallowmarch_HasHardwareEncoder());
}

TEST_F(ExportsTest, InitialiseTwiceAndShutdownTwice) {
  auto& media = tallowmarch::sim::Media();
  EXPECT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  EXPECT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  EXPECT_EQ(media.StartupCalls(), 1);
  EXPECT_EQ(media.LastStartupVersion(), 0x20070u);
  Tallowmarch_GlobalShutdown();
  Tallowmarch_GlobalShutdown();
  EXPECT_EQ(media.ShutdownCalls(), 1);
  // A later initialise builds everything again.
  EXPECT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  EXPECT_EQ(media.StartupCalls(), 2);
}

TEST_F(ExportsTest, ApartmentInAnotherModeIsAcceptedOtherFailuresAreNot) {
  auto& system = tallowmarch::sim::System();
  auto& media = tallowmarch::sim::Media();
  system.SetApartmentAnswer(E_OUTOFMEMORY);
  EXPECT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_NOT_INITIALIZED);
  EXPECT_EQ(media.StartupCalls(), 0);
  EXPECT_FALSE(Tallowmarch_IsCapturing());

  system.SetApartmentAnswer(RPC_E_CHANGED_MODE);
  media.SetStartupResult(E_FAIL);
  EXPECT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_NOT_INITIALIZED);
  // Without a session nothing shuts Media Foundation down.
  Tallowmarch_GlobalShutdown();
  EXPECT_EQ(media.ShutdownCalls(), 0);

  media.SetStartupResult(S_OK);
  EXPECT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
}

TEST_F(ExportsTest, WithoutASessionQueriesAnswerZeroAndSettersDoNothing) {
  Tallowmarch_SetAudioSettings(2.0f, 2.0f, true, true, L"x", nullptr);
  Tallowmarch_SetCaptureBorderEnabled(false);
  EXPECT_FALSE(Tallowmarch_IsCapturing());
  EXPECT_EQ(Tallowmarch_GetMeasuredSustainableFps(), 0.0);
  std::uint32_t stage = 7, done = 7, total = 7;
  EXPECT_FALSE(Tallowmarch_GetSaveProgress(&stage, &done, &total));
  EXPECT_EQ(stage + done + total, 0u);
  EXPECT_FALSE(Tallowmarch_GetSaveProgress(nullptr, nullptr, nullptr));

  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  EXPECT_FALSE(Tallowmarch_IsCapturing());
  EXPECT_EQ(Tallowmarch_GetMeasuredSustainableFps(), 0.0);
  stage = done = total = 7;
  EXPECT_FALSE(Tallowmarch_GetSaveProgress(&stage, &done, &total));
  EXPECT_EQ(stage + done + total, 0u);
  EXPECT_FALSE(Tallowmarch_GetSaveProgress(nullptr, nullptr, nullptr));
}

struct Device {
  std::wstring id, name;
  bool isDefault;
  bool operator==(const Device&) const = default;
};
std::vector<Device> g_devices;
void CollectDevice(const wchar_t* id, const wchar_t* name, bool isDefault) {
  g_devices.push_back({id, name, isDefault});
}

TEST_F(ExportsTest, AudioDevicesAreListedWithoutASession) {
  auto& audio = tallowmarch::sim::Audio();
  Tallowmarch_EnumerateAudioDevices(true, nullptr);
  EXPECT_EQ(audio.EnumeratorsCreated(), 0);  // a null callback touches nothing

  g_devices.clear();
  Tallowmarch_EnumerateAudioDevices(false, &CollectDevice);
  EXPECT_EQ(g_devices,
            (std::vector<Device>{{L"sim-render-speakers", L"Speakers (Sim Audio)", true},
                                 {L"sim-render-headphones", L"Headphones (Sim Audio)", false}}));
  g_devices.clear();
  Tallowmarch_EnumerateAudioDevices(true, &CollectDevice);
  EXPECT_EQ(g_devices,
            (std::vector<Device>{{L"sim-capture-mic", L"Microphone (Sim Audio)", true}}));
}

class VerifyExportTest : public ExportsTest {
 protected:
  void SetUp() override {
    path =
        std::filesystem::temp_directory_path() / ("tm_export_verify_" + std::to_string(getpid()));
    std::ofstream(path) << "artifact";
  }
  void TearDown() override {
    std::filesystem::remove(path);
    ExportsTest::TearDown();
  }
  std::filesystem::path path;
};

TEST_F(VerifyExportTest, ArgumentRulesAndHexBuffer) {
  char hex[80];
  std::memset(hex, 'Z', sizeof hex);
  const std::uint8_t sig[64] = {};
  EXPECT_EQ(Tallowmarch_VerifyUpdateArtifact(nullptr, sig, 64, hex, 80), 3);
  EXPECT_EQ(hex[0], 'Z');

  // 63-byte signature, 65-character buffer: the digest is written, the result is 3.
  EXPECT_EQ(Tallowmarch_VerifyUpdateArtifact(path.wstring().c_str(), sig, 63, hex, 65), 3);
  EXPECT_EQ(hex[64], '\0');
  EXPECT_EQ(hex[65], 'Z');
  const std::string written(hex);

  // 64 characters: nothing written. Negative lengths count as 0.
  std::memset(hex, 'Z', sizeof hex);
  EXPECT_EQ(Tallowmarch_VerifyUpdateArtifact(path.wstring().c_str(), sig, 64, hex, 64), 4);
  EXPECT_EQ(hex[0], 'Z');
  EXPECT_EQ(Tallowmarch_VerifyUpdateArtifact(path.wstring().c_str(), sig, -64, hex, -1), 3);
  EXPECT_EQ(hex[0], 'Z');
  EXPECT_EQ(Tallowmarch_VerifyUpdateArtifact(L"/nonexistent/tallowmarch.zip", sig, 64, hex, 80), 1);
  EXPECT_EQ(hex[0], 'Z');

  // The digest is the standard SHA-256 of the file's bytes.
  FILE* pipe = popen(("sha256sum " + path.string()).c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[200] = {};
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
  pclose(pipe);
  EXPECT_EQ(written, std::string(line, 64));
}

}  // namespace
