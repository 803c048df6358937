// The demo host, run as the user runs it: it records the simulated scene, saves a clip into the
// folder it is given and prints the path and a summary read back from the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "save_test_support.h"

namespace {

TEST(DemoHost, RecordsTheSceneAndSavesAClipIntoTheNamedFolder) {
  const std::string folder = tallowmarch::test::MakeTempFolder("tm_demo") + "/clips";
  const std::string errors = folder + ".stderr";
  // Without a display: the simulated scene, whatever display the test runner has.
  const std::string command = "env -u DISPLAY " + std::string(TALLOWMARCH_DEMO_HOST) +
                              " --quiet --seconds 3 --folder " + folder + " 2>" + errors;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  EXPECT_EQ(pclose(pipe), 0) << output;
  // The engine writes nothing on the host's standard error (FFmpeg's chatter included).
  std::ifstream errorText(errors);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(errorText), {}), "");

  const std::vector<std::string> files = tallowmarch::test::ListFolder(folder);
  ASSERT_EQ(files.size(), 1u) << output;
  const std::string path = folder + "/" + files[0];
  EXPECT_NE(output.find("clip: " + path + "\n"), std::string::npos) << output;
  EXPECT_NE(output.find("summary: "), std::string::npos) << output;
  EXPECT_NE(output.find(", h264 1280x720 "), std::string::npos) << output;
  EXPECT_NE(output.find("version: 0.1.1"), std::string::npos) << output;
  EXPECT_NE(output.find("hardware H.264 encoder: yes"), std::string::npos) << output;
  EXPECT_NE(output.find("Speakers (Sim Audio)  (default)"), std::string::npos) << output;
  EXPECT_NE(output.find("Microphone (Sim Audio)  (default)"), std::string::npos) << output;
  const tallowmarch::test::ClipReadback clip = tallowmarch::test::ReadClip(path);
  EXPECT_TRUE(clip.opened);
  EXPECT_GT(clip.videoFrames, 0);
  std::filesystem::remove_all(std::filesystem::path(folder).parent_path());
}

TEST(DemoHost, MissingEngineIsAClearError) {
  const std::string command =
      std::string(TALLOWMARCH_DEMO_HOST) + " --engine /nonexistent/engine.so 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  EXPECT_NE(pclose(pipe), 0);
  EXPECT_NE(output.find("cannot load the engine"), std::string::npos) << output;
}

}  // namespace
