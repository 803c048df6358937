// Applying an update: wait for the host, take the single-instance mutex, verify the archive,
// stage it, back up what it replaces, swap the new files in (rolling back on any failure),
// relaunch the host when asked and delete the backups. The outcome is the exit code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
bool VerifyStagedZip(const UpdaterOptions& options, std::vector<std::uint8_t>& zip);

void WriteUpdateMarker(const std::wstring& installDir, const std::wstring& expectedSha256);
void RemoveUpdateMarker();

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
