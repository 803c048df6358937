// Staging: every file entry of the verified in-memory archive is checked against the entry-name
// rules and written into the staging folder inside the install folder. The result is the list
// of staged entries from which the apply makes backups, swaps and rolls back.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "system/files.h"

namespace tallowmarch::updater {

inline constexpr wchar_t kStagingFolderName[] = L"pending";
inline constexpr wchar_t kMarkerFileName[] = L".update-in-progress";
// The marker's next version is written under this name and then renamed over it.
inline constexpr wchar_t kMarkerTempFileName[] = L".update-in-progress.new";
// The install folder's lock: every apply and reconcile holds it for its whole run. Never
// deleted (a second run may be between its open and its lock), and no leftover of a run.
inline constexpr wchar_t kLockFileName[] = L".update-lock";
// The longest file name in bytes; a name whose backup (".old" added) would be longer can never
// be replaced safely.
inline constexpr size_t kMaxNameBytes = 255;
inline constexpr std::uint64_t kMaxZipEntries = 4096;              // directory entries included
inline constexpr std::uint64_t kMaxUncompressedBytes = 629145600;  // 600 MiB, file entries

struct StagedEntry {
  std::wstring stagedPath;  // the extracted file inside the staging folder
  std::wstring targetPath;  // installDir + "/" + the entry's relative path
  std::wstring backupPath;  // targetPath + ".old"
  bool existed = false;     // the target (a file, a link or a folder) was there when staged
  bool backedUp = false;    // this run made its backup
  bool swapped = false;     // this run moved the staged file onto the target
  // Folders the swap created for this entry because the install folder lacked them, outermost
  // first; a rollback removes them again (when empty).
  std::vector<std::wstring> createdFolders;
};

// True when at least one file was staged and every step succeeded; logs its one failure. The
// staging folder is created anew; `stagingHandle`, when given, receives it open, for the swap to
// move the staged files out of it without following a link put in its place.
bool ExtractToStaging(std::span<const std::uint8_t> zip, const std::wstring& stagingDir,
                      const std::wstring& installDir, std::vector<StagedEntry>& entries,
                      std::unique_ptr<platform::FolderHandle>* stagingHandle = nullptr);
// The folder of a staged file below the staging folder (`relative` separated by '/'), each folder
// opened from the one above it without following links, and created when `create`; null on
// failure. `holder` keeps it open; `name` receives the file's own name.
platform::FolderHandle* OpenStagedFolder(platform::FolderHandle& staging,
                                         const std::wstring& relative, bool create,
                                         std::unique_ptr<platform::FolderHandle>& holder,
                                         std::string& name, std::uint32_t& error);
// The staged path of an entry name (raw UTF-8 bytes; '/' and '\' both separate components)
// when the name passes every rule.
bool ResolveStagedPath(std::string_view name, const std::wstring& stagingDir,
                       std::wstring& stagedPath);
// Sets `inside` when every folder between `installDir` and the target `relative` (separated by
// '/') is a real folder or missing: a symbolic link there would lead outside the install folder.
// False (logged) when a folder's attributes cannot be read.
bool TargetStaysInside(const std::wstring& installDir, const std::wstring& relative, bool& inside);
// ProbePath that logs an error other than "not found"; false then.
bool ProbeOrLog(const std::wstring& path, platform::FileAttributes& out, bool& exists);
// Removal of the updater's own names, each failure logged; true when nothing is left.
bool DeleteOrLog(const std::wstring& path);
bool RemoveTreeOrLog(const std::wstring& folder);
// A temporary name of the file layer's copy (the destination's name, ".tmcopy-" and 12 hex
// digits): a crash during a backup can leave one, and reconcile deletes them.
bool IsCopyTemporaryName(const std::wstring& name);
// CON, PRN, AUX, NUL, COM1-9 and LPT1-9, with any extension and in any letter case.
bool IsReservedDeviceName(const std::wstring& component);

}  // namespace tallowmarch::updater
