#include "reconcile_selftest.h"

#include "apply_update.h"
#include "common/wide_text.h"
#include "long_path_files.h"
#include "relaunch.h"
#include "system/os_layers.h"
#include "zip_staging.h"

namespace tallowmarch::updater {
namespace {

constexpr wchar_t kNoHost[] = L"reconcile: --target has no %ls";
constexpr wchar_t kRollingBack[] =
    L"reconcile: rolling an interrupted update back to the previous version in %ls";
constexpr wchar_t kCouldNotRestore[] = L"reconcile: could not restore %ls (err %lu)";
constexpr wchar_t kDone[] = L"reconcile: done";
constexpr wchar_t kAnotherUpdate[] =
    L"reconcile: another update is running in %ls; nothing changed";
constexpr wchar_t kSelfTestNeeds[] = L"selftest needs --zip --sig --expected-sha256";
constexpr wchar_t kSelfTestResult[] = L"selftest verify result: %ls";

bool EndsWithOld(const std::wstring& name) {
  return name.size() >= 4 && name.compare(name.size() - 4, 4, L".old") == 0;
}

constexpr std::uint64_t kMaxMarkerBytes = 268435456;  // 256 MiB: 4096 entries of long paths

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

// The journal of the marker: its state and its change lines, in the order the apply made them.
struct Journal {
  bool committed = false;
  std::vector<std::pair<std::string, std::wstring>> changes;  // kind and full path
};

// False for a marker without a whole journal (an older updater's marker, or none): reconcile
// then restores every backup it finds. A line whose path would leave the install folder is
// dropped.
bool ReadJournal(const std::wstring& installDir, Journal& journal) {
  ByteBuffer bytes;
  if (!ReadFileCapped(JoinPath(installDir, kMarkerName), bytes, kMaxMarkerBytes)) return false;
  const std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;  // every line of a whole journal ends
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (lines.size() < 3 || lines[0].rfind(kMarkerPrefix, 0) != 0 || lines.back() != kJournalEnd) {
    return false;
  }
  if (lines[1] == kJournalCommitted) {
    journal.committed = true;
  } else if (lines[1] != kJournalSwapping) {
    return false;
  }
  for (size_t i = 2; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    for (const char* kind : {kJournalBackup, kJournalAdded, kJournalFolder}) {
      const std::string prefix = kind;
      if (line.rfind(prefix, 0) != 0) continue;
      const std::string relative = line.substr(prefix.size());
      std::wstring full;
      bool inside = false;
      if (ResolveStagedPath(relative, installDir, full) &&
          TargetStaysInside(installDir, full.substr(JoinPath(installDir, L"").size()), inside) &&
          inside) {
        journal.changes.emplace_back(prefix, full);
      }
      break;
    }
  }
  return true;
}

void RestoreOrLog(const std::wstring& backup, const std::wstring& target) {
  std::uint32_t error = 0;
  if (!RestoreBackup(backup, target, error)) {
    LogLine(kCouldNotRestore, target.c_str(), static_cast<unsigned long>(error));
  }
}

// Undoes the journalled changes, last first: backups move back over their targets, added files
// go, created folders go when empty.
void RollBackJournal(const Journal& journal) {
  for (auto it = journal.changes.rbegin(); it != journal.changes.rend(); ++it) {
    const auto& [kind, path] = *it;
    if (kind == kJournalBackup) {
      platform::FileAttributes attributes;
      bool exists = false;
      std::uint32_t error = 0;
      // A backup that cannot be looked at may be there: the restore is tried (and logged).
      if (!ProbePath(path + L".old", attributes, exists, error) || exists) {
        RestoreOrLog(path + L".old", path);
      }
    } else if (kind == kJournalAdded) {
      DeleteOrLog(path);
    } else {
      std::uint32_t error = 0;
      platform::Files().RemoveDirectory(NativePath(path), error);  // only when empty
    }
  }
}

}  // namespace

int ReconcileInterruptedUpdate(const UpdaterOptions& options) {
  const std::wstring installDir = FullPath(options.targetDir);
  if (!FileExists(JoinPath(installDir, kHostProgram))) {
    LogLine(kNoHost, kHostProgram);
    return kExitNoHostProgram;
  }
  // An apply that holds the folder may be waiting for the very host that runs this reconcile
  // (its ready handshake): nothing is touched, and the host is not kept waiting.
  const std::unique_ptr<platform::FileLock> folderLock =
      LockInstallFolder(installDir, kAnotherUpdate);
  if (!folderLock) return kExitMutexTimeout;
  LogLine(kRollingBack, installDir.c_str());
  if (options.hasWaitPid) {
    // outcome ignored
    platform::Processes().WaitForExit(options.waitPid, ScaledMs(kWaitPidTimeoutMs));
  }
  std::unique_ptr<platform::NamedMutex> mutex = AcquireInstanceMutex(options.mutexName);
  if (!mutex) return kExitMutexTimeout;

  const std::wstring stagingDir = JoinPath(installDir, kStagingName);
  Journal journal;
  if (ReadJournal(installDir, journal)) {
    if (journal.committed) {
      // The swap was complete: the update is finished by deleting what is left of the backups.
      for (const auto& [kind, path] : journal.changes) {
        if (kind == kJournalBackup) DeleteOrLog(path + L".old");
      }
    } else {
      RollBackJournal(journal);
    }
  } else {
    std::vector<std::wstring> backups;
    CollectBackups(installDir, stagingDir, backups);
    for (const std::wstring& backup : backups) {
      RestoreOrLog(backup, backup.substr(0, backup.size() - 4));
    }
  }
  RemoveTreeOrLog(stagingDir);
  RemoveLeftovers(installDir);
  // The marker goes last: until then a crash of this reconcile leaves it for the next one.
  DeleteOrLog(JoinPath(installDir, kMarkerName));
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
  ByteBuffer zip;
  const bool accepted = VerifyStagedZip(options, zip);
  LogLine(kSelfTestResult, accepted ? L"OK" : L"REJECTED");
  return accepted ? kExitSuccess : kExitSelfTestRejected;
}

}  // namespace tallowmarch::updater
