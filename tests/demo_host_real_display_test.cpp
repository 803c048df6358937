// The demo host on a display: it records the screen of an Xvfb (the simulation library switched
// to the real display) and saves a clip of the screen's size.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "save_test_support.h"
#include "x11_test_support.h"

namespace {

TEST(DemoHostOnADisplay, RecordsTheScreenAndSavesAClip) {
  if (!tallowmarch::test::XvfbServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
  tallowmarch::test::XvfbServer server;
  ASSERT_TRUE(server.Start("1280x720x24"));
  tallowmarch::test::TestClient client(server.Display());
  ASSERT_TRUE(client.Ok());
  client.CreateWindow(0, 0, 1280, 720, 0x2060A0);

  const std::string folder = tallowmarch::test::MakeTempFolder("tm_demo_display");
  const std::string command = "DISPLAY=" + server.Display() + " " +
                              std::string(TALLOWMARCH_DEMO_HOST) +
                              " --quiet --seconds 3 --folder " + folder + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  EXPECT_EQ(pclose(pipe), 0) << output;

  EXPECT_NE(output.find("display: " + server.Display() + "\n"), std::string::npos) << output;
  EXPECT_NE(output.find("recording the screen for 3 s"), std::string::npos) << output;
  EXPECT_NE(output.find(", h264 1280x720 "), std::string::npos) << output;
  const std::vector<std::string> files = tallowmarch::test::ListFolder(folder);
  ASSERT_EQ(files.size(), 1u) << output;
  const tallowmarch::test::ClipReadback clip = tallowmarch::test::ReadClip(folder + "/" + files[0]);
  EXPECT_TRUE(clip.opened);
  EXPECT_EQ(clip.width, 1280);
  EXPECT_GT(clip.videoFrames, 0);
  std::filesystem::remove_all(folder);
}

}  // namespace
