// A byte buffer that takes its size without writing the bytes first: a reader that fills every
// byte at once (an archive of up to 1 GiB, an extracted entry) need not pay for zeroing them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

namespace tallowmarch::updater {

class ByteBuffer {
 public:
  // `size` bytes of undefined content; false (the buffer then empty) when the memory is not
  // there, which for these sizes is a real outcome.
  bool Resize(std::uint64_t size) {
    bytes_.reset();
    size_ = 0;
    if (size > SIZE_MAX) return false;
    if (size > 0) {
      bytes_.reset(new (std::nothrow) std::uint8_t[static_cast<size_t>(size)]);
      if (!bytes_) return false;
    }
    size_ = static_cast<size_t>(size);
    return true;
  }
  void Clear() {
    bytes_.reset();
    size_ = 0;
  }
  std::uint8_t* data() { return bytes_.get(); }
  const std::uint8_t* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const std::uint8_t> span() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  size_t size_ = 0;
};

}  // namespace tallowmarch::updater
