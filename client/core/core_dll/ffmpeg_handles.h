// Owning handles for FFmpeg objects. Every FFmpeg object of the engine lives in one of these,
// so that no error path needs a bare free call. An input format context and an output one are
// closed differently, so they are two types that cannot be confused. Also the one check that
// turns an FFmpeg error result into the engine's runtime error.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace tallowmarch::ffmpeg {

struct InputFormatDeleter {
  void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
struct OutputFormatDeleter {
  // Closes nothing: a custom-I/O output has its AVIOContext owned by an IoContext handle.
  void operator()(AVFormatContext* ctx) const { avformat_free_context(ctx); }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct IoContextDeleter {
  // The library may have replaced the buffer it was given: free the one it holds now.
  void operator()(AVIOContext* ctx) const {
    if (ctx != nullptr) av_freep(&ctx->buffer);
    avio_context_free(&ctx);
  }
};
struct SwsDeleter {
  void operator()(SwsContext* ctx) const { sws_freeContext(ctx); }
};
struct SwrDeleter {
  void operator()(SwrContext* ctx) const { swr_free(&ctx); }
};
struct CodecParametersDeleter {
  void operator()(AVCodecParameters* params) const { avcodec_parameters_free(&params); }
};
struct DictionaryDeleter {
  void operator()(AVDictionary* dict) const { av_dict_free(&dict); }
};

using InputFormat = std::unique_ptr<AVFormatContext, InputFormatDeleter>;
using OutputFormat = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using IoContext = std::unique_ptr<AVIOContext, IoContextDeleter>;
using Sws = std::unique_ptr<SwsContext, SwsDeleter>;
using Swr = std::unique_ptr<SwrContext, SwrDeleter>;
using Dictionary = std::unique_ptr<AVDictionary, DictionaryDeleter>;
using CodecParameters = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;

// Memory from av_malloc, until something (an I/O context) takes it over.
struct AvMemoryDeleter {
  void operator()(std::uint8_t* p) const { av_free(p); }
};
using AvMemory = std::unique_ptr<std::uint8_t, AvMemoryDeleter>;

// Raises std::runtime_error "`what` (FFmpeg's reason)" when `result` is an FFmpeg error.
inline void Check(int result, const char* what) {
  if (result >= 0) return;
  char reason[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(result, reason, sizeof reason);
  throw std::runtime_error(std::string(what) + " (" + reason + ")");
}

}  // namespace tallowmarch::ffmpeg
