// The bounded wait for a GPU copy to become readable: polls a non-blocking map until it
// succeeds, a cancel predicate says stop, or a deadline passes. Anything but "still drawing" is
// a real failure and raises.
#pragma once

#include <chrono>
#include <thread>

#include "common/win_types.h"
#include "gpu/gpu.h"
#include "hresult_error.h"

namespace tallowmarch {

enum class MapRetryResult { Mapped = 0, Cancelled = 1, TimedOut = 2 };

// tryMap() -> HRESULT, shouldCancel() -> bool. The first attempt is always made and the
// deadline is looked at only after a still-drawing answer, so a wait may overrun the deadline by
// one sleep and one attempt.
template <class TryMap, class ShouldCancel>
MapRetryResult BoundedMapRetry(TryMap&& tryMap, ShouldCancel&& shouldCancel,
                               std::chrono::milliseconds deadline,
                               std::chrono::milliseconds sleepInterval) {
  const auto deadlineAt = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    const HRESULT hr = tryMap();
    if (hr == S_OK) return MapRetryResult::Mapped;
    if (hr != DXGI_ERROR_WAS_STILL_DRAWING) throw hresult_error(hr, DescribeHresult(hr));
    if (shouldCancel()) return MapRetryResult::Cancelled;
    if (std::chrono::steady_clock::now() >= deadlineAt) return MapRetryResult::TimedOut;
    std::this_thread::sleep_for(sleepInterval);
  }
}

// One read map of subresource 0 of a staging texture that does not wait for the GPU.
inline HRESULT TryMapStagingTexture(platform::GpuContext& context,
                                    const platform::TexturePtr& texture,
                                    platform::MappedSubresource& mapped) {
  return context.Map(texture, 0, platform::kMapRead, platform::kMapFlagDoNotWait, mapped);
}

// The live encoder never gives up early: only the deadline ends its wait.
inline bool NeverCancelMap() {
  return false;
}

}  // namespace tallowmarch
