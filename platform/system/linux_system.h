// The system layer on linux: there is no apartment (joining is an idempotent per-thread flag),
// CLOCK_MONOTONIC in nanoseconds, localtime_r, /proc/self/status for the memory counters and
// malloc_trim to give freed heap memory back.
#pragma once

#include "common/export.h"
#include "system/system.h"

namespace tallowmarch::platform {

class TM_EXPORT LinuxSystem : public SystemLayer {
 public:
  HRESULT JoinMultithreadedApartment() override;
  std::int64_t PerformanceFrequency() override;
  std::int64_t PerformanceCounter() override;
  LocalTime CurrentLocalTime() override;
  bool QueryProcessMemory(ProcessMemoryCounters& out) override;
  void ReleaseFreedMemory() override;
  bool CreateDirectory(const std::wstring& path) override;
  bool PathExists(const std::wstring& path) override;
  NewFileResult CreateNewFile(const std::wstring& path) override;
  bool DeleteFile(const std::wstring& path) override;
  std::uint32_t GetEnvironmentVariable(const wchar_t* name, wchar_t* buffer,
                                       std::uint32_t size) override;
  // A nice value for the thread, raised by the priority where the process may (root or
  // CAP_SYS_NICE); without that the thread keeps its priority and nothing is reported.
  void* AvSetMmThreadCharacteristics(const std::wstring& taskName) override;
  bool AvSetMmThreadPriority(void* handle, int priority) override;
  bool AvRevertMmThreadCharacteristics(void* handle) override;
};

// Parses the text of /proc/<pid>/status. Private bytes are the private resident pages plus
// what of them is swapped out (RssAnon + VmSwap); the working set is VmRSS.
TM_EXPORT bool ParseProcStatus(const char* text, ProcessMemoryCounters& out);

}  // namespace tallowmarch::platform
