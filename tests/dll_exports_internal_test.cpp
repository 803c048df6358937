// The exported layer's routing into the session, seen from inside the engine.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "dll_exports.h"
#include "session_impl.h"
#include "sim_platform.h"
#include "tallowmarch/core.h"
#include "tallowmarch_session.h"

extern "C" {
#include <libavutil/log.h>
}

namespace tallowmarch {
namespace {

std::vector<std::wstring> g_lines;
void CollectLine(const wchar_t* line) {
  g_lines.push_back(line);
}

class ExportRoutingTest : public ::testing::Test {
 protected:
  void SetUp() override { g_lines.clear(); }
  void TearDown() override {
    Tallowmarch_GlobalShutdown();
    Tallowmarch_SetLogCallback(nullptr);
    sim::ResetAll();
  }
};

TEST_F(ExportRoutingTest, SessionLinesReachTheHostOnlyWhileACallbackIsSet) {
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  TallowmarchSession* session = ExportedSessionForTesting();
  ASSERT_NE(session, nullptr);
  session->State().Log(L"before any callback");
  Tallowmarch_SetLogCallback(&CollectLine);
  session->State().Log(L"first");
  LogF(session->State().GetLogCallback(), L"[DIAG-TEST] n=%d name=%s", 7, "x");
  Tallowmarch_SetLogCallback(nullptr);
  session->State().Log(L"after the callback was cleared");
  EXPECT_EQ(g_lines, (std::vector<std::wstring>{L"first", L"[DIAG-TEST] n=7 name=x"}));
}

TEST_F(ExportRoutingTest, SettingsBeforeInitialiseAreNotKeptAfterItTheyAre) {
  Tallowmarch_SetAudioSettings(0.1f, 1.9f, true, false, L"speakers", L"mic");
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  const AudioSettings fresh = ExportedSessionForTesting()->State().audioSettings;
  EXPECT_FLOAT_EQ(fresh.desktopVolume, 0.6f);
  EXPECT_FALSE(fresh.desktopMuted);
  EXPECT_TRUE(fresh.desktopDeviceId.empty());

  Tallowmarch_SetAudioSettings(0.1f, 1.9f, true, false, L"speakers", nullptr);
  Tallowmarch_SetCaptureBorderEnabled(false);
  const auto& state = ExportedSessionForTesting()->State();
  EXPECT_FLOAT_EQ(state.audioSettings.desktopVolume, 0.1f);
  EXPECT_FLOAT_EQ(state.audioSettings.micVolume, 1.9f);
  EXPECT_TRUE(state.audioSettings.desktopMuted);
  EXPECT_EQ(state.audioSettings.desktopDeviceId, L"speakers");
  EXPECT_EQ(state.audioSettings.micDeviceId, L"");
  EXPECT_FALSE(state.captureBorderEnabled.load());

  // A shutdown forgets them: the next session starts from the defaults.
  Tallowmarch_GlobalShutdown();
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  EXPECT_FLOAT_EQ(ExportedSessionForTesting()->State().audioSettings.desktopVolume, 0.6f);
  EXPECT_TRUE(ExportedSessionForTesting()->State().captureBorderEnabled.load());
}

TEST_F(ExportRoutingTest, FfmpegWarningsReachTheHostTaggedAsWholeLinesAndTheRestIsDropped) {
  Tallowmarch_SetLogCallback(&CollectLine);
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  std::thread([] {  // FFmpeg logs from threads of its own too
    av_log(nullptr, AV_LOG_INFO, "a banner\n");
    av_log(nullptr, AV_LOG_WARNING, "one line, ");
    av_log(nullptr, AV_LOG_ERROR, "in %d pieces\n", 2);
  })
      .join();
  Tallowmarch_GlobalShutdown();
  av_log(nullptr, AV_LOG_WARNING, "FFmpeg's own logger again\n");
  EXPECT_EQ(g_lines, (std::vector<std::wstring>{L"[FFMPEG] one line, in 2 pieces"}));
}

TEST_F(ExportRoutingTest, StartClampsRatesAndBufferToWhatACaptureCanServe) {
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  ASSERT_EQ(Tallowmarch_StartCapture(HWND(0x1001), false, 0, INT32_MAX, INT32_MAX, INT32_MAX), 0);
  const TallowmarchSession::Impl& state = ExportedSessionForTesting()->State();
  EXPECT_EQ(std::make_tuple(state.fps, state.bitrate, state.clipWindow.Seconds()),
            std::make_tuple(240u, 100'000'000u, 600.0));
  Tallowmarch_StopCapture();
  EXPECT_EQ(Tallowmarch_StartCapture(HWND(0x1001), false, 0, 1, 1, 1), 0);  // 1 bit/s opens
}

}  // namespace
}  // namespace tallowmarch
