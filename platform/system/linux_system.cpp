#include "system/linux_system.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "common/wide_text.h"

namespace tallowmarch::platform {
namespace {
thread_local bool t_joinedApartment = false;
}

HRESULT LinuxSystem::JoinMultithreadedApartment() {
  if (t_joinedApartment) return S_FALSE;
  t_joinedApartment = true;
  return S_OK;
}

std::int64_t LinuxSystem::PerformanceFrequency() {
  return 1000000000;
}

std::int64_t LinuxSystem::PerformanceCounter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

LocalTime LinuxSystem::CurrentLocalTime() {
  const time_t now = time(nullptr);
  tm parts{};
  localtime_r(&now, &parts);
  LocalTime out;
  out.year = static_cast<unsigned>(parts.tm_year + 1900);
  out.month = static_cast<unsigned>(parts.tm_mon + 1);
  out.day = static_cast<unsigned>(parts.tm_mday);
  out.hour = static_cast<unsigned>(parts.tm_hour);
  out.minute = static_cast<unsigned>(parts.tm_min);
  out.second = static_cast<unsigned>(parts.tm_sec);
  return out;
}

bool ParseProcStatus(const char* text, ProcessMemoryCounters& out) {
  // Values are in kB: "VmRSS:\t  123456 kB".
  auto field = [text](const char* name, std::uint64_t& value) {
    const char* at = std::strstr(text, name);
    if (at == nullptr) return false;
    unsigned long long kb = 0;
    if (std::sscanf(at + std::strlen(name), " %llu", &kb) != 1) return false;
    value = static_cast<std::uint64_t>(kb) * 1024;
    return true;
  };
  std::uint64_t rss = 0, anon = 0, swap = 0;
  if (!field("\nVmRSS:", rss) || !field("\nRssAnon:", anon)) return false;
  field("\nVmSwap:", swap);  // absent without swap support
  out.workingSet = rss;
  out.privateBytes = anon + swap;
  return true;
}

bool LinuxSystem::QueryProcessMemory(ProcessMemoryCounters& out) {
  FILE* file = std::fopen("/proc/self/status", "re");
  if (file == nullptr) return false;
  std::string text = "\n";  // so every field, the first included, follows a newline
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  std::fclose(file);
  return ParseProcStatus(text.c_str(), out);
}

void LinuxSystem::ReleaseFreedMemory() {
  // glibc raises its mmap threshold after the first large free, so later large blocks come from
  // the arenas and stay resident when freed; the trim returns every arena's free pages.
  malloc_trim(0);
}

bool LinuxSystem::CreateDirectory(const std::wstring& path) {
  return ::mkdir(Narrow(path).c_str(), 0777) == 0;
}

bool LinuxSystem::PathExists(const std::wstring& path) {
  struct stat info {};
  return ::lstat(Narrow(path).c_str(), &info) == 0;
}

NewFileResult LinuxSystem::CreateNewFile(const std::wstring& path) {
  const int fd = ::open(Narrow(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return errno == EEXIST ? NewFileResult::kExists : NewFileResult::kFailed;
  ::close(fd);
  return NewFileResult::kCreated;
}

bool LinuxSystem::DeleteFile(const std::wstring& path) {
  return ::unlink(Narrow(path).c_str()) == 0;
}

std::uint32_t LinuxSystem::GetEnvironmentVariable(const wchar_t* name, wchar_t* buffer,
                                                  std::uint32_t size) {
  const char* value = std::getenv(Narrow(name).c_str());
  if (value == nullptr) return 0;
  const std::wstring wide = Widen(value);
  if (wide.size() + 1 > size) return static_cast<std::uint32_t>(wide.size() + 1);
  std::wmemcpy(buffer, wide.c_str(), wide.size() + 1);
  return static_cast<std::uint32_t>(wide.size());
}

namespace {

// What joining a multimedia task changed on one thread, so that reverting restores it.
struct MmThreadState {
  pid_t thread = 0;
  int originalNice = 0;
};

int NiceForPriority(int priority) {
  switch (priority) {
    case AVRT_PRIORITY_CRITICAL:
      return -15;
    case AVRT_PRIORITY_HIGH:
      return -10;
    case AVRT_PRIORITY_NORMAL:
      return -5;
    default:
      return 0;
  }
}

}  // namespace

void* LinuxSystem::AvSetMmThreadCharacteristics(const std::wstring&) {
  const pid_t thread = static_cast<pid_t>(syscall(SYS_gettid));
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
  if (nice == -1 && errno != 0) return nullptr;
  return new (std::nothrow) MmThreadState{thread, nice};
}

bool LinuxSystem::AvSetMmThreadPriority(void* handle, int priority) {
  if (handle == nullptr) return false;
  auto* state = static_cast<MmThreadState*>(handle);
  const int nice = std::min(state->originalNice, NiceForPriority(priority));
  return setpriority(PRIO_PROCESS, static_cast<id_t>(state->thread), nice) == 0;
}

bool LinuxSystem::AvRevertMmThreadCharacteristics(void* handle) {
  if (handle == nullptr) return false;
  std::unique_ptr<MmThreadState> state(static_cast<MmThreadState*>(handle));
  return setpriority(PRIO_PROCESS, static_cast<id_t>(state->thread), state->originalNice) == 0;
}

}  // namespace tallowmarch::platform
