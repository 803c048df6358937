#include "system/sim_system.h"

namespace tallowmarch::platform {

HRESULT SimSystem::JoinMultithreadedApartment() {
  {
    std::lock_guard lock(mutex_);
    if (apartmentAnswer_) return *apartmentAnswer_;
  }
  return LinuxSystem::JoinMultithreadedApartment();
}

std::int64_t SimSystem::PerformanceCounter() {
  return LinuxSystem::PerformanceCounter() + clockAdvance_.load();
}

void SimSystem::AdvanceClock(std::int64_t counts) {
  if (counts > 0) clockAdvance_.fetch_add(counts);
}

LocalTime SimSystem::CurrentLocalTime() {
  {
    std::lock_guard lock(mutex_);
    if (localTime_) return *localTime_;
  }
  return LinuxSystem::CurrentLocalTime();
}

bool SimSystem::QueryProcessMemory(ProcessMemoryCounters& out) {
  {
    std::lock_guard lock(mutex_);
    if (memoryFails_) return false;
    if (memory_) {
      out = *memory_;
      return true;
    }
  }
  return LinuxSystem::QueryProcessMemory(out);
}

void SimSystem::ReleaseFreedMemory() {
  releaseCalls_.fetch_add(1);
  LinuxSystem::ReleaseFreedMemory();
}

void SimSystem::SetApartmentAnswer(std::optional<HRESULT> hr) {
  std::lock_guard lock(mutex_);
  apartmentAnswer_ = hr;
}

void SimSystem::SetProcessMemory(std::optional<ProcessMemoryCounters> counters, bool fail) {
  std::lock_guard lock(mutex_);
  memory_ = counters;
  memoryFails_ = fail;
}

void SimSystem::SetLocalTime(std::optional<LocalTime> time) {
  std::lock_guard lock(mutex_);
  localTime_ = time;
}

void SimSystem::Reset() {
  std::lock_guard lock(mutex_);
  apartmentAnswer_.reset();
  memory_.reset();
  memoryFails_ = false;
  localTime_.reset();
}

namespace {
int g_mmTaskToken = 0;  // only its address is used, as the handle
}

void* SimSystem::AvSetMmThreadCharacteristics(const std::wstring&) {
  openMmTasks_.fetch_add(1);
  return &g_mmTaskToken;
}

bool SimSystem::AvSetMmThreadPriority(void* handle, int) {
  return handle != nullptr;
}

bool SimSystem::AvRevertMmThreadCharacteristics(void* handle) {
  if (handle == nullptr) return false;
  openMmTasks_.fetch_sub(1);
  return true;
}

}  // namespace tallowmarch::platform
