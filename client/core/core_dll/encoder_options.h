// The one place that decides which options an FFmpeg H.264 encoder is opened with, for the live
// segment encoders and for the save-time re-encoder alike, plus the rate arithmetic both share.
//
// QSV encoders get the preset/async-depth sets of each profile. libx264, the software end of
// the fallback chain, always gets real-time options (a fast preset and zero-latency tuning) so
// that no frame waits in a look-ahead and every frame of a segment is out when it finishes.
// Every other encoder is opened with no options.
#pragma once

#include <cstdint>
#include <string_view>

#include "ffmpeg_handles.h"

namespace tallowmarch {

enum class EncoderOpenProfile {
  LiveLowPower,      // two-stage live arm: fast, low-power, re-encoded at save
  LiveSingleStage,   // single-stage live arm
  SaveCurrent,       // save re-encode, CURRENT profile
  SaveQualityTier0,  // save re-encode, QUALITY profile: preset only
  SaveQualityTier1,  // + extbrc, b_strategy
  SaveQualityTier2,  // + look-ahead depth 40
};

inline constexpr std::int64_t kMaxLiveBitrate = 35000000;
inline constexpr std::int64_t kMaxRateControlBuffer = 2147483647;

// The encoder name contains "qsv".
bool IsQsvEncoder(std::string_view encoderName);
bool IsLibx264Encoder(std::string_view encoderName);

// The options dictionary for avcodec_open2; null (no options) where the encoder takes none.
ffmpeg::Dictionary BuildEncoderOptions(std::string_view encoderName, EncoderOpenProfile profile);

// The live two-stage arm's rate: 3 x bitrate (64-bit), at most kMaxLiveBitrate.
std::int64_t LiveBitrate(std::uint32_t bitrate);
// rc_buffer_size for a rate: 4 x rate (64-bit), at most kMaxRateControlBuffer.
int RateControlBufferSize(std::int64_t rate);

}  // namespace tallowmarch
