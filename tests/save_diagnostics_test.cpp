// The save's memory diagnostics: stage lines, the ring-memory text and the once-a-second
// monitor.
#include "save_diagnostics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "sim_platform.h"
#include "system/sim_system.h"

namespace tallowmarch {
namespace {

constexpr std::uint64_t kMiB = 1048576;

class SaveDiagnostics : public ::testing::Test {
 protected:
  void TearDown() override { sim::System().Reset(); }
  void SetMemory(std::uint64_t privateBytes, std::uint64_t workingSet) {
    sim::System().SetProcessMemory(platform::ProcessMemoryCounters{privateBytes, workingSet});
  }
};

TEST_F(SaveDiagnostics, StageLinesCarryMemoryAndItsChangeSinceThePreviousLine) {
  std::vector<std::wstring> lines;
  SaveMemoryLog log{[&](const std::wstring& l) { lines.push_back(l); }, 0.0};
  SetMemory(100 * kMiB + kMiB / 2, 200 * kMiB);
  LogSaveMemoryStage(log, L"entry", L"");
  SetMemory(90 * kMiB, 210 * kMiB);
  LogSaveMemoryStage(log, L"snapshot", L" ringV=1MB");
  LogSaveMemoryStage(log, L"a-stage-name-of-20ch", L"");
  sim::System().SetProcessMemory(std::nullopt, /*fail=*/true);
  LogSaveMemoryStage(log, L"header", L"");
  ASSERT_EQ(lines.size(), 4u);
  // The first line's change is the whole private figure.
  EXPECT_EQ(lines[0],
            L"[DIAG-SAVE-MEM] stage=entry              priv=100.5MB ws=200.0MB dPriv=+100.5MB");
  EXPECT_EQ(lines[1],
            L"[DIAG-SAVE-MEM] stage=snapshot           priv=90.0MB ws=210.0MB dPriv=-10.5MB"
            L" ringV=1MB");
  // No change still carries its sign; a long name is written whole.
  EXPECT_EQ(lines[2],
            L"[DIAG-SAVE-MEM] stage=a-stage-name-of-20ch priv=90.0MB ws=210.0MB dPriv=+0.0MB");
  // A failed query reads as zeros.
  EXPECT_EQ(lines[3],
            L"[DIAG-SAVE-MEM] stage=header             priv=0.0MB ws=0.0MB dPriv=-90.0MB");
  EXPECT_EQ(log.lastPrivateMB, 0.0);
}

TEST_F(SaveDiagnostics, RingTextCountsRingsAndWhatTheSaveStillHolds) {
  SegmentRing videoRing;
  AudioRing desktopRing, micRing;
  ClipWindow window(60.0);
  auto bytes = [](size_t n) { return std::make_shared<std::vector<std::uint8_t>>(n); };
  std::deque<VideoSegment> segments{VideoSegment{bytes(3 * kMiB), 2.0, 60, NowHns(), false},
                                    VideoSegment{bytes(2 * kMiB), 2.0, 60, NowHns(), false}};
  for (const VideoSegment& s : segments) videoRing.PushAndTrim(s, window);
  std::deque<AudioChunk> desktop{AudioChunk{bytes(kMiB + 5), NowHns(), 2.0}};
  std::deque<AudioChunk> mic{AudioChunk{bytes(kMiB), NowHns(), 2.0}};
  desktopRing.PushAndTrim(desktop.front(), window);
  micRing.PushAndTrim(mic.front(), window);
  const FormatSaveRingMemory text(segments, desktop, mic, videoRing, desktopRing, micRing);
  EXPECT_EQ(text(), L" ringV=5MB ringA=2MB snapV=5MB snapA=2MB");
  // A written segment let go by the save: its snapshot figure falls, the ring's stays.
  segments[0].bytes.reset();
  desktop.clear();
  mic.clear();
  EXPECT_EQ(text(), L" ringV=5MB ringA=2MB snapV=2MB snapA=0MB");
}

TEST_F(SaveDiagnostics, MonitorLogsOnceASecondUntilStopped) {
  std::mutex mutex;  // guards lines
  std::condition_variable changed;
  std::vector<std::wstring> lines;
  SaveMonitorStop stop;
  std::thread monitor;
  {
    SaveMonitorStopGuard guard(&stop, &monitor);
    monitor =
        std::thread(SaveMemoryMonitorThread, SaveMonitorTask{&stop, [&](const std::wstring& line) {
                                                               std::lock_guard lock(mutex);
                                                               lines.push_back(line);
                                                               changed.notify_all();
                                                             }});
    std::unique_lock lock(mutex);
    ASSERT_TRUE(
        changed.wait_for(lock, std::chrono::seconds(20), [&] { return lines.size() >= 2; }));
  }
  EXPECT_FALSE(monitor.joinable());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind(L"[DIAG-SAVE-MEM-1S] t=1s priv=", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind(L"[DIAG-SAVE-MEM-1S] t=2s priv=", 0), 0u) << lines[1];
  EXPECT_NE(lines[0].find(L"MB ws="), std::wstring::npos);

  // Stopped at once: no line at all, and the join does not wait out a 250 ms step.
  lines.clear();
  SaveMonitorStop stopNow;
  std::thread quick;
  {
    SaveMonitorStopGuard guard(&stopNow, &quick);
    quick =
        std::thread(SaveMemoryMonitorThread,
                    SaveMonitorTask{&stopNow, [&](const std::wstring& l) { lines.push_back(l); }});
  }
  EXPECT_TRUE(lines.empty());
}

}  // namespace
}  // namespace tallowmarch
