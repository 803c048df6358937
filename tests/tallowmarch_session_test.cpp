// Start and Stop of a capture on the sim platform, driven through the session itself so that
// the test can read the rings and demux the segments the pipeline made.
#include "tallowmarch_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "capture/sim_capture.h"
#include "capture_test_support.h"
#include "engine_clock.h"
#include "gpu/sim_gpu.h"
#include "session_impl.h"
#include "sim_platform.h"
#include "sim_session_fixture.h"

namespace tallowmarch {
namespace {

using namespace std::chrono_literals;
using testing::DemuxSegment;
using testing::LogLines;
using testing::WaitUntil;

using testing::kWindow;

class SessionTest : public testing::SimSessionTest {
 protected:
  std::deque<VideoSegment> Segments() {
    return S().videoRing.Snapshot({INT64_MIN / 2, INT64_MAX / 2});
  }
  bool WaitForSegments(size_t count, std::chrono::milliseconds timeout = 30s) {
    return WaitUntil([&] { return Segments().size() >= count; }, timeout);
  }
};

TEST_F(SessionTest, MovingSceneFillsTheRingWithTwoSecondSegments) {
  sim::Capture().SetSceneRate(30.0);
  ASSERT_TRUE(session->Start(kWindow, false, 0, 30, 0, 0));
  EXPECT_EQ(log.Count(L"Capture started."), 1);
  EXPECT_EQ(log.Count(L"[CAPABILITY] GPU thread priority: requested=7 setResult=0x"), 1);
  ASSERT_TRUE(WaitForSegments(3));
  EXPECT_EQ(log.Count(L"Watchdog:"), 0);  // a device that works never triggers a restart
  const std::deque<VideoSegment> segments = Segments();
  const std::uint64_t handedOver = S().framesSubmitted.load() - S().framesCoalesced.load();
  session->Stop();

  std::uint64_t total = 0;
  for (size_t i = 0; i < segments.size(); ++i) {
    const VideoSegment& segment = segments[i];
    SCOPED_TRACE(i);
    EXPECT_NEAR(segment.durationSeconds, 2.0, 0.5);
    // About 60 frames; fewer when a loaded machine (a sanitizer build) makes the encoder
    // coalesce frames, never more.
    EXPECT_GE(segment.frameCount, 30u);
    EXPECT_LE(segment.frameCount, 75u);
    const auto demuxed = DemuxSegment(*segment.bytes);
    ASSERT_TRUE(demuxed.ok);
    EXPECT_EQ(demuxed.codec, "h264");
    EXPECT_EQ(demuxed.width, 1280);
    EXPECT_EQ(demuxed.height, 720);
    EXPECT_TRUE(demuxed.firstIsKey);
    ASSERT_EQ(demuxed.pts.size(), segment.frameCount);
    // At 30 fps the frames span the segment: last pts close to the duration minus a frame.
    const double span =
        static_cast<double>(demuxed.pts.back() - demuxed.pts.front()) * demuxed.timeBase;
    EXPECT_NEAR(span, segment.durationSeconds - 1.0 / 30.0, 0.3);
    if (i > 0) {
      const double step = static_cast<double>(segment.startTime - segments[i - 1].startTime) / 1e7;
      EXPECT_NEAR(step, 2.0, 0.3);
    }
    total += segment.frameCount;
  }
  EXPECT_LE(total, handedOver);
}

TEST(EncodeSizeTest, ScalesToEvenSizesAndKeepsTheSourceOtherwise) {
  struct Case {
    std::uint32_t w, h, maxHeight, ew, eh;
  } cases[] = {
      {2560, 1440, 1080, 1920, 1080},
      {1366, 768, 720, 1280, 720},
      {1366, 768, 721, 1280, 720},
      {1920, 1080, 0, 1920, 1080},
      {1920, 1080, 1080, 1920, 1080},
      {1920, 1080, 2160, 1920, 1080},
      // Odd sources and the smallest limits are made even (and at least 2) rather than fail.
      {1365, 767, 0, 1364, 766},
      {1920, 1080, 1, 2, 2},
      {1, 1, 0, 2, 2},
  };
  for (const Case& c : cases) {
    const EncodeSize size = ComputeEncodeSize(c.w, c.h, c.maxHeight);
    EXPECT_EQ(size.width, c.ew) << c.w << "x" << c.h << " max " << c.maxHeight;
    EXPECT_EQ(size.height, c.eh) << c.w << "x" << c.h << " max " << c.maxHeight;
  }
}

TEST_F(SessionTest, ScaledSourceEncodesAtTheOutputSizeAndStopEmptiesTheRings) {
  sim::Capture().SetWindows(
      {{kWindow, reinterpret_cast<HMONITOR>(std::uintptr_t{1}), {2560, 1440}, true}});
  sim::Capture().SetSceneRate(30.0);
  ASSERT_TRUE(session->Start(kWindow, false, 1080, 0, 0, 0));
  EXPECT_EQ(S().sourceWidth, 2560u);
  EXPECT_EQ(S().encodeWidth, 1920u);
  EXPECT_EQ(S().encodeHeight, 1080u);
  EXPECT_EQ(S().fps, 30u);
  EXPECT_EQ(S().bitrate, 6000000u);
  EXPECT_DOUBLE_EQ(S().clipWindow.Seconds(), 60.0);
  ASSERT_TRUE(WaitForSegments(1));
  const auto demuxed = DemuxSegment(*Segments().front().bytes);
  ASSERT_TRUE(demuxed.ok);
  EXPECT_EQ(demuxed.width, 1920);
  EXPECT_EQ(demuxed.height, 1080);

  // A chunk in an audio ring too: Stop empties every ring.
  S().desktopRing.PushAndTrim({std::make_shared<std::vector<std::uint8_t>>(16), NowHns(), 0.1},
                              S().clipWindow);
  session->Stop();
  EXPECT_EQ(log.Count(L"Capture stopped."), 1);
  EXPECT_TRUE(Segments().empty());
  EXPECT_EQ(S().desktopRing.TotalBytes(), 0u);
  EXPECT_FALSE(session->IsCapturing());
  EXPECT_TRUE(S().stopRequested.load());
  EXPECT_EQ(sim::Capture().RunningSessions(), 0);
  const auto device = std::dynamic_pointer_cast<platform::CpuDevice>(S().d3dDevice);
  EXPECT_TRUE(WaitUntil([&] { return device->HeldMemory().blocks == 0; }));
  // A second Stop changes nothing and logs nothing.
  session->Stop();
  EXPECT_EQ(log.Count(L"Capture stopped."), 1);
}

TEST_F(SessionTest, OddSourceIsEncodedAtAnEvenSize) {
  sim::Capture().SetWindows(
      {{kWindow, reinterpret_cast<HMONITOR>(std::uintptr_t{1}), {641, 361}, true}});
  ASSERT_TRUE(session->Start(kWindow, false, 0, 30, 0, 5));
  EXPECT_EQ(S().encodeWidth, 640u);
  EXPECT_EQ(S().encodeHeight, 360u);
  EXPECT_DOUBLE_EQ(S().clipWindow.Seconds(), 5.0);
  ASSERT_TRUE(WaitForSegments(1));
  const auto demuxed = DemuxSegment(*Segments().front().bytes);
  EXPECT_EQ(demuxed.width, 640);
  EXPECT_EQ(demuxed.height, 360);
}

TEST_F(SessionTest, StillSceneIsKeptAtTheFrameRateByTheTick) {
  sim::Capture().SetSceneMoving(false);  // only the first frame arrives
  ASSERT_TRUE(session->Start(kWindow, false, 0, 30, 0, 0));
  ASSERT_TRUE(WaitForSegments(2));
  EXPECT_EQ(sim::Capture().FramesDelivered(), 1u);
  for (const VideoSegment& segment : Segments()) {
    // About 60 frames; fewer when a loaded machine (a sanitizer build) makes the encoder
    // coalesce frames, never more.
    EXPECT_GE(segment.frameCount, 30u);
    EXPECT_LE(segment.frameCount, 75u);
    const auto demuxed = DemuxSegment(*segment.bytes);
    EXPECT_EQ(demuxed.pts.size(), segment.frameCount);
  }
}

TEST_F(SessionTest, StartRefusalsLogTheirLinesAndLeaveTheSessionIdle) {
  EXPECT_FALSE(session->Start(nullptr, false, 0, 0, 0, 0));
  EXPECT_FALSE(session->Start(reinterpret_cast<HWND>(std::uintptr_t{0x9999}), false, 0, 0, 0, 0));
  EXPECT_EQ(log.Count(L"Start() failed: invalid target window."), 2);

  sim::Capture().SetWindows(
      {{kWindow, reinterpret_cast<HMONITOR>(std::uintptr_t{1}), {0, 720}, true}});
  EXPECT_FALSE(session->Start(kWindow, false, 0, 0, 0, 0));
  EXPECT_EQ(log.Count(L"Start() failed: zero-size capture item (minimized target?)."), 1);
  EXPECT_TRUE(S().stopRequested.load());
  session->Stop();  // does nothing
  EXPECT_EQ(log.Count(L"Capture stopped."), 0);

  sim::Capture().SetWindows(
      {{kWindow, reinterpret_cast<HMONITOR>(std::uintptr_t{1}), {640, 360}, true}});
  sim::Capture().SetFailure(platform::SimCaptureStep::StartCapture, E_ACCESSDENIED);
  EXPECT_FALSE(session->Start(kWindow, false, 0, 0, 0, 0));
  EXPECT_EQ(log.Count(L"Start() failed: 0x80070005 (Access is denied.)"), 1);
  EXPECT_TRUE(S().stopRequested.load());
  EXPECT_FALSE(session->IsCapturing());

  sim::Capture().SetFailure(platform::SimCaptureStep::StartCapture, S_OK);
  ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
  EXPECT_FALSE(session->Start(kWindow, true, 0, 0, 0, 0));
  EXPECT_EQ(log.Count(L"Start() called while already running - ignored."), 1);
  EXPECT_TRUE(session->IsCapturing());
  EXPECT_EQ(S().sourceWidth, 640u);  // the running capture is untouched
}

TEST_F(SessionTest, AThreadThatCannotStartFailsTheStartAndJoinsTheOthers) {
  for (int failAt : {0, 3, 6}) {
    SCOPED_TRACE(failAt);
    log.Clear();
    S().failThreadStartAt = failAt;
    EXPECT_FALSE(session->Start(kWindow, false, 0, 0, 0, 0));
    EXPECT_EQ(log.Count(L"Start() failed: 0x8007000E (thread creation failed"), 1);
    EXPECT_EQ(log.Count(L"Capture started."), 0);
    EXPECT_EQ(log.Count(L"Capture stopped."), 0);
    EXPECT_FALSE(session->IsCapturing());
    EXPECT_TRUE(S().stopRequested.load());
    EXPECT_FALSE(S().encoderThread.joinable());
    EXPECT_FALSE(S().memoryDiagThread.joinable());
    EXPECT_EQ(sim::Capture().RunningSessions(), 0);
  }
  S().failThreadStartAt = -1;
  EXPECT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
}

TEST_F(SessionTest, CaptureBorderIsAppliedWhenOfferedAndNeverFailsTheStart) {
  session->SetCaptureBorderEnabled(false);
  ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
  EXPECT_EQ(sim::Capture().LastBorderRequired(), false);
  session->Stop();

  sim::ResetAll();
  sim::Capture().SetBorderProperty(platform::SimBorderProperty::Absent);
  ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
  EXPECT_FALSE(sim::Capture().LastBorderRequired().has_value());
  session->Stop();

  sim::Capture().SetBorderProperty(platform::SimBorderProperty::Failing);
  ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
  session->Stop();
  sim::Capture().SetBorderProperty(platform::SimBorderProperty::Present);
  sim::Capture().SetFailure(platform::SimCaptureStep::IsPropertyPresent, E_FAIL);
  ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
  EXPECT_EQ(log.Count(L"Couldn't set capture border (0x80070005) - keeping the default."), 1);
  EXPECT_EQ(log.Count(L"Couldn't set capture border (0x80004005) - keeping the default."), 1);
}

TEST_F(SessionTest, ASessionCloseFailureIsAWarningAndTheStopCompletes) {
  sim::Capture().SetSceneRate(60.0);
  ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
  ASSERT_TRUE(WaitUntil([&] { return S().framesSubmitted.load() > 5; }));
  sim::Capture().SetFailure(platform::SimCaptureStep::SessionClose, E_FAIL);
  session->Stop();
  EXPECT_EQ(log.Count(L"Teardown warning (non-fatal): 0x80004005"), 1);
  EXPECT_EQ(log.Count(L"Capture stopped."), 1);
  EXPECT_TRUE(Segments().empty());
  EXPECT_FALSE(session->IsCapturing());
  // The capture session still runs in the layer (its close failed) but nobody is called.
  const std::uint64_t submitted = S().framesSubmitted.load();
  sim::Capture().SetFailure(platform::SimCaptureStep::SessionClose, S_OK);
  ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));  // replaces it
  EXPECT_LE(S().framesSubmitted.load(), submitted);
}

// A log line that cannot be built (out of memory) must not end the process from a capture
// thread or throw out of Stop: the line is lost and the capture and its stop go on.
TEST_F(SessionTest, ALogLineThatFailsEndsNeitherTheProcessNorTheStop) {
  std::atomic<int> failed{0};
  session->SetLogCallback([&](const std::wstring& line) {
    if (line.rfind(L"[DIAG-REC-MEM]", 0) == 0 || line.rfind(L"Teardown warning", 0) == 0) {
      failed.fetch_add(1);
      throw std::bad_alloc();
    }
    log.Add(line);
  });
  ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
  ASSERT_TRUE(WaitUntil([&] { return failed.load() >= 1; }));  // the memory line at once
  sim::Capture().SetFailure(platform::SimCaptureStep::SessionClose, E_FAIL);
  EXPECT_NO_THROW(session->Stop());
  EXPECT_EQ(failed.load(), 2);
  EXPECT_FALSE(session->IsCapturing());
  EXPECT_EQ(log.Count(L"Capture stopped."), 1);
}

TEST_F(SessionTest, ItemClosedOnlyLogsAlsoWhenIdle) {
  ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
  sim::Capture().CloseWindow(kWindow);
  ASSERT_TRUE(
      log.WaitFor(L"[DIAG-ITEM-CLOSED] GraphicsCaptureItem.Closed fired mid-session - "
                  L"capture target became invalid (window closed, or a display/monitor "
                  L"topology change) t="));
  EXPECT_TRUE(session->IsCapturing());
  session->Stop();

  // Monitor capture: the registration outlives Stop, and the handler tolerates an idle session.
  sim::Capture().Reset();  // the window lives again
  ASSERT_TRUE(session->Start(reinterpret_cast<HWND>(std::uintptr_t{0x1001}), true, 0, 0, 0, 0));
  session->Stop();
  sim::Capture().RemoveMonitor(reinterpret_cast<HMONITOR>(std::uintptr_t{1}));
  EXPECT_TRUE(log.WaitFor(L"[DIAG-ITEM-CLOSED]", 2));
}

}  // namespace
}  // namespace tallowmarch
