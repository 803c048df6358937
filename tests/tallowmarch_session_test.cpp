// Start and Stop of a capture on the sim platform, driven through the session itself so that
// the test can read the rings and demux the segments the pipeline made.
#include "tallowmarch_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "capture/sim_capture.h"
#include "capture_test_support.h"
#include "gpu/sim_gpu.h"
#include "session_impl.h"
#include "sim_platform.h"

namespace tallowmarch {
namespace {

using namespace std::chrono_literals;
using testing::DemuxSegment;
using testing::LogLines;
using testing::WaitUntil;

const HWND kWindow = reinterpret_cast<HWND>(std::uintptr_t{0x1001});

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ResetAll();
    session = std::make_unique<TallowmarchSession>();
    session->SetLogCallback([this](const std::wstring& line) { log.Add(line); });
  }
  void TearDown() override {
    session.reset();
    sim::ResetAll();
  }
  TallowmarchSession::Impl& S() { return session->State(); }
  std::deque<VideoSegment> Segments() {
    return S().videoRing.Snapshot({INT64_MIN / 2, INT64_MAX / 2});
  }
  bool WaitForSegments(size_t count, std::chrono::milliseconds timeout = 30s) {
    return WaitUntil([&] { return Segments().size() >= count; }, timeout);
  }

  LogLines log;
  std::unique_ptr<TallowmarchSession> session;
};

TEST_F(SessionTest, MovingSceneFillsTheRingWithTwoSecondSegments) {
  sim::Capture().SetSceneRate(30.0);
  ASSERT_TRUE(session->Start(kWindow, false, 0, 30, 0, 0));
  EXPECT_EQ(log.Count(L"Capture started."), 1);
  ASSERT_TRUE(WaitForSegments(3));
  const std::deque<VideoSegment> segments = Segments();
  const std::uint64_t handedOver = S().framesSubmitted.load() - S().framesCoalesced.load();
  session->Stop();

  std::uint64_t total = 0;
  for (size_t i = 0; i < segments.size(); ++i) {
    const VideoSegment& segment = segments[i];
    SCOPED_TRACE(i);
    EXPECT_NEAR(segment.durationSeconds, 2.0, 0.5);
    EXPECT_NEAR(segment.frameCount, 60.0, 15.0);
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

}  // namespace
}  // namespace tallowmarch
