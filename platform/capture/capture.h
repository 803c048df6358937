// Screen capture in the shape of Windows.Graphics.Capture plus the two user32 questions the
// engine asks about a window: capture items for a window or a monitor (size, Closed), the
// Windows Runtime device over a GPU device, a free-threaded frame pool whose FrameArrived fires
// on a thread of the layer, frames whose surface gives a GPU texture, the capture session with
// its border property.
//
// Every step answers an HRESULT, as the Windows Runtime does, so the engine's rules on which
// failure ends a start and which one is only logged stay as they are.
//
// Backends: sim (a synthetic scene) and X11 (XCB: a window's Composite pixmap or a RandR
// monitor's area of the root, grabbed with MIT-SHM into the frame's texture when XDamage reports
// a change; DestroyNotify is Closed; the border property is not offered).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/win_types.h"
#include "gpu/gpu.h"

namespace tallowmarch::platform {

// Windows.Graphics.SizeInt32.
struct SizeInt32 {
  std::int32_t Width = 0;
  std::int32_t Height = 0;
};

inline constexpr std::uint32_t kMonitorDefaultToNearest = 2;            // MONITOR_DEFAULTTONEAREST
inline constexpr std::int32_t kPixelFormatB8G8R8A8UIntNormalized = 87;  // DirectXPixelFormat

// An automatic revoker of one event registration (winrt's auto_revoke). Revoking is
// synchronous: once Revoke() or the destructor returns, the handler is not running and will not
// be called again, unless Revoke() is called by the handler itself. So whatever the handler
// uses may be destroyed right after the revocation. It holds the event source weakly: revoking
// after the source is gone does nothing.
class EventRevoker {
 public:
  EventRevoker() = default;
  explicit EventRevoker(std::function<void()> revoke) : revoke_(std::move(revoke)) {}
  EventRevoker(EventRevoker&& other) noexcept : revoke_(std::move(other.revoke_)) {
    other.revoke_ = nullptr;
  }
  EventRevoker& operator=(EventRevoker&& other) noexcept {
    if (this != &other) {
      Revoke();
      revoke_ = std::move(other.revoke_);
      other.revoke_ = nullptr;
    }
    return *this;
  }
  EventRevoker(const EventRevoker&) = delete;
  EventRevoker& operator=(const EventRevoker&) = delete;
  ~EventRevoker() { Revoke(); }

  void Revoke() {
    if (revoke_) {
      auto revoke = std::move(revoke_);
      revoke_ = nullptr;
      revoke();
    }
  }
  explicit operator bool() const { return static_cast<bool>(revoke_); }

 private:
  std::function<void()> revoke_;
};

// Windows.Graphics.DirectX.Direct3D11.IDirect3DDevice: the capture layer's view of the GPU
// device on which it creates the frame surfaces.
class Direct3DDevice {
 public:
  explicit Direct3DDevice(std::shared_ptr<GpuDevice> device) : device_(std::move(device)) {}
  const std::shared_ptr<GpuDevice>& Device() const { return device_; }

 private:
  std::shared_ptr<GpuDevice> device_;
};

// IDirect3DSurface with IDirect3DDxgiInterfaceAccess: the texture behind a frame (no copy).
class Direct3DSurface {
 public:
  virtual ~Direct3DSurface() = default;
  virtual HRESULT GetTexture(std::shared_ptr<GpuTexture>& out) = 0;
};

// Direct3D11CaptureFrame. Close() gives the frame's buffer back to the pool; a frame that is
// destroyed unclosed is closed then. The texture may stay referenced by queued GPU commands
// after Close(): the pool never writes into a texture that someone else still holds.
class CaptureFrame {
 public:
  virtual ~CaptureFrame() = default;
  virtual HRESULT Surface(std::shared_ptr<Direct3DSurface>& out) = 0;
  virtual SizeInt32 ContentSize() const = 0;
  virtual void Close() = 0;
};

class CaptureItem;

// GraphicsCaptureSession. It may be closed, and its last reference dropped, from inside a
// FrameArrived handler of its own pool.
class CaptureSession {
 public:
  virtual ~CaptureSession() = default;
  virtual HRESULT StartCapture() = 0;
  // The IsBorderRequired property; only call it when the layer says the property is present.
  virtual HRESULT SetIsBorderRequired(bool required) = 0;
  // Stops frame delivery and gives back what the session holds for grabbing; idempotent.
  virtual HRESULT Close() = 0;
};

// Direct3D11CaptureFramePool created free-threaded: FrameArrived fires on a thread of the layer,
// never on the caller's, and one event at a time per pool. Frames queue in the pool until
// TryGetNextFrame takes them; at most `numberOfBuffers` frames are out at once (taken or queued
// and not closed): while all buffers are out, changed content waits and the newest content is
// delivered when a buffer comes back.
class CaptureFramePool {
 public:
  using FrameArrivedHandler = std::function<void(CaptureFramePool& sender)>;

  virtual ~CaptureFramePool() = default;
  // S_OK with an empty `out` when no frame is queued.
  virtual HRESULT TryGetNextFrame(std::shared_ptr<CaptureFrame>& out) = 0;
  virtual HRESULT CreateCaptureSession(const std::shared_ptr<CaptureItem>& item,
                                       std::shared_ptr<CaptureSession>& out) = 0;
  // Registers `handler`. An exception that leaves the handler is swallowed by the layer (the
  // event call fails; nothing else happens), as a delegate's failure is on Windows.
  virtual HRESULT FrameArrived(FrameArrivedHandler handler, EventRevoker& out) = 0;
  // Stops delivery for every session of the pool, drops queued frames and the surfaces kept for
  // reuse; idempotent.
  virtual HRESULT Close() = 0;
};

// GraphicsCaptureItem for a window or a monitor.
class CaptureItem {
 public:
  using ClosedHandler = std::function<void(CaptureItem& sender)>;

  virtual ~CaptureItem() = default;
  // The content size now (a window may be resized while captured).
  virtual HRESULT Size(SizeInt32& out) = 0;
  // Fires once, on a thread of the layer, when the window is destroyed or the monitor leaves.
  virtual HRESULT Closed(ClosedHandler handler, EventRevoker& out) = 0;
};

class CaptureLayer {
 public:
  virtual ~CaptureLayer() = default;

  // user32: IsWindow and MonitorFromWindow.
  virtual bool IsWindow(HWND window) = 0;
  virtual HMONITOR MonitorFromWindow(HWND window, std::uint32_t flags) = 0;

  // CreateDirect3D11DeviceFromDXGIDevice over the device.
  virtual HRESULT CreateDirect3DDevice(const std::shared_ptr<GpuDevice>& device,
                                       std::shared_ptr<Direct3DDevice>& out) = 0;
  // IGraphicsCaptureItemInterop::CreateForWindow / CreateForMonitor.
  virtual HRESULT CreateItemForWindow(HWND window, std::shared_ptr<CaptureItem>& out) = 0;
  virtual HRESULT CreateItemForMonitor(HMONITOR monitor, std::shared_ptr<CaptureItem>& out) = 0;
  // Direct3D11CaptureFramePool::CreateFreeThreaded; surfaces are made on `device`.
  virtual HRESULT CreateFreeThreadedFramePool(const std::shared_ptr<Direct3DDevice>& device,
                                              std::int32_t pixelFormat,
                                              std::int32_t numberOfBuffers, SizeInt32 size,
                                              std::shared_ptr<CaptureFramePool>& out) = 0;
  // ApiInformation::IsPropertyPresent(typeName, propertyName).
  virtual HRESULT IsPropertyPresent(const std::wstring& typeName, const std::wstring& propertyName,
                                    bool& present) = 0;
};

}  // namespace tallowmarch::platform
