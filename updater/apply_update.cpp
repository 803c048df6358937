#include "apply_update.h"

#include <algorithm>

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

void WriteUpdateMarker(const std::wstring& installDir, const std::wstring& expectedSha256,
                       const std::vector<StagedEntry>& entries) {
  UpdaterState& state = State();
  state.markerPath = JoinPath(installDir, kMarkerName);
  state.markerHeader = kMarkerPrefix + LowBytes(expectedSha256);
  state.journal = JournalOf(installDir, entries);
  RewriteUpdateMarker(kJournalSwapping);  // failure not fatal
  state.markerWritten = true;
}

bool RewriteUpdateMarker(const char* journalState) {
  UpdaterState& state = State();
  const std::string content =
      state.markerHeader + "\n" + journalState + "\n" + state.journal + kJournalEnd + "\n";
  const std::wstring temporary =
      state.markerPath.substr(0, state.markerPath.size() - std::wstring(kMarkerName).size()) +
      kMarkerTempFileName;
  std::uint32_t error = 0;
  // Flushed under the temporary name, then renamed (and the folder flushed): the marker is
  // always one whole version.
  return WriteFileFlushed(temporary, content.data(), content.size()) &&
         platform::Files().MoveFile(NativePath(temporary), NativePath(state.markerPath), error);
}

void RemoveUpdateMarker() {
  UpdaterState& state = State();
  if (state.markerWritten) DeleteFileForce(state.markerPath);
  state.markerWritten = false;
}

void PlanTargetFolders(const std::wstring& installDir, std::vector<StagedEntry>& entries) {
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
      if (!GetPathAttributes(folder, attributes) &&
          std::find(planned.begin(), planned.end(), folder) == planned.end()) {
        planned.push_back(folder);
        entry.createdFolders.push_back(folder);
      }
      at = next;
    }
  }
}

bool RestoreBackup(const std::wstring& backup, const std::wstring& target, std::uint32_t& error) {
  platform::FileAttributes attributes;
  if (GetPathAttributes(target, attributes) && attributes.readOnly &&
      attributes.kind == platform::FileKind::kFile) {
    platform::Files().SetReadOnly(NativePath(target), false, error);  // the move decides
  }
  return MoveWithRetry(backup, target, error);
}

void RollbackCommittedUpdate(const std::vector<StagedEntry>& entries) {
  // A crash during the rollback must leave a marker that a reconcile rolls back further, not
  // one that finishes the update over half-restored files.
  if (State().markerWritten) RewriteUpdateMarker(kJournalSwapping);
  RollbackSwap(entries);
  RemoveUpdateMarker();
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
  for (int attempt = 1; attempt <= kMoveTries; ++attempt) {
    error = 0;
    if (platform::Files().MoveFile(from, to, error)) {
      error = 0;
      return true;
    }
    if (error == platform::kErrorAccessDenied) return false;
    platform::Processes().SleepMilliseconds(
        ScaledMs(kMoveRetryStepMs * static_cast<std::uint32_t>(attempt)));
  }
  return false;
}

void RollbackSwap(const std::vector<StagedEntry>& entries) {
  LogLine(kRollingBack);
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (!it->existed) {
      DeleteFileForce(it->targetPath);
    } else if (FileExists(it->backupPath)) {
      std::uint32_t error = 0;
      if (!RestoreBackup(it->backupPath, it->targetPath, error)) {
        LogLine(kRollbackFailed, it->targetPath.c_str(), static_cast<unsigned long>(error));
      }
    }
    RemoveCreatedFolders(*it);
  }
}

void DeleteBackups(const std::vector<StagedEntry>& entries) {
  for (const StagedEntry& entry : entries) {
    if (entry.existed) DeleteFileForce(entry.backupPath);
  }
}

std::unique_ptr<platform::NamedMutex> AcquireInstanceMutex(const std::wstring& name,
                                                           bool& timedOut) {
  timedOut = false;
  std::uint32_t error = 0;
  std::unique_ptr<platform::NamedMutex> mutex =
      platform::NamedObjects().CreateMutex(Narrow(name), error);
  if (!mutex) return nullptr;
  // Every other answer (a holder that died included) counts as acquired.
  if (mutex->Wait(ScaledMs(kMutexTimeoutMs)) == platform::ObjectWait::kTimedOut) {
    timedOut = true;
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
  if (FileExists(JoinPath(installDir, kMarkerName))) {
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
  bool mutexTimedOut = false;
  std::unique_ptr<platform::NamedMutex> mutex =
      AcquireInstanceMutex(options.mutexName, mutexTimedOut);
  if (mutexTimedOut) {
    LogLine(kMutexTimedOut);
    return kExitMutexTimeout;
  }
  // Another updater may have held the mutex while this one waited for it, and died half-way:
  // its marker and backups are then the only record of the previous version.
  if (FileExists(JoinPath(installDir, kMarkerName))) {
    LogLine(kRefusingMarker);
    ReleaseInstanceMutex(mutex);
    return kExitPriorMarker;
  }
  // The staging folder goes before the marker: a crash in between leaves the marker, which a
  // reconcile clears with everything else.
  auto cleanUp = [&] {
    RemoveTree(stagingDir);
    RemoveUpdateMarker();
    ReleaseInstanceMutex(mutex);
  };

  RemoveTree(stagingDir);  // left by an earlier run

  std::vector<StagedEntry> entries;
  {
    ByteBuffer zip;
    if (!VerifyStagedZip(options, zip)) {
      ReleaseInstanceMutex(mutex);
      return kExitVerifyFailed;
    }
    if (!ExtractToStaging(zip.span(), stagingDir, installDir, entries)) {
      RemoveTree(stagingDir);
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
    RemoveTree(stagingDir);
    ReleaseInstanceMutex(mutex);
    return kExitNoDiskForBackups;
  }

  // A file of a backup's name left from before would be restored by a reconcile after a crash
  // that came before this run's backup of it: it goes first (the backup would replace it).
  for (const StagedEntry& entry : entries) {
    if (entry.existed) DeleteFileForce(entry.backupPath);
  }
  PlanTargetFolders(installDir, entries);
  WriteUpdateMarker(installDir, options.expectedSha256, entries);

  const StagedEntry* lastBackup = nullptr;
  for (const StagedEntry& entry : entries) {
    if (!entry.existed) continue;
    if (!CopyWithRetry(entry.targetPath, entry.backupPath)) {
      LogLine(kBackupFailed, entry.targetPath.c_str());
      RollbackSwap(entries);
      cleanUp();
      return kExitBackupFailed;
    }
    lastBackup = &entry;
  }
  // Every backup is on the disk before the first target is replaced: what a reconcile after a
  // crash moves back is whole. (One flush for all copies; a failed flush fails the backups.)
  if (lastBackup != nullptr && !FlushVolume(installDir)) {
    LogLine(kBackupFailed, lastBackup->targetPath.c_str());
    RollbackSwap(entries);
    cleanUp();
    return kExitBackupFailed;
  }

  for (StagedEntry& entry : entries) {
    std::uint32_t error = 0;
    // The install folder may lack the entry's folders (a new subfolder): they were planned
    // and journalled, so that a rollback or a reconcile removes them again.
    CreatePlannedFolders(entry);
    if (!MoveWithRetry(entry.stagedPath, entry.targetPath, error)) {
      const bool denied = error == platform::kErrorAccessDenied;
      LogLine(kReplaceFailed, entry.targetPath.c_str(), static_cast<unsigned long>(error),
              denied ? kReadOnlySuffix : L"");
      RollbackSwap(entries);
      cleanUp();
      return denied ? kExitReplaceAccessDenied : kExitReplaceFailed;
    }
    platform::FileAttributes attributes;
    if (!GetPathAttributes(entry.targetPath, attributes) || attributes.size == 0) {
      LogLine(kPostReplaceFailed, entry.targetPath.c_str());
      RollbackSwap(entries);
      cleanUp();
      return kExitPostReplaceCheck;
    }
  }

  // The swap is complete: from the commit on, a reconcile finishes the update (deletes the
  // backups) instead of rolling it back. The marker goes only after the last backup.
  RemoveTree(stagingDir);
  if (State().markerWritten) RewriteUpdateMarker(kJournalCommitted);
  ReleaseInstanceMutex(mutex);  // the host may start from here on

  if (!options.relaunchExe.empty()) {
    const int handshake = RunRelaunchHandshake(options, installDir, entries);
    if (handshake != kExitSuccess) return handshake;
  }

  DeleteBackups(entries);
  RemoveUpdateMarker();
  LogLine(kApplied);
  return kExitSuccess;
}

}  // namespace tallowmarch::updater
