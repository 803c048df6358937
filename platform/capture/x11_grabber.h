// Reads an area of an X drawable (a window, its Composite pixmap or the root) into memory as
// BGRA with alpha 255: through a MIT-SHM segment when the server offers the extension (no copy
// through the socket), else with a plain GetImage.
//
// One grabber belongs to one capture session and is used by one thread at a time.
#pragma once

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "capture/x11_connection.h"
#include "common/export.h"

namespace tallowmarch::platform {

class TM_EXPORT X11Grabber {
 public:
  explicit X11Grabber(std::shared_ptr<X11Connection> connection);
  ~X11Grabber();
  X11Grabber(const X11Grabber&) = delete;
  X11Grabber& operator=(const X11Grabber&) = delete;

  // Reads `width` x `height` pixels at (x, y) of `drawable` into `destination` (rows of
  // `destinationPitch` bytes). False when the server refuses (the drawable is gone, the area is
  // not inside it, its depth has no 32-bit pixels); `destination` is then left as it may be.
  bool Grab(xcb_drawable_t drawable, std::int16_t x, std::int16_t y, std::uint16_t width,
            std::uint16_t height, std::uint8_t* destination, std::uint32_t destinationPitch);

  // Whether the last successful grab went through shared memory.
  bool UsedShm() const { return usedShm_; }

 private:
  bool EnsureSegment(std::size_t bytes);
  void ReleaseSegment();
  bool GrabShm(xcb_drawable_t drawable, std::int16_t x, std::int16_t y, std::uint16_t width,
               std::uint16_t height, std::uint8_t* destination, std::uint32_t destinationPitch);
  bool GrabPlain(xcb_drawable_t drawable, std::int16_t x, std::int16_t y, std::uint16_t width,
                 std::uint16_t height, std::uint8_t* destination, std::uint32_t destinationPitch);

  std::shared_ptr<X11Connection> connection_;
  bool shmUsable_;             // the server has MIT-SHM and attaching worked so far
  std::uint32_t segment_ = 0;  // the server's id of the attached segment, 0 when none
  void* memory_ = nullptr;
  std::size_t capacity_ = 0;
  bool usedShm_ = false;
};

// Copies `height` rows of `width` 32-bit pixels and sets every alpha byte to 255 (X leaves the
// padding byte of a 24-bit pixel undefined).
TM_EXPORT void CopyPixelsOpaque(const std::uint8_t* source, std::uint32_t sourcePitch,
                                std::uint8_t* destination, std::uint32_t destinationPitch,
                                std::uint32_t width, std::uint32_t height);

}  // namespace tallowmarch::platform
