// System services of the engine: the COM apartment stand-in, the performance counter, local
// time, the process memory counters and giving freed heap memory back.
#pragma once

#include <cstdint>
#include <string>

#include "common/win_types.h"

namespace tallowmarch::platform {

struct ProcessMemoryCounters {
  std::uint64_t privateBytes = 0;  // memory committed privately by the process
  std::uint64_t workingSet = 0;    // resident memory
};

// Local wall-clock time, split like a SYSTEMTIME.
struct LocalTime {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

enum class NewFileResult { kCreated, kExists, kFailed };

class SystemLayer {
 public:
  virtual ~SystemLayer() = default;

  // Joins the calling thread to the multithreaded apartment. S_OK the first time on a thread,
  // S_FALSE when it already joined, RPC_E_CHANGED_MODE when the thread lives in another mode.
  virtual HRESULT JoinMultithreadedApartment() = 0;

  // A monotonic counter and its ticks per second; shared by every thread.
  virtual std::int64_t PerformanceFrequency() = 0;
  virtual std::int64_t PerformanceCounter() = 0;

  virtual LocalTime CurrentLocalTime() = 0;

  // False when the counters cannot be read.
  virtual bool QueryProcessMemory(ProcessMemoryCounters& out) = 0;
  // Hands memory the heap keeps after large frees back to the system. Takes a few
  // milliseconds: called off the hot paths, after large blocks were freed.
  virtual void ReleaseFreedMemory() = 0;

  // Creates one folder (its parent must exist), like CreateDirectoryW. False when it cannot be
  // made, an existing folder included.
  virtual bool CreateDirectory(const std::wstring& path) = 0;
  // True when anything exists at `path`.
  virtual bool PathExists(const std::wstring& path) = 0;
  // Creates an empty file at `path` only if nothing is there yet, atomically, like CreateFileW
  // with CREATE_NEW (O_CREAT|O_EXCL): of several processes asking for one name, one gets it.
  virtual NewFileResult CreateNewFile(const std::wstring& path) = 0;
  // Removes a file, like DeleteFileW. False when there is none or it cannot be removed.
  virtual bool DeleteFile(const std::wstring& path) = 0;
  // Like GetEnvironmentVariableW: 0 when the variable is unset or empty; the length without
  // the NUL when value and NUL fit into `size` characters (copied into `buffer`); otherwise the
  // size needed with the NUL, and `buffer` is left alone.
  virtual std::uint32_t GetEnvironmentVariable(const wchar_t* name, wchar_t* buffer,
                                               std::uint32_t size) = 0;

  // The multimedia scheduling class of the calling thread (AvSetMmThreadCharacteristicsW and
  // friends): joining a task such as "Pro Audio" gives a handle, null when joining failed;
  // the priority is one of the AVRT_PRIORITY values; reverting ends it on the calling thread.
  virtual void* AvSetMmThreadCharacteristics(const std::wstring& taskName) = 0;
  virtual bool AvSetMmThreadPriority(void* handle, int priority) = 0;
  virtual bool AvRevertMmThreadCharacteristics(void* handle) = 0;
};

inline constexpr int AVRT_PRIORITY_LOW = -1;
inline constexpr int AVRT_PRIORITY_NORMAL = 0;
inline constexpr int AVRT_PRIORITY_HIGH = 1;
inline constexpr int AVRT_PRIORITY_CRITICAL = 2;

}  // namespace tallowmarch::platform
