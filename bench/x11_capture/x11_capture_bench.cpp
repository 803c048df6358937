// The X11 capture layer on a 1920x1080 monitor with moving content: how many frames a monitor
// capture delivers per second, and what one grab costs (wall and CPU of this process).
//
// Usage: DISPLAY=:N x11_capture_bench [seconds] [changes-per-second]
//   The display should be an Xvfb of 1920x1080x24 (see bench/README.md). The bench draws the
//   moving content itself, on a full-screen window of its own connection.
#include <sys/resource.h>
#include <time.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/linux_capture.h"
#include "capture/x11_grabber.h"
#include "gpu/cpu_device.h"

namespace {

using namespace tallowmarch::platform;
using Clock = std::chrono::steady_clock;

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double ProcessCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto ms = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
  };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Draws a desktop-like picture that moves: bands of colour and a box crossing the screen,
// `rate` changes a second, until told to stop.
class Animator {
 public:
  explicit Animator(double rate) : rate_(rate) {
    connection_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection_)) return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    window_ = xcb_generate_id(connection_);
    const std::uint32_t values[] = {0x202020, 1};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0,
                      screen->width_in_pixels, screen->height_in_pixels, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(connection_, window_);
    gc_ = xcb_generate_id(connection_);
    xcb_create_gc(connection_, gc_, window_, 0, nullptr);
    Sync();
    ok_ = true;
  }
  ~Animator() {
    Stop();
    if (connection_ != nullptr) xcb_disconnect(connection_);
  }
  bool Ok() const { return ok_; }

  void Start() {
    thread_ = std::thread([this] {
      const auto interval =
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate_));
      auto next = Clock::now();
      for (int step = 0; !stop_; ++step) {
        Draw(step);
        ++changes_;
        next += interval;
        std::this_thread::sleep_until(next);
      }
    });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int Changes() const { return changes_; }

 private:
  void Fill(std::int16_t x, std::int16_t y, std::uint16_t w, std::uint16_t h, std::uint32_t rgb) {
    xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t rect{x, y, w, h};
    xcb_poly_fill_rectangle(connection_, window_, gc_, 1, &rect);
  }
  void Draw(int step) {
    for (int band = 0; band < 12; ++band) {
      const std::uint32_t shade = static_cast<std::uint32_t>((band * 20 + step * 3) & 0xFF);
      Fill(0, static_cast<std::int16_t>(band * 90), 1920, 90,
           (shade << 16) | (band * 19 << 8) | 0x40);
    }
    Fill(static_cast<std::int16_t>((step * 17) % 1600), static_cast<std::int16_t>((step * 7) % 800),
         320, 240, 0xF0F0F0);
    Sync();
  }
  void Sync() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }

  const double rate_;
  xcb_connection_t* connection_ = nullptr;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  bool ok_ = false;
  std::atomic<bool> stop_{false};  // written by Stop()
  std::atomic<int> changes_{0};    // written by the drawing thread
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  const double rate = argc > 2 ? std::atof(argv[2]) : 60.0;

  LinuxCapture layer;
  std::shared_ptr<X11Connection> connection;
  if (FAILED(layer.Connection(connection))) {
    std::fprintf(stderr, "no X display (set DISPLAY)\n");
    return 1;
  }
  Animator animator(rate);
  if (!animator.Ok()) {
    std::fprintf(stderr, "cannot draw on the display\n");
    return 1;
  }

  // 1. One grab of the whole monitor, alone: MIT-SHM when offered.
  {
    X11Grabber grabber(connection);
    std::vector<std::uint8_t> buffer(std::size_t{1920} * 1080 * 4);
    const int grabs = 200;
    grabber.Grab(connection->Root(), 0, 0, 1920, 1080, buffer.data(), 1920 * 4);  // warm-up
    const double cpu0 = ThreadCpuMs();
    const auto t0 = Clock::now();
    int ok = 0;
    for (int i = 0; i < grabs; ++i)
      ok += grabber.Grab(connection->Root(), 0, 0, 1920, 1080, buffer.data(), 1920 * 4) ? 1 : 0;
    const double wall = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    const double cpu = ThreadCpuMs() - cpu0;
    std::printf("grab 1920x1080 (%s): %.3f ms wall, %.3f ms CPU of this process per grab (%d ok)\n",
                grabber.UsedShm() ? "MIT-SHM" : "GetImage", wall / grabs, cpu / grabs, ok);
  }

  // 2. A monitor capture while the content moves: frames delivered per second.
  std::shared_ptr<GpuDevice> device = CpuDevice::Create(nullptr);
  std::shared_ptr<Direct3DDevice> d3d;
  std::shared_ptr<CaptureItem> item;
  std::shared_ptr<CaptureFramePool> pool;
  std::shared_ptr<CaptureSession> session;
  layer.CreateDirect3DDevice(device, d3d);
  if (FAILED(layer.CreateItemForMonitor(reinterpret_cast<HMONITOR>(std::uintptr_t{1}), item))) {
    std::fprintf(stderr, "no monitor\n");
    return 1;
  }
  SizeInt32 size;
  item->Size(size);
  layer.CreateFreeThreadedFramePool(d3d, kPixelFormatB8G8R8A8UIntNormalized, 4, size, pool);
  pool->CreateCaptureSession(item, session);
  std::atomic<int> frames{0};  // written by the layer's delivery thread
  EventRevoker revoker;
  pool->FrameArrived(
      [&](CaptureFramePool& sender) {
        std::shared_ptr<CaptureFrame> frame;
        if (SUCCEEDED(sender.TryGetNextFrame(frame)) && frame) {
          ++frames;
          frame->Close();
        }
      },
      revoker);

  animator.Start();
  const double cpu0 = ProcessCpuMs();
  const auto t0 = Clock::now();
  session->StartCapture();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  session->Close();
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = ProcessCpuMs() - cpu0;
  animator.Stop();
  revoker.Revoke();
  pool->Close();
  std::printf(
      "monitor %dx%d, content changing %.0f/s (%d changes drawn): %.1f frames/s delivered, "
      "%.2f ms CPU of this process per frame (drawing included)\n",
      size.Width, size.Height, rate, animator.Changes(), frames.load() / wall,
      frames.load() > 0 ? cpu / frames.load() : 0.0);
  return 0;
}
