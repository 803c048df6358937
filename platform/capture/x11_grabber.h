// Reads an area of an X drawable (a window, its Composite pixmap or the root) into memory as
// 32-bit BGRX pixels: through a MIT-SHM segment when the server offers the extension (no copy
// through the socket), else with a plain GetImage. When the destination is itself a shareable
// memory object and the server can attach it by descriptor, the server writes the pixels
// straight into it and the fourth byte of each pixel is what the server leaves there (undefined
// for a 24-bit drawable); every other way copies the pixels over and sets it to 255.
//
// One grabber belongs to one capture session and is used by one thread at a time.
#pragma once

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/x11_connection.h"
#include "common/export.h"

namespace tallowmarch::platform {

// The destination of a grab as a shareable memory object: `fd` (-1: it is not one), the
// destination's `offset` in it and a `memoryId` that names the object for the life of the
// process (the grabber keeps the server's attachments by it). When `alive` is given, its expiry
// tells that the object was freed: the server's attachment is then dropped at the next grab, so
// that the server does not keep the memory mapped.
struct GrabMemory {
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t memoryId = 0;
  std::weak_ptr<const void> alive = {};
};

class TM_EXPORT X11Grabber {
 public:
  explicit X11Grabber(std::shared_ptr<X11Connection> connection);
  ~X11Grabber();
  X11Grabber(const X11Grabber&) = delete;
  X11Grabber& operator=(const X11Grabber&) = delete;

  // Reads `width` x `height` pixels at (x, y) of `drawable` into `destination` (rows of
  // `destinationPitch` bytes). False when the server refuses (the drawable is gone, the area is
  // not inside it, its depth has no 32-bit pixels); `destination` is then left as it may be.
  // `memory` describes `destination` when it is a shareable object.
  bool Grab(xcb_drawable_t drawable, std::int16_t x, std::int16_t y, std::uint16_t width,
            std::uint16_t height, std::uint8_t* destination, std::uint32_t destinationPitch,
            const GrabMemory& memory = {});

  // Detaches everything the server attached for this grabber and frees the grabber's own
  // segment; a later grab attaches again.
  void Release();

  // Whether the last successful grab went through shared memory.
  bool UsedShm() const { return usedShm_; }
  // Whether the last successful grab was written by the server straight into the destination.
  bool UsedDestination() const { return usedDestination_; }

 private:
  bool EnsureSegment(std::size_t bytes);
  void ReleaseSegment();
  // The server's segment for the object of `memory`, attached now if it is not yet; 0 when
  // the server cannot attach it.
  std::uint32_t AttachedSegment(const GrabMemory& memory);
  bool ShmGetImage(xcb_drawable_t drawable, std::int16_t x, std::int16_t y, std::uint16_t width,
                   std::uint16_t height, std::uint32_t segment, std::uint32_t offset);
  bool GrabPlain(xcb_drawable_t drawable, std::int16_t x, std::int16_t y, std::uint16_t width,
                 std::uint16_t height, std::uint8_t* destination, std::uint32_t destinationPitch);

  std::shared_ptr<X11Connection> connection_;
  bool shmUsable_;             // the server has MIT-SHM and attaching worked so far
  std::uint32_t segment_ = 0;  // the server's id of the attached segment, 0 when none
  void* memory_ = nullptr;
  std::size_t capacity_ = 0;
  bool usedShm_ = false;
  bool usedDestination_ = false;
  // Attachments of destination objects, the most recently used last; a few at most, as a
  // capture cycles through a few surfaces.
  struct Attached {
    std::uint64_t memoryId;
    std::uint32_t segment;
    std::weak_ptr<const void> alive;
    bool tracked;  // `alive` was given
  };
  bool fdUsable_;  // the server attaches descriptors and has not refused one
  std::vector<Attached> attached_;
};

// Copies `height` rows of `width` 32-bit pixels and sets every alpha byte to 255 (X leaves the
// padding byte of a 24-bit pixel undefined).
TM_EXPORT void CopyPixelsOpaque(const std::uint8_t* source, std::uint32_t sourcePitch,
                                std::uint8_t* destination, std::uint32_t destinationPitch,
                                std::uint32_t width, std::uint32_t height);

}  // namespace tallowmarch::platform
