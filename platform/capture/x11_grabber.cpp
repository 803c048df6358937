#include "capture/x11_grabber.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>
#include <xcb/shm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tallowmarch::platform {

void CopyPixelsOpaque(const std::uint8_t* source, std::uint32_t sourcePitch,
                      std::uint8_t* destination, std::uint32_t destinationPitch,
                      std::uint32_t width, std::uint32_t height) {
  for (std::uint32_t y = 0; y < height; ++y) {
    const auto* in = reinterpret_cast<const std::uint32_t*>(source + std::size_t{y} * sourcePitch);
    auto* out = reinterpret_cast<std::uint32_t*>(destination + std::size_t{y} * destinationPitch);
    for (std::uint32_t x = 0; x < width; ++x) out[x] = in[x] | 0xFF000000u;
  }
}

namespace {

// Destination objects kept attached at once: enough for the surfaces one capture cycles through.
constexpr std::size_t kMaxAttached = 8;

}  // namespace

X11Grabber::X11Grabber(std::shared_ptr<X11Connection> connection)
    : connection_(std::move(connection)),
      shmUsable_(connection_->HasShm()),
      fdUsable_(connection_->HasShmFd()) {}

X11Grabber::~X11Grabber() {
  Release();
}

void X11Grabber::Release() {
  // The server maps a descriptor's object itself, so these need no round trip.
  for (const Attached& a : attached_) xcb_shm_detach(connection_->Raw(), a.segment);
  attached_.clear();
  ReleaseSegment();
}

std::uint32_t X11Grabber::AttachedSegment(const GrabMemory& memory) {
  const auto hit = std::find_if(attached_.begin(), attached_.end(),
                                [&](const Attached& a) { return a.memoryId == memory.memoryId; });
  if (hit != attached_.end()) {
    std::rotate(hit, hit + 1, attached_.end());
    return attached_.back().segment;
  }
  xcb_connection_t* c = connection_->Raw();
  const int fd = dup(memory.fd);  // xcb closes what it sends
  if (fd < 0) return 0;
  const std::uint32_t segment = xcb_generate_id(c);
  xcb_generic_error_t* error = xcb_request_check(c, xcb_shm_attach_fd_checked(c, segment, fd, 0));
  if (error != nullptr) {
    std::free(error);
    fdUsable_ = false;  // copy through the grabber's own segment from now on
    return 0;
  }
  if (attached_.size() == kMaxAttached) {
    xcb_shm_detach(c, attached_.front().segment);
    attached_.erase(attached_.begin());
  }
  attached_.push_back({memory.memoryId, segment, memory.alive, !memory.alive.expired()});
  return segment;
}

void X11Grabber::ReleaseSegment() {
  if (segment_ != 0) {
    xcb_shm_detach(connection_->Raw(), segment_);
    // The server must have let go of the segment before our mapping goes away.
    xcb_get_input_focus_reply_t* sync = xcb_get_input_focus_reply(
        connection_->Raw(), xcb_get_input_focus(connection_->Raw()), nullptr);
    std::free(sync);
    segment_ = 0;
  }
  if (memory_ != nullptr) {
    shmdt(memory_);
    memory_ = nullptr;
  }
  capacity_ = 0;
}

bool X11Grabber::EnsureSegment(std::size_t bytes) {
  if (segment_ != 0 && capacity_ >= bytes) return true;
  ReleaseSegment();
  const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (id < 0) return false;
  void* memory = shmat(id, nullptr, 0);
  if (memory == reinterpret_cast<void*>(-1)) {
    shmctl(id, IPC_RMID, nullptr);
    return false;
  }
  xcb_connection_t* c = connection_->Raw();
  const std::uint32_t segment = xcb_generate_id(c);
  xcb_generic_error_t* error =
      xcb_request_check(c, xcb_shm_attach_checked(c, segment, static_cast<std::uint32_t>(id), 0));
  // Marked for removal now that both sides are attached: the kernel frees it when the last one
  // detaches, even if this process dies.
  shmctl(id, IPC_RMID, nullptr);
  if (error != nullptr) {
    // A remote server cannot attach our memory: stay with plain GetImage from now on.
    std::free(error);
    shmdt(memory);
    return false;
  }
  segment_ = segment;
  memory_ = memory;
  capacity_ = bytes;
  return true;
}

bool X11Grabber::Grab(xcb_drawable_t drawable, std::int16_t x, std::int16_t y, std::uint16_t width,
                      std::uint16_t height, std::uint8_t* destination,
                      std::uint32_t destinationPitch, const GrabMemory& memory) {
  if (width == 0 || height == 0 || destination == nullptr) return false;
  usedDestination_ = false;
  // Objects freed since the last grab: the server's mapping is all that still holds them.
  std::erase_if(attached_, [this](const Attached& a) {
    if (!a.tracked || !a.alive.expired()) return false;
    xcb_shm_detach(connection_->Raw(), a.segment);
    return true;
  });
  if (shmUsable_ && fdUsable_ && memory.fd >= 0 && destinationPitch == std::uint32_t{width} * 4 &&
      memory.offset <= UINT32_MAX) {
    if (const std::uint32_t segment = AttachedSegment(memory); segment != 0) {
      usedShm_ = usedDestination_ = true;
      return ShmGetImage(drawable, x, y, width, height, segment,
                         static_cast<std::uint32_t>(memory.offset));
    }
  }
  if (shmUsable_) {
    if (EnsureSegment(std::size_t{width} * height * 4)) {
      usedShm_ = true;
      if (!ShmGetImage(drawable, x, y, width, height, segment_, 0)) return false;
      CopyPixelsOpaque(static_cast<const std::uint8_t*>(memory_), std::uint32_t{width} * 4,
                       destination, destinationPitch, width, height);
      return true;
    }
    shmUsable_ = false;
  }
  usedShm_ = false;
  return GrabPlain(drawable, x, y, width, height, destination, destinationPitch);
}

bool X11Grabber::ShmGetImage(xcb_drawable_t drawable, std::int16_t x, std::int16_t y,
                             std::uint16_t width, std::uint16_t height, std::uint32_t segment,
                             std::uint32_t offset) {
  xcb_connection_t* c = connection_->Raw();
  xcb_shm_get_image_reply_t* reply =
      xcb_shm_get_image_reply(c,
                              xcb_shm_get_image(c, drawable, x, y, width, height, ~0u,
                                                XCB_IMAGE_FORMAT_Z_PIXMAP, segment, offset),
                              nullptr);
  if (reply == nullptr) return false;
  const bool whole =
      reply->size >= std::size_t{width} * height * 4 && connection_->GrabbableDepth(reply->depth);
  std::free(reply);
  return whole;
}

bool X11Grabber::GrabPlain(xcb_drawable_t drawable, std::int16_t x, std::int16_t y,
                           std::uint16_t width, std::uint16_t height, std::uint8_t* destination,
                           std::uint32_t destinationPitch) {
  xcb_connection_t* c = connection_->Raw();
  xcb_get_image_reply_t* reply = xcb_get_image_reply(
      c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, x, y, width, height, ~0u), nullptr);
  if (reply == nullptr) return false;
  const int length = xcb_get_image_data_length(reply);
  const bool whole = length >= 0 &&
                     static_cast<std::size_t>(length) >= std::size_t{width} * height * 4 &&
                     connection_->GrabbableDepth(reply->depth);
  if (whole) {
    CopyPixelsOpaque(xcb_get_image_data(reply), std::uint32_t{width} * 4, destination,
                     destinationPitch, width, height);
  }
  std::free(reply);
  return whole;
}

}  // namespace tallowmarch::platform
