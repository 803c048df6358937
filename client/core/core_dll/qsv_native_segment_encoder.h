// The native QSV segment encoder: each NV12 frame stays on the GPU and goes to the Intel Media
// SDK session that the encode context holds; the H.264 Annex-B packets that come back are
// rewritten as MP4 samples (4-byte lengths, parameter sets moved into the avcC record) and
// muxed with FFmpeg into the same self-contained in-memory MP4 per segment as
// FfmpegSegmentEncoder writes.
//
// Built only when the context's useNativeQsv is set. EncodeFrame runs on the encoder thread,
// Finish on the finalizer; both reach the one session of the context, which serialises them
// (GpuEncodeContext::qsvMutex). Frames that Finish's drain flushes out of the session go to the
// segment being finished. The encoder's own members are used by one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "clip_window.h"
#include "ffmpeg_handles.h"
#include "gpu_encode_context.h"
#include "memory_io.h"
#include "segment_encoder.h"

namespace tallowmarch {

// One NAL unit inside an Annex-B buffer: its first byte is the NAL header (the start code is
// not part of it). Points into the caller's buffer.
struct NalUnitSpan {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::uint8_t type = 0;  // header byte & 0x1F
};

inline constexpr std::uint8_t kNalTypeIdr = 5;
inline constexpr std::uint8_t kNalTypeSps = 7;
inline constexpr std::uint8_t kNalTypePps = 8;

// Index of the next 00 00 01 or 00 00 00 01 at or after `start`, or `size` when there is none.
std::size_t FindAnnexBStartCode(const std::uint8_t* data, std::size_t size, std::size_t start);

// The units of an Annex-B buffer in order: bytes before the first start code are ignored, zero
// bytes at the end of a unit are not part of it, empty units are skipped.
std::vector<NalUnitSpan> SplitAnnexB(const std::uint8_t* data, std::size_t size);

// The AVCDecoderConfigurationRecord with one SPS and one PPS and 4-byte lengths. An SPS shorter
// than 4 bytes gives profile 66, compatibility 0 and level 31.
std::vector<std::uint8_t> BuildAvcDecoderConfig(const std::vector<std::uint8_t>& sps,
                                                const std::vector<std::uint8_t>& pps);

// One MP4 sample: every unit but SPS and PPS, each behind its length as 4 bytes big-endian.
std::vector<std::uint8_t> AnnexBToLengthPrefixed(const std::vector<NalUnitSpan>& units);

class QsvNativeSegmentEncoder final : public IVideoSegmentEncoder {
 public:
  // The bit rate belongs to the session, not to this encoder. Raises std::runtime_error when the
  // context is missing or the muxer cannot be set up; a failed construction frees everything.
  QsvNativeSegmentEncoder(GpuEncodeContext* context, std::uint32_t width, std::uint32_t height,
                          std::uint32_t fps, std::uint32_t bitrate);
  ~QsvNativeSegmentEncoder() override;

  QsvNativeSegmentEncoder(const QsvNativeSegmentEncoder&) = delete;
  QsvNativeSegmentEncoder& operator=(const QsvNativeSegmentEncoder&) = delete;

  // False when the frame was dropped. `framePending` is not used. Raises hresult_error when a
  // processor view or the blit fails.
  bool EncodeFrame(const platform::TexturePtr& source, std::int64_t timestamp,
                   const std::atomic<bool>* framePending) override;
  // Drains the session into this segment, writes the trailer (when a header was written) and
  // hands the file out.
  VideoSegment Finish() override;

  // Muxes one Annex-B packet. False when it was dropped: no header yet and the packet lacks an
  // SPS or a PPS, or the header could not be written.
  bool WritePacket(const std::uint8_t* data, std::size_t length);

  // The I/O callbacks (opaque: the encoder), over mp4Bytes and writePos.
  static int MemoryWrite(void* opaque, std::uint8_t* data, int size);
  static std::int64_t MemorySeek(void* opaque, std::int64_t offset, int whence);

  bool HeaderWritten() const { return headerWritten; }
  bool FirstFramePending() const { return firstFramePending; }
  std::uint32_t FrameCount() const { return frameCount; }
  std::int64_t FirstTimestamp() const { return firstTimestamp; }
  const std::vector<std::uint8_t>& Bytes() const { return mp4Bytes; }

 private:
  PacketSink ForwardEncodedQsvPacket();
  PacketSink ForwardDrainedQsvPacket();

  GpuEncodeContext* gpuContext;  // not owned
  ffmpeg::IoContext ioContext;
  // After ioContext, so that the muxer goes first (it leaves custom I/O alone).
  ffmpeg::OutputFormat formatContext;
  AVStream* stream = nullptr;  // owned by formatContext
  std::vector<std::uint8_t> mp4Bytes;
  std::int64_t writePos = 0;
  bool headerWritten = false;
  bool firstFramePending = true;  // no frame of this segment taken by the session yet
  std::uint32_t frameCount = 0;   // packets written into the MP4
  std::uint32_t width, height, fps;
  std::int64_t firstTimestamp = 0;  // NowHns of the first frame the session took
};

}  // namespace tallowmarch
