#include "encoder_options.h"

#include <algorithm>

namespace tallowmarch {

bool IsQsvEncoder(std::string_view encoderName) {
  return encoderName.find("qsv") != std::string_view::npos;
}

bool IsLibx264Encoder(std::string_view encoderName) {
  return encoderName == "libx264";
}

bool EmitsEveryFrameAtOnce(std::string_view encoderName) {
  return IsLibx264Encoder(encoderName);  // zero-latency tuning in every profile
}

ffmpeg::Dictionary BuildEncoderOptions(std::string_view encoderName, EncoderOpenProfile profile) {
  AVDictionary* dict = nullptr;
  auto set = [&dict](const char* key, const char* value) { av_dict_set(&dict, key, value, 0); };
  if (IsQsvEncoder(encoderName)) {
    switch (profile) {
      case EncoderOpenProfile::LiveLowPower:
        set("preset", "veryfast");
        set("async_depth", "6");
        set("low_power", "1");
        break;
      case EncoderOpenProfile::LiveSingleStage:
      case EncoderOpenProfile::SaveCurrent:
        set("preset", "veryfast");
        set("async_depth", "6");
        break;
      case EncoderOpenProfile::SaveQualityTier2:
        set("look_ahead", "1");
        set("look_ahead_depth", "40");
        [[fallthrough]];
      case EncoderOpenProfile::SaveQualityTier1:
        set("extbrc", "1");
        set("b_strategy", "1");
        [[fallthrough]];
      case EncoderOpenProfile::SaveQualityTier0:
        set("preset", "veryslow");
        set("async_depth", "6");
        break;
    }
  } else if (IsLibx264Encoder(encoderName)) {
    // Real time in every profile: without a look-ahead every frame sent is out by the flush,
    // and veryfast keeps 1080p above 100 frames per second on this class of machine.
    set("preset", "veryfast");
    set("tune", "zerolatency");
    if (profile == EncoderOpenProfile::LiveLowPower ||
        profile == EncoderOpenProfile::LiveSingleStage) {
      set("threads", kLiveLibx264Threads);
    }
  }
  return ffmpeg::Dictionary(dict);
}

std::int64_t LiveBitrate(std::uint32_t bitrate) {
  return std::min<std::int64_t>(3 * static_cast<std::int64_t>(bitrate), kMaxLiveBitrate);
}

int RateControlBufferSize(std::int64_t rate) {
  return static_cast<int>(std::min<std::int64_t>(4 * rate, kMaxRateControlBuffer));
}

}  // namespace tallowmarch
