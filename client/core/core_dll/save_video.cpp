#include "save_video.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace tallowmarch {
namespace {

constexpr int kIoBufferBytes = 32768;
constexpr AVRational kHnsTimeBase{1, 10000000};

const std::vector<std::uint8_t>& NoBytes() {
  static const std::vector<std::uint8_t> empty;
  return empty;
}

}  // namespace

int MemoryReader::Read(void* opaque, std::uint8_t* buffer, int size) {
  auto* reader = static_cast<MemoryReader*>(opaque);
  const std::uint64_t total = reader->bytes->size();
  if (reader->position >= total || size <= 0) return AVERROR_EOF;
  const std::uint64_t n =
      std::min<std::uint64_t>(total - reader->position, static_cast<std::uint64_t>(size));
  std::memcpy(buffer, reader->bytes->data() + reader->position, n);
  reader->position += n;
  return static_cast<int>(n);
}

std::int64_t MemoryReader::Seek(void* opaque, std::int64_t offset, int whence) {
  auto* reader = static_cast<MemoryReader*>(opaque);
  const auto size = static_cast<std::int64_t>(reader->bytes->size());
  std::int64_t target;
  switch (whence) {
    case AVSEEK_SIZE:
      return size;
    case SEEK_SET:
      target = offset;
      break;
    case SEEK_CUR:
      target = static_cast<std::int64_t>(reader->position) + offset;
      break;
    case SEEK_END:
      target = size + offset;
      break;
    default:
      return -1;  // AVSEEK_FORCE and other flag bits included
  }
  if (target < 0) return -1;
  reader->position = static_cast<std::uint64_t>(target);
  return target;
}

SegmentDemuxer::SegmentDemuxer(const VideoSegment& segment, const Errors& errors)
    : keepAlive_(segment.bytes) {
  reader_.bytes = keepAlive_ ? keepAlive_.get() : &NoBytes();
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
  if (buffer == nullptr) throw std::bad_alloc();
  io_.reset(avio_alloc_context(buffer, kIoBufferBytes, 0, &reader_, &MemoryReader::Read, nullptr,
                               &MemoryReader::Seek));
  if (!io_) {
    av_free(buffer);
    throw std::bad_alloc();
  }
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) throw std::bad_alloc();
  raw->pb = io_.get();
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  // On failure the library frees the context (not our I/O context).
  if (avformat_open_input(&raw, nullptr, nullptr, nullptr) < 0) {
    throw SegmentOpenError(errors.open);
  }
  demuxer_.reset(raw);
  if (errors.streamInfo != nullptr && avformat_find_stream_info(demuxer_.get(), nullptr) < 0) {
    throw SegmentOpenError(errors.streamInfo);
  }
  videoIndex_ = av_find_best_stream(demuxer_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (videoIndex_ < 0) throw SegmentOpenError(errors.noVideo);
}

std::int64_t PlacePacket(std::int64_t clipTime, AVRational timeBase, std::int64_t lastWritten) {
  const std::int64_t own = av_rescale_q(clipTime, kHnsTimeBase, timeBase);
  // The muxer refuses a packet that does not move forward, and a lost key frame would spoil
  // the rest of its segment.
  if (lastWritten != AV_NOPTS_VALUE && own <= lastWritten) return lastWritten + 1;
  return own;
}

void RemuxSegment(const VideoSegment& segment, AVFormatContext* output, int streamIndex,
                  std::int64_t clipStart, std::int64_t& videoEnd, std::int64_t& lastWritten) {
  SegmentDemuxer input(segment, {"avformat_open_input failed for segment passthrough", nullptr,
                                 "no video stream in segment for passthrough"});
  const AVStream* inStream = input.VideoStream();
  const AVStream* outStream = output->streams[streamIndex];
  const std::int64_t segmentOffset = std::max<std::int64_t>(0, segment.startTime - clipStart);
  std::int64_t firstPts = AV_NOPTS_VALUE;
  ffmpeg::Packet packet(av_packet_alloc());
  if (!packet) throw std::bad_alloc();

  while (av_read_frame(input.Context(), packet.get()) >= 0) {
    if (packet->stream_index != input.VideoIndex()) {
      av_packet_unref(packet.get());
      continue;
    }
    const std::int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (pts == AV_NOPTS_VALUE) {  // nowhere to place it on the time line
      av_packet_unref(packet.get());
      continue;
    }
    if (firstPts == AV_NOPTS_VALUE) firstPts = pts;
    // The segment's first frame is its start time; every frame keeps its own capture time.
    const std::int64_t clipTime =
        av_rescale_q(pts - firstPts, inStream->time_base, kHnsTimeBase) + segmentOffset;
    const std::int64_t ts = PlacePacket(clipTime, outStream->time_base, lastWritten);
    const bool moved = ts != av_rescale_q(clipTime, kHnsTimeBase, outStream->time_base);
    lastWritten = ts;
    packet->pts = ts;
    packet->dts = ts;  // live segments have no B-frames
    packet->duration = av_rescale_q(packet->duration, inStream->time_base, outStream->time_base);
    packet->stream_index = streamIndex;
    packet->pos = -1;
    ffmpeg::Check(av_interleaved_write_frame(output, packet.get()),
                  "writing a segment packet failed");
    videoEnd =
        std::max(videoEnd, moved ? av_rescale_q(ts, outStream->time_base, kHnsTimeBase) : clipTime);
  }
}

}  // namespace tallowmarch
