// The video processor's pixel work: a whole BGRA picture onto a whole NV12 picture of any size,
// scaled and converted with libswscale on several threads. RGB input is taken as full range;
// the output matrix (BT.601 or BT.709) and range (limited or full) follow the colour space set
// on the processor.
#pragma once

#include <cstdint>
#include <memory>

#include "gpu/gpu.h"

namespace tallowmarch::platform {

struct BgraPicture {
  const std::uint8_t* data = nullptr;
  std::uint32_t width = 0, height = 0, rowPitch = 0;
};

// Both planes share one pitch; chroma starts at data + rowPitch x height.
struct Nv12Picture {
  std::uint8_t* data = nullptr;
  std::uint32_t width = 0, height = 0, rowPitch = 0;
};

// Threads swscale slices a picture into. One: a 1080p picture takes ~3 ms of one core, and
// every further thread costs about another millisecond of CPU per picture in hand-overs. The
// conversion runs on the queue's worker beside the encoder, so its wall time is not what limits
// the frame rate (bench/README.md, live_cost).
inline constexpr int kConverterThreads = 1;

// Not thread-safe: one converter per video processor, used only by the queue's worker.
class VideoConverter {
 public:
  VideoConverter();
  ~VideoConverter();
  VideoConverter(const VideoConverter&) = delete;
  VideoConverter& operator=(const VideoConverter&) = delete;

  // False when swscale cannot set up or run this conversion.
  bool Convert(const BgraPicture& in, const Nv12Picture& out, const VideoColorSpace& inSpace,
               const VideoColorSpace& outSpace);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tallowmarch::platform
