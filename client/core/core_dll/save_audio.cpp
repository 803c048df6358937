#include "save_audio.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "hresult_error.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace tallowmarch {
namespace {

// What Media Foundation answers for a media type its resampler does not take.
constexpr HRESULT kInvalidMediaType = MakeHresult(0xC00D36B4u);  // MF_E_INVALIDMEDIATYPE

// Channel bits FFmpeg and the SPEAKER_* mask share (front left up to top back right).
constexpr std::uint32_t kKnownSpeakerBits = 0x3FFFF;

[[noreturn]] void RejectFormat(const std::string& reason) {
  throw hresult_error(kInvalidMediaType,
                      "audio resampler: unsupported device format (" + reason + ")");
}

// A device format as the resampler reads it.
struct DeviceFormat {
  AVSampleFormat sampleFormat = AV_SAMPLE_FMT_NONE;
  bool packed24 = false;  // 3-byte samples, widened to 32 bits before resampling
  int channels = 0;
  int rate = 0;
  std::uint64_t channelMask = 0;  // 0: the default layout of the channel count
  std::uint32_t blockAlign = 0;
};

DeviceFormat ParseDeviceFormat(const WAVEFORMATEX* format, std::uint32_t formatBytes) {
  if (format == nullptr || formatBytes < sizeof(WAVEFORMATEX)) {
    RejectFormat("format record of " + std::to_string(formatBytes) + " bytes");
  }
  WAVEFORMATEX base;
  std::memcpy(&base, format, sizeof base);
  std::uint16_t tag = base.wFormatTag;
  DeviceFormat out;
  if (tag == WAVE_FORMAT_EXTENSIBLE) {
    if (formatBytes < sizeof(WAVEFORMATEXTENSIBLE) || base.cbSize < 22) {
      RejectFormat("extensible format record of " + std::to_string(formatBytes) + " bytes");
    }
    WAVEFORMATEXTENSIBLE extensible;
    std::memcpy(&extensible, format, sizeof extensible);
    if (extensible.SubFormat == KSDATAFORMAT_SUBTYPE_PCM) {
      tag = WAVE_FORMAT_PCM;
    } else if (extensible.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) {
      tag = WAVE_FORMAT_IEEE_FLOAT;
    } else {
      RejectFormat("extensible sub-format that is neither PCM nor IEEE float");
    }
    const std::uint32_t mask = extensible.dwChannelMask;
    if ((mask & ~kKnownSpeakerBits) == 0 && std::popcount(mask) == base.nChannels) {
      out.channelMask = mask;
    }
  }
  const unsigned bits = base.wBitsPerSample;
  if (tag == WAVE_FORMAT_PCM) {
    switch (bits) {
      case 8:
        out.sampleFormat = AV_SAMPLE_FMT_U8;
        break;
      case 16:
        out.sampleFormat = AV_SAMPLE_FMT_S16;
        break;
      case 24:
        out.sampleFormat = AV_SAMPLE_FMT_S32;
        out.packed24 = true;
        break;
      case 32:
        out.sampleFormat = AV_SAMPLE_FMT_S32;
        break;
      default:
        RejectFormat("integer PCM of " + std::to_string(bits) + " bits");
    }
  } else if (tag == WAVE_FORMAT_IEEE_FLOAT) {
    switch (bits) {
      case 32:
        out.sampleFormat = AV_SAMPLE_FMT_FLT;
        break;
      case 64:
        out.sampleFormat = AV_SAMPLE_FMT_DBL;
        break;
      default:
        RejectFormat("float PCM of " + std::to_string(bits) + " bits");
    }
  } else {
    RejectFormat("format tag " + std::to_string(tag));
  }
  if (base.nChannels == 0) RejectFormat("0 channels");
  if (base.nSamplesPerSec == 0) RejectFormat("a sample rate of 0");
  if (base.nSamplesPerSec > 1000000) {
    RejectFormat("a sample rate of " + std::to_string(base.nSamplesPerSec) + " Hz");
  }
  const std::uint32_t expectedAlign = base.nChannels * (bits / 8);
  if (base.nBlockAlign != expectedAlign) {
    RejectFormat("a block alignment of " + std::to_string(base.nBlockAlign) + " for " +
                 std::to_string(base.nChannels) + " channels of " + std::to_string(bits) + " bits");
  }
  out.channels = base.nChannels;
  out.rate = static_cast<int>(base.nSamplesPerSec);
  out.blockAlign = base.nBlockAlign;
  return out;
}

ffmpeg::Swr CreateResampler(const DeviceFormat& in) {
  AVChannelLayout inLayout{};
  if (in.channelMask != 0) {
    av_channel_layout_from_mask(&inLayout, in.channelMask);
  } else {
    av_channel_layout_default(&inLayout, in.channels);
  }
  AVChannelLayout outLayout = AV_CHANNEL_LAYOUT_STEREO;
  SwrContext* raw = nullptr;
  const int made = swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_FLT, kMixSampleRate,
                                       &inLayout, in.sampleFormat, in.rate, 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  ffmpeg::Swr swr(raw);
  if (made < 0 || !swr) RejectFormat("the resampler cannot be configured for it");
  if (in.channels == 1) {
    // A microphone is mostly mono: heard in both ears at its own level, not 3 dB down.
    const double matrix[2] = {1.0, 1.0};
    swr_set_matrix(swr.get(), matrix, 1);
  }
  if (swr_init(swr.get()) < 0) {
    RejectFormat("the resampler does not open for " + std::to_string(in.channels) +
                 " channels at " + std::to_string(in.rate) + " Hz");
  }
  return swr;
}

// Runs `frames` input frames (none: drain) through the resampler and appends what comes out.
void Convert(SwrContext* swr, const std::uint8_t* input, int frames,
             std::vector<std::uint8_t>& out) {
  constexpr size_t kOutFrameBytes = sizeof(float) * kMixChannels;
  for (;;) {
    const int room = swr_get_out_samples(swr, frames);
    if (room <= 0) return;
    const size_t used = out.size();
    out.resize(used + static_cast<size_t>(room) * kOutFrameBytes);
    std::uint8_t* dst = out.data() + used;
    const int got = swr_convert(swr, &dst, room, frames > 0 ? &input : nullptr, frames);
    if (got < 0) {
      out.resize(used);
      throw hresult_error(E_FAIL, "audio resampler: swr_convert failed");
    }
    out.resize(used + static_cast<size_t>(got) * kOutFrameBytes);
    // A piece is taken whole in one call; draining goes on until nothing is left.
    if (frames > 0 || got == 0) return;
  }
}

}  // namespace

WAVEFORMATEXTENSIBLE MakeMixFormat() {
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = kMixChannels;
  format.Format.nSamplesPerSec = kMixSampleRate;
  format.Format.nBlockAlign = 8;
  format.Format.nAvgBytesPerSec = 8 * kMixSampleRate;
  format.Format.wBitsPerSample = 32;
  format.Format.cbSize = 22;
  format.Samples.wValidBitsPerSample = 32;
  format.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
  format.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  return format;
}

float SoftLimit(float x) {
  const float t = 0.8f;
  const float k = 1.0f - 0.8f;
  const float a = std::fabs(x);
  if (a <= t) return x;
  const float sign = x < 0.0f ? -1.0f : 1.0f;
  return sign * (t + k * std::tanh((a - t) / k));
}

std::uint32_t ResamplerPieceBytes(const WAVEFORMATEX& format) {
  const std::uint32_t align = format.nBlockAlign;
  if (align == 0) return 0;  // a malformed format; the resampler refuses it before feeding
  return ((format.nAvgBytesPerSec / 10) / align) * align;
}

std::vector<std::uint8_t> ResampleToMixFormat(const std::vector<std::uint8_t>& pcm,
                                              const WAVEFORMATEX* format,
                                              std::uint32_t formatBytes) {
  if (pcm.empty()) return {};
  const DeviceFormat in = ParseDeviceFormat(format, formatBytes);
  ffmpeg::Swr swr = CreateResampler(in);

  WAVEFORMATEX base;
  std::memcpy(&base, format, sizeof base);
  const std::uint32_t piece = ResamplerPieceBytes(base);

  std::vector<std::uint8_t> out;
  out.reserve(static_cast<size_t>(static_cast<double>(pcm.size() / in.blockAlign) * kMixSampleRate /
                                  in.rate) *
                  8 +
              65536);
  std::vector<std::int32_t> widened;  // a piece of 24-bit samples in 32-bit form
  size_t offset = 0;
  while (offset < pcm.size()) {
    const size_t n = std::min<size_t>(piece, pcm.size() - offset);
    if (n == 0) break;
    const int frames = static_cast<int>(n / in.blockAlign);  // a torn last frame is left out
    const std::uint8_t* input = pcm.data() + offset;
    if (in.packed24) {
      const size_t samples = static_cast<size_t>(frames) * in.channels;
      widened.resize(samples);
      for (size_t s = 0; s < samples; ++s) {
        const std::uint8_t* b = input + 3 * s;
        widened[s] = static_cast<std::int32_t>((static_cast<std::uint32_t>(b[0]) << 8) |
                                               (static_cast<std::uint32_t>(b[1]) << 16) |
                                               (static_cast<std::uint32_t>(b[2]) << 24));
      }
      input = reinterpret_cast<const std::uint8_t*>(widened.data());
    }
    if (frames > 0) Convert(swr.get(), input, frames, out);
    offset += n;
  }
  Convert(swr.get(), nullptr, 0, out);
  return out;
}

std::vector<std::uint8_t> ConcatChunks(const std::deque<AudioChunk>& chunks) {
  size_t total = 0;
  for (const AudioChunk& chunk : chunks) {
    if (chunk.bytes) total += chunk.bytes->size();
  }
  std::vector<std::uint8_t> raw;
  raw.reserve(total);
  for (const AudioChunk& chunk : chunks) {
    if (chunk.bytes) raw.insert(raw.end(), chunk.bytes->begin(), chunk.bytes->end());
  }
  return raw;
}

std::vector<float> BytesToFloats(const std::vector<std::uint8_t>& bytes) {
  std::vector<float> floats(bytes.size() / 4);
  if (!floats.empty()) std::memcpy(floats.data(), bytes.data(), floats.size() * 4);
  return floats;
}

namespace {

// Chunks of one format whose times follow each other within this many mix frames (0.5 ms) go
// through one resampler as one stretch, so that a join is as seamless as the sound was.
constexpr std::int64_t kJoinToleranceFrames = 24;

std::int64_t MixOffset(std::int64_t time, std::int64_t clipStart) {
  return std::llround(static_cast<double>(time - clipStart) / 10000000.0 * 48000.0);
}

// One stretch of a source's chunks in one device format, resampled a piece at a time straight
// into the mix at its place: nothing of the source is held beyond one piece.
class StretchMixer {
 public:
  StretchMixer(AudioMixJob& job, float gain) : job_(job), gain_(gain) {}

  bool Open() const { return swr_ != nullptr; }

  // True when a chunk in `format` whose first frame lands at mix frame `offset` carries on the
  // open stretch without a gap or an overlap.
  bool Continues(const std::vector<std::uint8_t>* format, std::int64_t offset) const {
    if (!Open() || (format != format_ && *format != *format_)) return false;
    const std::int64_t expected =
        start_ + std::llround(static_cast<double>(fedFrames_) * kMixSampleRate / in_.rate);
    return std::llabs(offset - expected) <= kJoinToleranceFrames;
  }

  void Begin(const std::vector<std::uint8_t>* format, std::int64_t offset) {
    End();
    const auto* header = reinterpret_cast<const WAVEFORMATEX*>(format->data());
    in_ = ParseDeviceFormat(header, static_cast<std::uint32_t>(format->size()));
    WAVEFORMATEX base;
    std::memcpy(&base, header, sizeof base);
    piece_ = ResamplerPieceBytes(base);
    swr_ = CreateResampler(in_);
    format_ = format;
    start_ = offset;
    next_ = offset;
    fedFrames_ = 0;
  }

  void Feed(const std::vector<std::uint8_t>& pcm) {
    size_t offset = 0;
    while (offset < pcm.size()) {
      const size_t n = std::min<size_t>(piece_, pcm.size() - offset);
      if (n == 0) break;  // a byte rate below 10 blocks a second: nothing is fed
      const int frames = static_cast<int>(n / in_.blockAlign);  // a torn last frame is left out
      const std::uint8_t* input = pcm.data() + offset;
      if (in_.packed24) {
        const size_t samples = static_cast<size_t>(frames) * in_.channels;
        widened_.resize(samples);
        for (size_t s = 0; s < samples; ++s) {
          const std::uint8_t* b = input + 3 * s;
          widened_[s] = static_cast<std::int32_t>((static_cast<std::uint32_t>(b[0]) << 8) |
                                                  (static_cast<std::uint32_t>(b[1]) << 16) |
                                                  (static_cast<std::uint32_t>(b[2]) << 24));
        }
        input = reinterpret_cast<const std::uint8_t*>(widened_.data());
      }
      if (frames > 0) {
        out_.clear();
        Convert(swr_.get(), input, frames, out_);
        Add();
        fedFrames_ += static_cast<std::uint64_t>(frames);
      }
      offset += n;
    }
  }

  // Drains the resampler into the mix and closes the stretch.
  void End() {
    if (!Open()) return;
    out_.clear();
    Convert(swr_.get(), nullptr, 0, out_);
    Add();
    swr_.reset();
    format_ = nullptr;
  }

  std::uint64_t FramesOut() const { return framesOut_; }

 private:
  // Adds what the resampler gave at the stretch's current place: frames before the clip start
  // are skipped, frames past the end of the mix are not added.
  void Add() {
    const std::int64_t got = static_cast<std::int64_t>(out_.size() / (sizeof(float) * 2));
    const std::int64_t mixLength = static_cast<std::int64_t>(job_.mixLength);
    const std::int64_t first = std::max<std::int64_t>(0, -next_);
    const std::int64_t last = std::min<std::int64_t>(got, mixLength - next_);
    const auto* samples = reinterpret_cast<const float*>(out_.data());
    float* mix = job_.mix.data();
    for (std::int64_t i = first; i < last; ++i) {
      const std::int64_t d = next_ + i;
      for (int c = 0; c < 2; ++c) {
        const float product = samples[2 * i + c] * gain_;
        mix[2 * d + c] = mix[2 * d + c] + product;
      }
    }
    next_ += got;
    framesOut_ += static_cast<std::uint64_t>(got);
  }

  AudioMixJob& job_;
  const float gain_;
  DeviceFormat in_;
  ffmpeg::Swr swr_;
  const std::vector<std::uint8_t>* format_ = nullptr;  // the open stretch's format
  std::uint32_t piece_ = 0;
  std::int64_t start_ = 0;  // mix frame of the stretch's first frame
  std::int64_t next_ = 0;   // mix frame of the resampler's next output frame
  std::uint64_t fedFrames_ = 0;
  std::uint64_t framesOut_ = 0;
  std::vector<std::int32_t> widened_;  // a piece of 24-bit samples in 32-bit form
  std::vector<std::uint8_t> out_;      // the resampler's output for one piece
};

}  // namespace

void MixAudioSource(AudioMixJob& job, const std::deque<AudioChunk>& chunks,
                    const std::vector<std::uint8_t>& deviceFormat, float gain) {
  if (chunks.empty()) return;
  // Each chunk is read in the format it was recorded in; one recorded without a format of its
  // own is read in the ring's.
  auto formatOf = [&](const AudioChunk& chunk) -> const std::vector<std::uint8_t>* {
    if (chunk.format && !chunk.format->empty()) return chunk.format.get();
    return deviceFormat.empty() ? nullptr : &deviceFormat;
  };
  if (std::none_of(chunks.begin(), chunks.end(),
                   [&](const AudioChunk& chunk) { return formatOf(chunk) != nullptr; })) {
    return;
  }

  size_t rawBytes = 0;
  for (const AudioChunk& chunk : chunks) {
    if (chunk.bytes) rawBytes += chunk.bytes->size();
  }
  LogSaveMemoryStage(job.log, L"audio-concat",
                     L" rawBytes=" + std::to_wstring(rawBytes >> 20) + L"MB");

  // Every chunk at its own start time; a chunk that carries on the one before in time and
  // format continues its stretch through the same resampler.
  StretchMixer stretch(job, gain);
  for (const AudioChunk& chunk : chunks) {
    const std::vector<std::uint8_t>* format = formatOf(chunk);
    if (format == nullptr || !chunk.bytes || chunk.bytes->empty()) continue;
    const std::int64_t offset = MixOffset(chunk.startTime, job.clipStart);
    if (!stretch.Continues(format, offset)) stretch.Begin(format, offset);
    stretch.Feed(*chunk.bytes);
  }
  stretch.End();

  const std::uint64_t mixedBytes = stretch.FramesOut() * sizeof(float) * 2;
  LogSaveMemoryStage(job.log, L"audio-resample",
                     L" resampledBytes=" + std::to_wstring(mixedBytes >> 20) + L"MB");
  LogSaveMemoryStage(job.log, L"audio-floats",
                     L" floatBytes=" + std::to_wstring(mixedBytes >> 20) + L"MB");
}

AacEncoder::AacEncoder(AVFormatContext* output, int streamIndex)
    : output_(output), streamIndex_(streamIndex) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (codec != nullptr) codec_.reset(avcodec_alloc_context3(codec));
  if (!codec_) throw std::runtime_error("avcodec_open2 failed for aac encoder");
  codec_->sample_rate = kMixSampleRate;
  codec_->bit_rate = 128000;
  codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&codec_->ch_layout, kMixChannels);
  codec_->time_base = AVRational{1, static_cast<int>(kMixSampleRate)};
  if (avcodec_open2(codec_.get(), codec, nullptr) < 0) {
    throw std::runtime_error("avcodec_open2 failed for aac encoder");
  }
  frameSize_ = codec_->frame_size >= 1 ? codec_->frame_size : 1024;
  packet_.reset(av_packet_alloc());
  if (!packet_) throw std::bad_alloc();
}

void AacEncoder::Push(const float* interleaved, size_t frames) {
  pending_.insert(pending_.end(), interleaved, interleaved + 2 * frames);
  // Encode from a moving read position and drop what was used once, not frame by frame.
  size_t used = 0;
  while ((pending_.size() - used) / 2 >= static_cast<size_t>(frameSize_)) {
    EncodeFrameAt(used, frameSize_);
    used += 2 * static_cast<size_t>(frameSize_);
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
}

void AacEncoder::Flush() {
  const size_t rest = pending_.size() / 2;
  if (rest > 0) {
    EncodeFrameAt(0, static_cast<int>(rest));
    pending_.clear();
  }
  ffmpeg::Check(avcodec_send_frame(codec_.get(), nullptr), "aac encoder refused the end of stream");
  WritePackets();
}

void AacEncoder::EncodeFrameAt(size_t from, int samples) {
  ffmpeg::Frame frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->sample_rate = kMixSampleRate;
  if (av_channel_layout_copy(&frame->ch_layout, &codec_->ch_layout) < 0) throw std::bad_alloc();
  frame->nb_samples = samples;
  if (av_frame_get_buffer(frame.get(), 0) < 0) throw std::bad_alloc();
  const float* src = pending_.data() + from;
  for (int c = 0; c < 2; ++c) {
    float* plane = reinterpret_cast<float*>(frame->data[c]);
    for (int i = 0; i < samples; ++i) plane[i] = src[2 * i + c];
  }
  frame->pts = nextPts_;
  // A refused frame (NaN samples, say) would leave a gap or no track at all: the save fails.
  ffmpeg::Check(avcodec_send_frame(codec_.get(), frame.get()), "aac encoder refused a frame");
  nextPts_ += samples;
  WritePackets();
}

void AacEncoder::WritePackets() {
  int received;
  while ((received = avcodec_receive_packet(codec_.get(), packet_.get())) == 0) {
    av_packet_rescale_ts(packet_.get(), codec_->time_base,
                         output_->streams[streamIndex_]->time_base);
    packet_->stream_index = streamIndex_;
    ffmpeg::Check(av_interleaved_write_frame(output_, packet_.get()),
                  "writing an aac packet failed");
  }
  if (received != AVERROR(EAGAIN) && received != AVERROR_EOF) {
    ffmpeg::Check(received, "aac encoder failed");
  }
}

}  // namespace tallowmarch
