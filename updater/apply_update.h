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
// run's state.
void WriteUpdateMarker(const std::wstring& installDir, const std::wstring& expectedSha256,
                       const std::vector<StagedEntry>& entries = {});
// Rewrites the recorded marker with another state; false when it could not be written.
bool RewriteUpdateMarker(const char* state);
void RemoveUpdateMarker();

// Records in each entry the folders of its target that the install folder lacks (outermost
// first; a folder needed by several entries belongs to the first), for the swap to create and
// the journal to list.
void PlanTargetFolders(const std::wstring& installDir, std::vector<StagedEntry>& entries);
// Moves a backup over its target, first giving the target back its write permission when it
// has none (the backup carries the original's bits).
bool RestoreBackup(const std::wstring& backup, const std::wstring& target, std::uint32_t& error);
// After the commit: turns the marker back to "swapping", rolls the swap back and removes the
// marker.
void RollbackCommittedUpdate(const std::vector<StagedEntry>& entries);

bool CopyWithRetry(const std::wstring& source, const std::wstring& destination);
// `error` receives the last system error (Windows numbering), 0 on success.
bool MoveWithRetry(const std::wstring& source, const std::wstring& destination,
                   std::uint32_t& error);
// Walks the list backwards: new files go, backups move back, folders the swap created go.
void RollbackSwap(const std::vector<StagedEntry>& entries);
// Deletes the backups of the entries that had a previous version (a new file has none, and a
// file of the backup's name beside it is not the updater's to delete).
void DeleteBackups(const std::vector<StagedEntry>& entries);

// Waits for the mutex as the apply and the reconcile do. Null when it could not be created
// (the run then goes on without it); `timedOut` set when the wait timed out (the handle is then
// closed and null is returned).
std::unique_ptr<platform::NamedMutex> AcquireInstanceMutex(const std::wstring& name,
                                                           bool& timedOut);
void ReleaseInstanceMutex(std::unique_ptr<platform::NamedMutex>& mutex);

}  // namespace tallowmarch::updater
