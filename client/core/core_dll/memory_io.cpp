#include "memory_io.h"

#include <cstdio>
#include <cstring>
#include <new>

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

}  // namespace tallowmarch
