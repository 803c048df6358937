#include "reconcile_selftest.h"

#include "apply_update.h"
#include "common/wide_text.h"
#include "long_path_files.h"
#include "relaunch.h"
#include "system/os_layers.h"

namespace tallowmarch::updater {
namespace {

constexpr wchar_t kNoHost[] = L"reconcile: --target has no %ls";
constexpr wchar_t kRollingBack[] =
    L"reconcile: rolling an interrupted update back to the previous version in %ls";
constexpr wchar_t kCouldNotRestore[] = L"reconcile: could not restore %ls (err %lu)";
constexpr wchar_t kDone[] = L"reconcile: done";
constexpr wchar_t kSelfTestNeeds[] = L"selftest needs --zip --sig --expected-sha256";
constexpr wchar_t kSelfTestResult[] = L"selftest verify result: %ls";

bool EndsWithOld(const std::wstring& name) {
  return name.size() >= 4 && name.compare(name.size() - 4, 4, L".old") == 0;
}

// Every ".old" file of the install folder and of its subfolders (the apply makes backups next
// to the files it replaces, wherever they lie), collected before anything moves. The staging
// folder is skipped, and links are never followed: the walk stays inside the tree.
void CollectBackups(const std::wstring& folder, const std::wstring& stagingDir,
                    std::vector<std::wstring>& backups) {
  std::vector<platform::DirectoryEntry> entries;
  std::uint32_t error = 0;
  if (!platform::Files().ListDirectory(NativePath(folder), entries, error)) return;
  std::vector<std::wstring> subfolders;
  for (const platform::DirectoryEntry& entry : entries) {
    const std::wstring name = Widen(entry.name);
    const std::wstring path = JoinPath(folder, name);
    if (entry.kind == platform::FileKind::kDirectory) {
      if (path != stagingDir) subfolders.push_back(path);
    } else if (EndsWithOld(name)) {
      backups.push_back(path);
    }
  }
  for (const std::wstring& subfolder : subfolders) CollectBackups(subfolder, stagingDir, backups);
}

}  // namespace

int ReconcileInterruptedUpdate(const UpdaterOptions& options) {
  const std::wstring installDir = FullPath(options.targetDir);
  if (!FileExists(JoinPath(installDir, kHostProgram))) {
    LogLine(kNoHost, kHostProgram);
    return kExitNoHostProgram;
  }
  LogLine(kRollingBack, installDir.c_str());
  if (options.hasWaitPid) {
    platform::Processes().WaitForExit(options.waitPid, kWaitPidTimeoutMs);  // outcome ignored
  }
  bool timedOut = false;
  std::unique_ptr<platform::NamedMutex> mutex = AcquireInstanceMutex(options.mutexName, timedOut);
  if (timedOut) return kExitMutexTimeout;

  const std::wstring stagingDir = JoinPath(installDir, kStagingName);
  std::vector<std::wstring> backups;
  CollectBackups(installDir, stagingDir, backups);
  for (const std::wstring& backup : backups) {
    const std::wstring restored = backup.substr(0, backup.size() - 4);
    std::uint32_t error = 0;
    if (!MoveWithRetry(backup, restored, error)) {
      LogLine(kCouldNotRestore, restored.c_str(), static_cast<unsigned long>(error));
    }
  }
  RemoveTree(stagingDir);
  DeleteFileForce(JoinPath(installDir, kMarkerName));
  ReleaseInstanceMutex(mutex);
  if (!options.relaunchExe.empty()) RelaunchApp(installDir, options.relaunchExe, L"");
  LogLine(kDone);
  return kExitSuccess;
}

int RunSelfTest(const UpdaterOptions& options) {
  if (options.zipPath.empty() || options.sigPath.empty() || options.expectedSha256.empty()) {
    LogLine(kSelfTestNeeds);
    return kExitBadCommandLine;
  }
  std::vector<std::uint8_t> zip;
  const bool accepted = VerifyStagedZip(options, zip);
  LogLine(kSelfTestResult, accepted ? L"OK" : L"REJECTED");
  return accepted ? kExitSuccess : kExitSelfTestRejected;
}

}  // namespace tallowmarch::updater
