// The simulated capture layer: delivery on change, the four buffers, resizing, closing, the
// synchronous revocation, the border property and the pixels of a frame.
#include "capture/sim_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "capture_test_support.h"
#include "gpu/gpu.h"
#include "platform.h"
#include "sim_platform.h"

namespace tallowmarch::platform {
namespace {

using namespace std::chrono_literals;
using tallowmarch::testing::WaitUntil;

const HWND kWindow = reinterpret_cast<HWND>(std::uintptr_t{0x1001});
const HMONITOR kMonitor = reinterpret_cast<HMONITOR>(std::uintptr_t{1});

class SimCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ResetAll();
    sim::Capture().SetSceneRate(0.0);  // manual: frames only on PostFrames
    std::shared_ptr<GpuDevice> gpuDevice;
    ASSERT_EQ(Gpu().CreateDevice(nullptr, DriverType::Hardware, kCreateDeviceBgraSupport, nullptr,
                                 0, kSdkVersion, gpuDevice, nullptr),
              S_OK);
    ASSERT_EQ(layer().CreateDirect3DDevice(gpuDevice, device), S_OK);
    device_ = gpuDevice;
  }
  void TearDown() override {
    session.reset();
    pool.reset();
    sim::ResetAll();
  }
  SimCapture& layer() { return sim::Capture(); }

  // A started capture of `item` whose handler keeps (or closes) every frame it takes.
  void StartCapture(const std::shared_ptr<CaptureItem>& item, bool keepFrames) {
    SizeInt32 size;
    ASSERT_EQ(item->Size(size), S_OK);
    ASSERT_EQ(layer().CreateFreeThreadedFramePool(device, kPixelFormatB8G8R8A8UIntNormalized, 4,
                                                  size, pool),
              S_OK);
    ASSERT_EQ(pool->CreateCaptureSession(item, session), S_OK);
    ASSERT_EQ(pool->FrameArrived(
                  [this, keepFrames](CaptureFramePool& sender) {
                    std::shared_ptr<CaptureFrame> frame;
                    if (FAILED(sender.TryGetNextFrame(frame)) || !frame) return;
                    handlerThread = std::this_thread::get_id();
                    std::lock_guard lock(mutex);
                    sizes.push_back(frame->ContentSize());
                    if (keepFrames)
                      kept.push_back(frame);
                    else
                      frame->Close();
                    ++arrived;
                  },
                  revoker),
              S_OK);
    ASSERT_EQ(session->StartCapture(), S_OK);
  }
  std::shared_ptr<CaptureItem> WindowItem() {
    std::shared_ptr<CaptureItem> item;
    EXPECT_EQ(layer().CreateItemForWindow(kWindow, item), S_OK);
    return item;
  }

  std::shared_ptr<GpuDevice> device_;
  std::shared_ptr<Direct3DDevice> device;
  std::shared_ptr<CaptureFramePool> pool;
  std::shared_ptr<CaptureSession> session;
  EventRevoker revoker;
  std::mutex mutex;  // guards sizes and kept
  std::vector<SizeInt32> sizes;
  std::vector<std::shared_ptr<CaptureFrame>> kept;
  std::atomic<int> arrived{0};
  std::atomic<std::thread::id> handlerThread{};
};

TEST_F(SimCaptureTest, DeliversTheFirstFrameAndThenOnlyChangesOnALayerThread) {
  StartCapture(WindowItem(), false);
  ASSERT_TRUE(WaitUntil([&] { return arrived.load() == 1; }));
  EXPECT_NE(handlerThread.load(), std::this_thread::get_id());
  layer().PostFrames(3);
  ASSERT_TRUE(WaitUntil([&] { return arrived.load() == 4; }));
  EXPECT_EQ(layer().FramesDelivered(), 4u);
  EXPECT_TRUE(WaitUntil([&] { return layer().FramesOutstanding() == 0; }));
  EXPECT_EQ(layer().RunningSessions(), 1);
  ASSERT_EQ(session->Close(), S_OK);
  EXPECT_EQ(layer().RunningSessions(), 0);
}

TEST_F(SimCaptureTest, AtMostFourFramesAreOutUntilOneIsClosed) {
  StartCapture(WindowItem(), true);
  layer().PostFrames(10);
  ASSERT_TRUE(WaitUntil([&] { return arrived.load() == 4; }));
  // The session thread now waits for a buffer; one more step proves it delivered nothing.
  EXPECT_EQ(layer().FramesOutstanding(), 4u);
  EXPECT_EQ(layer().FramesDelivered(), 4u);
  {
    std::lock_guard lock(mutex);
    kept.front()->Close();
  }
  ASSERT_TRUE(WaitUntil([&] { return arrived.load() == 5; }));
  EXPECT_EQ(layer().FramesOutstanding(), 4u);
  std::lock_guard lock(mutex);
  kept.clear();  // destroyed unclosed: closed then
  EXPECT_TRUE(WaitUntil([&] { return layer().FramesDelivered() >= 6; }));
}

TEST_F(SimCaptureTest, ResizeDeliversAFrameOfTheNewSizeAndCloseEndsDelivery) {
  auto item = WindowItem();
  std::atomic<int> closed{0};
  std::atomic<std::thread::id> closedThread{};
  EventRevoker closedRevoker;
  ASSERT_EQ(item->Closed(
                [&](CaptureItem&) {
                  closedThread = std::this_thread::get_id();
                  ++closed;
                },
                closedRevoker),
            S_OK);
  StartCapture(item, false);
  ASSERT_TRUE(WaitUntil([&] { return arrived.load() == 1; }));
  layer().ResizeWindow(kWindow, {640, 360});
  ASSERT_TRUE(WaitUntil([&] { return arrived.load() == 2; }));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(sizes.back().Width, 640);
    EXPECT_EQ(sizes.back().Height, 360);
  }
  SizeInt32 size;
  ASSERT_EQ(item->Size(size), S_OK);
  EXPECT_EQ(size.Width, 640);

  layer().CloseWindow(kWindow);
  ASSERT_TRUE(WaitUntil([&] { return closed.load() == 1; }));
  EXPECT_NE(closedThread.load(), std::this_thread::get_id());
  EXPECT_FALSE(layer().IsWindow(kWindow));
  layer().PostFrames(2);
  layer().CloseWindow(kWindow);        // fires once only
  std::this_thread::sleep_for(100ms);  // nothing may arrive: give it the chance
  EXPECT_EQ(arrived.load(), 2);
  EXPECT_EQ(closed.load(), 1);
}

TEST_F(SimCaptureTest, RevokingWaitsForAHandlerRunningOnAnotherThread) {
  std::atomic<bool> inside{false}, release{false}, finished{false};
  auto item = WindowItem();
  SizeInt32 size;
  ASSERT_EQ(item->Size(size), S_OK);
  ASSERT_EQ(layer().CreateFreeThreadedFramePool(device, kPixelFormatB8G8R8A8UIntNormalized, 4, size,
                                                pool),
            S_OK);
  ASSERT_EQ(pool->CreateCaptureSession(item, session), S_OK);
  ASSERT_EQ(pool->FrameArrived(
                [&](CaptureFramePool&) {
                  inside = true;
                  while (!release.load()) std::this_thread::yield();
                  finished = true;
                },
                revoker),
            S_OK);
  ASSERT_EQ(session->StartCapture(), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return inside.load(); }));
  std::thread releaser([&] {
    std::this_thread::sleep_for(50ms);
    release = true;
  });
  revoker.Revoke();
  EXPECT_TRUE(finished.load());  // the revocation returned only after the handler did
  releaser.join();
}

TEST_F(SimCaptureTest, HandlerExceptionsAreSwallowedAndCounted) {
  auto item = WindowItem();
  SizeInt32 size;
  ASSERT_EQ(item->Size(size), S_OK);
  ASSERT_EQ(layer().CreateFreeThreadedFramePool(device, kPixelFormatB8G8R8A8UIntNormalized, 4, size,
                                                pool),
            S_OK);
  ASSERT_EQ(pool->CreateCaptureSession(item, session), S_OK);
  layer().SetFailure(SimCaptureStep::TryGetNextFrame, E_FAIL);
  ASSERT_EQ(pool->FrameArrived(
                [](CaptureFramePool& sender) {
                  std::shared_ptr<CaptureFrame> frame;
                  if (FAILED(sender.TryGetNextFrame(frame))) throw std::runtime_error("no frame");
                },
                revoker),
            S_OK);
  ASSERT_EQ(session->StartCapture(), S_OK);
  EXPECT_TRUE(WaitUntil([&] { return layer().HandlerFailures() == 1; }));
}

TEST_F(SimCaptureTest, FrameSurfaceHoldsTheScenePixels) {
  layer().SetScenePattern(SimScenePattern::MovingGradient);
  StartCapture(WindowItem(), true);
  ASSERT_TRUE(WaitUntil([&] { return arrived.load() == 1; }));
  std::shared_ptr<CaptureFrame> frame;
  {
    std::lock_guard lock(mutex);
    frame = kept.front();
  }
  std::shared_ptr<Direct3DSurface> surface;
  ASSERT_EQ(frame->Surface(surface), S_OK);
  TexturePtr texture;
  ASSERT_EQ(surface->GetTexture(texture), S_OK);
  TextureDesc desc;
  texture->GetDesc(desc);
  EXPECT_EQ(desc.width, 1280u);
  EXPECT_EQ(desc.height, 720u);
  EXPECT_EQ(desc.format, kFormatB8G8R8A8Unorm);

  TextureDesc stagingDesc = desc;
  stagingDesc.usage = Usage::Staging;
  stagingDesc.bindFlags = 0;
  stagingDesc.cpuAccessFlags = kCpuAccessRead;
  TexturePtr staging;
  ASSERT_EQ(device_->CreateTexture2D(stagingDesc, nullptr, staging), S_OK);
  auto context = device_->GetImmediateContext();
  context->CopyResource(staging, texture);
  frame->Close();  // the queued copy keeps its texture
  MappedSubresource mapped;
  ASSERT_EQ(context->Map(staging, 0, kMapRead, 0, mapped), S_OK);
  for (int y : {0, 100, 719})
    for (int x : {0, 333, 1279}) {
      const auto* row = static_cast<const std::uint8_t*>(mapped.data) + y * mapped.rowPitch;
      std::uint32_t pixel;
      std::memcpy(&pixel, row + x * 4, 4);
      EXPECT_EQ(pixel, SimCapture::ScenePixel(SimScenePattern::MovingGradient, 0, 0, x, y));
    }
  context->Unmap(staging, 0);
}

TEST_F(SimCaptureTest, BorderPropertyPresentAbsentOrFailing) {
  auto item = WindowItem();
  StartCapture(item, false);
  bool present = false;
  const std::wstring type = L"Windows.Graphics.Capture.GraphicsCaptureSession";
  ASSERT_EQ(layer().IsPropertyPresent(type, L"IsBorderRequired", present), S_OK);
  EXPECT_TRUE(present);
  EXPECT_EQ(session->SetIsBorderRequired(false), S_OK);
  EXPECT_EQ(layer().LastBorderRequired(), false);

  layer().SetBorderProperty(SimBorderProperty::Absent);
  ASSERT_EQ(layer().IsPropertyPresent(type, L"IsBorderRequired", present), S_OK);
  EXPECT_FALSE(present);

  layer().SetBorderProperty(SimBorderProperty::Failing);
  ASSERT_EQ(layer().IsPropertyPresent(type, L"IsBorderRequired", present), S_OK);
  EXPECT_TRUE(present);
  EXPECT_TRUE(FAILED(session->SetIsBorderRequired(true)));
  EXPECT_EQ(layer().LastBorderRequired(), false);

  layer().SetFailure(SimCaptureStep::IsPropertyPresent, E_FAIL);
  EXPECT_EQ(layer().IsPropertyPresent(type, L"IsBorderRequired", present), E_FAIL);
}

TEST_F(SimCaptureTest, TopologyAnswersAndItemFailures) {
  EXPECT_TRUE(layer().IsWindow(kWindow));
  EXPECT_FALSE(layer().IsWindow(reinterpret_cast<HWND>(std::uintptr_t{0x9999})));
  EXPECT_EQ(layer().MonitorFromWindow(kWindow, kMonitorDefaultToNearest), kMonitor);
  std::shared_ptr<CaptureItem> item;
  ASSERT_EQ(layer().CreateItemForMonitor(kMonitor, item), S_OK);
  SizeInt32 size;
  ASSERT_EQ(item->Size(size), S_OK);
  EXPECT_EQ(size.Width, 1920);
  EXPECT_EQ(size.Height, 1080);
  EXPECT_TRUE(
      FAILED(layer().CreateItemForWindow(reinterpret_cast<HWND>(std::uintptr_t{0x9999}), item)));
  layer().SetFailure(SimCaptureStep::CreateItem, E_ACCESSDENIED);
  EXPECT_EQ(layer().CreateItemForWindow(kWindow, item), E_ACCESSDENIED);
}

}  // namespace
}  // namespace tallowmarch::platform
