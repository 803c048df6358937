// The watchdog: device loss and the automatic restart, a restart that fails, the hardware
// encoder check, and the memory line.
#include "watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "capture/sim_capture.h"
#include "capture_test_support.h"
#include "gpu/sim_gpu.h"
#include "media/sim_media.h"
#include "recording_memory.h"
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
const wchar_t kLostLine[] =
    L"Watchdog: GPU device lost (0x887A0005) - a driver reset (TDR) or a display sleep/resume "
    L"cycle can cause this. Attempting automatic capture restart.";
const wchar_t kRecoveredLine[] =
    L"Watchdog: capture automatically recovered after GPU device loss.";
const wchar_t kFailedLine[] =
    L"Watchdog: automatic capture restart after GPU device loss failed - manual restart required.";
const wchar_t kNoEncoderLine[] =
    L"Watchdog: no hardware H.264 encoder detected anymore (driver removed/changed?) - if capture "
    L"or the next restart starts failing, this is likely why.";

class WatchdogTest : public testing::SimSessionTest {
 protected:
  int IndexOf(const std::wstring& line, int from = 0) {
    const auto lines = log.Lines();
    for (int i = from; i < static_cast<int>(lines.size()); ++i)
      if (lines[i] == line) return i;
    return -1;
  }
};

TEST_F(WatchdogTest, RemovedDeviceRestartsTheCaptureWithTheHostsArgumentsAnd60Seconds) {
  ASSERT_TRUE(session->Start(kWindow, false, 360, 24, 4000000, 10));
  EXPECT_DOUBLE_EQ(S().clipWindow.Seconds(), 10.0);
  sim::Gpu().RemoveDevices(DXGI_ERROR_DEVICE_REMOVED);
  ASSERT_TRUE(log.WaitFor(kRecoveredLine));
  const int lost = IndexOf(kLostLine);
  ASSERT_GE(lost, 0);
  const int stopped = IndexOf(L"Capture stopped.", lost);
  const int started = IndexOf(L"Capture started.", stopped);
  EXPECT_GT(stopped, lost);
  EXPECT_GT(started, stopped);
  EXPECT_GT(IndexOf(kRecoveredLine), started);
  EXPECT_EQ(log.Count(kLostLine), 1);

  EXPECT_TRUE(session->IsCapturing());
  EXPECT_DOUBLE_EQ(S().clipWindow.Seconds(), 60.0);
  EXPECT_EQ(S().requestedMaxHeight, 360u);
  EXPECT_EQ(S().fps, 24u);
  EXPECT_EQ(S().bitrate, 4000000u);
  EXPECT_EQ(S().encodeHeight, 360u);
  EXPECT_EQ(S().d3dDevice->GetDeviceRemovedReason(), S_OK);  // a new device
  // The engine keeps recording on it.
  EXPECT_TRUE(WaitUntil([&] { return S().videoRing.TotalBytes() > 0; }, 20s));
}

TEST_F(WatchdogTest, ARestartThatFailsLeavesTheSessionStopped) {
  ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
  sim::Capture().SetFailure(platform::SimCaptureStep::CreateItem, E_ACCESSDENIED);
  sim::Gpu().RemoveDevices(DXGI_ERROR_DEVICE_HUNG);
  ASSERT_TRUE(log.WaitFor(kFailedLine));
  EXPECT_EQ(log.Count(L"Watchdog: GPU device lost (0x887A0006)"), 1);
  EXPECT_EQ(log.Count(L"Start() failed: 0x80070005 (Access is denied.)"), 1);
  EXPECT_FALSE(session->IsCapturing());
  EXPECT_TRUE(S().stopRequested.load());
}

TEST_F(WatchdogTest, TheMissingEncoderLineComesOncePerChange) {
  ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
  sim::Media().SetHardwareEncoders({});
  ASSERT_TRUE(log.WaitFor(kNoEncoderLine));
  // Back, then gone again: one watchdog check sees it present in between.
  const int calls = sim::Media().EnumerationCalls();
  sim::Media().SetHardwareEncoders({{"Sim H.264 Encoder MFT", E_FAIL, 0}});
  ASSERT_TRUE(WaitUntil([&] { return sim::Media().EnumerationCalls() > calls; }));
  sim::Media().SetHardwareEncoders({});
  ASSERT_TRUE(log.WaitFor(kNoEncoderLine, 2));
  EXPECT_TRUE(session->IsCapturing());
  EXPECT_EQ(log.Count(L"Watchdog: GPU device lost"), 0);
}

TEST_F(WatchdogTest, ARestartRacingTheSessionsDestructionIsCancelled) {
  for (int pauseFirst : {0, 1}) {
    SCOPED_TRACE(pauseFirst);
    log.Clear();
    ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
    sim::Gpu().RemoveDevices(DXGI_ERROR_DEVICE_REMOVED);
    ASSERT_TRUE(log.WaitFor(L"Watchdog: GPU device lost"));
    if (pauseFirst) {
      ASSERT_TRUE(log.WaitFor(L"Capture stopped."));  // the restart is in its 500 ms pause
    }
    session.reset();
    EXPECT_EQ(sim::Capture().RunningSessions(), 0);
    const size_t lines = log.Lines().size();
    std::this_thread::sleep_for(700ms);  // a surviving restart would log by now
    EXPECT_EQ(log.Lines().size(), lines);
    EXPECT_EQ(log.Count(kRecoveredLine), 0);
    session = std::make_unique<TallowmarchSession>();
    session->SetLogCallback([this](const std::wstring& line) { log.Add(line); });
  }
}

// A restart still waiting for the interface locks when the host has already stopped and started
// a new capture, whose device is lost in turn: the host's stop of that capture (holding the
// locks, as the exports do) must not wait on the first restart through the new watchdog.
TEST_F(WatchdogTest, AHostStopNeverWaitsOnAnEarlierRestartThatWaitsForTheLocks) {
  std::atomic<bool> stopped{false};
  std::thread host([&] {
    std::scoped_lock locks(*S().lifecycleLock, *S().sessionLock);
    ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
    sim::Gpu().RemoveDevices(DXGI_ERROR_DEVICE_REMOVED);
    ASSERT_TRUE(log.WaitFor(L"Watchdog: GPU device lost"));  // its restart waits for the locks
    session->Stop();
    ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
    sim::Gpu().RemoveDevices(DXGI_ERROR_DEVICE_REMOVED);
    ASSERT_TRUE(log.WaitFor(L"Watchdog: GPU device lost", 2));
    session->Stop();
    stopped.store(true);
  });
  const bool done = WaitUntil([&] { return stopped.load(); }, 15s);
  EXPECT_TRUE(done) << "the host's stop waits on the earlier restart";
  if (!done) session->CancelRestart();  // lets the first restart go, so the test can end
  host.join();
  // Both restarts give way to the host: the capture stays stopped.
  std::this_thread::sleep_for(700ms);
  EXPECT_FALSE(session->IsCapturing());
  EXPECT_EQ(log.Count(kRecoveredLine), 0);
}

// Over one capture of a little more than 10 s: the memory line comes at once and then after 40
// passes of 250 ms; the watchdog checks the device and the encoder list every 3 s.
TEST_F(WatchdogTest, TheMemoryLineComesEveryTenSecondsAndTheWatchdogChecksEveryThree) {
  using Clock = std::chrono::steady_clock;
  auto since = [](Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
  };
  std::mutex mutex;  // guards memoryLines
  std::vector<Clock::time_point> memoryLines;
  session->SetLogCallback([&](const std::wstring& line) {
    log.Add(line);
    if (line.rfind(L"[DIAG-REC-MEM] ", 0) != 0) return;
    std::lock_guard lock(mutex);
    memoryLines.push_back(Clock::now());
  });
  auto memoryLineCount = [&] {
    std::lock_guard lock(mutex);
    return memoryLines.size();
  };
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(session->Start(kWindow, false, 0, 0, 0, 0));
  const Clock::time_point started = Clock::now();  // the watchdog runs from before this
  std::vector<Clock::time_point> checks;  // each time the watchdog asked for the encoder list
  int calls = sim::Media().EnumerationCalls();
  while (memoryLineCount() < 2 && since(start, Clock::now()) < 20.0) {
    std::this_thread::sleep_for(5ms);
    const int now = sim::Media().EnumerationCalls();
    for (; calls < now; ++calls) checks.push_back(Clock::now());
  }
  session->Stop();

  ASSERT_EQ(memoryLineCount(), 2u);
  EXPECT_LT(since(started, memoryLines[0]), 1.0);
  const double memoryGap = since(memoryLines[0], memoryLines[1]);
  EXPECT_GE(memoryGap, 9.9);
  EXPECT_LE(memoryGap, 13.0);
  ASSERT_GE(checks.size(), 3u);  // at about 3, 6 and 9 s
  EXPECT_LE(checks.size(), 4u);
  // Start may take a while on a slow build: the first check comes 3 s after the watchdog began,
  // which lies between the call and its return.
  EXPECT_GE(since(start, checks[0]), 2.9);
  EXPECT_LE(since(started, checks[0]), 4.5);
  for (size_t i = 1; i < checks.size(); ++i) {
    EXPECT_GE(since(checks[i - 1], checks[i]), 2.9) << "check " << i;
    EXPECT_LE(since(checks[i - 1], checks[i]), 4.5) << "check " << i;
  }
}

TEST(RecordingMemoryTest, LineShowsProcessSizesAndWholeMebibytesOfTheRings) {
  sim::ResetAll();
  LogLines log;
  TallowmarchSession session;
  session.SetLogCallback([&](const std::wstring& line) { log.Add(line); });
  auto& s = session.State();
  s.videoRing.PushAndTrim(
      {std::make_shared<std::vector<std::uint8_t>>(3670016), 2.0, 1, NowHns(), false},
      s.clipWindow);  // 3.5 MiB
  s.desktopRing.PushAndTrim({std::make_shared<std::vector<std::uint8_t>>(943718), NowHns(), 2.0},
                            s.clipWindow);  // 0.9 MiB
  sim::System().SetProcessMemory(platform::ProcessMemoryCounters{104857600, 52953088});
  LogRecordingMemory(&session, std::chrono::steady_clock::now());
  sim::System().SetProcessMemory(std::nullopt, true);
  LogRecordingMemory(&session, std::chrono::steady_clock::now() - 12500ms);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], L"[DIAG-REC-MEM] t=0s priv=100.0MB ws=50.5MB ringV=3MB ringA=0MB");
  EXPECT_EQ(lines[1], L"[DIAG-REC-MEM] t=12s priv=0.0MB ws=0.0MB ringV=3MB ringA=0MB");
  sim::ResetAll();
}

TEST(RecordingMemoryTest, TheFirstLineComesAtStart) {
  sim::ResetAll();
  LogLines log;
  TallowmarchSession session;
  session.SetLogCallback([&](const std::wstring& line) { log.Add(line); });
  ASSERT_TRUE(session.Start(kWindow, false, 0, 0, 0, 0));
  ASSERT_TRUE(log.WaitFor(L"[DIAG-REC-MEM] t=0s priv="));
  session.Stop();
  sim::ResetAll();
}

}  // namespace
}  // namespace tallowmarch
