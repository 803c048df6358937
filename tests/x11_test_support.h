// Helpers of the tests on a real X server: an Xvfb of its own per test (on a display number the
// server picks itself, so parallel tests never collide) and a client that makes test windows
// of known colours, redraws, moves, resizes and destroys them, and adds or removes RandR
// monitors.
#pragma once

#include <sys/types.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tallowmarch::test {

class XvfbServer {
 public:
  XvfbServer() = default;
  ~XvfbServer() { Stop(); }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // True when an Xvfb binary is installed.
  static bool Installed();
  // Starts Xvfb with one screen of `screen` ("WxHxD") and the extra arguments (such as
  // "-extension", "MIT-SHM"); waits until it accepts clients. False when it did not come up.
  bool Start(const std::string& screen = "1920x1080x24",
             const std::vector<std::string>& extraArguments = {});
  // Ends the server and waits for it.
  void Stop();
  const std::string& Display() const { return display_; }  // ":N"
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// A client of its own on the server: the test's windows live on this connection.
class TestClient {
 public:
  explicit TestClient(const std::string& display);
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool Ok() const;
  xcb_connection_t* Raw() const { return connection_; }
  xcb_window_t Root() const;

  // A mapped top-level window (no window manager runs: it is placed where asked) filled with
  // `rgb` (0xRRGGBB). Waits until the server has drawn it.
  xcb_window_t CreateWindow(std::int16_t x, std::int16_t y, std::uint16_t width,
                            std::uint16_t height, std::uint32_t rgb);
  // Fills the whole window, or a rectangle of it, with `rgb`.
  void Fill(xcb_window_t window, std::uint32_t rgb);
  void FillRect(xcb_window_t window, std::int16_t x, std::int16_t y, std::uint16_t width,
                std::uint16_t height, std::uint32_t rgb);
  void Move(xcb_window_t window, std::int16_t x, std::int16_t y);
  // New size; the new area is filled with `rgb`.
  void Resize(xcb_window_t window, std::uint16_t width, std::uint16_t height, std::uint32_t rgb);
  void Destroy(xcb_window_t window);
  // A window that is not mapped (nothing to grab).
  xcb_window_t CreateUnmappedWindow(std::uint16_t width, std::uint16_t height);

  // RandR 1.5 monitors: named rectangles. The primary one takes over the screen's output, so
  // the server's automatic monitor leaves the list.
  bool SetMonitor(const std::string& name, std::int16_t x, std::int16_t y, std::uint16_t width,
                  std::uint16_t height, bool primary);
  bool DeleteMonitor(const std::string& name);

  // Waits until the server has handled every request sent so far.
  void Sync();

 private:
  xcb_atom_t Atom(const std::string& name);

  xcb_connection_t* connection_ = nullptr;
  const xcb_screen_t* screen_ = nullptr;
  xcb_gcontext_t gc_ = 0;
};

}  // namespace tallowmarch::test
