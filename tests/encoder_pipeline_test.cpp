// The encoder pipeline: the back-off arithmetic, the encoder and finalizer threads against
// scripted encoders, and back-off and rotation on the real encoder made slow through the sim.
#include "encoder_pipeline.h"

#include <gtest/gtest.h>

#include <thread>

#include "capture/sim_capture.h"
#include "capture_test_support.h"
#include "gpu/sim_gpu.h"
#include "hresult_error.h"
#include "session_impl.h"
#include "sim_platform.h"
#include "sim_session_fixture.h"
#include "system/sim_system.h"

namespace tallowmarch {
namespace {

using namespace std::chrono_literals;
using testing::LogLines;
using testing::WaitUntil;

using testing::kWindow;

TEST(BackoffTest, TierSteps) {
  EXPECT_EQ(NextBackoffTier(0.15, 0), 0);
  EXPECT_EQ(NextBackoffTier(0.05, 1), 1);
  EXPECT_EQ(NextBackoffTier(0.16, 0), 1);
  EXPECT_EQ(NextBackoffTier(0.375, 0), 1);
  EXPECT_EQ(NextBackoffTier(0.4, 0), 2);
  EXPECT_EQ(NextBackoffTier(0.4, 2), 3);
  EXPECT_EQ(NextBackoffTier(0.9, 3), 3);
  EXPECT_EQ(NextBackoffTier(0.2, 3), 3);
  EXPECT_EQ(NextBackoffTier(0.04, 3), 2);
  EXPECT_EQ(NextBackoffTier(0.0, 1), 0);
  EXPECT_EQ(NextBackoffTier(0.0, 0), 0);
}

TEST(BackoffTest, RequestedRates) {
  const std::uint32_t expected[][4] = {
      {60, 51, 39, 30}, {30, 25, 19, 15}, {24, 20, 15, 12}, {15, 12, 10, 10}};
  for (const auto& row : expected) {
    EXPECT_EQ(BackoffRequestedFps(0, row[0]), 0u);
    for (int tier = 1; tier <= 3; ++tier)
      EXPECT_EQ(BackoffRequestedFps(tier, row[0]), row[tier]) << row[0] << " tier " << tier;
  }
}

// A scripted segment encoder: records what it is given, refuses or throws on request.
struct Script {
  std::mutex mutex;                                  // guards every field
  std::vector<std::pair<int, std::int64_t>> frames;  // (encoder id, timestamp)
  std::vector<int> drained, retired, finished, destroyed;
  std::vector<int> finishedUnretired;  // Finish came to an encoder that was not retired first
  // The memory releases the system layer had seen when each encoder was destroyed.
  std::vector<std::uint64_t> releasesAtDestroy;
  bool refuse = false;
  bool throwRuntime = false;
  bool throwOnDrain = false;
  std::chrono::milliseconds retireTime{0};  // how long Retire takes
  std::uint32_t frameCountAtFinish = 3;
};

class FakeEncoder : public IVideoSegmentEncoder {
 public:
  FakeEncoder(Script& script, int id) : script_(script), id_(id) {}
  ~FakeEncoder() override {
    std::lock_guard lock(script_.mutex);
    script_.destroyed.push_back(id_);
    script_.releasesAtDestroy.push_back(sim::System().ReleaseFreedMemoryCalls());
  }
  bool EncodeFrame(const platform::TexturePtr&, std::int64_t timestamp,
                   const std::atomic<bool>*) override {
    std::lock_guard lock(script_.mutex);
    if (script_.throwRuntime) throw std::runtime_error("scripted failure");
    script_.frames.emplace_back(id_, timestamp);
    return !script_.refuse;
  }
  void DrainPending() override {
    std::lock_guard lock(script_.mutex);
    if (script_.throwOnDrain) throw hresult_error(E_FAIL, "drain");
    script_.drained.push_back(id_);
  }
  void Retire() override {
    std::chrono::milliseconds took;
    {
      std::lock_guard lock(script_.mutex);
      took = script_.retireTime;
    }
    std::this_thread::sleep_for(took);  // a codec close that takes a while
    std::lock_guard lock(script_.mutex);
    script_.retired.push_back(id_);
    retiredBeforeFinish_ = true;
  }
  VideoSegment Finish() override {
    std::lock_guard lock(script_.mutex);
    script_.finished.push_back(id_);
    if (!retiredBeforeFinish_) script_.finishedUnretired.push_back(id_);
    if (id_ == 99) throw std::runtime_error("finish failed");
    VideoSegment segment;
    segment.bytes = std::make_shared<std::vector<std::uint8_t>>(10);
    segment.frameCount = script_.frameCountAtFinish;
    segment.startTime = NowHns();
    segment.durationSeconds = 2.0;
    return segment;
  }

 private:
  Script& script_;
  int id_;
  bool retiredBeforeFinish_ = false;
};

// The encoder and finalizer threads on a session whose pipeline state the test scripts.
class PipelineThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session.SetLogCallback([this](const std::wstring& line) { log.Add(line); });
    S().stopRequested = false;
    S().fps = 30;
    S().currentEncoder = std::make_unique<FakeEncoder>(script, 1);
    encoder = std::thread(EncoderThread, &session);
    finalizer = std::thread(FinalizeThread, &session);
  }
  void TearDown() override { StopThreads(); }
  void StopThreads() {
    S().stopRequested = true;
    { std::lock_guard lock(S().pipelineMutex); }
    S().pipelineCv.notify_all();
    { std::lock_guard lock(S().finalizeMutex); }
    S().finalizeCv.notify_all();
    if (encoder.joinable()) encoder.join();
    if (finalizer.joinable()) finalizer.join();
    S().currentEncoder.reset();
  }
  TallowmarchSession::Impl& S() { return session.State(); }
  void HandOver(std::int64_t timestamp, std::int64_t slot = 0) {
    {
      std::lock_guard lock(S().pipelineMutex);
      S().frameTimestamp = timestamp;
      S().frameSlot = slot;
      S().framePending = true;
    }
    S().pipelineCv.notify_one();
  }
  void RequestRotation(bool frameToo, std::int64_t timestamp = 0) {
    {
      std::lock_guard lock(S().pipelineMutex);
      S().rotationRequests.push(1);
      if (frameToo) {
        S().frameTimestamp = timestamp;
        S().framePending = true;
      }
    }
    S().pipelineCv.notify_one();
  }
  void SetSpare(int id, std::uint32_t fps) {
    std::lock_guard lock(S().spareMutex);
    S().spareEncoder = std::make_unique<FakeEncoder>(script, id);
    S().spareFps = fps;
  }
  size_t FrameCount() {
    std::lock_guard lock(script.mutex);
    return script.frames.size();
  }

  Script script;
  LogLines log;
  TallowmarchSession session;
  std::thread encoder, finalizer;
};

TEST_F(PipelineThreadsTest, RotationWithASpareSwapsDrainsAndFinalizes) {
  HandOver(100);
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 1; }));
  SetSpare(2, 0);
  // A frame pending together with the rotation goes into the new encoder in the same wake.
  RequestRotation(true, 200);
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return S().videoRing.TotalBytes() == 10; }));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(script.mutex);
    return !script.destroyed.empty();
  }));
  std::lock_guard lock(script.mutex);
  EXPECT_EQ(script.frames[0], std::make_pair(1, std::int64_t{100}));
  EXPECT_EQ(script.frames[1], std::make_pair(2, std::int64_t{200}));
  EXPECT_EQ(script.drained, std::vector<int>{1});
  // Retired on the encoder thread after its drain, before the finalizer got it.
  EXPECT_EQ(script.retired, std::vector<int>{1});
  EXPECT_EQ(script.finished, std::vector<int>{1});
  EXPECT_TRUE(script.finishedUnretired.empty());
  EXPECT_EQ(S().encodeAttempts.load(), 2u);
  EXPECT_EQ(log.Count(L"[ROTATION-TIMING]"), 0);  // a quick swap with a spare is not logged
  // The retired encoder's memory is handed back once it is gone, not before.
  ASSERT_EQ(script.releasesAtDestroy.size(), 1u);
  const std::uint64_t atDestroy = script.releasesAtDestroy[0];
  EXPECT_TRUE(WaitUntil([&] { return sim::System().ReleaseFreedMemoryCalls() == atDestroy + 1; }));
}

TEST_F(PipelineThreadsTest, RotationWithoutASpareLogsAndStopsThinning) {
  // Without an encode context the encoder thread cannot build one: a runtime error of the
  // encoder layer, logged, and the old encoder stays current.
  S().fpsOverride = 25;
  RequestRotation(false);
  ASSERT_TRUE(log.WaitFor(L"Encoder thread error: Segment encoder without encode context"));
  HandOver(300);
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 1; }));
  {
    std::lock_guard lock(script.mutex);
    EXPECT_EQ(script.frames[0].first, 1);
  }
  EXPECT_EQ(log.Count(L"[ROTATION-TIMING]"), 0);
}

// Frames of consecutive grid slots: thinning keeps exactly the tier's rate of every 30, the
// first after the rotation always; skipped frames are not attempts.
TEST_F(PipelineThreadsTest, ThinningKeepsTheTiersRateOfTheGridsSlots) {
  std::int64_t slot = 0;
  for (const std::uint32_t rate : {25u, 19u, 15u}) {
    SetSpare(static_cast<int>(rate), rate);
    RequestRotation(false);
    ASSERT_TRUE(WaitUntil([&] { return S().fpsOverride.load() == rate; }));
    const size_t before = FrameCount();
    const std::uint64_t attemptsBefore = S().encodeAttempts.load();
    for (int i = 0; i < 30; ++i, ++slot) {
      HandOver(1000 + slot, slot);
      ASSERT_TRUE(WaitUntil([&] { return !S().framePending.load(); }));
    }
    EXPECT_EQ(FrameCount() - before, rate);
    EXPECT_EQ(S().encodeAttempts.load() - attemptsBefore, rate);
    std::lock_guard lock(script.mutex);
    EXPECT_EQ(script.frames[before], std::make_pair(static_cast<int>(rate), 1000 + slot - 30));
  }
}

// A producer that hands over as fast as it can: each frame is taken with its own time, once.
TEST_F(PipelineThreadsTest, AFrameIsTakenWithItsOwnTimeAndOnlyOnce) {
  const auto until = std::chrono::steady_clock::now() + 500ms;
  for (std::int64_t i = 1; std::chrono::steady_clock::now() < until; ++i) HandOver(i, i);
  ASSERT_TRUE(WaitUntil([&] { return !S().framePending.load(); }));
  std::lock_guard lock(script.mutex);
  for (size_t i = 1; i < script.frames.size(); ++i)
    ASSERT_LT(script.frames[i - 1].second, script.frames[i].second) << "frame " << i;
}

TEST_F(PipelineThreadsTest, RefusedFramesCountAsDropsAndErrorsNeverEndTheThread) {
  {
    std::lock_guard lock(script.mutex);
    script.refuse = true;
  }
  HandOver(1);
  ASSERT_TRUE(WaitUntil([&] { return S().encodeDrops.load() == 1; }));
  EXPECT_EQ(S().encodeAttempts.load(), 1u);
  {
    std::lock_guard lock(script.mutex);
    script.refuse = false;
    script.throwRuntime = true;
  }
  HandOver(2);
  ASSERT_TRUE(log.WaitFor(L"Encoder thread error: scripted failure"));
  {
    std::lock_guard lock(script.mutex);
    script.throwRuntime = false;
    script.throwOnDrain = true;
  }
  // A drain that fails loses the retired segment; the new encoder is current.
  SetSpare(3, 0);
  RequestRotation(false);
  ASSERT_TRUE(log.WaitFor(L"Encoder thread error: 0x80004005"));
  HandOver(4);
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 2; }));
  std::lock_guard lock(script.mutex);
  EXPECT_EQ(script.frames.back().first, 3);
  EXPECT_TRUE(script.retired.empty());
  EXPECT_TRUE(script.finished.empty());
  EXPECT_NE(std::find(script.destroyed.begin(), script.destroyed.end(), 1), script.destroyed.end());
}

TEST_F(PipelineThreadsTest, FinalizerSkipsEmptySegmentsAndSurvivesErrors) {
  const std::uint64_t releasesBefore = sim::System().ReleaseFreedMemoryCalls();
  {
    std::lock_guard lock(script.mutex);
    script.frameCountAtFinish = 0;
  }
  {
    std::lock_guard lock(S().finalizeMutex);
    S().finalizeQueue.push(std::make_unique<FakeEncoder>(script, 7));
    S().finalizeQueue.push(std::make_unique<FakeEncoder>(script, 99));  // Finish throws
    S().finalizeQueue.push(nullptr);
  }
  S().finalizeCv.notify_one();
  ASSERT_TRUE(log.WaitFor(L"Finalize thread error: finish failed"));
  EXPECT_EQ(log.Count(L"[DIAG-EMPTY-SEGMENT] segment finalized with 0 frames - skipped, not "
                      L"added to ring t="),
            1);
  EXPECT_EQ(S().videoRing.TotalBytes(), 0u);
  // Encoders queued at the stop are still finished before the finalizer ends.
  {
    std::lock_guard lock(script.mutex);
    script.frameCountAtFinish = 5;
  }
  {
    std::lock_guard lock(S().finalizeMutex);
    S().finalizeQueue.push(std::make_unique<FakeEncoder>(script, 8));
    S().stopRequested = true;
  }
  StopThreads();
  EXPECT_EQ(S().videoRing.TotalBytes(), 10u);
  // Every retired encoder, a failed one too, is followed by a release; the empty entry is not.
  EXPECT_EQ(sim::System().ReleaseFreedMemoryCalls(), releasesBefore + 3);
}

TEST_F(PipelineThreadsTest, SpareIsBuiltOnlyOnceThePostedRotationRetiredItsEncoder) {
  // The build fails at once (no encode context); its log line shows when it ran, and the
  // callback notes how many encoders had been retired by then.
  std::mutex seenMutex;  // guards retiredAtBuild
  int retiredAtBuild = -1;
  session.SetLogCallback([&](const std::wstring& line) {
    if (line.rfind(L"[DIAG-SPARE-BUILD-FAIL]", 0) == 0) {
      std::lock_guard scriptLock(script.mutex);
      std::lock_guard lock(seenMutex);
      retiredAtBuild = static_cast<int>(script.retired.size());
    }
    log.Add(line);
  });
  {
    std::lock_guard lock(script.mutex);
    script.retireTime = 60ms;  // well inside the builder's bounded wait
  }
  std::thread builder(SpareEncoderBuilderThread, &session);
  // What the back-off thread does at a period's end and the next one's start.
  SetSpare(2, 0);
  {
    std::lock_guard lock(S().spareBuildMutex);
    S().rotationOutstanding = true;
  }
  RequestRotation(false);
  {
    std::lock_guard lock(S().spareBuildMutex);
    S().rebuildRequested = true;
  }
  S().spareBuildCv.notify_one();
  ASSERT_TRUE(log.WaitFor(L"[DIAG-SPARE-BUILD-FAIL] Segment encoder without encode context"));
  {
    std::lock_guard lock(seenMutex);
    EXPECT_EQ(retiredAtBuild, 1);
  }

  // A rotation that fails (no spare, no context) releases the builder all the same.
  {
    std::lock_guard lock(S().spareBuildMutex);
    S().rotationOutstanding = true;
  }
  RequestRotation(false);
  ASSERT_TRUE(log.WaitFor(L"Encoder thread error: Segment encoder without encode context"));
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard lock(S().spareBuildMutex);
    return !S().rotationOutstanding;
  }));

  S().stopRequested = true;
  { std::lock_guard lock(S().spareBuildMutex); }
  S().spareBuildCv.notify_all();
  builder.join();
}

// The real pipeline with the GPU made slow or refusing through the sim.
class PipelineBackoffTest : public testing::SimSessionTest {
 protected:
};

TEST_F(PipelineBackoffTest, AnEncoderThatCannotKeepUpRaisesTheTierAndThinsTheNextSegments) {
  sim::Capture().SetSceneRate(30.0);
  ASSERT_TRUE(session->Start(kWindow, false, 360, 30, 0, 0));
  // From now on every readback answers "still drawing": frames beyond the four staging slots
  // are dropped after the bounded wait.
  sim::Gpu().Faults().AddStillDrawingAnswers(1000000);
  ASSERT_TRUE(log.WaitFor(L"[DIAG-BACKOFF] dropRate="));
  const std::wstring first = log.Starting(L"[DIAG-BACKOFF] dropRate=").front();
  EXPECT_NE(first.find(L" tier 0 -> "), std::wstring::npos) << first;
  ASSERT_TRUE(WaitUntil([&] { return session->State().backoffTier.load() == 3; }, 30s));
  // Tier 3 at 30 fps thins to 15, which travels with the spare into the next segment.
  ASSERT_TRUE(WaitUntil([&] { return session->State().fpsOverride.load() == 15u; }, 30s));
  sim::Gpu().Faults().Reset();
}

TEST_F(PipelineBackoffTest, ARotationWithoutASpareBuildsItsOwnEncoder) {
  sim::Capture().SetSceneMoving(false);  // no frame textures after the first
  ASSERT_TRUE(session->Start(kWindow, false, 360, 30, 0, 0));
  ASSERT_TRUE(WaitUntil([&] { return sim::Capture().FramesDelivered() == 1; }));
  // The first spare build (right at start) may already be done; fail the next ones.
  sim::Gpu().Faults().Fail(platform::GpuCall::CreateTexture2D, E_OUTOFMEMORY, 1);
  ASSERT_TRUE(log.WaitFor(L"[DIAG-SPARE-BUILD-FAIL] 0x8007000E", 1, 30s));
  ASSERT_TRUE(log.WaitFor(L"[ROTATION-TIMING] usedSpare=0 construct=", 1, 30s));
  EXPECT_EQ(session->State().fpsOverride.load(), 0u);
}

}  // namespace
}  // namespace tallowmarch
