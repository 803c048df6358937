// The whole engine on a real display: the sim library with the X11 capture layer and the linux
// GPU topology swapped in (UseRealDisplay) records a window on an Xvfb whose colour changes,
// saves the clip through the exports, and FFmpeg decodes it with its length and its colours.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/linux_capture.h"
#include "export_test_log.h"
#include "save_test_support.h"
#include "sim_platform.h"
#include "tallowmarch/core.h"
#include "x11_test_support.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using namespace std::chrono_literals;
using tallowmarch::test::CollectLine;
using tallowmarch::test::CountLines;
using tallowmarch::test::Yuv;

// 0xRRGGBB after the BT.709 limited-range conversion of the encode path.
Yuv ExpectedYuv(std::uint32_t rgb) {
  const double r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  return {static_cast<std::uint8_t>(16 + y * 219 / 255 + 0.5),
          static_cast<std::uint8_t>(128 + (b - y) / 1.8556 * 224 / 255 + 0.5),
          static_cast<std::uint8_t>(128 + (r - y) / 1.5748 * 224 / 255 + 0.5)};
}

bool Near(const Yuv& a, const Yuv& b) {
  auto close = [](int x, int y) { return std::abs(x - y) <= 10; };
  return close(a.y, b.y) && close(a.u, b.u) && close(a.v, b.v);
}

class RealDisplayRecordingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tallowmarch::test::XvfbServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
    av_log_set_level(AV_LOG_FATAL);  // no encoder banners
    ASSERT_TRUE(server_.Start());
    // The capture layer connects to $DISPLAY at its first use, which is the engine's start.
    setenv("DISPLAY", server_.Display().c_str(), 1);
    tallowmarch::sim::ResetAll();
    tallowmarch::sim::UseRealDisplay();
    Tallowmarch_SetLogCallback(&CollectLine);
    ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  }
  void TearDown() override {
    Tallowmarch_GlobalShutdown();
    Tallowmarch_SetLogCallback(nullptr);
    tallowmarch::sim::ResetAll();
    server_.Stop();
  }

  tallowmarch::test::XvfbServer server_;
};

TEST_F(RealDisplayRecordingTest, AWindowWhoseColourChangesIsSavedAsAClip) {
  tallowmarch::test::TestClient client(server_.Display());
  ASSERT_TRUE(client.Ok());
  const std::vector<std::uint32_t> colours = {0xC02020, 0x20C020, 0x2020C0, 0xC0C020, 0x808080};
  const xcb_window_t window = client.CreateWindow(200, 100, 640, 360, colours[0]);
  const HWND target = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));

  ASSERT_EQ(Tallowmarch_StartCapture(target, false, 0, 30, 0, 0), TALLOWMARCH_OK);
  EXPECT_EQ(CountLines(L"Capture started."), 1);
  // The recording's length is the input here: a new colour every 1.2 s for 6 s, so that at
  // least two 2-second segments are finished whatever the scheduling.
  for (std::uint32_t colour : colours) {
    client.Fill(window, colour);
    std::this_thread::sleep_for(1200ms);
  }

  const std::string folder = tallowmarch::test::MakeTempFolder("tm_real_display");
  wchar_t path[1024] = {};
  ASSERT_EQ(Tallowmarch_SaveClipNow(std::wstring(folder.begin(), folder.end()).c_str(), path, 1024),
            TALLOWMARCH_OK);
  Tallowmarch_StopCapture();
  EXPECT_EQ(CountLines(L"Capture stopped."), 1);
  EXPECT_EQ(CountLines(L"[DIAG-ITEM-CLOSED]"), 0);
  EXPECT_EQ(CountLines(L"[DIAG-SIZE-MISMATCH]"), 0);
  // The display's monitors are the adapter's outputs, with the same handles: no fallback.
  EXPECT_EQ(CountLines(L"Couldn't find which adapter owns"), 0);

  const std::wstring widePath(path);
  const tallowmarch::test::ClipReadback clip =
      tallowmarch::test::ReadClip(std::string(widePath.begin(), widePath.end()));
  ASSERT_TRUE(clip.opened);
  EXPECT_EQ(clip.videoCodec, "h264");
  EXPECT_EQ(clip.width, 640);
  EXPECT_EQ(clip.height, 360);
  // Finished segments only: at least two of 2 s, at most all of the 6 s recorded.
  EXPECT_GE(clip.durationSeconds, 3.0);
  EXPECT_LE(clip.durationSeconds, 7.0);
  ASSERT_FALSE(clip.frameCentres.empty());

  // The colours appear in the order they were drawn; at least three of them are in the clip.
  std::size_t next = 0;
  int seen = 0;
  for (const Yuv& centre : clip.frameCentres) {
    for (std::size_t i = next; i < colours.size(); ++i) {
      if (Near(centre, ExpectedYuv(colours[i]))) {
        if (i != next || seen == 0) ++seen;
        next = i;
        break;
      }
    }
  }
  EXPECT_GE(seen, 3);
  EXPECT_TRUE(Near(clip.frameCentres.back(), ExpectedYuv(colours[next])));
}

TEST_F(RealDisplayRecordingTest, AWindowThatIsNotThereFailsTheStart) {
  EXPECT_EQ(Tallowmarch_StartCapture(reinterpret_cast<HWND>(std::uintptr_t{0x7ABCDE}), false, 0, 30,
                                     0, 0),
            TALLOWMARCH_OPERATION_FAILED);
  EXPECT_EQ(CountLines(L"Start() failed: invalid target window."), 1);
}

TEST_F(RealDisplayRecordingTest, AMonitorCaptureRecordsTheScreen) {
  tallowmarch::test::TestClient client(server_.Display());
  ASSERT_TRUE(client.Ok());
  const xcb_window_t window = client.CreateWindow(0, 0, 1920, 1080, 0x2020C0);
  const HWND target = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
  // 720 lines: the encoder scales the 1080p monitor down.
  ASSERT_EQ(Tallowmarch_StartCapture(target, true, 720, 30, 0, 0), TALLOWMARCH_OK);
  std::this_thread::sleep_for(4500ms);
  const std::string folder = tallowmarch::test::MakeTempFolder("tm_real_monitor");
  wchar_t path[1024] = {};
  ASSERT_EQ(Tallowmarch_SaveClipNow(std::wstring(folder.begin(), folder.end()).c_str(), path, 1024),
            TALLOWMARCH_OK);
  Tallowmarch_StopCapture();
  const std::wstring widePath(path);
  const tallowmarch::test::ClipReadback clip =
      tallowmarch::test::ReadClip(std::string(widePath.begin(), widePath.end()));
  ASSERT_TRUE(clip.opened);
  EXPECT_EQ(clip.width, 1280);
  EXPECT_EQ(clip.height, 720);
  ASSERT_FALSE(clip.frameCentres.empty());
  EXPECT_TRUE(Near(clip.frameCentres.back(), ExpectedYuv(0x2020C0)));
}

}  // namespace
