// Processes on linux: pidfd_open + poll for the wait, posix_spawn with a working folder for
// the start, nanosleep-based sleeps.
#pragma once

#include "common/export.h"
#include "system/process.h"

namespace tallowmarch::platform {

class TM_EXPORT LinuxProcessLayer : public ProcessLayer {
 public:
  ProcessWait WaitForExit(std::int32_t pid, std::uint32_t timeoutMs) override;
  bool StartProcess(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& workingDir, std::int32_t& pid,
                    std::uint32_t& error) override;
  void SleepMilliseconds(std::uint32_t ms) override;
};

}  // namespace tallowmarch::platform
