// Frame intake on a running capture of the sim scene: arrival gaps, frames of another size,
// the mailbox counters, failed copies, the stop flag and the rate of the still picture's repeats.
#include "frame_intake.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <thread>

#include "capture/sim_capture.h"
#include "capture_test_support.h"
#include "gpu/sim_gpu.h"
#include "session_impl.h"
#include "sim_platform.h"
#include "sim_session_fixture.h"

namespace tallowmarch {
namespace {

using namespace std::chrono_literals;
using testing::LogLines;
using testing::WaitUntil;

using testing::kWindow;

class FrameIntakeTest : public testing::SimSessionTest {
 protected:
  void SetUp() override {
    SimSessionTest::SetUp();
    sim::Capture().SetSceneRate(0.0);  // frames only when the test posts them
  }
  // Posts one frame and waits until the handler has taken and closed it.
  void PostAndWait() {
    const std::uint64_t delivered = sim::Capture().FramesDelivered();
    sim::Capture().PostFrames(1);
    ASSERT_TRUE(WaitUntil([&] {
      return sim::Capture().FramesDelivered() > delivered &&
             sim::Capture().FramesOutstanding() == 0;
    }));
  }
};

TEST_F(FrameIntakeTest, ArrivalGapsAndSizeMismatchesAreLoggedAndTheFrameStillCounts) {
  ASSERT_TRUE(session->Start(kWindow, false, 0, 30, 0, 0));
  ASSERT_TRUE(WaitUntil([&] { return S().framesSubmitted.load() >= 1; }));
  EXPECT_EQ(log.Count(L"[DIAG-ARRIVAL-GAP] "), 0);  // the first arrival has nothing to compare
  for (int i = 0; i < 2; ++i) {
    std::this_thread::sleep_for(150ms);  // the gap under test
    PostAndWait();
  }
  const auto gaps = log.Starting(L"[DIAG-ARRIVAL-GAP] ");
  ASSERT_EQ(gaps.size(), 2u);
  for (const auto& line : gaps) {
    double gap = 0, t = 0;
    ASSERT_EQ(
        std::swscanf(line.c_str(), L"[DIAG-ARRIVAL-GAP] %lfms since last WGC frame arrival t=%lf",
                     &gap, &t),
        2)
        << line;
    EXPECT_GE(gap, 150.0);
    EXPECT_LT(gap, 1000.0);
    // Six decimals, as printf's %f writes them.
    const size_t ms = line.find(L"ms since");
    EXPECT_EQ(line[ms - 7], L'.') << line;
    EXPECT_EQ(line.size() - line.rfind(L'.'), 7u) << line;
  }

  const std::uint64_t before = S().framesSubmitted.load();
  sim::Capture().ResizeWindow(kWindow, {640, 360});
  ASSERT_TRUE(
      log.WaitFor(L"[DIAG-SIZE-MISMATCH] frame is 640x360 but pipeline expects 1280x720 t="));
  EXPECT_TRUE(WaitUntil([&] { return S().framesSubmitted.load() > before; }));
  EXPECT_TRUE(session->IsCapturing());
}

// The frame grid at fps 30. A source at the capture rate: every frame passes, stamped with its
// slot's time, and the tick adds nothing. A faster one with jitter (every 26 ms, every other
// post 6 ms late): one frame per slot, the tick's repeats included.
TEST_F(FrameIntakeTest, EachSlotOfTheFrameGridTakesOneFrameStampedWithItsTime) {
  ASSERT_TRUE(session->Start(kWindow, false, 0, 30, 0, 0));
  ASSERT_TRUE(WaitUntil([&] { return S().hasFrame.load(); }));  // the first frame always passes
  const std::int64_t origin = S().frameGridOrigin.load();
  auto sleepUntil = [](std::int64_t time) {  // a time already past returns at once
    std::this_thread::sleep_for(std::chrono::nanoseconds((time - NowHns()) * 100));
  };
  std::int64_t slot = FrameSlotAt(NowHns(), origin, 30) + 2;
  std::uint64_t before = 0;
  bool kept = true;  // every post was handled inside its slot (a loaded machine may delay one)
  for (int i = 0; i < 30; ++i, ++slot) {
    sleepUntil(FrameSlotTime(slot, origin, 30) - 10000000 / 180);  // a sixth of an interval
    PostAndWait();
    if (i == 0) before = S().framesSubmitted.load();  // the tick may have filled the slot before
    kept = kept && FrameSlotAt(NowHns(), origin, 30) == slot;
    EXPECT_EQ(S().frameTimestamp.load(), FrameSlotTime(S().frameSlot.load(), origin, 30));
  }
  EXPECT_TRUE(!kept || S().framesSubmitted.load() - before == 29u);
  before = S().framesSubmitted.load();
  const std::int64_t firstSlot = S().frameSlot.load() + 1;
  std::int64_t next = NowHns();
  for (int i = 0; i < 40; ++i) {
    next += 260000;
    sleepUntil(i % 2 == 1 ? next + 60000 : next);
    PostAndWait();
  }
  const std::int64_t slots = S().frameSlot.load() - firstSlot + 1;
  EXPECT_LE(static_cast<std::int64_t>(S().framesSubmitted.load() - before), slots);
  EXPECT_GE(slots, 30);
}

TEST_F(FrameIntakeTest, MailboxCountsEveryHandOverAndCoalescesWhatTheEncoderDidNotTake) {
  // A slow GPU and a high rate: the tick and the handler hand over faster than the encoder
  // thread takes frames.
  sim::Gpu().Faults().SetCommandDelay(5ms);
  sim::Capture().SetSceneRate(100.0);
  ASSERT_TRUE(session->Start(kWindow, false, 360, 200, 0, 0));
  ASSERT_TRUE(WaitUntil([&] { return S().framesCoalesced.load() >= 5; }));
  session->Stop();  // well inside the first back-off period: no thinning yet
  const std::uint64_t submitted = S().framesSubmitted.load();
  const std::uint64_t coalesced = S().framesCoalesced.load();
  const std::uint64_t taken = S().encodeAttempts.load() + (S().framePending.load() ? 1 : 0);
  // The back-off controller empties the attempt counter when it starts; on a loaded machine the
  // encoder thread can make its first attempt before that, and the counter loses it.
  EXPECT_GE(submitted - coalesced, taken);
  EXPECT_LE(submitted - coalesced, taken + 1);
  EXPECT_GT(coalesced, 0u);
  sim::Gpu().Faults().Reset();
}

TEST_F(FrameIntakeTest, NothingIsHandedOverOnceTheStopFlagIsSet) {
  ASSERT_TRUE(session->Start(kWindow, false, 0, 100, 0, 0));
  ASSERT_TRUE(WaitUntil([&] { return S().framesSubmitted.load() >= 1; }));
  S().stopRequested = true;  // as the watchdog does before the stop
  { std::lock_guard lock(S().stopMutex); }
  S().stopCv.notify_all();
  // The tick ends within one interval; after that the counter must not move.
  std::this_thread::sleep_for(50ms);
  const std::uint64_t submitted = S().framesSubmitted.load();
  for (int i = 0; i < 3; ++i) PostAndWait();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(S().framesSubmitted.load(), submitted);
  EXPECT_EQ(log.Count(L"Frame copy failed"), 0);
  session->Stop();
  EXPECT_EQ(log.Count(L"Capture stopped."), 1);
}

TEST_F(FrameIntakeTest, AFailedCopyHandsNothingOverAndTheTickWaitsForAPicture) {
  sim::Capture().SetFailure(platform::SimCaptureStep::SurfaceTexture, E_FAIL);
  ASSERT_TRUE(session->Start(kWindow, false, 0, 100, 0, 0));
  ASSERT_TRUE(log.WaitFor(L"Frame copy failed: 0x80004005"));
  std::this_thread::sleep_for(100ms);  // ten tick intervals
  EXPECT_EQ(S().framesSubmitted.load(), 0u);
  EXPECT_FALSE(S().hasFrame.load());

  sim::Capture().SetFailure(platform::SimCaptureStep::SurfaceTexture, S_OK);
  sim::Capture().SetSceneMoving(false);
  PostAndWait();
  // One picture in: from then on the tick repeats it.
  EXPECT_TRUE(WaitUntil([&] { return S().framesSubmitted.load() >= 10; }));
}

TEST_F(FrameIntakeTest, AStillPictureIsRepeatedAtTheFullRateHoweverLongAHandOverWaits) {
  ASSERT_TRUE(session->Start(kWindow, false, 0, 100, 0, 0));
  sim::Capture().SetSceneMoving(false);
  PostAndWait();
  // The mailbox is busy most of the time, so every hand-over of the tick waits for it (as it
  // waits for its core when the encoder thread it wakes takes that over).
  std::atomic<bool> done{false};
  std::thread busy([&] {
    while (!done.load()) {
      {
        std::lock_guard lock(S().pipelineMutex);
        std::this_thread::sleep_for(4ms);
      }
      std::this_thread::sleep_for(1ms);
    }
  });
  std::this_thread::sleep_for(200ms);
  const std::uint64_t before = S().framesSubmitted.load();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1s);
  const std::uint64_t repeats = S().framesSubmitted.load() - before;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  done = true;
  busy.join();
  session->Stop();
  // 100 a second; a tick that slept a whole interval after each wait made about 85.
  EXPECT_GE(static_cast<double>(repeats) / seconds, 93.0);
}

}  // namespace
}  // namespace tallowmarch
