// The one place that decides which options an FFmpeg H.264 encoder is opened with, for the live
// segment encoders and for the save-time re-encoder alike, plus the rate arithmetic both share.
//
// QSV encoders get the preset/async-depth sets of each profile. libx264, the software end of
// the fallback chain, always gets real-time options (a fast preset and zero-latency tuning) so
// that no frame waits in a look-ahead and every frame of a segment is out when it finishes; its
// live encoders also run on a fixed, small number of slice threads (kLiveLibx264Threads).
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
// Slice threads of a live libx264 encoder. Up to three encoders of a capture live at once and
// every one of its threads keeps buffers of its own; with the default (two per core, plus as
// many look-ahead threads) the peak memory of a 1080p capture rose by ~50 MB, while with four
// slices the encoder thread keeps the pace it had with all of them (bench/README.md).
inline constexpr const char* kLiveLibx264Threads = "4";
inline constexpr std::int64_t kMaxRateControlBuffer = 2147483647;

// The encoder name contains "qsv".
bool IsQsvEncoder(std::string_view encoderName);
bool IsLibx264Encoder(std::string_view encoderName);
// The encoder, opened with our options, hands out every frame's packet before it takes the next
// frame (no look-ahead, no B-frames, no frame threads): a flush after the last frame finds
// nothing left to wait for.
bool EmitsEveryFrameAtOnce(std::string_view encoderName);

// The options dictionary for avcodec_open2; null (no options) where the encoder takes none.
ffmpeg::Dictionary BuildEncoderOptions(std::string_view encoderName, EncoderOpenProfile profile);

// The live two-stage arm's rate: 3 x bitrate (64-bit), at most kMaxLiveBitrate.
std::int64_t LiveBitrate(std::uint32_t bitrate);
// rc_buffer_size for a rate: 4 x rate (64-bit), at most kMaxRateControlBuffer.
int RateControlBufferSize(std::int64_t rate);

}  // namespace tallowmarch
