#include "system/linux_process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "system/files.h"

extern char** environ;

namespace tallowmarch::platform {

ProcessWait LinuxProcessLayer::WaitForExit(std::int32_t pid, std::uint32_t timeoutMs) {
  if (pid <= 0) return ProcessWait::kNoProcess;
  // glibc 2.36's <sys/pidfd.h> cannot be included from C++: call the system call directly.
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u));
  if (fd < 0) return ProcessWait::kNoProcess;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  ProcessWait result = ProcessWait::kTimedOut;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd item{fd, POLLIN, 0};
    const int ready = poll(&item, 1, static_cast<int>(left > 0 ? left : 0));
    if (ready > 0) {
      result = ProcessWait::kExited;
      break;
    }
    if (ready == 0) {
      if (left <= 0) break;
      continue;
    }
    if (errno != EINTR) {
      result = ProcessWait::kFailed;
      break;
    }
  }
  close(fd);
  return result;
}

bool LinuxProcessLayer::StartProcess(const std::string& program,
                                     const std::vector<std::string>& arguments,
                                     const std::string& workingDir, std::int32_t& pid,
                                     std::uint32_t& error) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    error = kErrorNotEnoughMemory;
    return false;
  }
  int rc = posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());
  // Only the standard three: the lock file of a mutex held here must not outlive us in a child.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // The child starts with every signal at its default disposition and none blocked, whatever
  // this process ignores or blocks (the updater ignores SIGPIPE for itself only).
  posix_spawnattr_t attributes;
  if (rc == 0) rc = posix_spawnattr_init(&attributes);
  const bool attributesMade = rc == 0;
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&attributes, &all);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&attributes, &none);
  if (rc == 0) {
    rc = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  pid_t child = 0;
  // glibc reports a failed exec (missing program, no execute permission) as the result.
  if (rc == 0) {
    rc = posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(), environ);
  }
  if (attributesMade) posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    error = Win32ErrorFromErrno(rc);
    return false;
  }
  pid = child;
  return true;
}

void LinuxProcessLayer::SleepMilliseconds(std::uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace tallowmarch::platform
