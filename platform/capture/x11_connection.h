// One XCB connection to an X server, shared by every item, pool and session of the X11 capture
// layer: the extensions it found (MIT-SHM, DAMAGE, Composite, RandR), the RandR monitors, window
// geometry, and one event thread that hands every event to the subscribed sinks.
//
// XCB is thread-safe: any thread may send requests and wait for their replies while the event
// thread waits for events.
#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/export.h"
#include "common/win_types.h"
#include "gpu/gpu.h"

namespace tallowmarch::platform {

// HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED): no X server could be reached (no $DISPLAY, the
// server is gone, or it lacks what capture needs).
inline constexpr HRESULT kErrorNoDisplay = MakeHresult(0x8007048Fu);

struct X11Monitor {
  xcb_atom_t name = 0;  // the RandR monitor's name; 0 for the whole screen without RandR
  Rect area;            // desktop rectangle
  bool primary = false;
};

struct X11WindowInfo {
  Rect area;  // the window's inside in root coordinates
  std::uint16_t borderWidth = 0;
  std::uint8_t depth = 0;
  bool viewable = false;
};

// Receives the connection's events. Called on the event thread, one event at a time, with no
// lock of the connection held; it must return promptly.
class X11EventSink {
 public:
  virtual ~X11EventSink() = default;
  virtual void OnXEvent(const xcb_generic_event_t& event) = 0;
  // The server went away: no more events will come.
  virtual void OnConnectionLost() = 0;
};

class TM_EXPORT X11Connection {
 public:
  // Connects to `display` (empty: $DISPLAY), checks the extensions and starts the event thread.
  // kErrorNoDisplay when no server answers or its screen has no 32-bit true-colour pixels.
  static HRESULT Open(const std::string& display, std::shared_ptr<X11Connection>& out);
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  xcb_connection_t* Raw() const;
  xcb_window_t Root() const;
  bool Broken() const;  // the connection failed; every request is now in vain

  bool HasShm() const;
  bool HasShmFd() const;  // MIT-SHM segments can be attached by file descriptor
  bool HasDamage() const;
  bool HasComposite() const;
  // The event code of DamageNotify.
  std::uint8_t DamageNotifyCode() const;
  // True when images of `depth` come as 32-bit little-endian pixels (BGRX in memory).
  bool GrabbableDepth(std::uint8_t depth) const;

  // The monitors in the server's order (RandR 1.5), or the whole screen as one monitor.
  std::vector<X11Monitor> Monitors() const;
  // False when the window does not exist (any more).
  bool WindowInfo(xcb_window_t window, X11WindowInfo& out) const;
  // True when the event is a RandR change or a change of the root's configuration: the monitor
  // list may be different now.
  bool IsTopologyEvent(const xcb_generic_event_t& event) const;
  // The text of an atom; "screen" for 0 (the whole screen without RandR).
  std::wstring AtomName(xcb_atom_t atom) const;

  // Composite redirection of a window, counted, so that two captures of one window coexist.
  bool Redirect(xcb_window_t window);
  void Unredirect(xcb_window_t window);

  // Sinks are held weakly; a sink that is gone is simply dropped.
  void Subscribe(std::weak_ptr<X11EventSink> sink);

  struct Core;

 private:
  explicit X11Connection(std::shared_ptr<Core> core);

  std::shared_ptr<Core> core_;  // shared with the event thread, which may outlive this object
  std::thread::id eventThread_;
  std::mutex redirectMutex_;  // guards redirects_
  std::map<xcb_window_t, int> redirects_;
};

}  // namespace tallowmarch::platform
