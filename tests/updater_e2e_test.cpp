// End to end: the real updater binary (its test build, which trusts the test key) against real
// install folders, with archives signed by the test key and the test host standing in for
// Tallowmarch.exe. The waits of the runs are divided by kTimeDivisor unless a test says
// otherwise.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "system/linux_named_objects.h"
#include "updater_test_support.h"

namespace tallowmarch::test {
namespace {

using namespace std::chrono_literals;

// 60, 30 and 20-second time-outs become 6, 3 and 2 seconds.
constexpr char kTimeDivisor[] = "10";

// What the test host reported: one start per line.
struct HostStart {
  pid_t pid = 0;
  std::string folder;
  std::vector<std::string> args;
};

class UpdaterE2E : public ::testing::Test {
 protected:
  UpdaterE2E() = default;
  explicit UpdaterE2E(const fs::path& base) : dir_(base) {}
  void SetUp() override {
    hostBinary_ = ReadFile(TALLOWMARCH_TEST_HOST);
    fs::create_directories(dir_ / "run");
    fs::permissions(dir_ / "run", fs::perms::owner_all);  // the user's own
    PopulateInstall(install());
  }
  void TearDown() override {
    for (const HostStart& start : HostStarts()) kill(start.pid, SIGKILL);
    if (mounted_) umount2(install().c_str(), MNT_DETACH);
  }

  fs::path install() const { return dir_ / "install"; }
  fs::path outside() const { return dir_ / "outside"; }
  std::string OldProgram() const { return hostBinary_ + "\nversion 1"; }
  std::string NewProgram() const { return hostBinary_ + "\nversion 2"; }

  void PopulateInstall(const fs::path& folder) {
    WriteFile(folder / "Tallowmarch.exe", OldProgram());
    fs::permissions(folder / "Tallowmarch.exe", fs::perms::owner_all, fs::perm_options::add);
    WriteFile(folder / "config.txt", "old config");
    WriteFile(folder / "lib/engine.so", "old engine");
    WriteFile(folder / "user-data.txt", "not in the update");
  }

  // The standard update: the program, a file, a file in a subfolder, a new subfolder.
  std::vector<ZipItem> StandardItems() const {
    return {{"Tallowmarch.exe", NewProgram(), 0100755},
            {"config.txt", "new config"},
            {"lib/engine.so", "new engine"},
            {"plugins/new.dll", "new plugin"}};
  }

  // Writes the signed archive; returns its digest.
  std::string WriteUpdate(const std::vector<ZipItem>& items) { return WriteUpdate(MakeZip(items)); }
  std::string WriteUpdate(const Bytes& zip) {
    WriteBytes(dir_ / "u.zip", zip);
    WriteBytes(dir_ / "u.sig", SignWithTestKey(zip));
    return Sha256Hex(zip);
  }
  std::vector<std::string> ApplyArgs(const std::string& digest) {
    return {"--zip",
            (dir_ / "u.zip").string(),
            "--sig",
            (dir_ / "u.sig").string(),
            "--expected-sha256",
            digest,
            "--target",
            install().string(),
            "--log",
            (dir_ / "log.txt").string()};
  }

  ChildProcess Start(const std::vector<std::string>& args,
                     std::map<std::string, std::string> environment = {},
                     const char* program = TALLOWMARCH_UPDATER, int errorDescriptor = -1) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    environment.emplace("XDG_RUNTIME_DIR", (dir_ / "run").string());
    environment.emplace("TM_TEST_HOST_REPORT", (dir_ / "report.txt").string());
    environment.emplace("TM_TEST_HOST_LIFETIME_MS", "25000");
    environment.emplace("TM_TEST_TIME_DIVISOR", kTimeDivisor);
    return Spawn(argv, environment, dir_ / "stderr.txt", errorDescriptor);
  }
  int Run(const std::vector<std::string>& args, std::map<std::string, std::string> environment = {},
          std::chrono::milliseconds timeout = 120s) {
    ChildProcess child = Start(args, std::move(environment));
    return WaitExit(child, timeout);
  }

  std::string Log() const { return ReadFile(dir_ / "log.txt"); }
  std::string Stderr() const { return ReadFile(dir_ / "stderr.txt"); }
  // The messages of the log file, without their time stamps; every line is checked for the
  // "YYYY-MM-DD hh:mm:ss updater: " prefix and the CR LF end.
  std::vector<std::string> Messages(const std::string& text) const {
    std::vector<std::string> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      EXPECT_GE(line.size(), 30u);
      EXPECT_EQ(line.substr(19, 10), " updater: ") << line;
      EXPECT_EQ(line.back(), '\r') << line;
      out.push_back(line.substr(29, line.size() - 30));
    }
    return out;
  }
  std::vector<std::string> LogMessages() const { return Messages(Log()); }
  bool Logged(const std::string& message) const {
    for (const std::string& m : LogMessages()) {
      if (m == message) return true;
    }
    return false;
  }

  // Waits until `updater` waits for a process (a pidfd is open): its folder lock and its first
  // marker check are behind it.
  bool WaitsForAProcess(const ChildProcess& updater) const {
    const fs::path fds = "/proc/" + std::to_string(updater.pid) + "/fd";
    return WaitFor(
        [&] {
          std::error_code ec;
          for (const auto& fd : fs::directory_iterator(fds, ec)) {
            if (fs::read_symlink(fd.path(), ec).string().find("pidfd") != std::string::npos) {
              return true;
            }
          }
          return false;
        },
        20s);
  }

  std::vector<HostStart> HostStarts() const {
    std::vector<HostStart> out;
    std::istringstream lines(ReadFile(dir_ / "report.txt"));
    std::string line;
    while (std::getline(lines, line)) {
      std::vector<std::string> fields;
      std::stringstream parts(line);
      std::string field;
      while (std::getline(parts, field, '|')) fields.push_back(field);
      if (fields.size() < 2) continue;
      out.push_back({static_cast<pid_t>(std::stoi(fields[0])), fields[1],
                     std::vector<std::string>(fields.begin() + 2, fields.end())});
    }
    return out;
  }

  // The install folder holds exactly what it held before, byte for byte.
  void ExpectUnchanged(const std::map<std::string, std::string>& before) {
    EXPECT_EQ(Snapshot(install()), before);
  }

  TempDir dir_;
  std::string hostBinary_;
  bool mounted_ = false;
};

TEST_F(UpdaterE2E, SuccessReplacesFilesAndCleansUp) {
  const std::string digest = WriteUpdate(StandardItems());
  ASSERT_EQ(Run(ApplyArgs(digest)), 0);
  EXPECT_EQ(ReadFile(install() / "Tallowmarch.exe"), NewProgram());
  EXPECT_EQ(ReadFile(install() / "config.txt"), "new config");
  EXPECT_EQ(ReadFile(install() / "lib/engine.so"), "new engine");
  EXPECT_EQ(ReadFile(install() / "plugins/new.dll"), "new plugin");
  EXPECT_EQ(ReadFile(install() / "user-data.txt"), "not in the update");
  EXPECT_EQ(access((install() / "Tallowmarch.exe").c_str(), X_OK), 0);
  for (const auto& [name, content] : Snapshot(install())) {
    EXPECT_EQ(name.find(".old"), std::string::npos) << name;
  }
  EXPECT_FALSE(fs::exists(install() / ".update-in-progress"));
  EXPECT_FALSE(fs::exists(install() / "pending"));
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{"staged zip verified: sha256=" + digest,
                                                     "update applied successfully"}));
  EXPECT_EQ(Stderr(), Log());  // the same lines on standard error
}

TEST_F(UpdaterE2E, BadCommandLinesExitWith2) {
  EXPECT_EQ(Run({}), 2);
  EXPECT_EQ(Messages(Stderr()).back(),
            "usage: tallowmarch_updater --zip PATH --sig PATH --expected-sha256 HEX --target DIR "
            "[--wait-pid N] [--relaunch Tallowmarch.exe] [--ready-event NAME] [--mutex-name NAME] "
            "[--log PATH]");
  EXPECT_EQ(Run({"--log", (dir_ / "log.txt").string(), "--zip=x"}), 2);
  EXPECT_EQ(Messages(Stderr()).back(), "unknown argument: --zip=x");
  EXPECT_FALSE(fs::exists(dir_ / "log.txt"));
  EXPECT_EQ(Run({"--reconcile", "--target"}), 2);
  EXPECT_EQ(Messages(Stderr()).back(), "reconcile needs --target");
}

TEST_F(UpdaterE2E, RefusesWithoutTheHostProgramOrWithAPriorMarker) {
  const std::string digest = WriteUpdate(StandardItems());
  fs::remove(install() / "Tallowmarch.exe");
  auto before = Snapshot(install());
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--relaunch", "Other.exe"});
  WriteFile(install() / "Other.exe", "other");
  before = Snapshot(install());
  EXPECT_EQ(Run(args), 3);
  EXPECT_TRUE(Logged("refusing: --target has no Tallowmarch.exe (" + install().string() + ")"));
  ExpectUnchanged(before);

  PopulateInstall(install());
  WriteFile(install() / ".update-in-progress", "left by a crash");
  before = Snapshot(install());
  EXPECT_EQ(Run(ApplyArgs(digest)), 4);
  EXPECT_EQ(Run(ApplyArgs(digest)), 4);  // until a reconcile removes it
  EXPECT_TRUE(Logged("refusing: a prior update marker is present; let the app reconcile first"));
  ExpectUnchanged(before);

  // A marker that is a link counts as present and is never written through.
  fs::remove(install() / ".update-in-progress");
  WriteFile(outside() / "target.txt", "outside");
  fs::create_symlink(outside() / "target.txt", install() / ".update-in-progress");
  EXPECT_EQ(Run(ApplyArgs(digest)), 4);
  EXPECT_EQ(ReadFile(outside() / "target.txt"), "outside");
}

TEST_F(UpdaterE2E, HostThatNeverExitsEndsWith5) {
  const std::string digest = WriteUpdate(StandardItems());
  const auto before = Snapshot(install());
  ChildProcess sleeper = Spawn({"/bin/sleep", "100"}, {}, dir_ / "sleep.txt");
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--wait-pid", std::to_string(sleeper.pid)});
  const pid_t pid = sleeper.pid;
  EXPECT_EQ(Run(args, {}, 90s), 5);  // after the 60 s, divided
  KillAndReap(sleeper);
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{"timed out waiting for app pid " +
                                                     std::to_string(pid) + " to exit"}));
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, HostThatExitedIsNotWaitedFor) {
  const std::string digest = WriteUpdate(StandardItems());
  ChildProcess gone = Spawn({"/bin/true"}, {}, dir_ / "true.txt");
  const pid_t pid = gone.pid;
  ASSERT_EQ(WaitExit(gone, 10s), 0);
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--wait-pid", std::to_string(pid)});
  EXPECT_EQ(Run(args, {}, 30s), 0);
}

TEST_F(UpdaterE2E, HostHoldingTheMutexEndsWith6) {
  const std::string digest = WriteUpdate(StandardItems());
  const auto before = Snapshot(install());
  ChildProcess host = Spawn({TALLOWMARCH_TEST_HOST},
                            {{"XDG_RUNTIME_DIR", (dir_ / "run").string()},
                             {"TM_TEST_HOST_REPORT", (dir_ / "holder.txt").string()},
                             {"TM_TEST_HOST_LIFETIME_MS", "60000"}},
                            dir_ / "host.txt");
  ASSERT_TRUE(WaitFor([&] { return fs::exists(dir_ / "holder.txt"); }, 10s));
  EXPECT_EQ(Run(ApplyArgs(digest), {}, 60s), 6);  // after the 30 s, divided
  KillAndReap(host);
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"timed out acquiring single-instance mutex"});
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, RejectedArchivesEndWith7) {
  const Bytes zip = MakeZip(StandardItems());
  const std::string digest = WriteUpdate(zip);
  const auto before = Snapshot(install());
  Bytes tampered = zip;
  tampered[tampered.size() / 2] ^= 0x01;
  WriteBytes(dir_ / "u.zip", tampered);
  EXPECT_EQ(Run(ApplyArgs(Sha256Hex(tampered))), 7);
  EXPECT_TRUE(Logged("staged zip failed signature verification (result 4)"));
  // A correctly signed older archive under the digest of another: a possible downgrade.
  WriteUpdate(zip);
  EXPECT_EQ(Run(ApplyArgs(std::string(64, '0'))), 7);
  EXPECT_TRUE(Logged("expected-sha256 mismatch (want '" + std::string(64, '0') + "' got '" +
                     digest + "') - refusing (possible downgrade)"));
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, HostileArchivesEndWith8AndWriteNothingOutside) {
  fs::create_directories(outside());
  const Bytes evil = ToBytes("pwned");
  const std::vector<std::vector<RawEntry>> archives = {
      {{"good.txt", evil}, {"../../../../../../../../../../../../tmp/evil.txt", evil}},
      {{"../outside/evil.txt", evil}},
      {{"..\\outside\\evil.txt", evil}},
      {{outside().string() + "/evil.txt", evil}},
      {{"C:\\evil.txt", evil}},
      {{"evil\xff.txt", evil}},
      {{"con.txt", evil}},
      {{std::string("nul\0.txt", 8), evil}},
      {{"bomb.bin", Bytes(32 << 20, 0), true, 10}},
  };
  const auto before = Snapshot(install());
  for (const auto& entries : archives) {
    const std::string digest = WriteUpdate(MakeRawZip(entries));
    EXPECT_EQ(Run(ApplyArgs(digest)), 8) << entries.back().name;
    ExpectUnchanged(before);
    EXPECT_TRUE(Snapshot(outside()).empty());
  }
  EXPECT_FALSE(fs::exists("/tmp/evil.txt") && ReadFile("/tmp/evil.txt") == "pwned");
  EXPECT_TRUE(Logged("rejected unsafe zip entry name: ../outside/evil.txt"));
  EXPECT_TRUE(Logged("extract failed for bomb.bin"));
  EXPECT_TRUE(Logged("rejected unsafe zip entry name: nul .txt"));  // as libzip shows it
}

TEST_F(UpdaterE2E, OneRunPerInstallFolderWhateverTheMutex) {
  const std::string digest = WriteUpdate(StandardItems());
  const auto before = Snapshot(install());
  ChildProcess host = Spawn({"/bin/sleep", "100"}, {}, dir_ / "sleep.txt");
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--wait-pid", std::to_string(host.pid), "--mutex-name", "First"});
  ChildProcess first = Start(args, {{"TM_TEST_TIME_DIVISOR", "1"}});
  ASSERT_TRUE(WaitsForAProcess(first));
  args = ApplyArgs(digest);
  args.insert(args.end(), {"--mutex-name", "Second"});
  EXPECT_EQ(Run(args), 6);
  EXPECT_TRUE(Logged("refusing: another update is running in " + install().string()));
  ExpectUnchanged(before);
  KillAndReap(host);
  EXPECT_EQ(WaitExit(first, 30s), 0);
}

TEST_F(UpdaterE2E, ReconcileDuringTheReadyWaitChangesNothing) {
  const std::string digest = WriteUpdate(StandardItems());
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--relaunch", "Tallowmarch.exe", "--ready-event", "R"});
  ChildProcess run = Start(args, {{"TM_TEST_HOST_READY_DELAY_MS", "-1"}});
  // The new host runs, the marker stays: a host would reconcile now.
  ASSERT_TRUE(WaitFor([&] { return !HostStarts().empty(); }, 20s));
  const auto during = Snapshot(install());
  ASSERT_TRUE(during.count("config.txt.old"));
  EXPECT_EQ(
      Run({"--reconcile", "--target", install().string(), "--log", (dir_ / "log.txt").string()}),
      6);
  EXPECT_TRUE(Logged("reconcile: another update is running in " + install().string() +
                     "; nothing changed"));
  EXPECT_EQ(Snapshot(install()), during);
  // A backup lost all the same: the rollback does not report a folder it could not restore.
  fs::remove(install() / "config.txt.old");
  EXPECT_EQ(WaitExit(run, 60s), 16);
  EXPECT_TRUE(
      Logged("rollback: no backup of " + (install() / "config.txt").string() + " to restore"));
}

TEST_F(UpdaterE2E, NamesLeftInTheWayAreNotWrittenThrough) {
  // A plain file named like the staging folder, and the marker's temporary hard-linked to a
  // file outside: both are the updater's leftovers, removed, never written through.
  WriteFile(outside() / "target.txt", "outside");
  fs::create_hard_link(outside() / "target.txt", install() / ".update-in-progress.new");
  WriteFile(install() / "pending", "left over");
  const std::string digest = WriteUpdate(StandardItems());
  EXPECT_EQ(Run(ApplyArgs(digest)), 0);
  EXPECT_EQ(ReadFile(outside() / "target.txt"), "outside");
  EXPECT_FALSE(fs::exists(install() / ".update-in-progress.new"));
  EXPECT_FALSE(fs::exists(install() / "pending"));

  // A folder in the temporary's place: the marker cannot be written, nothing is swapped.
  PopulateInstall(install());
  fs::create_directories(install() / ".update-in-progress.new/x");
  const auto before = Snapshot(install());
  EXPECT_EQ(Run(ApplyArgs(digest)), 10);
  EXPECT_TRUE(Logged("could not write the update marker " +
                     (install() / ".update-in-progress").string() + " (err 5)"));
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, LinkedStagingFolderIsRemovedNotFollowed) {
  WriteFile(outside() / "keep.txt", "outside");
  fs::create_directory_symlink(outside(), install() / "pending");
  const std::string digest = WriteUpdate(StandardItems());
  EXPECT_EQ(Run(ApplyArgs(digest)), 0);
  EXPECT_EQ(Snapshot(outside()), (std::map<std::string, std::string>{{"keep.txt", "outside"}}));
  EXPECT_FALSE(fs::exists(install() / "pending"));

  // A linked subfolder of the install folder is never written through either.
  PopulateInstall(install());
  fs::remove_all(install() / "plugins");
  fs::create_directory_symlink(outside(), install() / "plugins");
  EXPECT_EQ(Run(ApplyArgs(digest)), 8);
  EXPECT_TRUE(Logged("rejected unsafe zip entry name: plugins/new.dll"));
  EXPECT_EQ(Snapshot(outside()), (std::map<std::string, std::string>{{"keep.txt", "outside"}}));
}

TEST_F(UpdaterE2E, FolderSwappedForALinkMidRunLeadsNowhere) {
  // Someone who can write the install folder swaps a folder for a link to `outside` the moment
  // the updater works in it: a stale staging folder being cleared, the staging folder being filled.
  auto swapWhen = [&](const fs::path& folder, auto condition) {
    return std::thread([=, this] {
      const auto deadline = std::chrono::steady_clock::now() + 30s;
      while (!condition() && std::chrono::steady_clock::now() < deadline) {
      }
      fs::rename(folder, folder.string() + ".moved");
      fs::create_directory_symlink(outside(), folder);
    });
  };
  for (int i = 0; i < 500; ++i) {
    WriteFile(install() / "pending/a" / std::to_string(i) / "f", "stale");
    WriteFile(outside() / std::to_string(i) / "f", "outside");
  }
  for (const ZipItem& item : StandardItems()) WriteFile(outside() / item.name, "outside");
  const auto before = Snapshot(outside());
  std::thread swapper = swapWhen(install() / "pending/a", [&] {
    struct stat st {};
    return stat((install() / "pending/a").c_str(), &st) == 0 && st.st_nlink < 502;
  });
  EXPECT_EQ(Run({"--reconcile", "--target", install().string()}), 0);
  swapper.join();
  EXPECT_EQ(Snapshot(outside()), before);

  fs::remove_all(install() / "pending");  // what the swap left: the moved folder and the link
  std::vector<ZipItem> items = StandardItems();
  for (int i = 0; i < 300; ++i)
    items.push_back({"data/" + std::to_string(i), std::string(20000, 'x')});
  const std::string digest = WriteUpdate(items);
  swapper = swapWhen(install() / "pending", [&] {
    std::error_code ec;
    return fs::is_directory(fs::symlink_status(install() / "pending", ec)) &&
           !fs::is_empty(install() / "pending", ec);
  });
  EXPECT_EQ(Run(ApplyArgs(digest)), 0);
  swapper.join();
  EXPECT_EQ(Snapshot(outside()), before);
  EXPECT_EQ(ReadFile(install() / "config.txt"), "new config");
}

TEST_F(UpdaterE2E, SmallVolumeEndsWith9) {
  // A 16 MiB volume can never hold the backups plus 64 MiB.
  fs::create_directories(install());
  if (mount("tmpfs", install().c_str(), "tmpfs", 0, "size=16m") != 0) {
    GTEST_SKIP() << "cannot mount a small volume here";
  }
  mounted_ = true;
  PopulateInstall(install());
  const std::string digest = WriteUpdate(StandardItems());
  const auto before = Snapshot(install());
  EXPECT_EQ(Run(ApplyArgs(digest)), 9);
  EXPECT_TRUE(Logged("not enough disk for backups"));
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, BackupThatCannotBeMadeEndsWith10) {
  // "plugins" is a folder in the install folder and a file in the archive: it existed, and a
  // folder cannot be copied as a backup.
  fs::create_directories(install() / "plugins");
  std::vector<ZipItem> items = StandardItems();
  items.back() = {"plugins", "a file"};
  const std::string digest = WriteUpdate(items);
  const auto before = Snapshot(install());
  EXPECT_EQ(Run(ApplyArgs(digest)), 10);
  EXPECT_TRUE(Logged("backup copy failed for " + (install() / "plugins").string()));
  EXPECT_TRUE(Logged("rolling back swap"));
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, ImmutableTargetEndsWith11) {
  std::vector<ZipItem> items = StandardItems();
  std::swap(items[0], items[1]);  // config.txt first
  const std::string digest = WriteUpdate(items);
  if (!SetImmutable(install() / "config.txt", true)) GTEST_SKIP() << "no immutable flag here";
  const auto before = Snapshot(install());
  EXPECT_EQ(Run(ApplyArgs(digest)), 11);
  SetImmutable(install() / "config.txt", false);
  const std::string target = (install() / "config.txt").string();
  EXPECT_TRUE(Logged("replace failed for " + target + " (err 5 - install dir is read-only)"));
  // The file it never replaced is not restored: its backup goes, nothing else changes.
  EXPECT_FALSE(Logged("rollback: could not restore " + target + " (err 5)"));
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, OtherReplaceFailureEndsWith12AfterRetries) {
  // A file named like the folder the entry needs: the move fails with "path not found".
  WriteFile(install() / "plugins", "a file in the way");
  const std::string digest = WriteUpdate(StandardItems());
  const auto before = Snapshot(install());
  EXPECT_EQ(Run(ApplyArgs(digest)), 12);  // after the retries (4.2 s, divided)
  EXPECT_TRUE(
      Logged("replace failed for " + (install() / "plugins/new.dll").string() + " (err 3)"));
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, EmptyEntryEndsWith13) {
  std::vector<ZipItem> items = StandardItems();
  items.push_back({"empty.txt", ""});
  const std::string digest = WriteUpdate(items);
  const auto before = Snapshot(install());
  EXPECT_EQ(Run(ApplyArgs(digest)), 13);
  EXPECT_TRUE(Logged("post-replace check failed for " + (install() / "empty.txt").string()));
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, RelaunchThatCannotStartEndsWith14) {
  const std::string digest = WriteUpdate(StandardItems());
  const auto before = Snapshot(install());
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--relaunch", "Missing.exe", "--ready-event", "R"});
  EXPECT_EQ(Run(args), 14);
  const std::string program = (install() / "Missing.exe").string();
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                               "staged zip verified: sha256=" + digest,
                               "relaunch of " + program + " failed (err 2)",
                               "relaunch failed - rolling back to the previous version",
                               "rolling back swap",
                               "relaunch of " + program + " failed (err 2)",
                           }));
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, RelaunchWithoutReadyEventStartsThePlainProgram) {
  const std::string digest = WriteUpdate(StandardItems());
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--relaunch", "Tallowmarch.exe"});
  EXPECT_EQ(Run(args), 0);
  ASSERT_TRUE(WaitFor([&] { return HostStarts().size() == 1; }, 10s));
  EXPECT_EQ(HostStarts()[0].folder, install().string());
  EXPECT_TRUE(HostStarts()[0].args.empty());
  EXPECT_EQ(ReadFile(install() / "Tallowmarch.exe"), NewProgram());
  EXPECT_FALSE(fs::exists(install() / "Tallowmarch.exe.old"));
}

TEST_F(UpdaterE2E, ReadyEventWithoutRelaunchDoesNothing) {
  const std::string digest = WriteUpdate(StandardItems());
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--ready-event", "R"});
  EXPECT_EQ(Run(args), 0);
  EXPECT_FALSE(fs::exists(dir_ / "run/tallowmarch-event-R"));
  EXPECT_TRUE(HostStarts().empty());
}

TEST_F(UpdaterE2E, HostSignallingInTimeKeepsTheUpdate) {
  const std::string digest = WriteUpdate(StandardItems());
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--relaunch", "Tallowmarch.exe", "--ready-event", "Local\\Ready"});
  EXPECT_EQ(Run(args, {{"TM_TEST_HOST_READY_DELAY_MS", "500"}}), 0);
  ASSERT_EQ(HostStarts().size(), 1u);
  EXPECT_EQ(HostStarts()[0].args, (std::vector<std::string>{"--updated", "Local\\Ready"}));
  EXPECT_EQ(ReadFile(install() / "Tallowmarch.exe"), NewProgram());
  EXPECT_FALSE(fs::exists(install() / "config.txt.old"));
  EXPECT_EQ(LogMessages().back(), "update applied successfully");
}

TEST_F(UpdaterE2E, EventAlreadySignalledLetsTheWaitSucceedAtOnce) {
  // This process holds the event, set, while the updater runs.
  setenv("XDG_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
  platform::LinuxNamedObjectLayer objects;
  std::uint32_t error = 0;
  auto event = objects.CreateEvent("Pre", error);
  unsetenv("XDG_RUNTIME_DIR");
  ASSERT_TRUE(event);
  ASSERT_TRUE(event->Set());
  const std::string digest = WriteUpdate(StandardItems());
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--relaunch", "Tallowmarch.exe", "--ready-event", "Pre"});
  EXPECT_EQ(Run(args, {{"TM_TEST_HOST_READY_DELAY_MS", "-1"}}, 15s), 0);
}

class UpdaterE2ELateHost : public UpdaterE2E, public ::testing::WithParamInterface<const char*> {};

TEST_P(UpdaterE2ELateHost, RollsBackAndStartsThePreviousVersion) {
  const std::string digest = WriteUpdate(StandardItems());
  const auto before = Snapshot(install());
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--relaunch", "Tallowmarch.exe", "--ready-event", "R"});
  // The host 1 s late is checked against the real 20 s; the one that never signals against
  // the divided time-out.
  const bool late = std::string(GetParam()) != "-1";
  EXPECT_EQ(Run(args,
                {{"TM_TEST_HOST_READY_DELAY_MS", GetParam()},
                 {"TM_TEST_TIME_DIVISOR", late ? "1" : kTimeDivisor}},
                60s),
            15);
  const std::vector<std::string> messages = LogMessages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(
      std::vector<std::string>(messages.end() - 2, messages.end()),
      (std::vector<std::string>{"new version did not signal ready within timeout - rolling back",
                                "rolling back swap"}));
  ExpectUnchanged(before);
  ASSERT_TRUE(WaitFor([&] { return HostStarts().size() == 2; }, 10s));
  EXPECT_EQ(HostStarts()[0].args, (std::vector<std::string>{"--updated", "R"}));
  EXPECT_TRUE(HostStarts()[1].args.empty());  // the previous version, without --updated
}

INSTANTIATE_TEST_SUITE_P(NeverOrTooLate, UpdaterE2ELateHost, ::testing::Values("-1", "21000"));

TEST_F(UpdaterE2E, ReconcileAfterARunKilledMidSwap) {
  // The third entry cannot be moved (a file is in the way of its folder), so the run retries
  // it for seconds with the first two files already swapped: it is killed there.
  WriteFile(install() / "blocker", "a file");
  const std::string digest = WriteUpdate({{"Tallowmarch.exe", NewProgram(), 0100755},
                                          {"lib/engine.so", "new engine"},
                                          {"added.txt", "added"},
                                          {"blocker/x", "never"}});
  const auto before = Snapshot(install());
  ChildProcess run = Start(ApplyArgs(digest), {{"TM_TEST_TIME_DIVISOR", "1"}});
  ASSERT_TRUE(WaitFor(
      [&] {
        return fs::exists(install() / "added.txt") && fs::exists(install() / ".update-in-progress");
      },
      20s));
  KillAndReap(run);
  EXPECT_EQ(ReadFile(install() / "Tallowmarch.exe"), NewProgram());
  EXPECT_EQ(Run(ApplyArgs(digest)), 4);  // the marker stops every later apply

  fs::create_directories(install() / "x.old");  // a folder is not a backup
  EXPECT_EQ(Run({"--reconcile", "--target", install().string(), "--relaunch", "Tallowmarch.exe",
                 "--log", (dir_ / "log.txt").string()}),
            0);
  // The marker's journal names the added file and the backups: the folder is the old one.
  auto expected = before;
  expected["x.old/"] = "";
  EXPECT_EQ(Snapshot(install()), expected);
  const std::vector<std::string> messages = LogMessages();
  EXPECT_EQ(std::vector<std::string>(messages.end() - 2, messages.end()),
            (std::vector<std::string>{"reconcile: rolling an interrupted update back to the "
                                      "previous version in " +
                                          install().string(),
                                      "reconcile: done"}));
  ASSERT_TRUE(WaitFor([&] { return HostStarts().size() == 1; }, 10s));
  EXPECT_TRUE(HostStarts()[0].args.empty());
}

TEST_F(UpdaterE2E, ReconcileWithoutTheHostProgramChangesNothing) {
  fs::remove(install() / "Tallowmarch.exe");
  WriteFile(install() / "config.txt.old", "backup");
  const auto before = Snapshot(install());
  EXPECT_EQ(
      Run({"--reconcile", "--target", install().string(), "--log", (dir_ / "log.txt").string()}),
      3);
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"reconcile: --target has no Tallowmarch.exe"});
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, SelfTest) {
  const std::string digest = WriteUpdate(StandardItems());
  const auto before = Snapshot(install());
  const std::vector<std::string> base = {"--selftest",
                                         "--zip",
                                         (dir_ / "u.zip").string(),
                                         "--sig",
                                         (dir_ / "u.sig").string(),
                                         "--log",
                                         (dir_ / "log.txt").string()};
  std::vector<std::string> args = base;
  args.insert(args.end(),
              {"--expected-sha256", digest, "--reconcile", "--target", install().string()});
  EXPECT_EQ(Run(args), 0);
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{"staged zip verified: sha256=" + digest,
                                                     "selftest verify result: OK"}));
  fs::remove(dir_ / "log.txt");
  args = base;
  args.insert(args.end(), {"--expected-sha256", std::string(64, 'f')});
  EXPECT_EQ(Run(args), 1);
  EXPECT_EQ(LogMessages().back(), "selftest verify result: REJECTED");
  fs::remove(dir_ / "log.txt");
  EXPECT_EQ(Run(base), 2);
  EXPECT_EQ(LogMessages(),
            std::vector<std::string>{"selftest needs --zip --sig --expected-sha256"});
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, OnlyTheTestBuildTrustsTheTestKey) {
  const std::string digest = WriteUpdate(StandardItems());
  const auto before = Snapshot(install());
  const std::vector<std::string> selftest = {"--selftest",
                                             "--zip",
                                             (dir_ / "u.zip").string(),
                                             "--sig",
                                             (dir_ / "u.sig").string(),
                                             "--expected-sha256",
                                             digest,
                                             "--log",
                                             (dir_ / "log.txt").string()};
  EXPECT_EQ(Run(selftest), 0);
  fs::remove(dir_ / "log.txt");
  ChildProcess product = Start(selftest, {}, TALLOWMARCH_PRODUCT_UPDATER);
  EXPECT_EQ(WaitExit(product, 30s), 1);
  if (!TALLOWMARCH_PRODUCT_HAS_KEY) {
    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{
                  "no update-signing key was configured for this build: it accepts no update",
                  "staged zip failed signature verification (result 4)",
                  "selftest verify result: REJECTED"}));
  }
  product = Start(ApplyArgs(digest), {}, TALLOWMARCH_PRODUCT_UPDATER);
  EXPECT_EQ(WaitExit(product, 30s), 7);
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, ClosedStandardErrorDoesNotStopTheRun) {
  // Standard error is a pipe whose reader has gone: every line written there fails (EPIPE).
  int pipeEnds[2];
  ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
  close(pipeEnds[0]);
  const std::string digest = WriteUpdate(StandardItems());
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--relaunch", "Tallowmarch.exe"});
  ChildProcess run = Start(args, {}, TALLOWMARCH_UPDATER, pipeEnds[1]);
  close(pipeEnds[1]);
  ASSERT_EQ(WaitExit(run, 60s), 0);
  EXPECT_EQ(ReadFile(install() / "config.txt"), "new config");
  EXPECT_EQ(LogMessages().back(), "update applied successfully");
  // The host it started has SIGPIPE at its default again, and nothing blocked.
  ASSERT_TRUE(WaitFor([&] { return HostStarts().size() == 1; }, 10s));
  std::ifstream status("/proc/" + std::to_string(HostStarts()[0].pid) + "/status");
  std::string line;
  std::map<std::string, std::string> fields;
  while (std::getline(status, line)) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos) fields[line.substr(0, colon)] = line.substr(colon + 2);
  }
  ASSERT_TRUE(fields.count("SigIgn"));
  EXPECT_EQ(std::stoull(fields["SigIgn"], nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u);
  EXPECT_EQ(std::stoull(fields["SigBlk"], nullptr, 16), 0u);
}

TEST_F(UpdaterE2E, SecondUpdaterFindsTheMarkerOnceItHoldsTheMutex) {
  const std::string digest = WriteUpdate(StandardItems());
  ChildProcess host = Spawn({"/bin/sleep", "100"}, {}, dir_ / "sleep.txt");
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--wait-pid", std::to_string(host.pid)});
  ChildProcess second = Start(args, {{"TM_TEST_TIME_DIVISOR", "1"}});
  ASSERT_TRUE(WaitsForAProcess(second));
  // Meanwhile a first updater got as far as its marker and its backups, and died.
  WriteFile(install() / ".update-in-progress", "tallowmarch update in progress; expected-sha256=");
  WriteFile(install() / "config.txt.old", "old config");
  WriteFile(install() / "config.txt", "half-swapped config");
  const auto before = Snapshot(install());
  KillAndReap(host);
  EXPECT_EQ(WaitExit(second, 30s), 4);
  EXPECT_TRUE(Logged("refusing: a prior update marker is present; let the app reconcile first"));
  ExpectUnchanged(before);
}

TEST_F(UpdaterE2E, FifosAreRefusedWithoutBlocking) {
  const std::string digest = WriteUpdate(StandardItems());
  const auto before = Snapshot(install());
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0644), 0);
  std::vector<std::string> args = ApplyArgs(digest);
  args[1] = (dir_ / "fifo").string();  // --zip
  EXPECT_EQ(Run(args, {}, 20s), 7);
  EXPECT_TRUE(Logged("cannot read staged zip: " + (dir_ / "fifo").string()));
  args = ApplyArgs(digest);
  args[3] = (dir_ / "fifo").string();  // --sig
  EXPECT_EQ(Run(args, {}, 20s), 7);
  EXPECT_TRUE(Logged("signature sidecar missing or not 64 bytes: " + (dir_ / "fifo").string()));
  ExpectUnchanged(before);

  // A FIFO in the place of a file the update replaces cannot be backed up.
  fs::remove(install() / "config.txt");
  ASSERT_EQ(mkfifo((install() / "config.txt").c_str(), 0644), 0);
  const auto withFifo = Snapshot(install());
  EXPECT_EQ(Run(ApplyArgs(digest), {}, 20s), 10);
  EXPECT_TRUE(Logged("backup copy failed for " + (install() / "config.txt").string()));
  EXPECT_EQ(Snapshot(install()), withFifo);

  // A FIFO as the log is not opened; the run goes on with standard error alone.
  fs::remove(install() / "config.txt");
  WriteFile(install() / "config.txt", "old config");
  args = ApplyArgs(digest);
  args.back() = (dir_ / "fifo").string();  // --log
  EXPECT_EQ(Run(args, {}, 20s), 0);
  EXPECT_EQ(Messages(Stderr()).back(), "update applied successfully");
}

TEST_F(UpdaterE2E, ReadOnlyTargetEndsWith11AndStaysAsItWas) {
  std::vector<ZipItem> items = StandardItems();
  const std::string digest = WriteUpdate(items);
  fs::permissions(install() / "lib/engine.so",
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const auto before = Snapshot(install());
  EXPECT_EQ(Run(ApplyArgs(digest)), 11);
  EXPECT_TRUE(Logged("replace failed for " + (install() / "lib/engine.so").string() +
                     " (err 5 - install dir is read-only)"));
  ExpectUnchanged(before);
  EXPECT_EQ(fs::status(install() / "lib/engine.so").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(UpdaterE2E, ArgumentThatIsNotUtf8IsAUsageError) {
  const std::string digest = WriteUpdate(StandardItems());
  const auto before = Snapshot(install());
  std::vector<std::string> args = ApplyArgs(digest);
  args.back() = (dir_ / "log\xff.txt").string();
  EXPECT_EQ(Run(args), 2);
  const std::vector<std::string> messages = Messages(Stderr());
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2], "argument 10 is not UTF-8");
  EXPECT_EQ(messages.back().rfind("usage: tallowmarch_updater --zip PATH", 0), 0u);
  ExpectUnchanged(before);
  EXPECT_FALSE(fs::exists(dir_ / "log\xff.txt"));
  EXPECT_FALSE(fs::exists(dir_ / "log\xef\xbf\xbd.txt"));  // the path with U+FFFD in its place
}

// An apply of a few hundred files killed with SIGKILL at moments spread over the whole run
// (start, staging, marker, backups, swap, commit, relaunch and its ready wait, deletion of the
// backups, the end), each followed by a reconcile: the folder is then byte for byte the old
// version or the new one, with nothing of the updater's own left in it.
class UpdaterCrash : public UpdaterE2E {
 protected:
  // In memory where there is a tmpfs: the kills test the order of the steps, not the disk, and
  // the test keeps to its time.
  UpdaterCrash()
      : UpdaterE2E(fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path()) {}
  static constexpr int kReplaced = 240;
  static constexpr int kAdded = 59;
  static constexpr int kKills = 36;

  static std::string Name(int i) {
    return "dir" + std::to_string(i % 8) + "/file" + std::to_string(i) + ".bin";
  }
  static std::string Content(const char* version, int i) {
    // 100 B to about 12 kB, so that copies and moves take unequal times.
    return std::string(version) + " " + std::to_string(i) +
           std::string(100 + static_cast<size_t>(i % 16) * 800, static_cast<char>('a' + i % 26));
  }
  void PopulateOld() {
    fs::remove_all(install());
    PopulateInstall(install());
    for (int i = 0; i < kReplaced; ++i) WriteFile(install() / Name(i), Content("old", i));
  }
  std::vector<ZipItem> Items() const {
    std::vector<ZipItem> items{{"Tallowmarch.exe", NewProgram(), 0100755}};
    for (int i = 0; i < kReplaced; ++i) items.push_back({Name(i), Content("new", i)});
    // New files, some in folders the old version lacks.
    for (int i = 0; i < kAdded; ++i) {
      const std::string folder = i % 2 == 0 ? "added/deep/er/" : "";
      items.push_back({folder + "new" + std::to_string(i) + ".bin", Content("added", i)});
    }
    return items;
  }
};

TEST_F(UpdaterCrash, KilledAtAnyMomentReconcilesToOneWholeVersion) {
  const std::string digest = WriteUpdate(Items());
  std::vector<std::string> args = ApplyArgs(digest);
  args.insert(args.end(), {"--relaunch", "Tallowmarch.exe", "--ready-event", "CrashReady"});
  // The host signals soon and lives briefly, so that a host left by a killed run lets the
  // reconcile take the mutex.
  const std::map<std::string, std::string> hostTimes = {{"TM_TEST_HOST_READY_DELAY_MS", "0"},
                                                        {"TM_TEST_HOST_LIFETIME_MS", "1200"}};
  const std::vector<std::string> reconcile = {"--reconcile", "--target", install().string(),
                                              "--log", (dir_ / "log.txt").string()};
  auto killHosts = [&] {
    for (const HostStart& start : HostStarts()) kill(start.pid, SIGKILL);
    fs::remove(dir_ / "report.txt");
  };

  // The two versions, and how long a whole run takes here.
  PopulateOld();
  const auto oldVersion = Snapshot(install());
  // The reference run is watched for the window of the backups and the swap (the marker is
  // there and the staging folder still is), which is short beside the rest here.
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  ChildProcess reference = Start(args, hostTimes);
  // So is the time from the host's start (its report) to the end: the ready wait and the
  // deletion of the backups.
  Clock::duration swapFrom{};
  Clock::duration swapTo{};
  Clock::duration hostFrom{};
  int status = 0;
  while (waitpid(reference.pid, &status, WNOHANG) == 0) {
    const bool marker = fs::exists(install() / ".update-in-progress");
    const bool staging = fs::exists(install() / "pending");
    if (marker && staging && swapFrom == Clock::duration{}) swapFrom = Clock::now() - started;
    if (marker && !staging && swapTo == Clock::duration{}) swapTo = Clock::now() - started;
    if (hostFrom == Clock::duration{} && fs::exists(dir_ / "report.txt")) {
      hostFrom = Clock::now() - started;
    }
    std::this_thread::sleep_for(100us);
  }
  const auto whole = Clock::now() - started;
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Log();
  ASSERT_GT(swapTo, swapFrom);
  ASSERT_GT(hostFrom, swapTo);
  const auto newVersion = Snapshot(install());
  ASSERT_EQ(ReadFile(install() / "added/deep/er/new0.bin"), Content("added", 0));
  killHosts();

  int sawOld = 0;
  int sawNew = 0;
  std::map<std::string, int> stages;
  bool isOld = false;
  for (int k = 0; k < kKills; ++k) {
    if (!isOld) PopulateOld();
    // From the start to a little past the usual end, denser early: the ready wait at the end
    // is long beside the stages before it.
    // A third of the kills over the whole run and a little past its usual end; a third in
    // the window of the backups and the swap, timed from the marker's appearance in this run;
    // a third from the host's start to the end.
    const double share = (k / 3 + 0.5) / (kKills / 3);
    auto waitForFile = [&](const fs::path& path) {
      const auto deadline = Clock::now() + 10s;
      while (!fs::exists(path) && Clock::now() < deadline) std::this_thread::sleep_for(100us);
    };
    ChildProcess run = Start(args, hostTimes);
    if (k % 3 == 0) {
      std::this_thread::sleep_for(whole * share * 1.1);
    } else if (k % 3 == 1) {
      waitForFile(install() / ".update-in-progress");
      std::this_thread::sleep_for((swapTo - swapFrom) * share);
    } else {
      waitForFile(dir_ / "report.txt");
      std::this_thread::sleep_for((whole - hostFrom) * share);
    }
    KillAndReap(run);
    // Where the kill came, for the summary below.
    const std::string marker = fs::exists(install() / ".update-in-progress")
                                   ? ReadFile(install() / ".update-in-progress")
                                   : std::string();
    const bool hostStarted = !HostStarts().empty();
    ++stages[marker.find("state committed") != std::string::npos
                 ? (hostStarted ? "committed, host started" : "committed")
             : marker.find("state swapping") != std::string::npos ? "swapping"
             : fs::exists(install() / "pending")                  ? "staging, no marker"
             : fs::exists(install() / "Tallowmarch.exe.old")      ? "backups, no marker"
                                                                  : "no marker"];
    killHosts();
    ASSERT_EQ(Run(reconcile), 0) << "kill " << k;
    const auto after = Snapshot(install());
    isOld = after == oldVersion;
    if (isOld) {
      ++sawOld;
    } else {
      // Named, not dumped: the contents are large.
      std::string differences;
      for (const auto& [name, content] : after) {
        const auto it = newVersion.find(name);
        if (it == newVersion.end() || it->second != content) differences += " " + name;
      }
      for (const auto& [name, content] : newVersion) {
        if (after.count(name) == 0) differences += " -" + name;
      }
      ASSERT_TRUE(differences.empty())
          << "kill " << k << " (share " << share << "): neither version; differs from the new"
          << differences.substr(0, 2000);
      ++sawNew;
    }
  }
  std::printf("whole run %.2f s; %d kills ended in the old version, %d in the new; killed:",
              std::chrono::duration<double>(whole).count(), sawOld, sawNew);
  for (const auto& [stage, count] : stages) std::printf(" %s %d;", stage.c_str(), count);
  std::printf("\n");
}

}  // namespace
}  // namespace tallowmarch::test
