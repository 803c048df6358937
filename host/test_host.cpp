// A stand-in for Tallowmarch.exe in the updater's tests. While it runs it holds the
// single-instance mutex. Started with "--updated NAME" it opens the ready event NAME and sets
// it after a delay the test chooses, or never. It appends one line per start to a report file
// so that tests see how it was started:  <pid>|<working folder>|<argument>|<argument>...
//
// Environment (all optional):
//   TM_TEST_HOST_REPORT          the report file
//   TM_TEST_HOST_MUTEX           the mutex name (default: the product's single-instance mutex)
//   TM_TEST_HOST_READY_DELAY_MS  delay before setting the event; negative: never (default 0)
//   TM_TEST_HOST_LIFETIME_MS     how long to keep running (default 30000)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "system/os_layers.h"

namespace {

long long EnvNumber(const char* name, long long fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? std::atoll(value) : fallback;
}

void Report(int argc, char** argv) {
  const char* path = std::getenv("TM_TEST_HOST_REPORT");
  if (path == nullptr) return;
  char cwd[4096] = {};
  if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
  std::string line = std::to_string(getpid()) + "|" + cwd;
  for (int i = 1; i < argc; ++i) line += std::string("|") + argv[i];
  line += "\n";
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line.data(), line.size()) < 0) std::perror("test host report");
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tallowmarch::platform;
  const auto started = std::chrono::steady_clock::now();
  const char* mutexName = std::getenv("TM_TEST_HOST_MUTEX");
  std::uint32_t error = 0;
  std::unique_ptr<NamedMutex> mutex = NamedObjects().CreateMutex(
      mutexName != nullptr ? mutexName : "Global\\Tallowmarch_SingleInstance_Mutex", error);
  if (mutex) mutex->Wait(2000);  // a relaunched host may find its predecessor still running
  Report(argc, argv);  // after the mutex, so a test that reads the report knows it is held

  const long long lifetimeMs = EnvNumber("TM_TEST_HOST_LIFETIME_MS", 30000);
  if (argc == 3 && std::string(argv[1]) == "--updated") {
    const long long delayMs = EnvNumber("TM_TEST_HOST_READY_DELAY_MS", 0);
    std::unique_ptr<NamedEvent> ready = NamedObjects().OpenEvent(argv[2], error);
    if (ready && delayMs >= 0) {
      std::this_thread::sleep_until(started + std::chrono::milliseconds(delayMs));
      ready->Set();
    }
  }
  std::this_thread::sleep_until(started + std::chrono::milliseconds(lifetimeMs));
  return 0;
}
