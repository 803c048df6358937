// Process services of the updater: waiting for a process to end, starting a program in a
// working folder, and sleeping (so that tests can take the sleeps of retry loops out).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tallowmarch::platform {

enum class ProcessWait {
  kExited,     // the process ended (or had ended) within the time-out
  kTimedOut,   // still running when the time-out passed
  kNoProcess,  // no process of that id can be opened
  kFailed,     // the wait itself failed
};

class ProcessLayer {
 public:
  virtual ~ProcessLayer() = default;

  virtual ProcessWait WaitForExit(std::int32_t pid, std::uint32_t timeoutMs) = 0;
  // Starts `program` with `arguments` (not counting the program itself) in `workingDir`, with
  // this process's environment and no inherited descriptors besides the standard three. The
  // caller neither waits for nor watches the new process. `error` is a Windows error code.
  virtual bool StartProcess(const std::string& program, const std::vector<std::string>& arguments,
                            const std::string& workingDir, std::int32_t& pid,
                            std::uint32_t& error) = 0;
  virtual void SleepMilliseconds(std::uint32_t ms) = 0;
};

}  // namespace tallowmarch::platform
