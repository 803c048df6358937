#include "apply_update.h"

#include <algorithm>
#include <set>

#include "common/wide_text.h"
#include "long_path_files.h"
#include "relaunch.h"
#include "system/os_layers.h"
#include "update_verification.h"

namespace tallowmarch::updater {
namespace {

constexpr wchar_t kRefusingNoHost[] = L"refusing: --target has no %ls (%ls)";
constexpr wchar_t kRefusingMarker[] =
    L"refusing: a prior update marker is present; let the app reconcile first";
constexpr wchar_t kWaitPidTimedOut[] = L"timed out waiting for app pid %lu to exit";
constexpr wchar_t kMutexTimedOut[] = L"timed out acquiring single-instance mutex";
constexpr wchar_t kMutexNotCreated[] = L"cannot create single-instance mutex %ls (err %lu)";
constexpr wchar_t kAnotherUpdate[] = L"refusing: another update is running in %ls";
constexpr wchar_t kCannotLock[] = L"cannot lock the install folder %ls (err %lu)";
constexpr wchar_t kMarkerNotWritten[] = L"could not write the update marker %ls (err %lu)";
constexpr wchar_t kNoDisk[] = L"not enough disk for backups";
constexpr wchar_t kBackupFailed[] = L"backup copy failed for %ls";
constexpr wchar_t kReplaceFailed[] = L"replace failed for %ls (err %lu%ls)";
constexpr wchar_t kReadOnlySuffix[] = L" - install dir is read-only";
constexpr wchar_t kPostReplaceFailed[] = L"post-replace check failed for %ls";
constexpr wchar_t kApplied[] = L"update applied successfully";
constexpr wchar_t kCannotReadZip[] = L"cannot read staged zip: %ls";
constexpr wchar_t kBadSidecar[] = L"signature sidecar missing or not 64 bytes: %ls";
constexpr wchar_t kVerifyFailed[] = L"staged zip failed signature verification (result %d)";
constexpr wchar_t kVerified[] = L"staged zip verified: sha256=%ls";
constexpr wchar_t kDigestMismatch[] =
    L"expected-sha256 mismatch (want '%ls' got '%ls') - refusing (possible downgrade)";
constexpr wchar_t kRollingBack[] = L"rolling back swap";
constexpr wchar_t kRollbackFailed[] = L"rollback: could not restore %ls (err %lu)";
constexpr wchar_t kRollbackNoBackup[] = L"rollback: no backup of %ls to restore";
constexpr wchar_t kNoUpdateKey[] =
    L"no update-signing key was configured for this build: it accepts no update";

// One byte per UTF-16 code unit: its low byte.
std::string LowBytes(const std::wstring& text) {
  std::string out;
  for (const wchar_t c : text) {
    if (static_cast<std::uint32_t>(c) > 0xFFFF) {
      // A code point beyond the basic plane is two UTF-16 code units.
      const std::uint32_t v = static_cast<std::uint32_t>(c) - 0x10000;
      out += static_cast<char>((0xD800 + (v >> 10)) & 0xFF);
      out += static_cast<char>((0xDC00 + (v & 0x3FF)) & 0xFF);
    } else {
      out += static_cast<char>(static_cast<std::uint32_t>(c) & 0xFF);
    }
  }
  return out;
}

// Creates the folders planned for the entry, outermost first; existing ones are left as they
// are. A failure shows in the move that follows.
void CreatePlannedFolders(const StagedEntry& entry) {
  std::uint32_t error = 0;
  for (const std::wstring& folder : entry.createdFolders) {
    platform::FileAttributes attributes;
    if (!GetPathAttributes(folder, attributes)) {
      platform::Files().CreateDirectory(NativePath(folder), error);
    }
  }
}

// The path below the install folder, as the journal records it (UTF-8).
std::string RelativeUtf8(const std::wstring& installDir, const std::wstring& path) {
  const size_t base = JoinPath(installDir, L"").size();
  return Narrow(path.size() > base ? path.substr(base) : path);
}

std::string JournalOf(const std::wstring& installDir, const std::vector<StagedEntry>& entries) {
  std::string journal;
  for (const StagedEntry& entry : entries) {
    for (const std::wstring& folder : entry.createdFolders) {
      journal += kJournalFolder + RelativeUtf8(installDir, folder) + "\n";
    }
    journal += (entry.existed ? kJournalBackup : kJournalAdded) +
               RelativeUtf8(installDir, entry.targetPath) + "\n";
  }
  return journal;
}

// Copy temporaries anywhere below `folder` (links not followed).
void RemoveCopyTemporaries(const std::wstring& folder) {
  std::vector<platform::DirectoryEntry> entries;
  std::uint32_t error = 0;
  if (!platform::Files().ListDirectory(NativePath(folder), entries, error)) return;
  for (const platform::DirectoryEntry& entry : entries) {
    const std::wstring name = Widen(entry.name);
    const std::wstring path = JoinPath(folder, name);
    if (entry.kind == platform::FileKind::kDirectory) {
      RemoveCopyTemporaries(path);
    } else if (IsCopyTemporaryName(name)) {
      DeleteOrLog(path);
    }
  }
}

bool MarkerPresent(const std::wstring& installDir) {
  platform::FileAttributes attributes;
  bool exists = false;
  std::uint32_t error = 0;
  // A marker that cannot be looked at may be there: it counts.
  return !ProbePath(JoinPath(installDir, kMarkerName), attributes, exists, error) || exists;
}

// The retries of every move: access denied ends them at once, any other error after a pause
// that grows with each try.
template <typename Move>
bool RetryMove(const Move& move, std::uint32_t& error) {
  for (int attempt = 1; attempt <= kMoveTries; ++attempt) {
    error = 0;
    if (move(error)) {
      error = 0;
      return true;
    }
    if (error == platform::kErrorAccessDenied) return false;
    platform::Processes().SleepMilliseconds(
        ScaledMs(kMoveRetryStepMs * static_cast<std::uint32_t>(attempt)));
  }
  return false;
}

// MoveWithRetry of a staged file, out of the staging folder's descriptor: a link put in place of
// the staging folder or of a folder in it since it was made is never followed.
bool MoveStagedWithRetry(platform::FolderHandle& staging, const std::wstring& relative,
                         const std::wstring& destination, std::uint32_t& error) {
  std::unique_ptr<platform::FolderHandle> holder;
  std::string name;
  platform::FolderHandle* folder = OpenStagedFolder(staging, relative, false, holder, name, error);
  if (folder == nullptr) return false;
  const std::string to = NativePath(destination);
  return RetryMove([&](std::uint32_t& e) { return folder->MoveOut(name, to, e); }, error);
}

void RemoveCreatedFolders(const StagedEntry& entry) {
  std::uint32_t error = 0;
  for (auto it = entry.createdFolders.rbegin(); it != entry.createdFolders.rend(); ++it) {
    platform::Files().RemoveDirectory(NativePath(*it), error);  // only when empty
  }
}

}  // namespace

bool VerifyStagedZip(const UpdaterOptions& options, ByteBuffer& zip) {
  if (!ReadFileCapped(options.zipPath, zip, kMaxZipBytes)) {
    LogLine(kCannotReadZip, options.zipPath.c_str());
    return false;
  }
  ByteBuffer signature;
  if (!ReadFileCapped(options.sigPath, signature, kMaxSignatureFileBytes) ||
      signature.size() != update::kSignatureBytes) {
    LogLine(kBadSidecar, options.sigPath.c_str());
    return false;
  }
  char hex[update::kHexDigestChars] = {};
  const int result = update::VerifyArtifactBuffer(zip.data(), zip.size(), signature.data(),
                                                  signature.size(), hex, sizeof hex);
  if (result != update::kArtifactValid) {
    if (!update::UpdateKeyConfigured()) LogLine(kNoUpdateKey);
    LogLine(kVerifyFailed, result);
    return false;
  }
  const std::string computed(hex, 64);
  const std::string expected = LowBytes(options.expectedSha256);
  if (!expected.empty() && EqualsIgnoreAsciiCase(expected, computed)) {
    LogLine(kVerified, Widen(computed).c_str());
    return true;
  }
  LogLine(kDigestMismatch, Widen(expected).c_str(), Widen(computed).c_str());
  return false;
}

bool WriteUpdateMarker(const std::wstring& installDir, const std::wstring& expectedSha256,
                       const std::vector<StagedEntry>& entries) {
  UpdaterState& state = State();
  state.markerPath = JoinPath(installDir, kMarkerName);
  state.markerHeader = kMarkerPrefix + LowBytes(expectedSha256);
  state.journal = JournalOf(installDir, entries);
  std::uint32_t error = 0;
  if (!RewriteUpdateMarker(kJournalSwapping, error)) {
    LogLine(kMarkerNotWritten, state.markerPath.c_str(), static_cast<unsigned long>(error));
    return false;
  }
  state.markerWritten = true;
  return true;
}

bool RewriteUpdateMarker(const char* journalState, std::uint32_t& error) {
  UpdaterState& state = State();
  const std::string content =
      state.markerHeader + "\n" + journalState + "\n" + state.journal + kJournalEnd + "\n";
  const std::wstring temporary =
      state.markerPath.substr(0, state.markerPath.size() - std::wstring(kMarkerName).size()) +
      kMarkerTempFileName;
  // Flushed under the temporary name, then renamed (and the folder flushed): the marker is
  // always one whole version. The temporary is created anew, never written through a link or
  // another name for someone else's file.
  if (WriteFreshFileFlushed(temporary, content.data(), content.size(), error) &&
      platform::Files().MoveFile(NativePath(temporary), NativePath(state.markerPath), error)) {
    return true;
  }
  DeleteOrLog(temporary);  // only a file of this run's: a folder stays
  return false;
}

void RemoveUpdateMarker() {
  UpdaterState& state = State();
  if (state.markerWritten) DeleteOrLog(state.markerPath);
  state.markerWritten = false;
}

bool PlanTargetFolders(const std::wstring& installDir, std::vector<StagedEntry>& entries) {
  std::vector<std::wstring> planned;
  for (StagedEntry& entry : entries) {
    entry.createdFolders.clear();
    const size_t slash = entry.targetPath.find_last_of(L'/');
    if (slash == std::wstring::npos || slash <= installDir.size()) continue;
    const std::wstring parent = entry.targetPath.substr(0, slash);
    size_t at = installDir.size();
    while (at < parent.size()) {
      size_t next = parent.find(L'/', at + 1);
      if (next == std::wstring::npos) next = parent.size();
      const std::wstring folder = parent.substr(0, next);
      platform::FileAttributes attributes;
      bool exists = false;
      if (!ProbeOrLog(folder, attributes, exists)) return false;
      if (!exists && std::find(planned.begin(), planned.end(), folder) == planned.end()) {
        planned.push_back(folder);
        entry.createdFolders.push_back(folder);
      }
      at = next;
    }
  }
  return true;
}

bool RestoreBackup(const std::wstring& backup, const std::wstring& target, std::uint32_t& error) {
  platform::FileAttributes attributes;
  if (GetPathAttributes(target, attributes) && attributes.readOnly &&
      attributes.kind == platform::FileKind::kFile) {
    platform::Files().SetReadOnly(NativePath(target), false, error);  // the move decides
  }
  return MoveWithRetry(backup, target, error);
}

bool RollbackCommittedUpdate(const std::vector<StagedEntry>& entries) {
  // A crash during the rollback must leave a marker that a reconcile rolls back further, not
  // one that finishes the update over half-restored files.
  std::uint32_t error = 0;
  if (State().markerWritten) RewriteUpdateMarker(kJournalSwapping, error);
  const bool complete = RollbackSwap(entries);
  if (complete) RemoveUpdateMarker();
  return complete;
}

bool CopyWithRetry(const std::wstring& source, const std::wstring& destination) {
  const std::string from = NativePath(source);
  const std::string to = NativePath(destination);
  for (int attempt = 1; attempt <= kCopyTries; ++attempt) {
    std::uint32_t error = 0;
    if (platform::Files().CopyFile(from, to, error)) return true;
    if (error == platform::kErrorAccessDenied) return false;
    platform::Processes().SleepMilliseconds(
        ScaledMs(kCopyRetryStepMs * static_cast<std::uint32_t>(attempt)));
  }
  return false;
}

bool MoveWithRetry(const std::wstring& source, const std::wstring& destination,
                   std::uint32_t& error) {
  const std::string from = NativePath(source);
  const std::string to = NativePath(destination);
  return RetryMove([&](std::uint32_t& e) { return platform::Files().MoveFile(from, to, e); },
                   error);
}

bool RollbackSwap(const std::vector<StagedEntry>& entries) {
  LogLine(kRollingBack);
  bool complete = true;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->swapped && !it->existed) {
      DeleteOrLog(it->targetPath);
    } else if (it->swapped) {
      platform::FileAttributes attributes;
      bool exists = true;
      std::uint32_t error = 0;
      if (ProbePath(it->backupPath, attributes, exists, error) && !exists) {
        LogLine(kRollbackNoBackup, it->targetPath.c_str());
        complete = false;
      } else if (!RestoreBackup(it->backupPath, it->targetPath, error)) {
        LogLine(kRollbackFailed, it->targetPath.c_str(), static_cast<unsigned long>(error));
        complete = false;
      }
    } else if (it->backedUp) {
      DeleteOrLog(it->backupPath);  // its target was never touched
    }
    RemoveCreatedFolders(*it);
  }
  return complete;
}

bool DeleteBackups(const std::vector<StagedEntry>& entries) {
  bool all = true;
  for (const StagedEntry& entry : entries) {
    if (entry.backedUp && !DeleteOrLog(entry.backupPath)) all = false;
  }
  return all;
}

void RemoveLeftovers(const std::wstring& installDir) {
  RemoveCopyTemporaries(installDir);
  DeleteOrLog(JoinPath(installDir, kMarkerTempFileName));
}

std::unique_ptr<platform::FileLock> LockInstallFolder(const std::wstring& installDir,
                                                      const wchar_t* heldLine) {
  std::uint32_t error = 0;
  std::unique_ptr<platform::FileLock> lock =
      platform::Files().TryLockFile(NativePath(JoinPath(installDir, kLockFileName)), error);
  if (lock) return lock;
  if (error == platform::kErrorLockViolation) {
    LogLine(heldLine, installDir.c_str());
  } else {
    LogLine(kCannotLock, installDir.c_str(), static_cast<unsigned long>(error));
  }
  return nullptr;
}

std::unique_ptr<platform::NamedMutex> AcquireInstanceMutex(const std::wstring& name) {
  std::uint32_t error = 0;
  std::unique_ptr<platform::NamedMutex> mutex =
      platform::NamedObjects().CreateMutex(Narrow(name), error);
  if (!mutex) {
    LogLine(kMutexNotCreated, name.c_str(), static_cast<unsigned long>(error));
    return nullptr;
  }
  // Every other answer (a holder that died included) counts as acquired.
  if (mutex->Wait(ScaledMs(kMutexTimeoutMs)) == platform::ObjectWait::kTimedOut) {
    LogLine(kMutexTimedOut);
    return nullptr;
  }
  return mutex;
}

void ReleaseInstanceMutex(std::unique_ptr<platform::NamedMutex>& mutex) {
  if (!mutex) return;
  mutex->Release();
  mutex.reset();
}

int ApplyUpdate(const UpdaterOptions& options) {
  const std::wstring installDir = FullPath(options.targetDir);
  const std::wstring stagingDir = JoinPath(installDir, kStagingName);

  if (!FileExists(JoinPath(installDir, kHostProgram))) {
    LogLine(kRefusingNoHost, kHostProgram, installDir.c_str());
    return kExitNoHostProgram;
  }
  // One run per install folder, whatever mutex name each was given: held from before the
  // marker check to after the marker's removal (it goes last, with this function).
  const std::unique_ptr<platform::FileLock> folderLock =
      LockInstallFolder(installDir, kAnotherUpdate);
  if (!folderLock) return kExitMutexTimeout;
  if (MarkerPresent(installDir)) {
    LogLine(kRefusingMarker);
    return kExitPriorMarker;
  }
  if (options.hasWaitPid &&
      platform::Processes().WaitForExit(options.waitPid, ScaledMs(kWaitPidTimeoutMs)) ==
          platform::ProcessWait::kTimedOut) {
    LogLine(kWaitPidTimedOut,
            static_cast<unsigned long>(static_cast<std::uint32_t>(options.waitPid)));
    return kExitWaitPidTimeout;
  }
  std::unique_ptr<platform::NamedMutex> mutex = AcquireInstanceMutex(options.mutexName);
  if (!mutex) return kExitMutexTimeout;
  // An updater of an earlier version (without the folder lock) may have held the mutex while
  // this one waited for it, and died half-way: its marker and backups are then the only record
  // of the previous version.
  if (MarkerPresent(installDir)) {
    LogLine(kRefusingMarker);
    ReleaseInstanceMutex(mutex);
    return kExitPriorMarker;
  }
  RemoveLeftovers(installDir);
  RemoveTree(stagingDir);  // left by an earlier run (staging stops when it cannot go)
  std::vector<StagedEntry> entries;
  std::unique_ptr<platform::FolderHandle> staging;
  {
    ByteBuffer zip;
    if (!VerifyStagedZip(options, zip)) {
      ReleaseInstanceMutex(mutex);
      return kExitVerifyFailed;
    }
    if (!ExtractToStaging(zip.span(), stagingDir, installDir, entries, &staging) ||
        !PlanTargetFolders(installDir, entries)) {
      RemoveTreeOrLog(stagingDir);
      ReleaseInstanceMutex(mutex);
      return kExitStagingFailed;
    }
  }  // the archive's bytes go before the backups start

  std::uint64_t needed = 0;
  for (const StagedEntry& entry : entries) {
    platform::FileAttributes attributes;
    // A folder reports no size, as Windows does.
    if (entry.existed && GetPathAttributes(entry.targetPath, attributes) &&
        attributes.kind != platform::FileKind::kDirectory) {
      needed += attributes.size;
    }
  }
  if (!HasFreeSpace(installDir, needed + kBackupHeadroomBytes)) {
    LogLine(kNoDisk);
    RemoveTreeOrLog(stagingDir);
    ReleaseInstanceMutex(mutex);
    return kExitNoDiskForBackups;
  }

  // A file of a backup's name left from before would be restored by a reconcile after a crash
  // that came before this run's backup of it: it goes first (the backup would replace it).
  for (const StagedEntry& entry : entries) {
    if (entry.existed) DeleteOrLog(entry.backupPath);
  }
  // No backup and no swap without the journal on the disk.
  if (!WriteUpdateMarker(installDir, options.expectedSha256, entries)) {
    RemoveTreeOrLog(stagingDir);
    ReleaseInstanceMutex(mutex);
    return kExitBackupFailed;
  }

  // After a failure from here on: the exit code, unless the rollback could not make the folder
  // whole again.
  auto rollBack = [&](int code) {
    const bool complete = RollbackSwap(entries);
    // The staging folder goes before the marker: a crash in between leaves the marker, which a
    // reconcile clears with everything else. A folder the rollback could not make whole keeps
    // its journal: the host's next start reconciles it, and no other update runs over it.
    RemoveTreeOrLog(stagingDir);
    if (complete) RemoveUpdateMarker();
    ReleaseInstanceMutex(mutex);
    RemoveLeftovers(installDir);  // a copy temporary that a failed copy could not remove
    return complete ? code : kExitRollbackIncomplete;
  };
  const StagedEntry* lastBackup = nullptr;
  std::set<std::wstring> backedUp;
  for (StagedEntry& entry : entries) {
    // A target named twice in the archive is backed up once, before either swap.
    if (!entry.existed || !backedUp.insert(entry.targetPath).second) continue;
    if (!CopyWithRetry(entry.targetPath, entry.backupPath)) {
      LogLine(kBackupFailed, entry.targetPath.c_str());
      return rollBack(kExitBackupFailed);
    }
    entry.backedUp = true;
    lastBackup = &entry;
  }
  // Every backup is on the disk before the first target is replaced: what a reconcile after a
  // crash moves back is whole. (One flush for all copies; a failed flush fails the backups.)
  if (lastBackup != nullptr && !FlushVolume(installDir)) {
    LogLine(kBackupFailed, lastBackup->targetPath.c_str());
    return rollBack(kExitBackupFailed);
  }

  const size_t stagedBase = FullPath(stagingDir).size() + 1;
  for (StagedEntry& entry : entries) {
    std::uint32_t error = 0;
    // The install folder may lack the entry's folders (a new subfolder): they were planned
    // and journalled, so that a rollback or a reconcile removes them again.
    CreatePlannedFolders(entry);
    if (!MoveStagedWithRetry(*staging, entry.stagedPath.substr(stagedBase), entry.targetPath,
                             error)) {
      const bool denied = error == platform::kErrorAccessDenied;
      LogLine(kReplaceFailed, entry.targetPath.c_str(), static_cast<unsigned long>(error),
              denied ? kReadOnlySuffix : L"");
      return rollBack(denied ? kExitReplaceAccessDenied : kExitReplaceFailed);
    }
    entry.swapped = true;
    platform::FileAttributes attributes;
    if (!GetPathAttributes(entry.targetPath, attributes) || attributes.size == 0) {
      LogLine(kPostReplaceFailed, entry.targetPath.c_str());
      return rollBack(kExitPostReplaceCheck);
    }
  }

  // The swap is complete: from the commit on, a reconcile finishes the update (deletes the
  // backups) instead of rolling it back. The marker goes only after the last backup.
  RemoveTreeOrLog(stagingDir);
  std::uint32_t error = 0;
  if (State().markerWritten) RewriteUpdateMarker(kJournalCommitted, error);
  ReleaseInstanceMutex(mutex);  // the host may start from here on

  if (!options.relaunchExe.empty()) {
    const int handshake = RunRelaunchHandshake(options, installDir, entries);
    if (handshake != kExitSuccess) return handshake;
  }

  // A backup that cannot be deleted keeps the committed marker: the next reconcile deletes it
  // rather than taking it for the remains of an interrupted update and restoring it.
  if (DeleteBackups(entries)) RemoveUpdateMarker();
  LogLine(kApplied);
  return kExitSuccess;
}

}  // namespace tallowmarch::updater
