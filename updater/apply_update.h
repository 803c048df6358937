// Applying an update: wait for the host, take the single-instance mutex, verify the archive,
// stage it, back up what it replaces, swap the new files in (rolling back on any failure),
// relaunch the host when asked and delete the backups. The outcome is the exit code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "byte_buffer.h"
#include "system/named_objects.h"
#include "updater_options.h"
#include "zip_staging.h"

namespace tallowmarch::updater {

inline constexpr wchar_t kHostProgram[] = L"Tallowmarch.exe";
inline constexpr const wchar_t* kMarkerName = kMarkerFileName;
inline constexpr const wchar_t* kStagingName = kStagingFolderName;
inline constexpr char kMarkerPrefix[] = "tallowmarch update in progress; expected-sha256=";

inline constexpr std::uint32_t kWaitPidTimeoutMs = 60000;
inline constexpr std::uint32_t kMutexTimeoutMs = 30000;
inline constexpr std::uint64_t kMaxZipBytes = 1073741824;  // 1 GiB
inline constexpr std::uint64_t kMaxSignatureFileBytes = 1024;
inline constexpr std::uint64_t kBackupHeadroomBytes = 67108864;  // 64 MiB
inline constexpr int kCopyTries = 5;
inline constexpr std::uint32_t kCopyRetryStepMs = 150;
inline constexpr int kMoveTries = 6;
inline constexpr std::uint32_t kMoveRetryStepMs = 200;

int ApplyUpdate(const UpdaterOptions& options);

// Reads the archive into `zip` and accepts it when its signature and digest check out.
bool VerifyStagedZip(const UpdaterOptions& options, ByteBuffer& zip);

// The marker is the run's journal: its first line is the marker text, then a state line
// ("state swapping": a reconcile rolls the swap back; "state committed": a reconcile finishes
// the update), one line per entry change ("backup", "added", "folder" and the path relative to
// the install folder) and "end". Every version is written to kMarkerTempFileName, flushed and
// renamed over the marker, so the marker on the disk is always whole.
inline constexpr char kJournalSwapping[] = "state swapping";
inline constexpr char kJournalCommitted[] = "state committed";
inline constexpr char kJournalBackup[] = "backup ";
inline constexpr char kJournalAdded[] = "added ";
inline constexpr char kJournalFolder[] = "folder ";
inline constexpr char kJournalEnd[] = "end";

// Writes the marker with the journal of `entries` in state "swapping" and records it in the
// run's state. False (logged) when it is not on the disk: nothing may change then.
bool WriteUpdateMarker(const std::wstring& installDir, const std::wstring& expectedSha256,
                       const std::vector<StagedEntry>& entries = {});
// Rewrites the recorded marker with another state; false when it could not be written. The
// temporary is this run's own (created exclusively) and never outlives the call.
bool RewriteUpdateMarker(const char* state, std::uint32_t& error);
// Deletes the recorded marker (a failure is logged) and forgets it.
void RemoveUpdateMarker();

// Records in each entry the folders of its target that the install folder lacks (outermost
// first; a folder needed by several entries belongs to the first), for the swap to create and
// the journal to list. False (logged) when a folder's attributes cannot be read.
bool PlanTargetFolders(const std::wstring& installDir, std::vector<StagedEntry>& entries);
// Moves a backup over its target, first giving the target back its write permission when it
// has none (the backup carries the original's bits).
bool RestoreBackup(const std::wstring& backup, const std::wstring& target, std::uint32_t& error);
// After the commit: turns the marker back to "swapping", rolls the swap back and removes the
// marker, which stays when RollbackSwap returns false (for a reconcile to finish the job).
bool RollbackCommittedUpdate(const std::vector<StagedEntry>& entries);

bool CopyWithRetry(const std::wstring& source, const std::wstring& destination);
// `error` receives the last system error (Windows numbering), 0 on success.
bool MoveWithRetry(const std::wstring& source, const std::wstring& destination,
                   std::uint32_t& error);
// Walks the list backwards and undoes only what this run did: swapped new files go, swapped
// files get their backups back, the backups of files never swapped go, and so do the folders
// the swap created. Every entry is tried; false (after a line) when a swapped file had no backup
// to restore or its restore failed: the folder then holds neither version.
bool RollbackSwap(const std::vector<StagedEntry>& entries);
// Deletes the backups this run made (a new file has none, and a file of the backup's name beside
// it is not the updater's to delete); false when one could not be deleted (logged).
bool DeleteBackups(const std::vector<StagedEntry>& entries);

// Removes what an interrupted copy or marker write leaves in the install folder (copy
// temporaries anywhere below it, the marker's temporary), logging each name it cannot remove.
void RemoveLeftovers(const std::wstring& installDir);

// Takes the install folder's lock without waiting, so that one apply or reconcile at a time
// works in it. Null after a line: `heldLine` (with the folder) when another run holds it.
std::unique_ptr<platform::FileLock> LockInstallFolder(const std::wstring& installDir,
                                                      const wchar_t* heldLine);
// Waits for the mutex as the apply and the reconcile do. Null after a line when it cannot be
// created or the wait timed out.
std::unique_ptr<platform::NamedMutex> AcquireInstanceMutex(const std::wstring& name);
void ReleaseInstanceMutex(std::unique_ptr<platform::NamedMutex>& mutex);

}  // namespace tallowmarch::updater
