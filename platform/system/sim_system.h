// The simulated system layer: the real clock, time and memory of linux, plus scripted answers
// for the apartment join, the memory counters and the local time.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>

#include "system/linux_system.h"

namespace tallowmarch::platform {

class TM_EXPORT SimSystem : public LinuxSystem {
 public:
  HRESULT JoinMultithreadedApartment() override;
  std::int64_t PerformanceCounter() override;
  LocalTime CurrentLocalTime() override;
  bool QueryProcessMemory(ProcessMemoryCounters& out) override;
  void ReleaseFreedMemory() override;  // counts, then trims like linux
  // Joining a multimedia task changes nothing here; the handle only counts the joins.
  void* AvSetMmThreadCharacteristics(const std::wstring& taskName) override;
  bool AvSetMmThreadPriority(void* handle, int priority) override;
  bool AvRevertMmThreadCharacteristics(void* handle) override;
  // Multimedia-task joins not yet reverted.
  int OpenMmThreadTasks() const { return openMmTasks_.load(); }

  // Every later join answers `hr` (RPC_E_CHANGED_MODE: the thread lives in another
  // apartment); nullopt restores the real answer.
  void SetApartmentAnswer(std::optional<HRESULT> hr);
  // Fixed memory counters; nullopt reads the real ones. `fail` makes the read fail.
  void SetProcessMemory(std::optional<ProcessMemoryCounters> counters, bool fail = false);
  // Moves the performance counter forward by `counts` (nanoseconds), so that tests can place
  // pieces long before "now" without waiting. Never moved back, not even by Reset, so the
  // engine's clock stays monotonic.
  void AdvanceClock(std::int64_t counts);
  // A fixed local time; nullopt uses the real one.
  void SetLocalTime(std::optional<LocalTime> time);
  // How many times ReleaseFreedMemory was called since the process began.
  std::uint64_t ReleaseFreedMemoryCalls() const { return releaseCalls_.load(); }
  void Reset();

 private:
  std::mutex mutex_;  // guards every scripted answer below
  std::optional<HRESULT> apartmentAnswer_;
  std::optional<ProcessMemoryCounters> memory_;
  bool memoryFails_ = false;
  std::optional<LocalTime> localTime_;
  std::atomic<std::int64_t> clockAdvance_{0};   // written by AdvanceClock only
  std::atomic<std::uint64_t> releaseCalls_{0};  // written by ReleaseFreedMemory only
  std::atomic<int> openMmTasks_{0};
};

}  // namespace tallowmarch::platform
