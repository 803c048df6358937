// Segment encoders: each turns the captured BGRA pictures of one ~2-second segment into one
// self-contained MP4 file in memory. FfmpegSegmentEncoder scales and converts on the GPU (video
// processor into an NV12 render target), copies into one of four CPU-readable staging slots,
// reads back pipelined (a non-blocking attempt after every frame, a bounded blocking wait only
// when all four slots are in flight), encodes with the context's FFmpeg encoder and muxes into
// an "mp4" muxer writing through custom in-memory I/O.
//
// One encoder is used by one thread at a time and locks nothing: built on Start's thread or the
// spare builder, fed by the encoder thread, finished and destroyed by the finalizer. Only
// EncodeFrame, DrainOne and DrainPending touch the context's immediate context; Finish and the
// destructor touch no GPU object of the context, so an encoder may outlive the context.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "clip_window.h"
#include "ffmpeg_handles.h"
#include "gpu/gpu.h"
#include "gpu_encode_context.h"
#include "memory_io.h"

namespace tallowmarch {

class IVideoSegmentEncoder {
 public:
  virtual ~IVideoSegmentEncoder() = default;
  // `source` is the BGRA texture of the source size, `timestamp` the frame's NowHns time.
  // The frame given is always queued; false means an older frame was dropped on the way.
  // Raises hresult_error on a GPU failure (the frame of the call is then not queued).
  virtual bool EncodeFrame(const platform::TexturePtr& source, std::int64_t timestamp,
                           const std::atomic<bool>* framePending) = 0;
  // Returns once every issued readback was encoded or dropped.
  virtual void DrainPending() {}
  // The encoder gets no more frames (a rotation retired it; called after DrainPending): gives
  // back what only encoding needs, so that its memory is free before the next segment's
  // encoder fills up, rather than after the finalizer. Afterwards only Finish follows.
  virtual void Retire() {}
  // Flushes, completes the MP4 and hands it out. At most once, after DrainPending; then the
  // encoder is only destroyed. Raises std::runtime_error when the muxer refused a write or the
  // trailer: such a segment is dropped.
  virtual VideoSegment Finish() = 0;
};

// A FfmpegSegmentEncoder, or the native QSV encoder when the context holds a native session
// (only when one was installed: this engine opens none). Errors of the constructor pass through.
std::unique_ptr<IVideoSegmentEncoder> CreateSegmentEncoder(GpuEncodeContext* context,
                                                           std::uint32_t width,
                                                           std::uint32_t height, std::uint32_t fps,
                                                           std::uint32_t bitrate);

// One issued staging copy, not yet encoded.
struct PendingReadback {
  int stagingSlot = 0;
  std::int64_t timestamp = 0;
};

// avcodec_open2 by default; tests replace it to see the arms of an encoder they cannot open.
using CodecOpener = std::function<int(AVCodecContext*, const AVCodec*, AVDictionary**)>;

class FfmpegSegmentEncoder final : public IVideoSegmentEncoder {
 public:
  static constexpr int kStagingSlots = 4;

  // Raises std::runtime_error when the context has no encoder name, neither codec arm opens or
  // the muxer header cannot be written; hresult_error when a texture cannot be created or the
  // frame buffer cannot be allocated (E_FAIL). A failed construction releases everything.
  FfmpegSegmentEncoder(GpuEncodeContext* context, std::uint32_t width, std::uint32_t height,
                       std::uint32_t fps, std::uint32_t bitrate, CodecOpener opener = {});
  ~FfmpegSegmentEncoder() override;

  FfmpegSegmentEncoder(const FfmpegSegmentEncoder&) = delete;
  FfmpegSegmentEncoder& operator=(const FfmpegSegmentEncoder&) = delete;

  bool EncodeFrame(const platform::TexturePtr& source, std::int64_t timestamp,
                   const std::atomic<bool>* framePending) override;
  void DrainPending() override;
  // Releases the textures, the frame and the queued readbacks; an encoder that holds no frames
  // back (EmitsEveryFrameAtOnce) is also flushed and closed here, and Finish only completes
  // the file. Other encoders keep their codec: their flush may wait, and it stays in Finish.
  void Retire() override;
  VideoSegment Finish() override;

  // 1 encoded, 0 not ready (opportunistic only) or nothing queued, -1 dropped.
  int DrainOne(bool blocking);
  int FindFreeStagingSlot() const;

  // The I/O callbacks (opaque: the encoder), over mp4Bytes and writePos.
  static int MemoryWrite(void* opaque, std::uint8_t* data, int size);
  static std::int64_t MemorySeek(void* opaque, std::int64_t offset, int whence);

  std::size_t QueuedReadbacks() const { return pendingReadbacks.size(); }
  std::uint32_t EncodedFrames() const { return encodedFrames; }
  bool ReencodeAtSave() const { return reencodeAtSave; }
  bool Retired() const { return retired; }
  bool HoldsCodec() const { return static_cast<bool>(codecContext); }
  const std::vector<std::uint8_t>& Bytes() const { return mp4Bytes; }
  std::int64_t WritePosition() const { return writePos; }
  AVFormatContext* Muxer() const { return formatContext.get(); }

 private:
  void ConfigureCodecContext(std::int64_t rate);
  bool OpenCodec(bool lowPower);
  void WritePackets();
  // The pts of a frame captured at `timestamp` (NowHns ticks).
  std::int64_t SegmentPts(std::int64_t timestamp) const;
  // The mapped staging picture into `frame`: lent without a copy when the device keeps the
  // mapped bytes alive after the Unmap (MappedSubresource::keepAlive), else copied row by row.
  bool BorrowMappedPicture();
  void CopyMappedPicture();
  void ReleaseBorrowedPicture();

  GpuEncodeContext* gpuContext;  // not owned
  platform::TexturePtr nv12Target;
  platform::TexturePtr stagingTextures[kStagingSlots];
  std::deque<PendingReadback> pendingReadbacks;
  ffmpeg::CodecContext codecContext;
  ffmpeg::Frame frame;
  ffmpeg::Packet packet;
  ffmpeg::IoContext ioContext;
  // After ioContext, so that the muxer goes first (it leaves custom I/O alone).
  ffmpeg::OutputFormat formatContext;
  AVStream* stream = nullptr;  // owned by formatContext
  std::vector<std::uint8_t> mp4Bytes;
  std::int64_t writePos = 0;
  std::uint32_t encodedFrames = 0;
  std::uint32_t width, height, fps;
  std::int64_t firstTimestamp = 0;
  std::int64_t lastPts = -1;
  bool reencodeAtSave = false;
  bool retired = false;
  bool frameBorrowed = false;  // `frame` points into staging memory, not into its own buffer
  int muxError = 0;            // the first write the muxer refused; 0 while none did

  const AVCodec* codec = nullptr;
  CodecOpener opener;
  platform::MappedSubresource mapped;  // filled by TryMapStagingTexture
  // The copy of the context's sink taken at construction: Finish may run after the context is
  // gone.
  LogSink logSink;
};

}  // namespace tallowmarch
