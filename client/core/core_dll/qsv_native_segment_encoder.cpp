#include "qsv_native_segment_encoder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "memory_io.h"

namespace tallowmarch {

std::size_t FindAnnexBStartCode(const std::uint8_t* data, std::size_t size, std::size_t start) {
  for (std::size_t i = start;; ++i) {
    if (i + 3 > size) return size;
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    if (i + 4 <= size && data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1) {
      return i;
    }
  }
}

std::vector<NalUnitSpan> SplitAnnexB(const std::uint8_t* data, std::size_t size) {
  std::vector<NalUnitSpan> units;
  std::size_t pos = FindAnnexBStartCode(data, size, 0);
  while (pos < size) {
    const std::size_t codeLength = data[pos + 2] == 1 ? 3 : 4;
    const std::size_t start = pos + codeLength;
    const std::size_t next = FindAnnexBStartCode(data, size, start);
    if (start < size) {
      std::size_t end = next;
      while (end > start && data[end - 1] == 0) --end;  // zeros before the next start code
      if (end > start) {
        units.push_back({data + start, end - start, static_cast<std::uint8_t>(data[start] & 0x1F)});
      }
    }
    pos = next;
  }
  return units;
}

std::vector<std::uint8_t> BuildAvcDecoderConfig(const std::vector<std::uint8_t>& sps,
                                                const std::vector<std::uint8_t>& pps) {
  const bool full = sps.size() >= 4;
  std::vector<std::uint8_t> record;
  record.reserve(11 + sps.size() + pps.size());
  record.push_back(1);                   // configurationVersion
  record.push_back(full ? sps[1] : 66);  // profile (Baseline when unknown)
  record.push_back(full ? sps[2] : 0);   // compatibility flags
  record.push_back(full ? sps[3] : 31);  // level (3.1 when unknown)
  record.push_back(0xFF);                // reserved bits, 4-byte lengths
  record.push_back(0xE1);                // reserved bits, one SPS
  record.push_back(static_cast<std::uint8_t>(sps.size() >> 8));
  record.push_back(static_cast<std::uint8_t>(sps.size()));
  record.insert(record.end(), sps.begin(), sps.end());
  record.push_back(1);  // one PPS
  record.push_back(static_cast<std::uint8_t>(pps.size() >> 8));
  record.push_back(static_cast<std::uint8_t>(pps.size()));
  record.insert(record.end(), pps.begin(), pps.end());
  return record;
}

std::vector<std::uint8_t> AnnexBToLengthPrefixed(const std::vector<NalUnitSpan>& units) {
  std::size_t total = 0;
  for (const NalUnitSpan& unit : units) {
    if (unit.type != kNalTypeSps && unit.type != kNalTypePps) total += 4 + unit.size;
  }
  std::vector<std::uint8_t> sample;
  sample.reserve(total);
  for (const NalUnitSpan& unit : units) {
    // Parameter sets live in the avcC record; everything else (SEI, delimiters) stays.
    if (unit.type == kNalTypeSps || unit.type == kNalTypePps) continue;
    const auto n = static_cast<std::uint32_t>(unit.size);
    sample.push_back(static_cast<std::uint8_t>(n >> 24));
    sample.push_back(static_cast<std::uint8_t>(n >> 16));
    sample.push_back(static_cast<std::uint8_t>(n >> 8));
    sample.push_back(static_cast<std::uint8_t>(n));
    sample.insert(sample.end(), unit.data, unit.data + unit.size);
  }
  return sample;
}

QsvNativeSegmentEncoder::QsvNativeSegmentEncoder(GpuEncodeContext* context, std::uint32_t width,
                                                 std::uint32_t height, std::uint32_t fps,
                                                 std::uint32_t /*bitrate*/)
    : gpuContext(context), width(width), height(height), fps(fps) {
  if (gpuContext == nullptr) throw std::runtime_error("Segment encoder without encode context");

  OpenMemoryMp4Muxer(this, &QsvNativeSegmentEncoder::MemoryWrite,
                     &QsvNativeSegmentEncoder::MemorySeek, ioContext, formatContext);

  stream = avformat_new_stream(formatContext.get(), nullptr);
  if (stream == nullptr) throw std::runtime_error("avformat_new_stream failed");
  stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  stream->codecpar->codec_id = AV_CODEC_ID_H264;
  stream->codecpar->width = static_cast<int>(width);
  stream->codecpar->height = static_cast<int>(height);
  stream->time_base = AVRational{1, static_cast<int>(fps)};
  // The header waits for the first packet: it needs that packet's SPS and PPS.
}

QsvNativeSegmentEncoder::~QsvNativeSegmentEncoder() {
  // No trailer: an unfinished segment is dropped. The context is not touched.
  formatContext.reset();
  ioContext.reset();
}

bool QsvNativeSegmentEncoder::EncodeFrame(const platform::TexturePtr& source,
                                          std::int64_t timestamp,
                                          const std::atomic<bool>* framePending) {
  if (firstFramePending) firstTimestamp = timestamp;
  return gpuContext->EncodeQsvNative(source, timestamp, framePending, firstFramePending,
                                     ForwardEncodedQsvPacket());
}

PacketSink QsvNativeSegmentEncoder::ForwardEncodedQsvPacket() {
  return [this](const std::uint8_t* data, std::uint32_t length) { WritePacket(data, length); };
}

PacketSink QsvNativeSegmentEncoder::ForwardDrainedQsvPacket() {
  return [this](const std::uint8_t* data, std::uint32_t length) { WritePacket(data, length); };
}

bool QsvNativeSegmentEncoder::WritePacket(const std::uint8_t* data, std::size_t length) {
  const std::vector<NalUnitSpan> units = SplitAnnexB(data, length);

  if (!headerWritten) {
    const NalUnitSpan* sps = nullptr;
    const NalUnitSpan* pps = nullptr;
    for (const NalUnitSpan& unit : units) {
      if (unit.type == kNalTypeSps) sps = &unit;
      if (unit.type == kNalTypePps) pps = &unit;
    }
    if (sps == nullptr || pps == nullptr) return false;
    const std::vector<std::uint8_t> record = BuildAvcDecoderConfig(
        {sps->data, sps->data + sps->size}, {pps->data, pps->data + pps->size});
    AVCodecParameters* parameters = stream->codecpar;
    av_freep(&parameters->extradata);  // an earlier packet's, when its header failed
    parameters->extradata_size = 0;
    // FFmpeg reads up to AV_INPUT_BUFFER_PADDING_SIZE (64) bytes past extradata.
    parameters->extradata =
        static_cast<std::uint8_t*>(av_mallocz(record.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (parameters->extradata == nullptr) return false;
    std::memcpy(parameters->extradata, record.data(), record.size());
    parameters->extradata_size = static_cast<int>(record.size());
    if (avformat_write_header(formatContext.get(), nullptr) < 0) return false;
    headerWritten = true;
  }

  const std::vector<std::uint8_t> sample = AnnexBToLengthPrefixed(units);
  if (sample.empty()) return true;  // parameter sets only

  ffmpeg::Packet packet(av_packet_alloc());
  if (!packet || av_new_packet(packet.get(), static_cast<int>(sample.size())) < 0) return false;
  std::memcpy(packet->data, sample.data(), sample.size());
  const AVRational frameInterval{1, static_cast<int>(fps)};
  packet->pts = av_rescale_q(frameCount, frameInterval, stream->time_base);
  packet->dts = packet->pts;
  // Without a duration the segment's last frame would have no length.
  packet->duration = av_rescale_q(1, frameInterval, stream->time_base);
  // IDR samples are the MP4's sync samples: without them players cannot seek the segment.
  if (std::any_of(units.begin(), units.end(),
                  [](const NalUnitSpan& unit) { return unit.type == kNalTypeIdr; })) {
    packet->flags |= AV_PKT_FLAG_KEY;
  }
  packet->stream_index = stream->index;
  av_interleaved_write_frame(formatContext.get(), packet.get());
  ++frameCount;
  return true;
}

VideoSegment QsvNativeSegmentEncoder::Finish() {
  gpuContext->DrainQsvNative(ForwardDrainedQsvPacket());
  if (headerWritten) av_write_trailer(formatContext.get());

  return HandOutSegment(mp4Bytes, frameCount, firstTimestamp, false);
}

int QsvNativeSegmentEncoder::MemoryWrite(void* opaque, std::uint8_t* data, int size) {
  auto* self = static_cast<QsvNativeSegmentEncoder*>(opaque);
  return MemoryIoWrite(self->mp4Bytes, self->writePos, data, size);
}

std::int64_t QsvNativeSegmentEncoder::MemorySeek(void* opaque, std::int64_t offset, int whence) {
  auto* self = static_cast<QsvNativeSegmentEncoder*>(opaque);
  return MemoryIoSeek(self->mp4Bytes, self->writePos, offset, whence);
}

}  // namespace tallowmarch
