// The CPU-backed Direct3D 11 device that both layers use: textures in system memory, an
// immediate context that runs its commands in issue order on a worker thread (like a GPU
// queue), and the video processor on libswscale. The sim adds faults through GpuFaults.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <mutex>

#include "common/export.h"
#include "gpu/gpu.h"

namespace tallowmarch::platform {

// The calls whose result can be scripted.
enum class GpuCall {
  CreateFactory,
  CreateDevice,
  CreateTexture2D,
  QueryVideoDevice,
  QueryVideoContext,
  QueryDxgiDevice,
  CreateVideoProcessorEnumerator,
  CreateVideoProcessor,
  CheckVideoProcessorFormat,
  CreateVideoProcessorInputView,
  CreateVideoProcessorOutputView,
  VideoProcessorBlt,
  Map,
  AcquireSync,  // IDXGIKeyedMutex::AcquireSync
  Count
};

// Scripted faults, shared by the layer and every device it made. Thread-safe.
class TM_EXPORT GpuFaults {
 public:
  // From now on `call` answers `hr`: `times` times, or until Reset when `times` is negative.
  void Fail(GpuCall call, HRESULT hr, int times = -1);
  // The next `count` do-not-wait maps answer "still drawing" whatever the queue's state.
  void AddStillDrawingAnswers(int count);
  // Every queued command waits this long before it runs (a slow GPU).
  void SetCommandDelay(std::chrono::microseconds delay);
  // Overrides the format-support flags CheckVideoProcessorFormat reports for NV12.
  void SetNv12SupportFlags(std::uint32_t flags);
  void Reset();

  // Used by the devices.
  HRESULT Check(GpuCall call);
  bool TakeStillDrawing();
  std::chrono::microseconds CommandDelay() const;
  bool Nv12SupportOverride(std::uint32_t& flags) const;
  int StillDrawingAnswersLeft() const;

 private:
  struct Scripted {
    HRESULT hr = S_OK;
    int times = 0;  // negative: always
  };
  mutable std::mutex mutex_;  // guards every field below
  std::array<Scripted, static_cast<std::size_t>(GpuCall::Count)> scripted_{};
  int stillDrawing_ = 0;
  std::chrono::microseconds commandDelay_{0};
  bool nv12Override_ = false;
  std::uint32_t nv12Flags_ = 0;
};

class TM_EXPORT CpuDevice : public GpuDevice {
 public:
  // `faults` may be null (linux).
  static std::shared_ptr<CpuDevice> Create(std::shared_ptr<GpuFaults> faults);

  // Loses the device: from now on it reports `reason`, creates nothing and maps nothing.
  virtual void MarkRemoved(HRESULT reason) = 0;

  // The texture memory the device has mapped: held by textures (and mappings handed out) or
  // kept for the next texture of a size in use.
  struct MemoryHeld {
    std::size_t blocks = 0;
    std::size_t bytes = 0;
  };
  virtual MemoryHeld HeldMemory() = 0;
};

}  // namespace tallowmarch::platform
