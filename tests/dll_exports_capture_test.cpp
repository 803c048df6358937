// The capture exports on the sim library, the way a host drives them: start and stop cycles on a
// live scene, the result codes, the lifecycle lines, and a watchdog restart racing the host's
// stop and shutdown.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/sim_capture.h"
#include "capture_test_support.h"
#include "gpu/sim_gpu.h"
#include "media/sim_media.h"
#include "sim_platform.h"
#include "tallowmarch/core.h"

namespace tallowmarch {
namespace {

using namespace std::chrono_literals;

const HWND kWindow = reinterpret_cast<HWND>(std::uintptr_t{0x1001});

testing::LogLines* g_log = nullptr;
void HostLog(const wchar_t* line) {
  g_log->Add(line);
}

class CaptureExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log = &log;
    sim::ResetAll();
    Tallowmarch_SetLogCallback(&HostLog);
  }
  void TearDown() override {
    Tallowmarch_GlobalShutdown();
    Tallowmarch_SetLogCallback(nullptr);
    sim::ResetAll();
    g_log = nullptr;
  }
  testing::LogLines log;
};

TEST_F(CaptureExportsTest, ResultCodesInTheirOrder) {
  EXPECT_EQ(Tallowmarch_StartCapture(nullptr, false, 0, 0, 0, 0), TALLOWMARCH_NOT_INITIALIZED);
  EXPECT_EQ(Tallowmarch_StartCapture(kWindow, false, 0, 0, 0, 0), TALLOWMARCH_NOT_INITIALIZED);
  Tallowmarch_StopCapture();  // no session: nothing
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  EXPECT_EQ(Tallowmarch_StartCapture(nullptr, false, 0, 0, 0, 0), TALLOWMARCH_INVALID_ARGUMENT);
  EXPECT_EQ(
      Tallowmarch_StartCapture(reinterpret_cast<HWND>(std::uintptr_t{0x9999}), false, 0, 0, 0, 0),
      TALLOWMARCH_OPERATION_FAILED);
  EXPECT_EQ(log.Count(L"Start() failed: invalid target window."), 1);

  sim::Capture().SetWindows(
      {{kWindow, reinterpret_cast<HMONITOR>(std::uintptr_t{1}), {1280, 0}, true}});
  EXPECT_EQ(Tallowmarch_StartCapture(kWindow, false, 0, 0, 0, 0), TALLOWMARCH_OPERATION_FAILED);
  EXPECT_EQ(log.Count(L"Start() failed: zero-size capture item (minimized target?)."), 1);
  Tallowmarch_StopCapture();
  EXPECT_EQ(log.Count(L"Capture stopped."), 0);
  sim::Capture().Reset();

  sim::Media().SetHardwareEncoders({});
  EXPECT_EQ(Tallowmarch_StartCapture(kWindow, false, 0, 0, 0, 0), TALLOWMARCH_NO_HARDWARE_ENCODER);
  EXPECT_EQ(sim::Capture().ItemsCreated(), 0);  // refused before anything was built
  sim::Media().Reset();

  ASSERT_EQ(Tallowmarch_StartCapture(kWindow, false, -1, -5, -7, 0), TALLOWMARCH_OK);
  EXPECT_TRUE(Tallowmarch_IsCapturing());
  EXPECT_EQ(Tallowmarch_StartCapture(kWindow, true, 0, 0, 0, 0), TALLOWMARCH_ALREADY_CAPTURING);
  EXPECT_EQ(Tallowmarch_StartCapture(nullptr, true, 0, 0, 0, 0), TALLOWMARCH_INVALID_ARGUMENT);
  sim::Media().SetHardwareEncoders({});
  EXPECT_EQ(Tallowmarch_StartCapture(kWindow, true, 0, 0, 0, 0), TALLOWMARCH_ALREADY_CAPTURING);
  Tallowmarch_StopCapture();
  EXPECT_FALSE(Tallowmarch_IsCapturing());
  EXPECT_EQ(log.Count(L"Capture started."), 1);
  EXPECT_EQ(log.Count(L"Capture stopped."), 1);
}

TEST_F(CaptureExportsTest, DozensOfStartStopCyclesOnALiveScene) {
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  sim::Capture().SetSceneRate(60.0);
  const int cycles = 24;
  for (int i = 0; i < cycles; ++i) {
    ASSERT_EQ(Tallowmarch_StartCapture(kWindow, i % 3 == 2, 360, 60, 0, 0), TALLOWMARCH_OK) << i;
    EXPECT_TRUE(Tallowmarch_IsCapturing());
    if (i % 4 == 0) {  // now and then let frames flow through the whole pipeline first
      ASSERT_TRUE(testing::WaitUntil([] { return Tallowmarch_GetMeasuredSustainableFps() > 0; }));
    }
    Tallowmarch_StopCapture();
    EXPECT_FALSE(Tallowmarch_IsCapturing());
    EXPECT_EQ(Tallowmarch_GetMeasuredSustainableFps(), 0.0);
  }
  EXPECT_EQ(log.Count(L"Capture started."), cycles);
  EXPECT_EQ(log.Count(L"Capture stopped."), cycles);
  EXPECT_EQ(sim::Capture().RunningSessions(), 0);
  EXPECT_EQ(log.Count(L"Encoder thread error"), 0);
  EXPECT_EQ(log.Count(L"Frame copy failed"), 0);
}

TEST_F(CaptureExportsTest, ShutdownWhileCapturingStopsFirst) {
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  ASSERT_EQ(Tallowmarch_StartCapture(kWindow, false, 0, 0, 0, 0), TALLOWMARCH_OK);
  Tallowmarch_GlobalShutdown();
  EXPECT_EQ(log.Count(L"Capture stopped."), 1);
  EXPECT_EQ(sim::Capture().RunningSessions(), 0);
  EXPECT_EQ(sim::Capture().LivePools(), 0);
  Tallowmarch_GlobalShutdown();  // the second does nothing
  EXPECT_EQ(log.Count(L"Capture stopped."), 1);
}

// The watchdog's restart against the host: the restart takes the interface locks, so the host
// waits for it or it gives way; a shutdown cancels it; nothing runs after the shutdown returns.
class RestartRaceTest : public CaptureExportsTest, public ::testing::WithParamInterface<int> {};

TEST_P(RestartRaceTest, HostCallDuringTheRestart) {
  const int variant = GetParam();
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  ASSERT_EQ(Tallowmarch_StartCapture(kWindow, false, 0, 0, 0, 0), TALLOWMARCH_OK);
  sim::Gpu().RemoveDevices(DXGI_ERROR_DEVICE_REMOVED);
  ASSERT_TRUE(log.WaitFor(L"Watchdog: GPU device lost"));
  if (variant >= 2) {
    ASSERT_TRUE(log.WaitFor(L"Capture stopped."));  // the restart is in its pause
  }
  if (variant % 2 == 0) {
    Tallowmarch_GlobalShutdown();
    EXPECT_FALSE(Tallowmarch_IsCapturing());
    EXPECT_EQ(sim::Capture().RunningSessions(), 0);
    EXPECT_EQ(sim::Capture().LivePools(), 0);
    const size_t lines = log.Lines().size();
    std::this_thread::sleep_for(800ms);  // a restart that survived would start and log by now
    EXPECT_EQ(log.Lines().size(), lines);
  } else {
    // The host stops: whichever came first, the capture ends up stopped and nothing is left.
    Tallowmarch_StopCapture();
    if (variant == 3) {
      // The stop waited for the restart, which held the locks: recovered, then stopped.
      EXPECT_EQ(log.Count(L"Watchdog: capture automatically recovered after GPU device loss."), 1);
    }
    const size_t lines = log.Lines().size();
    std::this_thread::sleep_for(800ms);
    EXPECT_FALSE(Tallowmarch_IsCapturing());
    EXPECT_EQ(log.Lines().size(), lines);
    EXPECT_EQ(log.Lines().back(), L"Capture stopped.");
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, RestartRaceTest, ::testing::Values(0, 1, 2, 3));

}  // namespace
}  // namespace tallowmarch
