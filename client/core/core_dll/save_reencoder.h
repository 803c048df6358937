// The save-time re-encoder: when any segment of a clip came from the fast two-stage live arm,
// every segment is decoded and encoded again into one continuous H.264 stream at the capture's
// bit rate, with the encoder the live segments use. CURRENT (GOP 2 s, no B-frames) by default;
// TALLOWMARCH_SAVE_QUALITY=1 selects QUALITY (GOP 10 s, 3 B-frames, slower options in tiers).
#pragma once

#include <cstdint>
#include <string>

#include "clip_window.h"
#include "engine_log.h"
#include "ffmpeg_handles.h"

namespace tallowmarch {

class GpuEncodeContext;

// True only when TALLOWMARCH_SAVE_QUALITY is exactly "1".
bool SaveQualityRequested();

class SaveReencoder {
 public:
  // Opens the context's FFmpeg encoder. Raises std::runtime_error "save-time re-encoder:
  // encoder not found" or "save-time re-encoder: avcodec_open2 failed".
  SaveReencoder(GpuEncodeContext& context, AVFormatContext* output, int streamIndex, int width,
                int height, int fps, int bitRate);
  // The same from the two things of the context it uses: the encoder name and the log sink
  // that receives the "[DIAG-SAVE-QUALITY] mode=" line.
  SaveReencoder(const std::string& encoderName, const LogSink& contextSink, AVFormatContext* output,
                int streamIndex, int width, int height, int fps, int bitRate);
  SaveReencoder(const SaveReencoder&) = delete;
  SaveReencoder& operator=(const SaveReencoder&) = delete;

  // Codec parameters and time base (1/90000) into the clip's video stream, before the header.
  void ExportStreamParameters(AVStream* stream);
  // Places one decoded frame on the clip time line (strictly increasing timestamps), converts
  // it to NV12 of the encoder's size and encodes it; raises `videoEnd` to its clip time.
  void EncodeDecodedFrame(const AVFrame* decoded, AVRational sourceTimeBase,
                          std::int64_t segmentOffset, std::int64_t& firstPts,
                          std::int64_t& videoEnd);
  void WritePackets();
  // Ends the stream; once, after the last segment.
  void Flush();

  const std::wstring& ModeText() const { return mode_; }
  const AVCodecContext* CodecContext() const { return codec_.get(); }

 private:
  void Configure(const AVCodec* codec, bool quality, int fps, int bitRate);
  void ConvertInto(const AVFrame* decoded);

  AVFormatContext* output_;  // the clip muxer; not owned
  int streamIndex_;
  int width_, height_;
  ffmpeg::CodecContext codec_;
  ffmpeg::Packet packet_;
  ffmpeg::Frame frame_;  // NV12, width x height, reused for every frame
  std::int64_t lastTimestamp_ = -1;
  std::int64_t frameInterval_ = 1;  // one frame in the codec's time base
  std::wstring mode_;
  // Scales decoded pictures whose size differs from the encoder's; built for the first such
  // size and rebuilt when it changes.
  ffmpeg::Sws scaler_;
  int scalerWidth_ = 0, scalerHeight_ = 0, scalerFormat_ = -1;
};

// Decodes one segment and feeds its frames to the re-encoder; the encoder is not flushed, so
// the clip is one continuous encode. Raises std::runtime_error.
void TranscodeSegment(SaveReencoder& encoder, const VideoSegment& segment, std::int64_t clipStart,
                      std::int64_t& videoEnd);

}  // namespace tallowmarch
