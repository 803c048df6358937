// The apply, its retries and its rollback, run in this process on real folders over the
// simulated layers: file faults are injected, sleeps are recorded instead of slept and the
// long waits are cut short.
#include "apply_update.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "common/wide_text.h"
#include "reconcile_selftest.h"
#include "relaunch.h"
#include "sim_os_scope.h"
#include "system/linux_named_objects.h"
#include "updater_test_support.h"

namespace tallowmarch::updater {
namespace {

namespace fs = std::filesystem;
using platform::FileOp;
using test::Bytes;

constexpr std::uint32_t kSharingViolation = platform::kErrorSharingViolation;
constexpr std::uint32_t kAccessDenied = platform::kErrorAccessDenied;

class ApplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    State() = UpdaterState{};
    test::WriteFile(install() / "Tallowmarch.exe", "old program");
    test::WriteFile(install() / "a.txt", "old a");
    test::WriteFile(install() / "b.txt", "old b");
    test::WriteFile(install() / "c.txt", "old c");
    OpenLogFile(W(dir_ / "log.txt"));
  }
  void TearDown() override {
    CloseLogFile();
    State() = UpdaterState{};
  }

  fs::path install() const { return dir_ / "install"; }
  std::wstring W(const fs::path& path) const { return Widen(path.string()); }
  std::string Log() const { return test::ReadFile(dir_ / "log.txt"); }
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

  // Writes a signed archive and points the options at it and at the install folder.
  void Prepare(const std::vector<test::ZipItem>& items) {
    const Bytes zip = test::MakeZip(items);
    test::WriteBytes(dir_ / "u.zip", zip);
    test::WriteBytes(dir_ / "u.sig", test::SignWithTestKey(zip));
    options_.zipPath = W(dir_ / "u.zip");
    options_.sigPath = W(dir_ / "u.sig");
    options_.expectedSha256 = Widen(test::Sha256Hex(zip));
    options_.targetDir = W(install());
  }
  void PrepareStandard() {
    Prepare({{"a.txt", "new a"}, {"b.txt", "new b"}, {"c.txt", "new c"}, {"d/e.txt", "new e"}});
  }
  void ExpectUntouched(const std::map<std::string, std::string>& before) {
    EXPECT_EQ(test::Snapshot(install()), before);
  }

  test::TempDir dir_;
  test::SimOsScope sim_{dir_ / "run"};
  UpdaterOptions options_;
};

TEST_F(ApplyTest, CopyRetriesFiveTimesWithGrowingSleeps) {
  const std::wstring from = W(install() / "a.txt");
  const std::wstring to = W(install() / "a.txt.old");
  sim_.files.InjectFailure(FileOp::kCopy, "", kSharingViolation);
  EXPECT_FALSE(CopyWithRetry(from, to));
  EXPECT_EQ(sim_.files.Calls(FileOp::kCopy), 5);
  EXPECT_EQ(sim_.processes.Sleeps(), (std::vector<std::uint32_t>{150, 300, 450, 600, 750}));

  sim_.files.Reset();
  sim_.processes.Reset();
  sim_.files.InjectFailure(FileOp::kCopy, "", kAccessDenied);
  EXPECT_FALSE(CopyWithRetry(from, to));
  EXPECT_EQ(sim_.files.Calls(FileOp::kCopy), 1);
  EXPECT_TRUE(sim_.processes.Sleeps().empty());

  sim_.files.Reset();
  sim_.processes.Reset();
  sim_.files.InjectFailure(FileOp::kCopy, "", kSharingViolation, 2);
  EXPECT_TRUE(CopyWithRetry(from, to));
  EXPECT_EQ(sim_.processes.Sleeps(), (std::vector<std::uint32_t>{150, 300}));
  EXPECT_EQ(test::ReadFile(install() / "a.txt.old"), "old a");
}

TEST_F(ApplyTest, MoveRetriesSixTimesAndReportsTheLastError) {
  const std::wstring from = W(install() / "a.txt");
  const std::wstring to = W(install() / "moved.txt");
  std::uint32_t error = 0;
  sim_.files.InjectFailure(FileOp::kMove, "", kSharingViolation);
  EXPECT_FALSE(MoveWithRetry(from, to, error));
  EXPECT_EQ(error, kSharingViolation);
  EXPECT_EQ(sim_.files.Calls(FileOp::kMove), 6);
  EXPECT_EQ(sim_.processes.Sleeps(), (std::vector<std::uint32_t>{200, 400, 600, 800, 1000, 1200}));

  sim_.files.Reset();
  sim_.processes.Reset();
  sim_.files.InjectFailure(FileOp::kMove, "", kAccessDenied);
  EXPECT_FALSE(MoveWithRetry(from, to, error));
  EXPECT_EQ(error, kAccessDenied);
  EXPECT_EQ(sim_.files.Calls(FileOp::kMove), 1);
  EXPECT_TRUE(sim_.processes.Sleeps().empty());

  sim_.files.Reset();
  EXPECT_TRUE(MoveWithRetry(from, to, error));
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(test::ReadFile(install() / "moved.txt"), "old a");
}

TEST_F(ApplyTest, FreeSpaceMustCoverTheBackupsPlus64MiB) {
  PrepareStandard();
  const std::uint64_t existing = 3 * 5;  // "old a", "old b", "old c"
  const auto before = test::Snapshot(install());
  sim_.files.SetFreeSpace(existing + kBackupHeadroomBytes - 1);
  EXPECT_EQ(ApplyUpdate(options_), kExitNoDiskForBackups);
  EXPECT_TRUE(Logged("updater: not enough disk for backups\r\n"));
  ExpectUntouched(before);

  sim_.files.SetFreeSpace(existing + kBackupHeadroomBytes);
  EXPECT_EQ(ApplyUpdate(options_), kExitSuccess);
  EXPECT_EQ(test::ReadFile(install() / "d/e.txt"), "new e");
}

TEST_F(ApplyTest, BackupFailureOfTheThirdFileRestoresTheFirstTwo) {
  PrepareStandard();
  const auto before = test::Snapshot(install());
  sim_.files.InjectFailure(FileOp::kCopy, (install() / "c.txt").string(), kAccessDenied);
  EXPECT_EQ(ApplyUpdate(options_), kExitBackupFailed);
  EXPECT_TRUE(Logged("updater: backup copy failed for " + (install() / "c.txt").string() + "\r\n"));
  EXPECT_TRUE(Logged("updater: rolling back swap\r\n"));
  ExpectUntouched(before);  // no backups, no marker, no staging folder, no new folder
}

TEST_F(ApplyTest, SwapFailuresRollBackEveryByteAndTheNewFolders) {
  PrepareStandard();
  const auto before = test::Snapshot(install());
  // The last entry's move is denied: a, b and c were already swapped, d/ was created.
  sim_.files.InjectFailure(FileOp::kMove, (install() / "pending/d/e.txt").string(), kAccessDenied);
  EXPECT_EQ(ApplyUpdate(options_), kExitReplaceAccessDenied);
  EXPECT_TRUE(Logged("updater: replace failed for " + (install() / "d/e.txt").string() +
                     " (err 5 - install dir is read-only)\r\n"));
  ExpectUntouched(before);
  EXPECT_TRUE(sim_.processes.Sleeps().empty());

  sim_.files.Reset();
  sim_.files.InjectFailure(FileOp::kMove, (install() / "pending/b.txt").string(),
                           kSharingViolation);
  EXPECT_EQ(ApplyUpdate(options_), kExitReplaceFailed);
  EXPECT_TRUE(
      Logged("updater: replace failed for " + (install() / "b.txt").string() + " (err 32)\r\n"));
  EXPECT_EQ(sim_.processes.Sleeps().size(), 6u);
  ExpectUntouched(before);
}

TEST_F(ApplyTest, RollbackReportsWhatItCouldNotRestoreAndGoesOn) {
  PrepareStandard();
  sim_.files.InjectFailure(FileOp::kMove, (install() / "pending/c.txt").string(), kAccessDenied);
  sim_.files.InjectFailure(FileOp::kMove, (install() / "b.txt.old").string(), kAccessDenied);
  EXPECT_EQ(ApplyUpdate(options_), kExitRollbackIncomplete);
  EXPECT_TRUE(Logged("updater: rollback: could not restore " + (install() / "b.txt").string() +
                     " (err 5)\r\n"));
  EXPECT_EQ(test::ReadFile(install() / "a.txt"), "old a");  // restored after the failed one
  EXPECT_EQ(test::ReadFile(install() / "b.txt"), "new b");
  EXPECT_EQ(test::ReadFile(install() / "b.txt.old"), "old b");  // the backup stays
  // and so does the marker, so that the host's reconcile finishes the rollback
  sim_.files.Reset();
  EXPECT_EQ(ReconcileInterruptedUpdate(options_), kExitSuccess);
  EXPECT_EQ(test::ReadFile(install() / "b.txt"), "old b");
  EXPECT_FALSE(fs::exists(install() / ".update-in-progress"));
}

TEST_F(ApplyTest, LongWaitsUseTheirTimeOuts) {
  PrepareStandard();
  const auto before = test::Snapshot(install());
  sim_.processes.SetWaitCap(50);
  sim_.namedObjects.SetWaitCap(50);

  // A host that does not exit.
  test::ChildProcess sleeper = test::Spawn({"/bin/sleep", "30"}, {}, dir_ / "sleep.txt");
  options_.waitPid = sleeper.pid;
  options_.hasWaitPid = true;
  EXPECT_EQ(ApplyUpdate(options_), kExitWaitPidTimeout);
  EXPECT_TRUE(Logged("updater: timed out waiting for app pid " + std::to_string(sleeper.pid) +
                     " to exit\r\n"));
  EXPECT_EQ(sim_.processes.WaitTimeouts(), std::vector<std::uint32_t>{60000});
  test::KillAndReap(sleeper);

  // A host that keeps the single-instance mutex.
  options_.hasWaitPid = false;
  platform::LinuxNamedObjectLayer real;
  std::uint32_t error = 0;
  auto held = real.CreateMutex(Narrow(options_.mutexName), error);
  ASSERT_TRUE(held);
  ASSERT_EQ(held->Wait(0), platform::ObjectWait::kSignaled);
  EXPECT_EQ(ApplyUpdate(options_), kExitMutexTimeout);
  EXPECT_TRUE(Logged("updater: timed out acquiring single-instance mutex\r\n"));
  EXPECT_EQ(sim_.namedObjects.WaitTimeouts(), std::vector<std::uint32_t>{30000});
  ExpectUntouched(before);
  // Reconcile gives up the same way.
  options_.reconcile = true;
  const size_t first = Log().find("updater: timed out acquiring single-instance mutex\r\n");
  EXPECT_EQ(ReconcileInterruptedUpdate(options_), kExitMutexTimeout);
  EXPECT_NE(Log().rfind("updater: timed out acquiring single-instance mutex\r\n"), first);
  EXPECT_FALSE(Logged("reconcile: done"));
  held->Release();

  // A mutex that cannot be created (a name too long for a file name) is no reason to go on.
  options_.mutexName = std::wstring(300, L'm');
  EXPECT_EQ(ApplyUpdate(options_), kExitMutexTimeout);
  EXPECT_TRUE(Logged("updater: cannot create single-instance mutex " + std::string(300, 'm') +
                     " (err 123)\r\n"));
  ExpectUntouched(before);
}

TEST_F(ApplyTest, StagedFilesAndBackupsAreFlushedBeforeTheSwap) {
  PrepareStandard();
  const auto before = test::Snapshot(install());
  sim_.files.InjectFailure(FileOp::kSyncVolume, "", platform::kErrorGenFailure, 1);
  EXPECT_EQ(ApplyUpdate(options_), kExitStagingFailed);
  EXPECT_TRUE(Logged("updater: could not write staged file " + (install() / "pending").string()));
  ExpectUntouched(before);

  // The flush of the install folder after the backups fails: nothing is swapped.
  sim_.files.Reset();
  sim_.files.InjectFailure(FileOp::kSyncVolume, install().string(), platform::kErrorGenFailure);
  EXPECT_EQ(ApplyUpdate(options_), kExitBackupFailed);
  EXPECT_TRUE(Logged("updater: backup copy failed for " + (install() / "c.txt").string()));
  ExpectUntouched(before);

  sim_.files.Reset();
  EXPECT_EQ(ApplyUpdate(options_), kExitSuccess);
  EXPECT_EQ(sim_.files.Calls(FileOp::kSyncVolume), 2);
}

TEST_F(ApplyTest, SuccessDeletesOnlyTheUpdatersOwnBackups) {
  PrepareStandard();
  test::WriteFile(install() / "d/e.txt.old", "a user's file beside a new one");
  EXPECT_EQ(ApplyUpdate(options_), kExitSuccess);
  EXPECT_EQ(test::ReadFile(install() / "d/e.txt.old"), "a user's file beside a new one");
  EXPECT_FALSE(fs::exists(install() / "a.txt.old"));
  EXPECT_EQ(test::ReadFile(install() / "d/e.txt"), "new e");
}

TEST_F(ApplyTest, ZeroLengthEntryFailsThePostReplaceCheck) {
  Prepare({{"a.txt", "new a"}, {"b.txt", ""}});
  const auto before = test::Snapshot(install());
  EXPECT_EQ(ApplyUpdate(options_), kExitPostReplaceCheck);
  EXPECT_TRUE(Logged("updater: post-replace check failed for " + (install() / "b.txt").string()));
  ExpectUntouched(before);
}

TEST_F(ApplyTest, AnErrorIsNotAnAbsence) {
  PrepareStandard();
  const auto before = test::Snapshot(install());
  // The target's existence decides backup or not; a folder's, the containment check.
  for (const char* path : {"b.txt", "d"}) {
    sim_.files.Reset();
    sim_.files.InjectFailure(FileOp::kGetAttributes, (install() / path).string(),
                             platform::kErrorGenFailure);
    EXPECT_EQ(ApplyUpdate(options_), kExitStagingFailed);
    EXPECT_TRUE(Logged("updater: cannot read the attributes of " + (install() / path).string() +
                       " (err 31)\r\n"));
    ExpectUntouched(before);
  }
  // A backup that cannot be looked at is neither deleted in silence (the committed marker stays)
  // nor skipped by the reconcile of a journal that rolls back.
  sim_.files.Reset();
  sim_.files.InjectFailure(FileOp::kGetAttributes, (install() / "a.txt.old").string(), 31);
  EXPECT_EQ(ApplyUpdate(options_), kExitSuccess);
  EXPECT_TRUE(Logged("updater: could not remove " + (install() / "a.txt.old").string()));
  sim_.files.Reset();
  test::WriteFile(install() / ".update-in-progress",
                  std::string(kMarkerPrefix) + "\nstate swapping\nbackup a.txt\nend\n");
  sim_.files.InjectFailure(FileOp::kGetAttributes, (install() / "a.txt.old").string(), 31, 1);
  EXPECT_EQ(ReconcileInterruptedUpdate(options_), kExitSuccess);
  EXPECT_EQ(test::ReadFile(install() / "a.txt"), "old a");
}

TEST_F(ApplyTest, StaleStagingThatCannotBeClearedStopsTheRun) {
  PrepareStandard();
  test::WriteFile(dir_ / "outside.txt", "outside");
  fs::create_directories(install() / "pending");
  fs::create_symlink(dir_ / "outside.txt", install() / "pending/a.txt");
  const auto before = test::Snapshot(install());
  sim_.files.InjectFailure(FileOp::kDelete, (install() / "pending/a.txt").string(), kAccessDenied);
  EXPECT_EQ(ApplyUpdate(options_), kExitStagingFailed);
  EXPECT_TRUE(Logged("updater: could not remove " + (install() / "pending").string()));
  EXPECT_EQ(test::ReadFile(dir_ / "outside.txt"), "outside");
  ExpectUntouched(before);
}

TEST_F(ApplyTest, NoSwapWithoutTheMarker) {
  PrepareStandard();
  const auto before = test::Snapshot(install());
  sim_.files.InjectFailure(FileOp::kFlush, (install() / ".update-in-progress.new").string(),
                           platform::kErrorGenFailure);
  EXPECT_EQ(ApplyUpdate(options_), kExitBackupFailed);
  EXPECT_TRUE(Logged("updater: could not write the update marker " +
                     (install() / ".update-in-progress").string() + " (err 31)\r\n"));
  ExpectUntouched(before);
}

TEST_F(ApplyTest, LeftoversAreRemovedOrLoggedAndFinishedByAReconcile) {
  PrepareStandard();
  test::WriteFile(install() / ".tmcopy-0123456789ab", "an interrupted copy");
  sim_.files.InjectFailure(FileOp::kDelete, (install() / "a.txt.old").string(), kAccessDenied, 1);
  EXPECT_EQ(ApplyUpdate(options_), kExitSuccess);
  EXPECT_TRUE(
      Logged("updater: could not remove " + (install() / "a.txt.old").string() + " (err 5)\r\n"));
  EXPECT_FALSE(fs::exists(install() / ".tmcopy-0123456789ab"));
  // The committed marker stays, so that the reconcile deletes the backup instead of restoring it.
  EXPECT_EQ(ReconcileInterruptedUpdate(options_), kExitSuccess);
  EXPECT_EQ(test::ReadFile(install() / "a.txt"), "new a");
  EXPECT_FALSE(fs::exists(install() / "a.txt.old"));
  EXPECT_FALSE(fs::exists(install() / ".update-in-progress"));
}

TEST_F(ApplyTest, EveryNameWhoseBackupFitsCanBeUpdated) {
  const std::string longest(251, 'n');  // 255 bytes with ".old"
  test::WriteFile(install() / longest, "old");
  Prepare({{longest, "new"}});
  EXPECT_EQ(ApplyUpdate(options_), kExitSuccess);
  EXPECT_EQ(test::ReadFile(install() / longest), "new");
  Prepare({{longest + "n", "new"}});
  const auto before = test::Snapshot(install());
  EXPECT_EQ(ApplyUpdate(options_), kExitStagingFailed);
  EXPECT_TRUE(
      Logged("updater: rejected zip entry name too long for its backup: " + longest + "n\r\n"));
  ExpectUntouched(before);
}

TEST_F(ApplyTest, MarkerHoldsTheExpectedDigestByteForByte) {
  const std::wstring digest(64, L'A');
  WriteUpdateMarker(W(install()), digest);
  const std::string content = test::ReadFile(install() / ".update-in-progress");
  // The first line is the marker text; the journal of an empty list follows it.
  EXPECT_EQ(content.find('\n'), 112u);
  EXPECT_EQ(content, "tallowmarch update in progress; expected-sha256=" + std::string(64, 'A') +
                         "\nstate swapping\nend\n");
  EXPECT_FALSE(fs::exists(install() / ".update-in-progress.new"));
  RemoveUpdateMarker();
  EXPECT_FALSE(fs::exists(install() / ".update-in-progress"));
}

TEST_F(ApplyTest, VerificationAcceptsOnlyTheExactDigestAndSignature) {
  PrepareStandard();
  ByteBuffer zip;
  const std::string digest = Narrow(options_.expectedSha256);
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  options_.expectedSha256 = Widen(upper);
  EXPECT_TRUE(VerifyStagedZip(options_, zip));
  EXPECT_TRUE(Logged("updater: staged zip verified: sha256=" + digest + "\r\n"));

  for (const std::string& wrong : {digest.substr(0, 63), digest + "0", std::string()}) {
    options_.expectedSha256 = Widen(wrong);
    EXPECT_FALSE(VerifyStagedZip(options_, zip));
    EXPECT_TRUE(Logged("updater: expected-sha256 mismatch (want '" + wrong + "' got '" + digest +
                       "') - refusing (possible downgrade)\r\n"));
  }
  options_.expectedSha256 = Widen(digest);

  // Every wrong length up to past the 1024-byte read cap.
  const Bytes signature = test::SignWithTestKey(test::MakeZip({{"a.txt", "new a"}}));
  for (size_t size = 0; size <= 1030; ++size) {
    if (size == 64) continue;
    Bytes wrong = signature;
    wrong.resize(size, 0x5A);
    test::WriteBytes(dir_ / "bad.sig", wrong);
    options_.sigPath = W(dir_ / "bad.sig");
    EXPECT_FALSE(VerifyStagedZip(options_, zip));
    EXPECT_TRUE(Logged("updater: signature sidecar missing or not 64 bytes: " +
                       (dir_ / "bad.sig").string() + "\r\n"));
  }
  test::WriteBytes(dir_ / "other.sig", signature);  // a valid signature of another archive
  options_.sigPath = W(dir_ / "other.sig");
  EXPECT_FALSE(VerifyStagedZip(options_, zip));
  EXPECT_TRUE(Logged("updater: staged zip failed signature verification (result 4)\r\n"));

  test::WriteFile(dir_ / "empty.zip", "");
  options_.zipPath = W(dir_ / "empty.zip");
  EXPECT_FALSE(VerifyStagedZip(options_, zip));
  EXPECT_TRUE(Logged("updater: staged zip failed signature verification (result 3)\r\n"));

  options_.zipPath = L"relative/missing.zip";
  EXPECT_FALSE(VerifyStagedZip(options_, zip));
  EXPECT_TRUE(Logged("updater: cannot read staged zip: relative/missing.zip\r\n"));
}

TEST_F(ApplyTest, ReconcileRestoresEveryBackupAndGoesOnAfterAFailure) {
  // No marker: whatever backups lie there are restored all the same.
  test::WriteFile(install() / "gone.dll.old", "its file no longer exists");
  test::WriteFile(install() / "a.txt.old", "backup of a");
  test::WriteFile(install() / "lib/deep/x.so.old", "backup in a subfolder");
  test::WriteFile(install() / "b.txt.old", "cannot be moved back");
  test::WriteFile(install() / "pending/c.txt.old", "staging is removed, not searched");
  fs::create_directories(install() / "folder.old");
  sim_.files.InjectFailure(FileOp::kMove, (install() / "b.txt.old").string(), kAccessDenied);
  options_.targetDir = W(install());
  EXPECT_EQ(ReconcileInterruptedUpdate(options_), kExitSuccess);
  EXPECT_EQ(test::ReadFile(install() / "gone.dll"), "its file no longer exists");
  EXPECT_EQ(test::ReadFile(install() / "a.txt"), "backup of a");
  EXPECT_EQ(test::ReadFile(install() / "lib/deep/x.so"), "backup in a subfolder");
  EXPECT_EQ(test::ReadFile(install() / "b.txt"), "old b");
  EXPECT_TRUE(fs::exists(install() / "b.txt.old"));
  EXPECT_TRUE(Logged("updater: reconcile: could not restore " + (install() / "b.txt").string() +
                     " (err 5)\r\n"));
  EXPECT_FALSE(fs::exists(install() / "pending"));
  EXPECT_TRUE(fs::is_directory(install() / "folder.old"));
  EXPECT_TRUE(Logged("updater: reconcile: done\r\n"));
}

TEST_F(ApplyTest, RelaunchCommandLine) {
  EXPECT_EQ(RelaunchCommandLine(L"/apps/x/Tallowmarch.exe", L"R"),
            L"\"/apps/x/Tallowmarch.exe\" --updated \"R\"");
  EXPECT_EQ(RelaunchCommandLine(L"/apps/x/Tallowmarch.exe", L""), L"\"/apps/x/Tallowmarch.exe\"");
  // Neither path form starts a missing program: one line with the second error.
  EXPECT_FALSE(RelaunchApp(W(install()), L"missing.exe", L""));
  EXPECT_TRUE(Logged("updater: relaunch of " + (install() / "missing.exe").string() +
                     " failed (err 2)\r\n"));
}

}  // namespace
}  // namespace tallowmarch::updater
