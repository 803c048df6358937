// Platform set-up steps of a capture that keep no state of their own: the adapter that drives
// the target's monitor, the device on it, and the hardware H.264 encoder probes.
#pragma once

#include <memory>

#include "capture/capture.h"
#include "common/win_types.h"
#include "engine_log.h"
#include "gpu/gpu.h"

namespace tallowmarch {

// The first non-software adapter, in enumeration order, one of whose outputs shows `monitor`.
// When none does, the first non-software adapter (with the fallback line through `sink`); an
// empty reference when there is no such adapter at all (no line). Adapters whose description
// cannot be read are skipped like software ones; outputs that fail to enumerate or describe are
// skipped one by one. Raises hresult_error when the factory cannot be created or an adapter
// enumeration fails for another reason than the end of the list.
std::shared_ptr<platform::GpuAdapter> FindAdapterForMonitor(HMONITOR monitor, const LogSink& sink);

// The device on `adapter` (driver type unknown), or on the default hardware adapter when it is
// null; BGRA support only, the default feature levels. Raises hresult_error on failure.
std::shared_ptr<platform::GpuDevice> CreateD3D11Device(
    const std::shared_ptr<platform::GpuAdapter>& adapter);

// True when the hardware H.264 encoder listing succeeds with at least one encoder. Never
// raises; nothing is cached.
bool HasHardwareH264Encoder();
// True when any listed hardware H.264 encoder declares itself Direct3D 11 aware (a missing or
// unreadable attribute counts as not aware). Every encoder is examined. Never raises.
bool IsHardwareEncoderD3D11Aware();

}  // namespace tallowmarch

namespace tallowmarch {

// The Windows Runtime device over `device`, for the capture layer. Raises hresult_error.
std::shared_ptr<platform::Direct3DDevice> CreateDirect3DDevice(
    const std::shared_ptr<platform::GpuDevice>& device);

// The capture item of a window / of a monitor. Raise hresult_error when the item cannot be
// created (a window that cannot be captured, a monitor that is gone).
std::shared_ptr<platform::CaptureItem> CreateItemForWindow(HWND window);
std::shared_ptr<platform::CaptureItem> CreateItemForMonitor(HMONITOR monitor);

// The texture of the frame's own surface; no copy is made. Raises hresult_error.
platform::TexturePtr TextureFromSurface(platform::CaptureFrame& frame);

}  // namespace tallowmarch
