// The named mutex and event, the process wait and the process start of the linux layers,
// exercised across real processes (the test host holds the mutex and sets the event).
#include "system/named_objects.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim_os_scope.h"
#include "system/linux_named_objects.h"
#include "system/linux_process.h"
#include "updater_test_support.h"

namespace tallowmarch::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class NamedObjectsTest : public ::testing::Test {
 protected:
  // Starts the test host with its report in the temporary folder; it holds `mutex`.
  test::ChildProcess StartHost(const std::string& mutex, std::vector<std::string> args = {},
                               const std::string& readyDelayMs = "0") {
    std::vector<std::string> argv{TALLOWMARCH_TEST_HOST};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::Spawn(argv,
                       {{"XDG_RUNTIME_DIR", (dir_ / "run").string()},
                        {"TM_TEST_HOST_REPORT", report().string()},
                        {"TM_TEST_HOST_MUTEX", mutex},
                        {"TM_TEST_HOST_READY_DELAY_MS", readyDelayMs},
                        {"TM_TEST_HOST_LIFETIME_MS", "20000"}},
                       dir_ / "host.txt");
  }
  fs::path report() const { return dir_ / "report.txt"; }
  bool HostReported() const { return fs::exists(report()) && fs::file_size(report()) > 0; }

  test::TempDir dir_;
  test::SimOsScope scope_{dir_ / "run"};  // sets XDG_RUNTIME_DIR for this process
  LinuxNamedObjectLayer objects_;
  LinuxProcessLayer processes_;
};

TEST_F(NamedObjectsTest, NamesMapToDistinctFilesInTheRuntimeFolder) {
  const std::string run = (dir_ / "run").string();
  EXPECT_EQ(RuntimeFolder(), run);
  EXPECT_EQ(NamedObjectPath("Global\\Tallowmarch_SingleInstance_Mutex", NamedObjectKind::kMutex),
            run + "/tallowmarch-mutex-Global%5CTallowmarch_SingleInstance_Mutex");
  EXPECT_EQ(NamedObjectPath("../x/y", NamedObjectKind::kEvent),
            run + "/tallowmarch-event-..%2Fx%2Fy");
  EXPECT_NE(NamedObjectPath("a\\b", NamedObjectKind::kEvent),
            NamedObjectPath("a/b", NamedObjectKind::kEvent));
  EXPECT_EQ(NamedObjectPath("", NamedObjectKind::kEvent), "");
  EXPECT_EQ(NamedObjectPath(std::string(300, 'n'), NamedObjectKind::kEvent), "");
  setenv("XDG_RUNTIME_DIR", "", 1);
  EXPECT_EQ(RuntimeFolder(), "/dev/shm/tallowmarch-" + std::to_string(geteuid()));
  setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
}

TEST_F(NamedObjectsTest, OnlyTheUserCanTouchTheFolderAndItsObjects) {
  std::uint32_t error = 0;
  const fs::path run = dir_ / "run";
  auto event = objects_.CreateEvent("Private", error);
  ASSERT_TRUE(event);
  const fs::path file = NamedObjectPath("Private", NamedObjectKind::kEvent);
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // Missing: created for the user alone.
  setenv("XDG_RUNTIME_DIR", (dir_ / "fresh").c_str(), 1);
  EXPECT_TRUE(objects_.CreateMutex("M", error));
  EXPECT_EQ(fs::status(dir_ / "fresh").permissions() & fs::perms::all, fs::perms::owner_all);
  // A link in the folder's place, or a folder open to others, is refused.
  fs::create_directory_symlink(run, dir_ / "link");
  setenv("XDG_RUNTIME_DIR", (dir_ / "link").c_str(), 1);
  EXPECT_FALSE(objects_.CreateMutex("M", error));
  setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
  fs::permissions(run, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  EXPECT_FALSE(objects_.OpenEvent("Private", error));
  EXPECT_EQ(error, kErrorAccessDenied);
  fs::permissions(run, fs::perms::owner_all);
  EXPECT_TRUE(objects_.OpenEvent("Private", error));
  if (geteuid() != 0) return;  // giving files away needs root
  ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
  EXPECT_FALSE(objects_.OpenEvent("Private", error));
  ASSERT_EQ(chown(run.c_str(), 65534, 65534), 0);
  EXPECT_FALSE(objects_.CreateMutex("M", error));
}

TEST_F(NamedObjectsTest, MutexIsExclusiveAndAnAbandonedOneIsAcquired) {
  std::uint32_t error = 0;
  test::ChildProcess host = StartHost("Local\\M");
  ASSERT_TRUE(test::WaitFor([&] { return HostReported(); }, 10s));
  auto mutex = objects_.CreateMutex("Local\\M", error);
  ASSERT_TRUE(mutex);
  EXPECT_EQ(mutex->Wait(100), ObjectWait::kTimedOut);
  kill(host.pid, SIGKILL);  // dies holding it
  EXPECT_EQ(mutex->Wait(10000), ObjectWait::kSignaled);
  test::KillAndReap(host);

  // Two handles of this process exclude each other as well; a release lets the other in.
  auto second = objects_.CreateMutex("Local\\M", error);
  EXPECT_EQ(second->Wait(0), ObjectWait::kTimedOut);
  EXPECT_TRUE(mutex->Release());
  EXPECT_EQ(second->Wait(0), ObjectWait::kSignaled);
}

TEST_F(NamedObjectsTest, EventIsCreatedUnsetOpenedInItsStateAndWakesWaiters) {
  std::uint32_t error = 0;
  EXPECT_FALSE(objects_.OpenEvent("E", error));
  EXPECT_EQ(error, kErrorFileNotFound);
  auto event = objects_.CreateEvent("E", error);
  ASSERT_TRUE(event);
  EXPECT_FALSE(event->IsSet());
  EXPECT_EQ(event->Wait(50), ObjectWait::kTimedOut);

  // Another process opens it and sets it after 300 ms.
  test::ChildProcess host = StartHost("Local\\other", {"--updated", "E"}, "300");
  EXPECT_EQ(event->Wait(10000), ObjectWait::kSignaled);
  EXPECT_EQ(event->Wait(0), ObjectWait::kSignaled);  // manual reset: stays set
  test::KillAndReap(host);

  auto again = objects_.CreateEvent("E", error);  // exists: opened in its (set) state
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->IsSet());
  EXPECT_TRUE(again->Reset());
  EXPECT_FALSE(event->IsSet());
}

TEST_F(NamedObjectsTest, EventLeftByACrashIsNoEvent) {
  // The file of a set event whose holders are all gone.
  test::WriteFile(NamedObjectPath("Stale", NamedObjectKind::kEvent), "1");
  std::uint32_t error = 0;
  EXPECT_FALSE(objects_.OpenEvent("Stale", error));
  EXPECT_EQ(error, kErrorFileNotFound);
  auto event = objects_.CreateEvent("Stale", error);
  ASSERT_TRUE(event);
  EXPECT_FALSE(event->IsSet());
  auto opened = objects_.OpenEvent("Stale", error);  // held now: it exists
  ASSERT_TRUE(opened);
  EXPECT_TRUE(opened->Set());
  EXPECT_TRUE(event->IsSet());
}

TEST_F(NamedObjectsTest, ProcessWaitAndStart) {
  test::ChildProcess sleeper = test::Spawn({"/bin/sleep", "30"}, {}, dir_ / "sleep.txt");
  EXPECT_EQ(processes_.WaitForExit(sleeper.pid, 50), ProcessWait::kTimedOut);
  kill(sleeper.pid, SIGKILL);
  EXPECT_EQ(processes_.WaitForExit(sleeper.pid, 10000), ProcessWait::kExited);
  test::KillAndReap(sleeper);
  EXPECT_EQ(processes_.WaitForExit(0, 10), ProcessWait::kNoProcess);
  EXPECT_EQ(processes_.WaitForExit(-5, 10), ProcessWait::kNoProcess);

  setenv("TM_TEST_HOST_REPORT", report().c_str(), 1);
  setenv("TM_TEST_HOST_LIFETIME_MS", "0", 1);
  fs::create_directories(dir_ / "work");
  std::int32_t pid = 0;
  std::uint32_t error = 0;
  ASSERT_TRUE(processes_.StartProcess(TALLOWMARCH_TEST_HOST, {"one", "two words"},
                                      (dir_ / "work").string(), pid, error));
  unsetenv("TM_TEST_HOST_REPORT");
  unsetenv("TM_TEST_HOST_LIFETIME_MS");
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(test::ReadFile(report()),
            std::to_string(pid) + "|" + (dir_ / "work").string() + "|one|two words\n");

  EXPECT_FALSE(
      processes_.StartProcess((dir_ / "missing").string(), {}, dir_.path().string(), pid, error));
  EXPECT_EQ(error, kErrorFileNotFound);
  test::WriteFile(dir_ / "not-executable", "#!/bin/sh\n");
  EXPECT_FALSE(processes_.StartProcess((dir_ / "not-executable").string(), {}, dir_.path().string(),
                                       pid, error));
  EXPECT_EQ(error, kErrorAccessDenied);
}

}  // namespace
}  // namespace tallowmarch::platform
