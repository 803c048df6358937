// Helpers shared by the GPU-layer and encoder tests: a thread-safe log capture, BGRA source
// textures of known colours, the BT.709 limited-range values a colour must convert to, and a
// demuxer/decoder over an MP4 held in memory.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "engine_log.h"
#include "ffmpeg_handles.h"
#include "gpu/gpu.h"

namespace tallowmarch::testing {

// Collects the lines of a sink; the sink may be called from any thread.
class LineLog {
 public:
  LogSink Sink() {
    return [this](const std::wstring& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    };
  }
  std::vector<std::wstring> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  int CountStartingWith(const std::wstring& prefix) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(),
                                          [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;  // guards lines_
  std::vector<std::wstring> lines_;
};

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
};

struct Yuv {
  double y = 0, u = 0, v = 0;
};

// Full-range RGB to BT.709 YCbCr in limited range (Y 16-235, chroma 16-240).
inline Yuv Bt709Limited(Rgb c) {
  const double r = c.r / 255.0, g = c.g / 255.0, b = c.b / 255.0;
  const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  return {16.0 + 219.0 * y, 128.0 + 224.0 * (b - y) / 1.8556, 128.0 + 224.0 * (r - y) / 1.5748};
}

// Tightly packed BGRA pixels, opaque.
inline std::vector<std::uint8_t> FilledBgra(std::uint32_t width, std::uint32_t height, Rgb c) {
  std::vector<std::uint8_t> pixels(std::size_t{width} * height * 4);
  for (std::size_t i = 0; i < pixels.size(); i += 4) {
    pixels[i] = c.b;
    pixels[i + 1] = c.g;
    pixels[i + 2] = c.r;
    pixels[i + 3] = 255;
  }
  return pixels;
}

inline platform::TextureDesc BgraDesc(std::uint32_t width, std::uint32_t height) {
  platform::TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = platform::kFormatB8G8R8A8Unorm;
  return desc;
}

inline platform::TextureDesc Nv12StagingDesc(std::uint32_t width, std::uint32_t height) {
  platform::TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = platform::kFormatNv12;
  desc.usage = platform::Usage::Staging;
  desc.cpuAccessFlags = platform::kCpuAccessRead;
  return desc;
}

inline platform::TexturePtr MakeBgraTexture(platform::GpuDevice& device, std::uint32_t width,
                                            std::uint32_t height,
                                            const std::vector<std::uint8_t>& pixels) {
  platform::SubresourceData data{pixels.data(), width * 4};
  platform::TexturePtr texture;
  EXPECT_EQ(device.CreateTexture2D(BgraDesc(width, height), &data, texture), S_OK);
  return texture;
}

// One decoded picture, NV12 or YUV420P planes copied out.
struct DecodedPicture {
  int width = 0, height = 0;
  std::int64_t pts = 0;
  AVPixelFormat format = AV_PIX_FMT_NONE;
  std::vector<std::uint8_t> y, u, v;  // u and v: one sample per 2x2 block

  Yuv At(int x, int yPos) const {
    const int cw = width / 2;
    return {static_cast<double>(y[static_cast<std::size_t>(yPos) * width + x]),
            static_cast<double>(u[static_cast<std::size_t>(yPos / 2) * cw + x / 2]),
            static_cast<double>(v[static_cast<std::size_t>(yPos / 2) * cw + x / 2])};
  }
};

// What FFmpeg reads back out of an MP4 in memory.
struct DemuxedVideo {
  bool opened = false;
  int streams = 0;
  AVCodecID codec = AV_CODEC_ID_NONE;
  int width = 0, height = 0;
  AVRational timeBase{0, 1};
  std::vector<std::int64_t> pts;  // per packet, in timeBase
  std::int64_t duration = 0;      // of the stream, in timeBase, as the container states it
  std::vector<bool> key;
  std::vector<DecodedPicture> pictures;  // when decoding was asked for, in output order
};

namespace detail {
struct MemoryInput {
  const std::vector<std::uint8_t>* bytes;
  std::int64_t pos = 0;
  static int Read(void* opaque, std::uint8_t* buf, int size) {
    auto* self = static_cast<MemoryInput*>(opaque);
    const auto total = static_cast<std::int64_t>(self->bytes->size());
    if (self->pos >= total) return AVERROR_EOF;
    const int n = static_cast<int>(std::min<std::int64_t>(size, total - self->pos));
    std::memcpy(buf, self->bytes->data() + self->pos, n);
    self->pos += n;
    return n;
  }
  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<MemoryInput*>(opaque);
    const auto total = static_cast<std::int64_t>(self->bytes->size());
    std::int64_t target = 0;
    switch (whence & ~AVSEEK_FORCE) {
      case AVSEEK_SIZE:
        return total;
      case SEEK_SET:
        target = offset;
        break;
      case SEEK_CUR:
        target = self->pos + offset;
        break;
      case SEEK_END:
        target = total + offset;
        break;
      default:
        return -1;
    }
    if (target < 0) return -1;
    self->pos = target;
    return target;
  }
};

inline void KeepPicture(const AVFrame* f, DemuxedVideo& out) {
  DecodedPicture p;
  p.width = f->width;
  p.height = f->height;
  p.pts = f->pts;
  p.format = static_cast<AVPixelFormat>(f->format);
  p.y.resize(static_cast<std::size_t>(f->width) * f->height);
  for (int r = 0; r < f->height; ++r) {
    std::memcpy(&p.y[static_cast<std::size_t>(r) * f->width], f->data[0] + r * f->linesize[0],
                f->width);
  }
  const int cw = f->width / 2, ch = f->height / 2;
  p.u.resize(static_cast<std::size_t>(cw) * ch);
  p.v.resize(static_cast<std::size_t>(cw) * ch);
  for (int r = 0; r < ch; ++r) {
    for (int c = 0; c < cw; ++c) {
      const std::size_t i = static_cast<std::size_t>(r) * cw + c;
      if (p.format == AV_PIX_FMT_NV12) {
        p.u[i] = f->data[1][r * f->linesize[1] + 2 * c];
        p.v[i] = f->data[1][r * f->linesize[1] + 2 * c + 1];
      } else {
        p.u[i] = f->data[1][r * f->linesize[1] + c];
        p.v[i] = f->data[2][r * f->linesize[2] + c];
      }
    }
  }
  out.pictures.push_back(std::move(p));
}
}  // namespace detail

// Opens `bytes` with FFmpeg's demuxer (format recognised from the bytes), lists the packets of
// the first stream and, when asked, decodes every picture.
inline DemuxedVideo DemuxMp4(const std::vector<std::uint8_t>& bytes, bool decode = false) {
  DemuxedVideo out;
  detail::MemoryInput input{&bytes};
  ffmpeg::AvMemory buffer(static_cast<std::uint8_t*>(av_malloc(4096)));
  ffmpeg::IoContext io(avio_alloc_context(buffer.get(), 4096, 0, &input, &detail::MemoryInput::Read,
                                          nullptr, &detail::MemoryInput::Seek));
  if (!io) return out;
  buffer.release();
  AVFormatContext* raw = avformat_alloc_context();
  raw->pb = io.get();
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (avformat_open_input(&raw, nullptr, nullptr, nullptr) < 0) return out;
  ffmpeg::InputFormat demuxer(raw);
  if (avformat_find_stream_info(demuxer.get(), nullptr) < 0) return out;
  out.opened = true;
  out.streams = static_cast<int>(demuxer->nb_streams);
  if (out.streams == 0) return out;
  AVStream* stream = demuxer->streams[0];
  out.codec = stream->codecpar->codec_id;
  out.width = stream->codecpar->width;
  out.height = stream->codecpar->height;
  out.timeBase = stream->time_base;
  out.duration = stream->duration;

  ffmpeg::CodecContext decoder;
  if (decode) {
    const AVCodec* codec = avcodec_find_decoder(out.codec);
    decoder.reset(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(decoder.get(), stream->codecpar);
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) decoder.reset();
  }
  ffmpeg::Packet packet(av_packet_alloc());
  ffmpeg::Frame picture(av_frame_alloc());
  auto receive = [&] {
    while (avcodec_receive_frame(decoder.get(), picture.get()) == 0) {
      detail::KeepPicture(picture.get(), out);
      av_frame_unref(picture.get());
    }
  };
  while (av_read_frame(demuxer.get(), packet.get()) >= 0) {
    if (packet->stream_index == 0) {
      out.pts.push_back(packet->pts);
      out.key.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
      if (decoder) {
        avcodec_send_packet(decoder.get(), packet.get());
        receive();
      }
    }
    av_packet_unref(packet.get());
  }
  if (decoder) {
    avcodec_send_packet(decoder.get(), nullptr);
    receive();
  }
  return out;
}

}  // namespace tallowmarch::testing
