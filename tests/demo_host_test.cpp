// The README's main job: the demo host loads the engine with dlopen and reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string RunCommand(const std::string& command, int& status) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  std::string out;
  char buffer[512];
  while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  status = pipe != nullptr ? pclose(pipe) : -1;
  return out;
}

TEST(DemoHost, LoadsTheEngineAndReports) {
  int status = 0;
  const std::string out = RunCommand(TALLOWMARCH_DEMO_PATH, status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("version: 0.1.1"), std::string::npos) << out;
  EXPECT_NE(out.find("hardware H.264 encoder: yes"), std::string::npos) << out;
  EXPECT_NE(out.find("Speakers (Sim Audio)  (default)"), std::string::npos) << out;
  EXPECT_NE(out.find("Microphone (Sim Audio)  (default)"), std::string::npos) << out;
}

TEST(DemoHost, MissingEngineIsAClearError) {
  int status = 0;
  const std::string out = RunCommand(std::string(TALLOWMARCH_DEMO_PATH) + " --engine /nonexistent.so", status);
  EXPECT_NE(status, 0);
  EXPECT_NE(out.find("cannot load the engine"), std::string::npos) << out;
}

}  // namespace
