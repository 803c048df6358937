#include "audio_endpoints.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "audio/sim_audio.h"
#include "sim_platform.h"

namespace tallowmarch {
namespace {

using platform::AudioFlow;
using platform::SimEndpointSpec;
using Listed = std::tuple<std::wstring, std::wstring, bool>;

std::vector<Listed> List(bool capture) {
  std::vector<Listed> out;
  EnumerateAudioEndpoints(capture, [&](const std::wstring& id, const std::wstring& name,
                                       bool isDefault) { out.emplace_back(id, name, isDefault); });
  return out;
}

class AudioEndpointsTest : public ::testing::Test {
 protected:
  void TearDown() override { sim::ResetAll(); }
  platform::SimAudio& audio = sim::Audio();
};

TEST_F(AudioEndpointsTest, ListsActiveEndpointsOfOneDirectionInOrder) {
  SimEndpointSpec speakers{L"r1", L"Speakers", AudioFlow::Render};
  SimEndpointSpec hdmi{L"r2", L"HDMI", AudioFlow::Render};
  hdmi.isDefault = true;
  SimEndpointSpec unplugged{L"r3", L"Unplugged", AudioFlow::Render,
                            platform::kDeviceStateUnplugged};
  SimEndpointSpec disabled{L"r4", L"Disabled", AudioFlow::Render, platform::kDeviceStateDisabled};
  SimEndpointSpec mic{L"c1", L"Mic", AudioFlow::Capture};
  audio.SetEndpoints({speakers, unplugged, hdmi, disabled, mic});
  EXPECT_EQ(List(false),
            (std::vector<Listed>{{L"r1", L"Speakers", false}, {L"r2", L"HDMI", true}}));
  // No default capture endpoint: nothing is flagged.
  EXPECT_EQ(List(true), (std::vector<Listed>{{L"c1", L"Mic", false}}));
}

TEST_F(AudioEndpointsTest, NoActivePlaybackDeviceMeansNoCallbacks) {
  audio.SetEndpoints({{L"c1", L"Mic", AudioFlow::Capture, platform::kDeviceStateActive, true},
                      {L"r1", L"Gone", AudioFlow::Render, platform::kDeviceStateNotPresent}});
  EXPECT_TRUE(List(false).empty());
}

TEST_F(AudioEndpointsTest, UnreadableEndpointsAreSkippedAndNamesFallBack) {
  std::vector<SimEndpointSpec> specs(5);
  for (int i = 0; i < 5; ++i) {
    specs[i].id = L"e" + std::to_wstring(i);
    specs[i].friendlyName = L"Name " + std::to_wstring(i);
  }
  specs[0].itemFails = true;
  specs[1].idFails = true;
  specs[2].propertyStoreFails = true;
  specs[3].nameReadFails = true;
  specs[4].nameNotString = true;
  specs[4].isDefault = true;
  audio.SetEndpoints(specs);
  EXPECT_EQ(List(false), (std::vector<Listed>{{L"e2", L"(unknown device)", false},
                                              {L"e3", L"(unknown device)", false},
                                              {L"e4", L"(unknown device)", true}}));
}

TEST_F(AudioEndpointsTest, FailuresOfTheListingEndItQuietly) {
  audio.SetEnumeratorResult(E_FAIL);
  EXPECT_TRUE(List(false).empty());
  audio.SetEnumeratorResult(S_OK);
  audio.SetEnumerateResult(E_OUTOFMEMORY);
  EXPECT_TRUE(List(false).empty());
  audio.SetEnumerateResult(S_OK);
  // Without a readable default the endpoints are still listed, none flagged.
  audio.SetDefaultEndpointResult(E_NOTFOUND);
  const auto listed = List(false);
  ASSERT_FALSE(listed.empty());
  for (const auto& item : listed) EXPECT_FALSE(std::get<2>(item));
}

}  // namespace
}  // namespace tallowmarch
