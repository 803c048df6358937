#include "save_reencoder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "encoder_options.h"
#include "gpu_encode_context.h"
#include "platform.h"
#include "save_video.h"
#include "system/system.h"

namespace tallowmarch {
namespace {

constexpr AVRational kHnsTimeBase{1, 10000000};
// The clip's video counts time in 1/90000 s, like the live segments, so that each frame keeps
// its own time instead of being rounded (and pushed) onto a grid of whole frames.
constexpr AVRational kClipVideoTimeBase{1, 90000};

struct QualityTier {
  EncoderOpenProfile profile;
  const wchar_t* modeEnd;
};
// Tried in this order; there is no fall-back from QUALITY to CURRENT.
constexpr QualityTier kQualityTiers[] = {
    {EncoderOpenProfile::SaveQualityTier2, L"LA-VBR depth=40 +extbrc)"},
    {EncoderOpenProfile::SaveQualityTier1, L"+extbrc, no-LA)"},
    {EncoderOpenProfile::SaveQualityTier0, L"preset-only)"},
};

bool OpenWithOptions(AVCodecContext* context, const AVCodec* codec, const std::string& name,
                     EncoderOpenProfile profile) {
  AVDictionary* options = BuildEncoderOptions(name, profile).release();
  const int result = avcodec_open2(context, codec, &options);
  ffmpeg::Dictionary leftover(options);  // what the encoder did not take
  return result >= 0;
}

}  // namespace

bool SaveQualityRequested() {
  wchar_t value[8] = {};
  return platform::System().GetEnvironmentVariable(L"TALLOWMARCH_SAVE_QUALITY", value, 8) == 1 &&
         value[0] == L'1';
}

SaveReencoder::SaveReencoder(GpuEncodeContext& context, AVFormatContext* output, int streamIndex,
                             int width, int height, int fps, int bitRate)
    : SaveReencoder(context.ffmpegEncoderName, context.logSink, output, streamIndex, width, height,
                    fps, bitRate) {}

SaveReencoder::SaveReencoder(const std::string& encoderName, const LogSink& contextSink,
                             AVFormatContext* output, int streamIndex, int width, int height,
                             int fps, int bitRate)
    : output_(output), streamIndex_(streamIndex), width_(width), height_(height) {
  const AVCodec* codec = avcodec_find_encoder_by_name(encoderName.c_str());
  if (codec == nullptr) throw std::runtime_error("save-time re-encoder: encoder not found");
  const bool quality = SaveQualityRequested();
  fps = std::max(fps, 1);

  bool opened = false;
  Configure(codec, quality, fps, bitRate);
  if (!quality) {
    opened = OpenWithOptions(codec_.get(), codec, encoderName, EncoderOpenProfile::SaveCurrent);
    mode_ = L"CURRENT (veryfast, VBR, no-B, GOP=2s)";
  } else {
    bool first = true;
    for (const QualityTier& tier : kQualityTiers) {
      if (!first) Configure(codec, quality, fps, bitRate);  // a failed open spoils the context
      first = false;
      if (OpenWithOptions(codec_.get(), codec, encoderName, tier.profile)) {
        opened = true;
        mode_ = std::wstring(L"QUALITY (veryslow, B=3, GOP=10s, ") + tier.modeEnd;
        break;
      }
    }
  }
  if (!opened) throw std::runtime_error("save-time re-encoder: avcodec_open2 failed");

  if (contextSink) {
    contextSink(L"[DIAG-SAVE-QUALITY] mode=" + mode_ + L" @ " + std::to_wstring(bitRate / 1000) +
                L"kbps");
  }

  packet_.reset(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  if (!packet_ || !frame_) throw std::bad_alloc();
  frame_->format = AV_PIX_FMT_NV12;
  frame_->width = width_;
  frame_->height = height_;
  if (av_frame_get_buffer(frame_.get(), 0) < 0) throw std::bad_alloc();
}

void SaveReencoder::Configure(const AVCodec* codec, bool quality, int fps, int bitRate) {
  codec_.reset(avcodec_alloc_context3(codec));
  if (!codec_) throw std::bad_alloc();
  codec_->width = width_;
  codec_->height = height_;
  codec_->time_base = kClipVideoTimeBase;
  frameInterval_ = av_rescale_q(1, AVRational{1, fps}, kClipVideoTimeBase);
  codec_->framerate = AVRational{fps, 1};
  codec_->pix_fmt = AV_PIX_FMT_NV12;
  codec_->bit_rate = bitRate;
  codec_->rc_max_rate = 2 * static_cast<std::int64_t>(bitRate);
  codec_->rc_buffer_size = RateControlBufferSize(bitRate);
  codec_->gop_size = (quality ? 10 : 2) * fps;
  codec_->max_b_frames = quality ? 3 : 0;
  codec_->color_primaries = AVCOL_PRI_BT709;
  codec_->color_trc = AVCOL_TRC_BT709;
  codec_->colorspace = AVCOL_SPC_BT709;
  codec_->color_range = AVCOL_RANGE_MPEG;
  if (output_->oformat->flags & AVFMT_GLOBALHEADER) {
    codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
}

void SaveReencoder::ExportStreamParameters(AVStream* stream) {
  if (avcodec_parameters_from_context(stream->codecpar, codec_.get()) < 0) {
    throw std::bad_alloc();
  }
  stream->time_base = codec_->time_base;
}

void SaveReencoder::EncodeDecodedFrame(const AVFrame* decoded, AVRational sourceTimeBase,
                                       std::int64_t segmentOffset, std::int64_t& firstPts,
                                       std::int64_t& videoEnd) {
  if (firstPts == AV_NOPTS_VALUE) firstPts = decoded->pts != AV_NOPTS_VALUE ? decoded->pts : 0;
  const std::int64_t sourcePts = decoded->pts != AV_NOPTS_VALUE ? decoded->pts : firstPts;
  const std::int64_t clipTime =
      av_rescale_q(sourcePts - firstPts, sourceTimeBase, kHnsTimeBase) + segmentOffset;
  // Only a frame that would land on the previous one moves, by one tick.
  // (Before the first frame the last timestamp is -1: nothing is placed before 0.)
  const std::int64_t pts = PlacePacket(clipTime, codec_->time_base, lastTimestamp_);
  lastTimestamp_ = pts;

  av_frame_make_writable(frame_.get());
  ConvertInto(decoded);
  frame_->pts = pts;
  ffmpeg::Check(avcodec_send_frame(codec_.get(), frame_.get()),
                "save-time re-encoder: the encoder refused a frame");
  WritePackets();
  videoEnd = std::max(videoEnd, clipTime);
}

void SaveReencoder::ConvertInto(const AVFrame* decoded) {
  const int format = decoded->format;
  if (format != AV_PIX_FMT_NV12 && format != AV_PIX_FMT_YUV420P) {
    throw std::runtime_error("save-time transcode: unexpected decoded pixel format " +
                             std::to_string(format));
  }
  if (decoded->width != width_ || decoded->height != height_) {
    // Another size than the capture's: scaled to the encoder's, never read past the picture.
    if (!scaler_ || scalerWidth_ != decoded->width || scalerHeight_ != decoded->height ||
        scalerFormat_ != format) {
      scaler_.reset(sws_getContext(decoded->width, decoded->height,
                                   static_cast<AVPixelFormat>(format), width_, height_,
                                   AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr));
      if (!scaler_) throw std::runtime_error("save-time transcode: cannot scale decoded frame");
      scalerWidth_ = decoded->width;
      scalerHeight_ = decoded->height;
      scalerFormat_ = format;
    }
    sws_scale(scaler_.get(), decoded->data, decoded->linesize, 0, decoded->height, frame_->data,
              frame_->linesize);
    return;
  }
  for (int row = 0; row < height_; ++row) {
    std::memcpy(frame_->data[0] + row * frame_->linesize[0],
                decoded->data[0] + row * decoded->linesize[0], static_cast<size_t>(width_));
  }
  const int chromaWidth = width_ / 2;
  for (int row = 0; row < height_ / 2; ++row) {
    std::uint8_t* out = frame_->data[1] + row * frame_->linesize[1];
    if (format == AV_PIX_FMT_NV12) {
      std::memcpy(out, decoded->data[1] + row * decoded->linesize[1],
                  static_cast<size_t>(2 * chromaWidth));
    } else {
      const std::uint8_t* u = decoded->data[1] + row * decoded->linesize[1];
      const std::uint8_t* v = decoded->data[2] + row * decoded->linesize[2];
      for (int x = 0; x < chromaWidth; ++x) {
        out[2 * x] = u[x];
        out[2 * x + 1] = v[x];
      }
    }
  }
}

void SaveReencoder::WritePackets() {
  AVStream* stream = output_->streams[streamIndex_];
  int received;
  while ((received = avcodec_receive_packet(codec_.get(), packet_.get())) == 0) {
    // libx264 leaves the duration at 0; one frame interval, so the clip's last frame has a
    // length.
    if (packet_->duration == 0) packet_->duration = frameInterval_;
    av_packet_rescale_ts(packet_.get(), codec_->time_base, stream->time_base);
    packet_->stream_index = streamIndex_;
    packet_->pos = -1;
    ffmpeg::Check(av_interleaved_write_frame(output_, packet_.get()),
                  "save-time re-encoder: writing a packet failed");
  }
  if (received != AVERROR(EAGAIN) && received != AVERROR_EOF) {
    ffmpeg::Check(received, "save-time re-encoder: the encoder failed");
  }
}

void SaveReencoder::Flush() {
  ffmpeg::Check(avcodec_send_frame(codec_.get(), nullptr),
                "save-time re-encoder: the encoder refused the end of stream");
  WritePackets();
}

void TranscodeSegment(SaveReencoder& encoder, const VideoSegment& segment, std::int64_t clipStart,
                      std::int64_t& videoEnd) {
  SegmentDemuxer input(segment, {"save-time transcode: avformat_open_input failed",
                                 "save-time transcode: find_stream_info failed",
                                 "save-time transcode: no video stream"});
  const AVStream* stream = input.VideoStream();
  const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
  ffmpeg::CodecContext context(decoder != nullptr ? avcodec_alloc_context3(decoder) : nullptr);
  if (!context || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0) {
    throw std::runtime_error("save-time transcode: decoder open failed");
  }
  context->thread_count = 4;
  if (avcodec_open2(context.get(), decoder, nullptr) < 0) {
    throw std::runtime_error("save-time transcode: decoder open failed");
  }

  const std::int64_t segmentOffset = std::max<std::int64_t>(0, segment.startTime - clipStart);
  std::int64_t firstPts = AV_NOPTS_VALUE;
  ffmpeg::Frame frame(av_frame_alloc());
  ffmpeg::Packet packet(av_packet_alloc());
  if (!frame || !packet) throw std::bad_alloc();
  auto encodeReady = [&] {
    while (avcodec_receive_frame(context.get(), frame.get()) == 0) {
      encoder.EncodeDecodedFrame(frame.get(), stream->time_base, segmentOffset, firstPts, videoEnd);
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(input.Context(), packet.get()) >= 0) {
    if (packet->stream_index == input.VideoIndex() &&
        avcodec_send_packet(context.get(), packet.get()) == 0) {
      encodeReady();
    }
    av_packet_unref(packet.get());
  }
  avcodec_send_packet(context.get(), nullptr);
  encodeReady();
}

}  // namespace tallowmarch
