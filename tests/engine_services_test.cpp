#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "audio_settings.h"
#include "engine_clock.h"
#include "engine_log.h"
#include "session_impl.h"
#include "tallowmarch_session.h"

namespace tallowmarch {
namespace {

TEST(LogFTest, LongLinesAreCutTo1023Characters) {
  std::vector<std::wstring> lines;
  LogSink sink = [&](const std::wstring& line) { lines.push_back(line); };
  const std::wstring long_text(1500, L'x');
  LogF(sink, L"%ls", long_text.c_str());
  LogF(sink, L"n=%d s=%s w=%ls", 42, "narrow", L"wide");
  const std::wstring exact(1023, L'y');
  LogF(sink, L"%ls", exact.c_str());
  // Far longer than any buffer a formatter would grow to, narrow and wide.
  const std::string huge_narrow(70000, 'n');
  LogF(sink, L"a%sb", huge_narrow.c_str());
  const std::wstring huge_wide(70000, L'w');
  LogF(sink, L"%d:%ls", 7, huge_wide.c_str());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], std::wstring(1023, L'x'));
  EXPECT_EQ(lines[1], L"n=42 s=narrow w=wide");
  EXPECT_EQ(lines[2], exact);
  EXPECT_EQ(lines[3], L"a" + std::wstring(1022, L'n'));
  EXPECT_EQ(lines[4], L"7:" + std::wstring(1021, L'w'));
}

TEST(LogFTest, AnArgumentThatCannotBeConvertedStillDeliversTheTextBeforeIt) {
  // UTF-8 bytes in a narrow argument are no characters of the C locale the tests run in.
  std::vector<std::wstring> lines;
  LogSink sink = [&](const std::wstring& line) { lines.push_back(line); };
  LogF(sink, L"Encoder thread error: %s", "caf\xC3\xA9 failed");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind(L"Encoder thread error: ", 0), 0u) << lines[0].size();
}

TEST(LogFTest, EmptySinkFormatsNothing) {
  // %n stores how much was formatted: with an empty sink it must stay untouched.
  LogSink empty;
  int formatted = -1;
  LogF(empty, L"twelve chars%n", &formatted);
  EXPECT_EQ(formatted, -1);
  // The same call with a sink does format, so the check above can fail.
  LogF([](const std::wstring&) {}, L"twelve chars%n", &formatted);
  EXPECT_EQ(formatted, 12);
}

TEST(GainTest, ClampingAndMuting) {
  AudioSettings s;
  s.desktopVolume = 1.7f;
  s.micVolume = 1.7f;
  EXPECT_FLOAT_EQ(DesktopGain(s), 1.0f);
  EXPECT_FLOAT_EQ(MicGain(s), 1.7f);
  s.micVolume = 3.0f;
  EXPECT_FLOAT_EQ(MicGain(s), 2.0f);
  s.desktopVolume = -0.5f;
  s.micVolume = -2.0f;
  EXPECT_FLOAT_EQ(DesktopGain(s), 0.0f);
  EXPECT_FLOAT_EQ(MicGain(s), 0.0f);
  s.desktopVolume = std::numeric_limits<float>::quiet_NaN();
  s.micVolume = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(DesktopGain(s), 0.0f);
  EXPECT_EQ(MicGain(s), 0.0f);
  s.desktopMuted = s.micMuted = true;
  s.desktopVolume = s.micVolume = 0.9f;
  EXPECT_EQ(DesktopGain(s), 0.0f);
  EXPECT_EQ(MicGain(s), 0.0f);
  EXPECT_FLOAT_EQ(DesktopGain(AudioSettings{}), 0.6f);
}

TEST(SessionServices, SustainableFpsNeedsThirtyFrames) {
  TallowmarchSession session;
  auto& state = session.State();
  state.fps = 60;
  state.framesSubmitted = 29;
  state.framesCoalesced = 0;
  EXPECT_EQ(session.GetMeasuredSustainableFps(), 0.0);
  state.framesSubmitted = 100;
  state.framesCoalesced = 25;
  EXPECT_DOUBLE_EQ(session.GetMeasuredSustainableFps(), 45.0);
}

TEST(SessionServices, SaveProgressIsZeroWhenNoSaveRan) {
  TallowmarchSession session;
  std::uint32_t stage = 9, done = 9, total = 9;
  EXPECT_FALSE(session.GetSaveProgress(&stage, &done, &total));
  EXPECT_EQ(stage, 0u);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(total, 0u);
}

TEST(SessionServices, SaveProgressReaderSeesCountsWrittenWithTheStage) {
  // The writer publishes (stage, i, stage * 1000 + i); a reader that sees a stage must see the
  // counts of that stage or later ones, never earlier ones.
  TallowmarchSession session;
  auto& state = session.State();
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (std::uint32_t stage = 1; stage <= 4; ++stage) {
      for (std::uint32_t i = 0; i < 20000; ++i)
        state.SetSaveProgress(stage, i, stage * 1000000 + i);
    }
    state.ResetSaveProgress();
    done = true;
  });
  std::uint64_t stale = 0;
  while (!done.load()) {
    std::uint32_t stage, count, total;
    // The final reset writes 0 after stage 4: a later value, which a reader may see.
    if (session.GetSaveProgress(&stage, &count, &total) && total != 0 && total < stage * 1000000u) {
      ++stale;
    }
  }
  writer.join();
  EXPECT_EQ(stale, 0u) << "counts older than the stage that was read";
  std::uint32_t stage, count, total;
  EXPECT_FALSE(session.GetSaveProgress(&stage, &count, &total));
  EXPECT_EQ(stage + count + total, 0u);
}

TEST(SessionServices, LogGoesToTheCurrentSinkOnly) {
  TallowmarchSession session;
  std::vector<std::wstring> first, second;
  session.State().Log(L"dropped: no sink");
  session.SetLogCallback([&](const std::wstring& line) { first.push_back(line); });
  session.State().Log(L"one");
  const LogSink copy = session.State().GetLogCallback();
  session.SetLogCallback([&](const std::wstring& line) { second.push_back(line); });
  session.State().Log(L"two");
  copy(L"through the copy");  // a component's copy keeps the sink it was given
  EXPECT_EQ(first, (std::vector<std::wstring>{L"one", L"through the copy"}));
  EXPECT_EQ(second, std::vector<std::wstring>{L"two"});
}

TEST(ClockTest, TicksAreHundredsOfNanoseconds) {
  const std::int64_t first = NowHns();
  EXPECT_GE(first, 0);
  const auto wallStart = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::int64_t second = NowHns();
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now() - wallStart)
                           .count();
  // The two clocks agree to within 5 ms over the interval.
  EXPECT_NEAR(static_cast<double>(second - first), elapsed / 100.0, 50000.0);
}

TEST(ClockTest, LongCapturesDoNotOverflow) {
  // A nanosecond counter: the naive counts * 10^7 overflows after about 15 minutes.
  constexpr std::int64_t kNs = 1000000000;
  const std::int64_t fifteenMinutes = 15LL * 60 * kNs;
  EXPECT_EQ(CounterToHns(fifteenMinutes + 123, kNs), 15LL * 60 * 10000000 + 1);
  const std::int64_t hundredDays = 100LL * 24 * 3600 * kNs + 999999999;
  EXPECT_EQ(CounterToHns(hundredDays, kNs), 100LL * 24 * 3600 * 10000000 + 9999999);
  // A 10 MHz counter (the Windows one) past the 25.6-hour limit of the naive form.
  constexpr std::int64_t k10MHz = 10000000;
  EXPECT_EQ(CounterToHns(30LL * 3600 * k10MHz + 7, k10MHz), 30LL * 3600 * 10000000 + 7);
  // An odd frequency truncates like the one-step formula would.
  EXPECT_EQ(CounterToHns(1, 3), 3333333);
}

}  // namespace
}  // namespace tallowmarch
