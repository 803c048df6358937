// The simulated process layer: real processes, but sleeps are recorded instead of slept and
// process waits are cut to a scripted cap, so that the updater's 60 s wait and its retry
// sleeps can be tested in a moment. The requested time-outs are recorded.
#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "system/linux_process.h"

namespace tallowmarch::platform {

class TM_EXPORT SimProcessLayer : public LinuxProcessLayer {
 public:
  ProcessWait WaitForExit(std::int32_t pid, std::uint32_t timeoutMs) override;
  void SleepMilliseconds(std::uint32_t ms) override;

  // Waits last at most this long (nullopt: as requested).
  void SetWaitCap(std::optional<std::uint32_t> ms);
  std::vector<std::uint32_t> Sleeps() const;
  std::vector<std::uint32_t> WaitTimeouts() const;
  void Reset();

 private:
  mutable std::mutex mutex_;  // guards everything below
  std::optional<std::uint32_t> waitCap_;
  std::vector<std::uint32_t> sleeps_;
  std::vector<std::uint32_t> waits_;
};

}  // namespace tallowmarch::platform
