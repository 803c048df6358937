// The sound of a clip: each source's chunks resampled to the mix format (48 kHz stereo float),
// scaled by its gain and added into one clip-long mix buffer at its offset from the clip start,
// soft-limited, and encoded as AAC into the clip's audio stream.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "clip_window.h"
#include "common/wave_format.h"
#include "ffmpeg_handles.h"
#include "save_diagnostics.h"

namespace tallowmarch {

inline constexpr std::uint32_t kMixSampleRate = 48000;
inline constexpr int kMixChannels = 2;

// 48000 Hz, 2 channels, 32-bit float, channel mask 3, IEEE-float sub-format.
WAVEFORMATEXTENSIBLE MakeMixFormat();

// Passes |x| <= 0.8 unchanged and bends louder samples towards +-1.0 with a tanh knee; single
// precision throughout.
float SoftLimit(float x);

// The resampler is fed this many bytes at a time: about 100 ms, a whole number of blocks.
// 0 for a byte rate below 10 blocks per second. The block alignment must not be 0.
std::uint32_t ResamplerPieceBytes(const WAVEFORMATEX& format);

// Device PCM in `format` (WAVEFORMATEX or WAVEFORMATEXTENSIBLE bytes, `formatBytes` long) to
// interleaved 48 kHz stereo float bytes. Fed in ResamplerPieceBytes pieces and drained after
// each. A format it cannot take raises hresult_error with the reason.
std::vector<std::uint8_t> ResampleToMixFormat(const std::vector<std::uint8_t>& pcm,
                                              const WAVEFORMATEX* format,
                                              std::uint32_t formatBytes);

// The chunks' bytes end to end, in list order (gaps in time close up).
std::vector<std::uint8_t> ConcatChunks(const std::deque<AudioChunk>& chunks);
// size / 4 floats; 1 to 3 trailing bytes are ignored.
std::vector<float> BytesToFloats(const std::vector<std::uint8_t>& bytes);

// What the save hands each MixAudioSource call: references to values the save owns.
struct AudioMixJob {
  SaveMemoryLog& log;
  const std::int64_t& clipStart;   // NowHns of mix frame 0
  const std::uint64_t& mixLength;  // frames in the mix buffer
  std::vector<float>& mix;         // interleaved stereo, 2 x mixLength values
};

// Adds one source into the mix, scaled by `gain`: every chunk at its own start time, read in
// its own format (`deviceFormat`, the ring's, for a chunk that carries none). Chunks that follow
// each other in time and format are resampled as one stretch, a piece at a time straight into
// the mix. An empty list, or chunks without any format, add nothing and log nothing.
void MixAudioSource(AudioMixJob& job, const std::deque<AudioChunk>& chunks,
                    const std::vector<std::uint8_t>& deviceFormat, float gain);

// AAC (48 kHz stereo, 128 kbit/s) into one stream of the clip muxer, fed with interleaved
// stereo floats; timestamps run from 0 (the clip start) without gaps.
class AacEncoder {
 public:
  // Raises std::runtime_error "avcodec_open2 failed for aac encoder".
  AacEncoder(AVFormatContext* output, int streamIndex);
  AacEncoder(const AacEncoder&) = delete;
  AacEncoder& operator=(const AacEncoder&) = delete;

  AVCodecContext* CodecContext() const { return codec_.get(); }
  int FrameSize() const { return frameSize_; }
  size_t PendingFrames() const { return pending_.size() / 2; }
  std::int64_t NextPts() const { return nextPts_; }

  void Push(const float* interleaved, size_t frames);
  // Encodes the remainder as one shorter frame and drains the encoder; once, at the end.
  void Flush();

 private:
  // Encodes `samples` frames of the pending samples from value index `from`.
  void EncodeFrameAt(size_t from, int samples);
  void WritePackets();

  AVFormatContext* output_;  // the clip muxer; not owned
  int streamIndex_;
  ffmpeg::CodecContext codec_;
  ffmpeg::Packet packet_;
  int frameSize_ = 1024;
  std::vector<float> pending_;  // interleaved stereo not yet encoded
  std::int64_t nextPts_ = 0;    // in samples at 48 kHz
};

}  // namespace tallowmarch
