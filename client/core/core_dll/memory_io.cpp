#include "memory_io.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "engine_clock.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

namespace tallowmarch {

int MemoryIoWrite(std::vector<std::uint8_t>& bytes, std::int64_t& position,
                  const std::uint8_t* data, int size) {
  if (size < 0) return AVERROR(EINVAL);
  const std::int64_t end = position + size;
  try {
    if (end > static_cast<std::int64_t>(bytes.size())) {
      bytes.resize(static_cast<std::size_t>(end));  // a gap is zero-filled
    }
  } catch (const std::bad_alloc&) {
    return AVERROR(ENOMEM);
  }
  if (size > 0) std::memcpy(bytes.data() + position, data, static_cast<std::size_t>(size));
  position = end;
  return size;
}

std::int64_t MemoryIoSeek(const std::vector<std::uint8_t>& bytes, std::int64_t& position,
                          std::int64_t offset, int whence) {
  const auto size = static_cast<std::int64_t>(bytes.size());
  std::int64_t base = 0;
  switch (whence) {
    case AVSEEK_SIZE:
      return size;
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = position;
      break;
    case SEEK_END:
      base = size;
      break;
    default:
      return -1;
  }
  std::int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return -1;
  position = target;
  return target;
}

void OpenMemoryMp4Muxer(void* opaque, int (*write)(void*, std::uint8_t*, int),
                        std::int64_t (*seek)(void*, std::int64_t, int), ffmpeg::IoContext& io,
                        ffmpeg::OutputFormat& muxer) {
  ffmpeg::AvMemory buffer(static_cast<std::uint8_t*>(av_malloc(kMemoryIoBufferSize)));
  if (!buffer) throw std::runtime_error("av_malloc failed for the MP4 I/O buffer");
  io.reset(avio_alloc_context(buffer.get(), kMemoryIoBufferSize, 1, opaque, nullptr, write, seek));
  if (!io) throw std::runtime_error("avio_alloc_context failed");
  buffer.release();  // the I/O context owns it now

  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr) < 0 || raw == nullptr) {
    throw std::runtime_error("avformat_alloc_output_context2 failed");
  }
  muxer.reset(raw);
  muxer->pb = io.get();
  muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
}

VideoSegment HandOutSegment(std::vector<std::uint8_t>& bytes, std::uint32_t frameCount,
                            std::int64_t firstTimestamp, bool reencodeAtSave) {
  VideoSegment segment;
  // The file grew by doubling: without the copy to its exact size the ring would hold up to
  // twice its bytes for a minute.
  bytes.shrink_to_fit();
  segment.bytes = std::make_shared<std::vector<std::uint8_t>>(std::move(bytes));
  bytes.clear();
  segment.frameCount = frameCount;
  segment.startTime = firstTimestamp;
  segment.durationSeconds = static_cast<double>(NowHns() - firstTimestamp) / 10000000.0;
  segment.reencodeAtSave = reencodeAtSave;
  return segment;
}

}  // namespace tallowmarch
