// The one table of encoder open options: per encoder family and profile.

#include "encoder_options.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace tallowmarch {
namespace {

using Options = std::map<std::string, std::string>;

Options Read(const ffmpeg::Dictionary& dict) {
  Options out;
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(dict.get(), "", e, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
    out[e->key] = e->value;
  }
  return out;
}

TEST(EncoderOptionsTest, QsvProfilesCarryTheirSets) {
  const Options live = {{"preset", "veryfast"}, {"async_depth", "6"}};
  const Options lowPower = {{"preset", "veryfast"}, {"async_depth", "6"}, {"low_power", "1"}};
  const Options tier0 = {{"preset", "veryslow"}, {"async_depth", "6"}};
  const Options tier1 = {
      {"preset", "veryslow"}, {"async_depth", "6"}, {"extbrc", "1"}, {"b_strategy", "1"}};
  const Options tier2 = {{"preset", "veryslow"}, {"async_depth", "6"}, {"extbrc", "1"},
                         {"b_strategy", "1"},    {"look_ahead", "1"},  {"look_ahead_depth", "40"}};
  EXPECT_EQ(Read(BuildEncoderOptions("h264_qsv", EncoderOpenProfile::LiveLowPower)), lowPower);
  EXPECT_EQ(Read(BuildEncoderOptions("h264_qsv", EncoderOpenProfile::LiveSingleStage)), live);
  EXPECT_EQ(Read(BuildEncoderOptions("h264_qsv", EncoderOpenProfile::SaveCurrent)), live);
  EXPECT_EQ(Read(BuildEncoderOptions("h264_qsv", EncoderOpenProfile::SaveQualityTier0)), tier0);
  EXPECT_EQ(Read(BuildEncoderOptions("h264_qsv", EncoderOpenProfile::SaveQualityTier1)), tier1);
  EXPECT_EQ(Read(BuildEncoderOptions("h264_qsv", EncoderOpenProfile::SaveQualityTier2)), tier2);
  EXPECT_TRUE(IsQsvEncoder("hevc_qsv"));
}

TEST(EncoderOptionsTest, Libx264IsRealTimeAndOthersGetNothing) {
  const Options realTime = {{"preset", "veryfast"}, {"tune", "zerolatency"}};
  const Options live = {
      {"preset", "veryfast"}, {"tune", "zerolatency"}, {"threads", kLiveLibx264Threads}};
  for (auto profile : {EncoderOpenProfile::LiveLowPower, EncoderOpenProfile::LiveSingleStage,
                       EncoderOpenProfile::SaveCurrent, EncoderOpenProfile::SaveQualityTier2}) {
    // Only the live encoders, of which several run at once, are held to a few threads; a save
    // re-encodes alone and takes them all.
    const bool isLive = profile == EncoderOpenProfile::LiveLowPower ||
                        profile == EncoderOpenProfile::LiveSingleStage;
    EXPECT_EQ(Read(BuildEncoderOptions("libx264", profile)), isLive ? live : realTime);
    EXPECT_EQ(BuildEncoderOptions("h264_nvenc", profile), nullptr);
    EXPECT_EQ(BuildEncoderOptions("libopenh264", profile), nullptr);
    EXPECT_EQ(BuildEncoderOptions("h264_amf", profile), nullptr);
  }
}

TEST(EncoderOptionsTest, OnlyLibx264IsKnownToHoldNoFrameBack) {
  EXPECT_TRUE(EmitsEveryFrameAtOnce("libx264"));
  EXPECT_FALSE(EmitsEveryFrameAtOnce("h264_qsv"));
  EXPECT_FALSE(EmitsEveryFrameAtOnce("h264_nvenc"));
  EXPECT_FALSE(EmitsEveryFrameAtOnce("libx264rgb"));
}

TEST(EncoderOptionsTest, RatesAreCappedIn64Bits) {
  EXPECT_EQ(LiveBitrate(6000000), 18000000);
  EXPECT_EQ(LiveBitrate(11666666), 34999998);
  EXPECT_EQ(LiveBitrate(20000000), 35000000);
  EXPECT_EQ(LiveBitrate(4294967295u), 35000000);
  EXPECT_EQ(RateControlBufferSize(6000000), 24000000);
  EXPECT_EQ(RateControlBufferSize(536870911), 2147483644);
  EXPECT_EQ(RateControlBufferSize(536870912), 2147483647);
  EXPECT_EQ(RateControlBufferSize(4294967295LL), 2147483647);
}

}  // namespace
}  // namespace tallowmarch
