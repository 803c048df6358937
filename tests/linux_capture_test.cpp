// The X11 capture layer against a real X server (an Xvfb per test): items for windows and
// monitors, MonitorFromWindow, frames that come only when the content changes, their pixels,
// resizes, Closed on destruction and monitor removal, the pool's buffer limit, grabs straight
// into shareable memory, the plain GetImage path without MIT-SHM, and clean failures without a
// display.
#include "capture/linux_capture.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/x11_grabber.h"
#include "capture_test_support.h"
#include "gpu/cpu_device.h"
#include "x11_test_support.h"

namespace tallowmarch {
namespace {

using namespace std::chrono_literals;
using platform::CaptureFrame;
using platform::CaptureFramePool;
using platform::CaptureItem;
using platform::CaptureSession;
using platform::EventRevoker;
using platform::LinuxCapture;
using platform::SizeInt32;
using test::TestClient;
using test::XvfbServer;
using testing::WaitUntil;

HWND AsHwnd(xcb_window_t window) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}
HMONITOR AsMonitor(std::uintptr_t handle) {
  return reinterpret_cast<HMONITOR>(handle);
}

// The pixel word X11 pixels of 0xRRGGBB become (bytes blue, green, red; the fourth is
// padding and not compared).
std::uint32_t Bgra(std::uint32_t rgb) {
  return rgb;
}

// One frame read back: its content size and pixels (BGRX words), copied through a readable
// staging texture as an engine on a GPU would.
struct Picture {
  SizeInt32 size;
  std::vector<std::uint32_t> pixels;
  std::uint32_t At(int x, int y) const {  // without the padding byte
    return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(size.Width) +
                  static_cast<std::size_t>(x)] &
           0x00FFFFFFu;
  }
};

Picture ReadFrame(platform::GpuDevice& device, CaptureFrame& frame) {
  Picture picture;
  picture.size = frame.ContentSize();
  std::shared_ptr<platform::Direct3DSurface> surface;
  platform::TexturePtr texture;
  if (FAILED(frame.Surface(surface)) || FAILED(surface->GetTexture(texture))) return picture;
  platform::TextureDesc desc;
  texture->GetDesc(desc);
  desc.cpuAccessFlags = platform::kCpuAccessRead;
  desc.usage = platform::Usage::Staging;
  desc.bindFlags = 0;
  platform::TexturePtr readable;
  if (FAILED(device.CreateTexture2D(desc, nullptr, readable))) return picture;
  auto context = device.GetImmediateContext();
  context->CopyResource(readable, texture);
  platform::MappedSubresource mapped;
  if (FAILED(context->Map(readable, 0, platform::kMapRead, 0, mapped))) return picture;
  picture.pixels.resize(std::size_t{desc.width} * desc.height);
  for (std::uint32_t y = 0; y < desc.height; ++y) {
    std::memcpy(&picture.pixels[std::size_t{y} * desc.width],
                static_cast<const std::uint8_t*>(mapped.data) + std::size_t{y} * mapped.rowPitch,
                std::size_t{desc.width} * 4);
  }
  context->Unmap(readable, 0);
  return picture;
}

// A started capture that records every frame: either it reads and closes each one at once, or
// (holding) it keeps them open until the test lets go.
class Recorder {
 public:
  Recorder(LinuxCapture& layer, std::shared_ptr<platform::GpuDevice> device,
           std::shared_ptr<CaptureItem> item, bool holding = false)
      : device_(std::move(device)), item_(std::move(item)), holding_(holding) {
    std::shared_ptr<platform::Direct3DDevice> d3d;
    EXPECT_EQ(layer.CreateDirect3DDevice(device_, d3d), S_OK);
    SizeInt32 size;
    EXPECT_EQ(item_->Size(size), S_OK);
    EXPECT_EQ(layer.CreateFreeThreadedFramePool(d3d, platform::kPixelFormatB8G8R8A8UIntNormalized,
                                                4, size, pool_),
              S_OK);
    EXPECT_EQ(pool_->CreateCaptureSession(item_, session_), S_OK);
    EXPECT_EQ(pool_->FrameArrived([this](CaptureFramePool& sender) { OnFrame(sender); }, revoker_),
              S_OK);
  }
  ~Recorder() { Stop(); }

  HRESULT Start() { return session_->StartCapture(); }
  void Stop() {
    if (session_) session_->Close();
    revoker_.Revoke();
    if (pool_) pool_->Close();
    std::lock_guard lock(mutex_);
    held_.clear();
  }

  int Frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  Picture Last() const {
    std::lock_guard lock(mutex_);
    return last_;
  }
  bool WaitFrames(int count) const {
    return WaitUntil([&] { return Frames() >= count; });
  }
  // Waits until a frame shows `bgra` at (x, y).
  bool WaitColour(int x, int y, std::uint32_t bgra) const {
    return WaitUntil([&] {
      std::lock_guard lock(mutex_);
      return !last_.pixels.empty() && x < last_.size.Width && y < last_.size.Height &&
             last_.At(x, y) == bgra;
    });
  }
  // Waits until no frame came for `quiet`; false when frames keep coming for 10 s.
  bool WaitQuiet(std::chrono::milliseconds quiet) const {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    int before = Frames();
    while (std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(quiet);
      const int now = Frames();
      if (now == before) return true;
      before = now;
    }
    return false;
  }
  std::size_t Held() const {
    std::lock_guard lock(mutex_);
    return held_.size();
  }
  void ReleaseOne() {
    std::shared_ptr<CaptureFrame> frame;
    {
      std::lock_guard lock(mutex_);
      if (held_.empty()) return;
      frame = std::move(held_.front());
      held_.pop_front();
    }
    frame->Close();
  }
  CaptureItem& Item() { return *item_; }

 private:
  void OnFrame(CaptureFramePool& sender) {
    std::shared_ptr<CaptureFrame> frame;
    if (FAILED(sender.TryGetNextFrame(frame)) || !frame) return;
    Picture picture = ReadFrame(*device_, *frame);
    std::lock_guard lock(mutex_);
    ++frames_;
    last_ = std::move(picture);
    if (holding_)
      held_.push_back(std::move(frame));
    else
      frame->Close();
  }

  std::shared_ptr<platform::GpuDevice> device_;
  std::shared_ptr<CaptureItem> item_;
  const bool holding_;
  std::shared_ptr<CaptureFramePool> pool_;
  std::shared_ptr<CaptureSession> session_;
  EventRevoker revoker_;
  mutable std::mutex mutex_;  // guards frames_, last_, held_
  int frames_ = 0;
  Picture last_;
  std::deque<std::shared_ptr<CaptureFrame>> held_;
};

class LinuxCaptureTest : public ::testing::Test {
 protected:
  virtual std::vector<std::string> ServerArguments() const { return {}; }

  void SetUp() override {
    if (!XvfbServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(server_.Start("1920x1080x24", ServerArguments()));
    client_ = std::make_unique<TestClient>(server_.Display());
    ASSERT_TRUE(client_->Ok());
    layer_ = std::make_unique<LinuxCapture>(server_.Display());
    device_ = platform::CpuDevice::Create(nullptr);
  }
  void TearDown() override {
    layer_.reset();
    client_.reset();
    server_.Stop();
  }

  std::shared_ptr<CaptureItem> WindowItem(xcb_window_t window) {
    std::shared_ptr<CaptureItem> item;
    EXPECT_EQ(layer_->CreateItemForWindow(AsHwnd(window), item), S_OK);
    return item;
  }

  XvfbServer server_;
  std::unique_ptr<TestClient> client_;
  std::unique_ptr<LinuxCapture> layer_;
  std::shared_ptr<platform::GpuDevice> device_;
};

TEST_F(LinuxCaptureTest, WindowAndMonitorItemsReportTheirSizes) {
  const xcb_window_t window = client_->CreateWindow(100, 120, 640, 480, 0x3060C0);
  EXPECT_TRUE(layer_->IsWindow(AsHwnd(window)));
  EXPECT_FALSE(layer_->IsWindow(nullptr));
  EXPECT_FALSE(layer_->IsWindow(AsHwnd(0x7ABCDEF)));

  SizeInt32 size;
  ASSERT_EQ(WindowItem(window)->Size(size), S_OK);
  EXPECT_EQ(size.Width, 640);
  EXPECT_EQ(size.Height, 480);

  std::shared_ptr<CaptureItem> item;
  EXPECT_EQ(layer_->CreateItemForWindow(nullptr, item), E_INVALIDARG);
  EXPECT_EQ(layer_->CreateItemForWindow(AsHwnd(0x7ABCDEF), item), E_INVALIDARG);

  ASSERT_EQ(layer_->CreateItemForMonitor(AsMonitor(1), item), S_OK);
  ASSERT_EQ(item->Size(size), S_OK);
  EXPECT_EQ(size.Width, 1920);
  EXPECT_EQ(size.Height, 1080);
  EXPECT_EQ(layer_->CreateItemForMonitor(AsMonitor(2), item), E_INVALIDARG);
  EXPECT_EQ(layer_->CreateItemForMonitor(nullptr, item), E_INVALIDARG);

  EXPECT_EQ(layer_->MonitorFromWindow(AsHwnd(window), platform::kMonitorDefaultToNearest),
            AsMonitor(1));
  const std::vector<platform::OutputDesc> outputs = layer_->Outputs();
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0].monitor, AsMonitor(1));
  EXPECT_EQ(outputs[0].desktopCoordinates.right, 1920);
  EXPECT_EQ(outputs[0].desktopCoordinates.bottom, 1080);

  bool present = true;
  EXPECT_EQ(layer_->IsPropertyPresent(L"Windows.Graphics.Capture.GraphicsCaptureSession",
                                      L"IsBorderRequired", present),
            S_OK);
  EXPECT_FALSE(present);
}

TEST_F(LinuxCaptureTest, MonitorFromWindowPicksTheMonitorHoldingMostOfIt) {
  ASSERT_TRUE(client_->SetMonitor("LEFT", 0, 0, 960, 1080, true));
  ASSERT_TRUE(client_->SetMonitor("RIGHT", 960, 0, 960, 1080, false));
  const std::vector<platform::OutputDesc> outputs = layer_->Outputs();
  int left = 0, right = 0;
  for (const auto& output : outputs) {
    if (output.deviceName == L"LEFT")
      left = static_cast<int>(reinterpret_cast<std::uintptr_t>(output.monitor));
    if (output.deviceName == L"RIGHT")
      right = static_cast<int>(reinterpret_cast<std::uintptr_t>(output.monitor));
  }
  ASSERT_NE(left, 0);
  ASSERT_NE(right, 0);

  // 100 px on the left monitor, 300 on the right one.
  const xcb_window_t straddling = client_->CreateWindow(860, 100, 400, 300, 0x00FF00);
  EXPECT_EQ(layer_->MonitorFromWindow(AsHwnd(straddling), platform::kMonitorDefaultToNearest),
            AsMonitor(right));
  std::shared_ptr<CaptureItem> item;
  ASSERT_EQ(layer_->CreateItemForMonitor(AsMonitor(right), item), S_OK);
  SizeInt32 size;
  ASSERT_EQ(item->Size(size), S_OK);
  EXPECT_EQ(size.Width, 960);

  // Entirely off every monitor: the flags decide.
  const xcb_window_t outside = client_->CreateWindow(3000, 100, 100, 100, 0x00FF00);
  EXPECT_EQ(layer_->MonitorFromWindow(AsHwnd(outside), platform::kMonitorDefaultToNearest),
            AsMonitor(right));
  EXPECT_EQ(layer_->MonitorFromWindow(AsHwnd(outside), platform::kMonitorDefaultToPrimary),
            AsMonitor(left));
  EXPECT_EQ(layer_->MonitorFromWindow(AsHwnd(outside), platform::kMonitorDefaultToNull), nullptr);
}

TEST(PickMonitorTest, LargestOverlapThenTheFlagsDefault) {
  std::vector<platform::X11Monitor> monitors(3);
  monitors[0].area = {0, 0, 1920, 1080};
  monitors[1].area = {1920, 0, 3840, 1080};
  monitors[1].primary = true;
  monitors[2].area = {0, 1080, 1920, 2160};
  // Equal overlap on two monitors: the first listed wins.
  EXPECT_EQ(platform::PickMonitor({1820, 0, 2020, 100}, monitors, 2), 0);
  EXPECT_EQ(platform::PickMonitor({1900, 0, 2020, 100}, monitors, 2), 1);
  EXPECT_EQ(platform::PickMonitor({0, 1000, 100, 1200}, monitors, 2), 2);
  // A window that only touches an edge does not overlap it.
  EXPECT_EQ(platform::PickMonitor({-100, -100, 0, 0}, monitors, 0), -1);
  EXPECT_EQ(platform::PickMonitor({-100, -100, 0, 0}, monitors, 1), 1);
  EXPECT_EQ(platform::PickMonitor({-100, -100, 0, 0}, monitors, 2), 0);
  EXPECT_EQ(platform::PickMonitor({4000, 1500, 4100, 1600}, monitors, 2), 1);
  EXPECT_EQ(platform::PickMonitor({0, 0, 10, 10}, {}, 2), -1);
}

TEST_F(LinuxCaptureTest, FramesComeOnlyWhenTheContentChanges) {
  const xcb_window_t window = client_->CreateWindow(50, 50, 320, 240, 0x204080);
  Recorder recorder(*layer_, device_, WindowItem(window));
  ASSERT_EQ(recorder.Start(), S_OK);
  ASSERT_TRUE(recorder.WaitFrames(1));  // the content as it is at the start
  ASSERT_TRUE(recorder.WaitColour(10, 10, Bgra(0x204080)));

  // A still window delivers nothing. (A quiet stretch is the only way to see an absence.) The
  // server may still report the repaint that redirecting the window caused: wait that out.
  ASSERT_TRUE(recorder.WaitQuiet(300ms));
  const int settled = recorder.Frames();
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(recorder.Frames(), settled);

  client_->FillRect(window, 0, 0, 16, 16, 0xFF0000);
  ASSERT_TRUE(recorder.WaitColour(5, 5, Bgra(0xFF0000)));
  EXPECT_EQ(recorder.Last().At(100, 100), Bgra(0x204080));
  EXPECT_GT(recorder.Frames(), settled);
}

TEST_F(LinuxCaptureTest, PixelsAreBgrxEvenUnderAnotherWindow) {
  const xcb_window_t window = client_->CreateWindow(0, 0, 200, 100, 0x3060C0);
  client_->FillRect(window, 100, 0, 100, 100, 0x10E020);
  Recorder recorder(*layer_, device_, WindowItem(window));
  ASSERT_EQ(recorder.Start(), S_OK);
  ASSERT_TRUE(recorder.WaitColour(150, 50, Bgra(0x10E020)));
  const Picture picture = recorder.Last();
  EXPECT_EQ(picture.size.Width, 200);
  EXPECT_EQ(picture.size.Height, 100);
  EXPECT_EQ(picture.At(0, 0), Bgra(0x3060C0));
  EXPECT_EQ(picture.At(99, 99), Bgra(0x3060C0));
  EXPECT_EQ(picture.At(100, 0), Bgra(0x10E020));

  // A window on top: the capture still shows the window itself (its Composite pixmap).
  client_->CreateWindow(50, 25, 100, 50, 0xFFFFFF);
  client_->FillRect(window, 0, 0, 10, 10, 0x000000);
  ASSERT_TRUE(recorder.WaitColour(5, 5, Bgra(0x000000)));
  EXPECT_EQ(recorder.Last().At(60, 30), Bgra(0x3060C0));
}

TEST_F(LinuxCaptureTest, MonitorCaptureShowsTheScreenArea) {
  ASSERT_TRUE(client_->SetMonitor("LEFT", 0, 0, 960, 1080, true));
  ASSERT_TRUE(client_->SetMonitor("RIGHT", 960, 0, 960, 1080, false));
  const xcb_window_t window = client_->CreateWindow(1000, 200, 100, 100, 0xC03010);
  const HMONITOR monitor =
      layer_->MonitorFromWindow(AsHwnd(window), platform::kMonitorDefaultToNearest);
  std::shared_ptr<CaptureItem> item;
  ASSERT_EQ(layer_->CreateItemForMonitor(monitor, item), S_OK);
  Recorder recorder(*layer_, device_, item);
  ASSERT_EQ(recorder.Start(), S_OK);
  // The window sits at x 1000 on the screen, so at x 40 of the right monitor.
  ASSERT_TRUE(recorder.WaitColour(90, 250, Bgra(0xC03010)));
  EXPECT_EQ(recorder.Last().size.Width, 960);

  // A change anywhere on the monitor is a change of its content.
  client_->Fill(window, 0x00C000);
  ASSERT_TRUE(recorder.WaitColour(90, 250, Bgra(0x00C000)));
}

TEST_F(LinuxCaptureTest, AResizeGivesTheNewContentSize) {
  const xcb_window_t window = client_->CreateWindow(0, 0, 640, 360, 0x808000);
  Recorder recorder(*layer_, device_, WindowItem(window));
  ASSERT_EQ(recorder.Start(), S_OK);
  ASSERT_TRUE(recorder.WaitColour(600, 300, Bgra(0x808000)));

  client_->Resize(window, 320, 200, 0x008080);
  ASSERT_TRUE(WaitUntil([&] {
    const Picture p = recorder.Last();
    return p.size.Width == 320 && p.size.Height == 200 && p.At(300, 190) == Bgra(0x008080);
  }));
  SizeInt32 size;
  ASSERT_EQ(recorder.Item().Size(size), S_OK);
  EXPECT_EQ(size.Width, 320);
  EXPECT_EQ(size.Height, 200);

  // Growing again: the pixmap is named again, the whole new area shows.
  client_->Resize(window, 800, 600, 0x400040);
  ASSERT_TRUE(WaitUntil([&] {
    const Picture p = recorder.Last();
    return p.size.Width == 800 && p.size.Height == 600 && p.At(799, 599) == Bgra(0x400040);
  }));
}

TEST_F(LinuxCaptureTest, AWindowResizedAgainAndAgainKeepsAFewFramesOfMemory) {
  const auto serverTextures = [&] {
    std::ifstream maps("/proc/" + std::to_string(server_.Pid()) + "/maps");
    return std::count(std::istream_iterator<std::string>(maps), {}, "/memfd:tm-texture");
  };
  const xcb_window_t window = client_->CreateWindow(0, 0, 640, 480, 0x808000);
  auto& device = static_cast<platform::CpuDevice&>(*device_);
  Recorder recorder(*layer_, device_, WindowItem(window));
  ASSERT_EQ(recorder.Start(), S_OK);
  for (int i = 1; i <= 40; ++i) {
    // Rows of a multiple of 256 bytes: the server writes into the device's memory itself.
    const auto height = static_cast<std::uint16_t>(480 + 2 * i);
    client_->Resize(window, static_cast<std::uint16_t>(640 + 64 * (i % 8)), height, 0x808000);
    ASSERT_TRUE(WaitUntil([&] { return recorder.Last().size.Height == height; }));
    EXPECT_LE(device.HeldMemory().blocks, 6u);
    EXPECT_LE(serverTextures(), 6);  // without freed memory the server holds 8
  }
  recorder.Stop();
  EXPECT_TRUE(WaitUntil([&] { return device.HeldMemory().blocks == 0 && serverTextures() == 0; }));
}

// Released from its own FrameArrived handler: the grab thread touches it no more (ASan checks).
TEST_F(LinuxCaptureTest, ASessionMayBeReleasedFromItsOwnFrameHandler) {
  const auto d3d = std::make_shared<platform::Direct3DDevice>(device_);
  std::shared_ptr<CaptureFramePool> pool;
  ASSERT_EQ(layer_->CreateFreeThreadedFramePool(d3d, platform::kPixelFormatB8G8R8A8UIntNormalized,
                                                4, {64, 64}, pool),
            S_OK);
  const auto item = WindowItem(client_->CreateWindow(0, 0, 64, 64, 0x204080));
  std::shared_ptr<CaptureSession> session;
  ASSERT_EQ(pool->CreateCaptureSession(item, session), S_OK);
  const std::weak_ptr<CaptureSession> weak = session;
  EventRevoker revoker;
  ASSERT_EQ(pool->FrameArrived([&](CaptureFramePool&) { session.reset(); }, revoker), S_OK);
  ASSERT_EQ(session->StartCapture(), S_OK);
  EXPECT_TRUE(WaitUntil([&] { return weak.expired(); }));
}

TEST_F(LinuxCaptureTest, DestroyingTheWindowFiresClosedOnce) {
  const xcb_window_t window = client_->CreateWindow(0, 0, 200, 200, 0x101010);
  std::shared_ptr<CaptureItem> item = WindowItem(window);
  std::atomic<int> closed{0};
  EventRevoker revoker;
  ASSERT_EQ(item->Closed([&](CaptureItem&) { ++closed; }, revoker), S_OK);
  Recorder recorder(*layer_, device_, item);
  ASSERT_EQ(recorder.Start(), S_OK);
  ASSERT_TRUE(recorder.WaitFrames(1));

  client_->Destroy(window);
  ASSERT_TRUE(WaitUntil([&] { return closed.load() == 1; }));
  EXPECT_FALSE(layer_->IsWindow(AsHwnd(window)));
  std::shared_ptr<CaptureItem> again;
  EXPECT_EQ(layer_->CreateItemForWindow(AsHwnd(window), again), E_INVALIDARG);
  // The size stays the last one known.
  SizeInt32 size;
  ASSERT_EQ(item->Size(size), S_OK);
  EXPECT_EQ(size.Width, 200);
  recorder.Stop();
  EXPECT_EQ(closed.load(), 1);
}

TEST_F(LinuxCaptureTest, AMonitorThatLeavesFiresClosed) {
  ASSERT_TRUE(client_->SetMonitor("LEFT", 0, 0, 960, 1080, true));
  ASSERT_TRUE(client_->SetMonitor("RIGHT", 960, 0, 960, 1080, false));
  HMONITOR right = nullptr;
  for (const auto& output : layer_->Outputs())
    if (output.deviceName == L"RIGHT") right = output.monitor;
  ASSERT_NE(right, nullptr);
  std::shared_ptr<CaptureItem> item;
  ASSERT_EQ(layer_->CreateItemForMonitor(right, item), S_OK);
  std::atomic<int> closed{0};
  EventRevoker revoker;
  ASSERT_EQ(item->Closed([&](CaptureItem&) { ++closed; }, revoker), S_OK);

  ASSERT_TRUE(client_->DeleteMonitor("RIGHT"));
  ASSERT_TRUE(WaitUntil([&] { return closed.load() == 1; }));
}

TEST_F(LinuxCaptureTest, APoolNeverHandsOutMoreThanItsFourBuffers) {
  const xcb_window_t window = client_->CreateWindow(0, 0, 64, 64, 0x000010);
  Recorder recorder(*layer_, device_, WindowItem(window), /*holding=*/true);
  ASSERT_EQ(recorder.Start(), S_OK);
  std::uint32_t colour = 0x000010;
  // Keep changing until all four buffers are out.
  ASSERT_TRUE(WaitUntil([&] {
    client_->Fill(window, ++colour);
    return recorder.Held() == 4;
  }));
  for (int i = 0; i < 5; ++i) client_->Fill(window, ++colour);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(recorder.Held(), 4u);
  EXPECT_EQ(recorder.Frames(), 4);

  // A buffer comes back: the newest content arrives in it.
  recorder.ReleaseOne();
  ASSERT_TRUE(recorder.WaitColour(0, 0, Bgra(colour)));
  EXPECT_EQ(recorder.Held(), 4u);
}

TEST_F(LinuxCaptureTest, AClosedSessionDeliversNothingMore) {
  const xcb_window_t window = client_->CreateWindow(0, 0, 64, 64, 0x000010);
  Recorder recorder(*layer_, device_, WindowItem(window));
  ASSERT_EQ(recorder.Start(), S_OK);
  ASSERT_TRUE(recorder.WaitFrames(1));
  recorder.Stop();
  const int frames = recorder.Frames();
  client_->Fill(window, 0x00FF00);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(recorder.Frames(), frames);
}

TEST_F(LinuxCaptureTest, AnUnmappedWindowDeliversFromItsFirstMap) {
  const xcb_window_t window = client_->CreateUnmappedWindow(100, 80);
  Recorder recorder(*layer_, device_, WindowItem(window));
  ASSERT_EQ(recorder.Start(), S_OK);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(recorder.Frames(), 0);
  xcb_map_window(client_->Raw(), window);
  client_->Fill(window, 0xABCDEF);
  ASSERT_TRUE(recorder.WaitColour(50, 40, Bgra(0xABCDEF)));
}

// A destination in a shareable memory object is filled by the server itself; one it cannot
// take (the wrong row pitch, a descriptor it cannot map) still gets the pixels by a copy.
TEST_F(LinuxCaptureTest, GrabsGoStraightIntoShareableMemoryOrFallBackToACopy) {
  std::shared_ptr<platform::X11Connection> connection;
  ASSERT_EQ(layer_->Connection(connection), S_OK);
  ASSERT_TRUE(connection->HasShmFd());
  const xcb_window_t window = client_->CreateWindow(0, 0, 640, 480, 0x3060C0);
  constexpr std::uint32_t kPitch = 640 * 4, kBytes = kPitch * 480 + kPitch;
  const int fd = memfd_create("grab-test", MFD_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, kBytes), 0);
  void* mapping = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(mapping, MAP_FAILED);
  auto* bytes = static_cast<std::uint8_t*>(mapping);
  const auto pixel = [&](std::uint32_t pitch, std::size_t x, std::size_t y) {
    std::uint32_t word;
    std::memcpy(&word, bytes + pitch * y + x * 4, 4);
    return word;
  };

  platform::X11Grabber grabber(connection);
  ASSERT_TRUE(grabber.Grab(window, 0, 0, 640, 480, bytes, kPitch, {fd, 0, 1}));
  EXPECT_TRUE(grabber.UsedDestination());
  EXPECT_EQ(pixel(kPitch, 639, 479) & 0xFFFFFF, 0x3060C0u);
  client_->Fill(window, 0x10E020);  // the same object again: its attachment is reused
  ASSERT_TRUE(grabber.Grab(window, 0, 0, 640, 480, bytes, kPitch, {fd, 0, 1}));
  EXPECT_TRUE(grabber.UsedDestination());
  EXPECT_EQ(pixel(kPitch, 0, 0) & 0xFFFFFF, 0x10E020u);

  client_->Fill(window, 0xA04040);
  ASSERT_TRUE(grabber.Grab(window, 0, 0, 639, 480, bytes, kPitch, {fd, 0, 1}));
  EXPECT_FALSE(grabber.UsedDestination());
  EXPECT_EQ(pixel(kPitch, 638, 479), 0xFFA04040u);

  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  client_->Fill(window, 0x204080);
  ASSERT_TRUE(grabber.Grab(window, 0, 0, 640, 480, bytes, kPitch, {pipeFds[0], 0, 2}));
  EXPECT_FALSE(grabber.UsedDestination());
  EXPECT_EQ(pixel(kPitch, 639, 479), 0xFF204080u);
  close(pipeFds[0]);
  close(pipeFds[1]);
  munmap(mapping, kBytes);
  close(fd);
}

// The same grabs on a server without MIT-SHM: plain GetImage.
class LinuxCaptureWithoutShmTest : public LinuxCaptureTest {
 protected:
  std::vector<std::string> ServerArguments() const override { return {"-extension", "MIT-SHM"}; }
};

TEST_F(LinuxCaptureWithoutShmTest, GrabsStillDeliverTheRightPixels) {
  std::shared_ptr<platform::X11Connection> connection;
  ASSERT_EQ(layer_->Connection(connection), S_OK);
  EXPECT_FALSE(connection->HasShm());
  const xcb_window_t window = client_->CreateWindow(10, 10, 300, 200, 0x3060C0);
  Recorder recorder(*layer_, device_, WindowItem(window));
  ASSERT_EQ(recorder.Start(), S_OK);
  ASSERT_TRUE(recorder.WaitColour(299, 199, Bgra(0x3060C0)));
  client_->Fill(window, 0x102030);
  ASSERT_TRUE(recorder.WaitColour(0, 0, Bgra(0x102030)));
}

// Without Composite a window is read directly: right while nothing covers it.
class LinuxCaptureWithoutCompositeTest : public LinuxCaptureTest {
 protected:
  std::vector<std::string> ServerArguments() const override { return {"-extension", "Composite"}; }
};

TEST_F(LinuxCaptureWithoutCompositeTest, AnUncoveredWindowIsReadDirectly) {
  std::shared_ptr<platform::X11Connection> connection;
  ASSERT_EQ(layer_->Connection(connection), S_OK);
  EXPECT_FALSE(connection->HasComposite());
  const xcb_window_t window = client_->CreateWindow(30, 40, 256, 128, 0x40A040);
  Recorder recorder(*layer_, device_, WindowItem(window));
  ASSERT_EQ(recorder.Start(), S_OK);
  ASSERT_TRUE(recorder.WaitColour(255, 127, Bgra(0x40A040)));
  client_->Resize(window, 128, 64, 0xA04040);
  ASSERT_TRUE(WaitUntil([&] {
    const Picture p = recorder.Last();
    return p.size.Width == 128 && p.size.Height == 64 && p.At(127, 63) == Bgra(0xA04040);
  }));
}

// Without DAMAGE nothing tells a change apart from a still picture: the start is refused.
class LinuxCaptureWithoutDamageTest : public LinuxCaptureTest {
 protected:
  std::vector<std::string> ServerArguments() const override { return {"-extension", "DAMAGE"}; }
};

TEST_F(LinuxCaptureWithoutDamageTest, StartingIsRefusedCleanly) {
  std::shared_ptr<platform::X11Connection> connection;
  ASSERT_EQ(layer_->Connection(connection), S_OK);
  EXPECT_FALSE(connection->HasDamage());
  const xcb_window_t window = client_->CreateWindow(0, 0, 64, 64, 0x123456);
  Recorder recorder(*layer_, device_, WindowItem(window));
  EXPECT_EQ(recorder.Start(), DXGI_ERROR_UNSUPPORTED);
  EXPECT_EQ(recorder.Frames(), 0);
}

TEST(LinuxCaptureNoDisplayTest, EveryCreationFailsCleanly) {
  // A display nobody serves: connecting fails at once.
  LinuxCapture layer(":4093");
  std::shared_ptr<CaptureItem> item;
  EXPECT_EQ(layer.CreateItemForWindow(AsHwnd(0x200001), item), platform::kErrorNoDisplay);
  EXPECT_EQ(layer.CreateItemForMonitor(AsMonitor(1), item), platform::kErrorNoDisplay);
  EXPECT_FALSE(item);
  EXPECT_FALSE(layer.IsWindow(AsHwnd(0x200001)));
  EXPECT_EQ(layer.MonitorFromWindow(AsHwnd(0x200001), platform::kMonitorDefaultToNearest), nullptr);
  EXPECT_TRUE(layer.Outputs().empty());
  std::shared_ptr<platform::X11Connection> connection;
  EXPECT_EQ(layer.Connection(connection), platform::kErrorNoDisplay);

  // And with no $DISPLAY at all.
  const char* saved = std::getenv("DISPLAY");
  const std::string previous = saved != nullptr ? saved : "";
  unsetenv("DISPLAY");
  LinuxCapture fromEnvironment;
  EXPECT_EQ(fromEnvironment.CreateItemForMonitor(AsMonitor(1), item), platform::kErrorNoDisplay);
  if (saved != nullptr) setenv("DISPLAY", previous.c_str(), 1);
}

TEST(LinuxCaptureNoDisplayTest, TheServerGoingAwayClosesItsItems) {
  if (!XvfbServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
  XvfbServer server;
  ASSERT_TRUE(server.Start());
  LinuxCapture layer(server.Display());
  std::shared_ptr<CaptureItem> item;
  ASSERT_EQ(layer.CreateItemForMonitor(AsMonitor(1), item), S_OK);
  std::shared_ptr<platform::X11Connection> before;
  ASSERT_EQ(layer.Connection(before), S_OK);
  std::atomic<int> closed{0};
  EventRevoker revoker;
  ASSERT_EQ(item->Closed([&](CaptureItem&) { ++closed; }, revoker), S_OK);
  server.Stop();
  ASSERT_TRUE(WaitUntil([&] { return closed.load() == 1; }));
  EXPECT_TRUE(before->Broken());
  // The lost connection is never handed out again: a new one is opened (another test's server
  // may have taken the display number meanwhile) or the call fails.
  std::shared_ptr<platform::X11Connection> after;
  const HRESULT reopened = layer.Connection(after);
  EXPECT_TRUE(reopened == platform::kErrorNoDisplay || (reopened == S_OK && after != before));
}

}  // namespace
}  // namespace tallowmarch
