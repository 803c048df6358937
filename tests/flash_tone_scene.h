// Runs the flash-and-tone scene (tallowmarch_flash_tone_scene) as a process of its own on a
// given display and PulseAudio server, for tests and benchmarks that record it.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pulse_test_support.h"

namespace tallowmarch::test {

class FlashToneScene {
 public:
  FlashToneScene() = default;
  ~FlashToneScene() { Stop(); }
  FlashToneScene(const FlashToneScene&) = delete;
  FlashToneScene& operator=(const FlashToneScene&) = delete;

  // Starts `program` with its output in `outputFile`; true once it reports its window and that
  // its sound plays.
  bool Start(const std::string& program, const std::string& display,
             const std::string& pulseAddress, const std::string& outputFile) {
    output_ = outputFile;
    pid_ = Spawn({program}, {"DISPLAY=" + display, "PULSE_SERVER=" + pulseAddress}, output_);
    if (pid_ <= 0) return false;
    const bool ready = WaitFor([&] { return Output().find("ready\n") != std::string::npos; },
                               std::chrono::seconds(20));
    const std::string text = Output();
    const std::size_t at = text.find("window ");
    if (!ready || at == std::string::npos) return false;
    window_ = static_cast<std::uint32_t>(std::stoul(text.substr(at + 7)));
    return true;
  }

  // Ends the scene and waits for it.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  std::uint32_t Window() const { return window_; }

  // What the scene printed (its errors included).
  std::string Output() const {
    std::ifstream in(output_);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

 private:
  pid_t pid_ = -1;
  std::string output_;
  std::uint32_t window_ = 0;
};

}  // namespace tallowmarch::test
