// A capture of the simulated scene saved through the C exports of the simulation library, and
// the clip read back with FFmpeg.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/sim_capture.h"
#include "export_test_log.h"
#include "save_test_support.h"
#include "sim_platform.h"
#include "tallowmarch/core.h"

namespace {

using namespace std::chrono_literals;

using tallowmarch::test::CollectLine;
using tallowmarch::test::CountLines;

const HWND kWindow = reinterpret_cast<HWND>(std::uintptr_t{0x1001});  // the sim's 1280x720 window
constexpr std::uint32_t kSceneBgra = 0xFF3060C0u;

// The scene's colour after the BT.709 limited-range conversion of the encode path.
tallowmarch::test::Yuv ExpectedYuv(std::uint32_t bgra) {
  const double r = (bgra >> 16) & 0xFF, g = (bgra >> 8) & 0xFF, b = bgra & 0xFF;
  const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  return {static_cast<std::uint8_t>(16 + y * 219 / 255 + 0.5),
          static_cast<std::uint8_t>(128 + (b - y) / 1.8556 * 224 / 255 + 0.5),
          static_cast<std::uint8_t>(128 + (r - y) / 1.5748 * 224 / 255 + 0.5)};
}

TEST(ClipSaveThroughExports, ASevenSecondCaptureSavesAReadableClipOfTheScene) {
  tallowmarch::sim::ResetAll();
  tallowmarch::sim::Capture().SetScenePattern(tallowmarch::platform::SimScenePattern::Solid,
                                              kSceneBgra);
  tallowmarch::sim::Capture().SetSceneRate(30.0);
  Tallowmarch_SetLogCallback(&CollectLine);
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  ASSERT_EQ(Tallowmarch_StartCapture(kWindow, false, 0, 30, 0, 0), TALLOWMARCH_OK);
  // The capture's length is the input here (the exports show no segment count): 8 s, so that
  // three 2-second segments are finished whatever the scheduling.
  std::this_thread::sleep_for(8s);

  const std::string folder = tallowmarch::test::MakeTempFolder("tm_clip_export") + "/clips";
  const std::wstring wideFolder(folder.begin(), folder.end());
  // A buffer of 10 characters receives the first 9 of the path.
  wchar_t shortPath[10];
  ASSERT_EQ(Tallowmarch_SaveClipNow(wideFolder.c_str(), shortPath, 10), TALLOWMARCH_OK);
  EXPECT_EQ(std::wstring(shortPath), wideFolder.substr(0, 9));
  // No buffer: still saved.
  EXPECT_EQ(Tallowmarch_SaveClipNow(wideFolder.c_str(), nullptr, 0), TALLOWMARCH_OK);
  wchar_t path[512];
  ASSERT_EQ(Tallowmarch_SaveClipNow(wideFolder.c_str(), path, 512), TALLOWMARCH_OK);
  std::uint32_t stage = 9, done = 9, total = 9;
  EXPECT_FALSE(Tallowmarch_GetSaveProgress(&stage, &done, &total));
  EXPECT_EQ(stage + done + total, 0u);
  Tallowmarch_StopCapture();
  EXPECT_EQ(Tallowmarch_SaveClipNow(wideFolder.c_str(), path, 512), TALLOWMARCH_NOT_CAPTURING);
  Tallowmarch_GlobalShutdown();
  Tallowmarch_SetLogCallback(nullptr);

  // Three clips, none overwritten.
  EXPECT_EQ(tallowmarch::test::ListFolder(folder).size(), 3u);
  const std::wstring widePath(path);
  const tallowmarch::test::ClipReadback clip =
      tallowmarch::test::ReadClip(std::string(widePath.begin(), widePath.end()));
  ASSERT_TRUE(clip.opened);
  EXPECT_EQ(clip.streams, 2);  // the simulated endpoints' sound follows the video
  EXPECT_EQ(clip.videoIndex, 0);
  EXPECT_EQ(clip.videoCodec, "h264");
  EXPECT_EQ(clip.width, 1280);
  EXPECT_EQ(clip.height, 720);
  // The finished segments from the capture start: 6 s or more, at 30 fps.
  EXPECT_GE(clip.videoEndSeconds, 5.5);
  EXPECT_LE(clip.videoEndSeconds, 12.0);
  // Every frame decodes; at most 30 a second (fewer when the pipeline backs off on a slow
  // build).
  EXPECT_EQ(static_cast<size_t>(clip.videoFrames), clip.videoPts.size());
  EXPECT_GE(clip.videoFrames, 60);
  EXPECT_LE(clip.videoFrames, clip.videoEndSeconds * 30.0 + 2.0);
  ASSERT_FALSE(clip.frameCentres.empty());
  const tallowmarch::test::Yuv expected = ExpectedYuv(kSceneBgra);
  const tallowmarch::test::Yuv& centre = clip.frameCentres[clip.frameCentres.size() / 2];
  EXPECT_NEAR(centre.y, expected.y, 4);
  EXPECT_NEAR(centre.u, expected.u, 4);
  EXPECT_NEAR(centre.v, expected.v, 4);

  std::filesystem::remove_all(std::filesystem::path(folder).parent_path());
  EXPECT_EQ(CountLines(L"Saved clip: ~"), 3);
  EXPECT_EQ(CountLines(L"SaveClipNow() failed"), 0);
}

}  // namespace
