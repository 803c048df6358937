// The capture layer on X11, through XCB.
//
// Handles: a window handle carries the X window id (null is no window); a monitor handle is the
// RandR monitor's index + 1, the same handles the linux GPU layer's outputs report (Outputs()).
//
// A window is captured from its Composite pixmap (what the window itself shows, even when other
// windows cover it; the pixmap is named again after a resize), a monitor from its area of the
// root window; without Composite a window is read directly (then what covers it shows too).
// Grabs go through MIT-SHM, or a plain GetImage when the server has no MIT-SHM. XDamage decides
// when to grab: a started session delivers one frame at its start and then one per change of
// the content, never while nothing changes. Each session grabs and fires FrameArrived on a
// thread of its own; Closed fires on the connection's event thread, for a window on its
// DestroyNotify, for a monitor when it leaves the RandR list, and for both when the server goes
// away. Frames are CPU-writable BGRA staging textures of the content's size at the moment of
// the grab, reused once nobody holds them any more; the server writes a grab straight into the
// texture's memory when it can, and then the alpha byte is undefined (read them as BGRX). The
// border property is not offered.
//
// The connection to $DISPLAY (or the display given) is opened at the first call that needs it,
// and opened again after the server was lost; without a server, every creation call answers
// kErrorNoDisplay, IsWindow false and MonitorFromWindow null.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "capture/x11_connection.h"
#include "common/export.h"

namespace tallowmarch::platform {

class TM_EXPORT LinuxCapture : public CaptureLayer {
 public:
  // `display` empty: $DISPLAY, read when the connection is opened.
  explicit LinuxCapture(std::string display = {});
  ~LinuxCapture() override;

  bool IsWindow(HWND window) override;
  HMONITOR MonitorFromWindow(HWND window, std::uint32_t flags) override;
  HRESULT CreateDirect3DDevice(const std::shared_ptr<GpuDevice>& device,
                               std::shared_ptr<Direct3DDevice>& out) override;
  HRESULT CreateItemForWindow(HWND window, std::shared_ptr<CaptureItem>& out) override;
  HRESULT CreateItemForMonitor(HMONITOR monitor, std::shared_ptr<CaptureItem>& out) override;
  HRESULT CreateFreeThreadedFramePool(const std::shared_ptr<Direct3DDevice>& device,
                                      std::int32_t pixelFormat, std::int32_t numberOfBuffers,
                                      SizeInt32 size,
                                      std::shared_ptr<CaptureFramePool>& out) override;
  HRESULT IsPropertyPresent(const std::wstring& typeName, const std::wstring& propertyName,
                            bool& present) override;

  // The monitors as outputs of the one adapter: desktop rectangle, RandR name, handle. Empty
  // without a display.
  std::vector<OutputDesc> Outputs();

  // The open connection, opening it first when needed.
  HRESULT Connection(std::shared_ptr<X11Connection>& out);

 private:
  const std::string display_;
  std::mutex mutex_;  // guards connection_
  std::shared_ptr<X11Connection> connection_;
};

// The process's one X11 capture layer on $DISPLAY. Built on first use and never destroyed.
TM_EXPORT LinuxCapture& LinuxCaptureLayer();

// MONITOR_DEFAULTTONULL / MONITOR_DEFAULTTOPRIMARY (kMonitorDefaultToNearest is in capture.h).
inline constexpr std::uint32_t kMonitorDefaultToNull = 0;
inline constexpr std::uint32_t kMonitorDefaultToPrimary = 1;

// The rule of MonitorFromWindow over plain rectangles: the index of the monitor that holds most
// of `window`; when none overlaps it, by `flags`: -1 (to null), the primary one, or the nearest.
TM_EXPORT int PickMonitor(const Rect& window, const std::vector<X11Monitor>& monitors,
                          std::uint32_t flags);

}  // namespace tallowmarch::platform
