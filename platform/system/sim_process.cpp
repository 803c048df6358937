#include "system/sim_process.h"

#include <algorithm>

namespace tallowmarch::platform {

ProcessWait SimProcessLayer::WaitForExit(std::int32_t pid, std::uint32_t timeoutMs) {
  std::uint32_t wait = timeoutMs;
  {
    std::lock_guard lock(mutex_);
    waits_.push_back(timeoutMs);
    if (waitCap_) wait = std::min(wait, *waitCap_);
  }
  return LinuxProcessLayer::WaitForExit(pid, wait);
}

void SimProcessLayer::SleepMilliseconds(std::uint32_t ms) {
  std::lock_guard lock(mutex_);
  sleeps_.push_back(ms);
}

void SimProcessLayer::SetWaitCap(std::optional<std::uint32_t> ms) {
  std::lock_guard lock(mutex_);
  waitCap_ = ms;
}

std::vector<std::uint32_t> SimProcessLayer::Sleeps() const {
  std::lock_guard lock(mutex_);
  return sleeps_;
}

std::vector<std::uint32_t> SimProcessLayer::WaitTimeouts() const {
  std::lock_guard lock(mutex_);
  return waits_;
}

void SimProcessLayer::Reset() {
  std::lock_guard lock(mutex_);
  waitCap_.reset();
  sleeps_.clear();
  waits_.clear();
}

}  // namespace tallowmarch::platform
