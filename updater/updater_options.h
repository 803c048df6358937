// The updater's front: its options, their parser, the per-run state and the line logger every
// other part of the updater writes through. Messages are wide; "%ls" takes a wide string (the
// updater widens byte strings before it logs them), "%u", "%lu" and "%d" numbers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "system/files.h"

namespace tallowmarch::updater {

inline constexpr wchar_t kDefaultMutexName[] = L"Global\\Tallowmarch_SingleInstance_Mutex";

// Exit codes of the program.
enum ExitCode : int {
  kExitSuccess = 0,
  kExitSelfTestRejected = 1,
  kExitBadCommandLine = 2,
  kExitNoHostProgram = 3,
  kExitPriorMarker = 4,
  kExitWaitPidTimeout = 5,
  kExitMutexTimeout = 6,
  kExitVerifyFailed = 7,
  kExitStagingFailed = 8,
  kExitNoDiskForBackups = 9,
  kExitBackupFailed = 10,
  kExitReplaceAccessDenied = 11,
  kExitReplaceFailed = 12,
  kExitPostReplaceCheck = 13,
  kExitRelaunchFailed = 14,
  kExitReadyTimeout = 15,
  // A rollback could not give a file it had replaced its previous version back (no backup, or
  // the restore failed): neither version is whole, and the marker stays for a reconcile.
  kExitRollbackIncomplete = 16,
};

struct UpdaterOptions {
  std::wstring zipPath;
  std::wstring sigPath;
  std::wstring expectedSha256;
  std::wstring targetDir;
  std::wstring relaunchExe;
  std::wstring readyEventName;
  std::wstring logPath;
  std::wstring mutexName = kDefaultMutexName;
  std::int32_t waitPid = 0;
  bool hasWaitPid = false;
  bool selfTest = false;
  bool reconcile = false;
};

// One per run.
struct UpdaterState {
  std::unique_ptr<platform::FileWriter> logFile;  // null: lines go to standard error only
  std::wstring markerPath;
  bool markerWritten = false;
  std::string markerHeader;  // the marker's first line
  // The journal lines of the run (what the swap backs up, adds and creates), kept so that the
  // marker can be rewritten with another state.
  std::string journal;
  // Every wait and retry pause is divided by this; only the test build of the program sets it.
  std::uint32_t timeDivisor = 1;
};
UpdaterState& State();

// A wait or pause of `ms` milliseconds as this run takes it (at least 1 ms when `ms` is not 0).
std::uint32_t ScaledMs(std::uint32_t ms);

// Returns the argument after `index` and advances to it; at the end, an empty string and the
// index stays.
std::wstring NextArg(int argc, const std::vector<std::wstring>& argv, int& index);
// The leading decimal number of `text` as the C runtime's _wtoi reads it: leading white space,
// an optional sign, digits; 0 when none; saturated at the int range.
std::int32_t WToI(const std::wstring& text);
// False after an unrecognised argument (logged).
bool ParseArgs(int argc, const std::vector<std::wstring>& argv, UpdaterOptions& options);

// Opens the log file for appending (silently nothing when it cannot be opened) / closes it.
void OpenLogFile(const std::wstring& path);
void CloseLogFile();

inline constexpr size_t kLogMessageChars = 2048;  // the message keeps at most 2047 characters
// One line "YYYY-MM-DD hh:mm:ss updater: <message>\r\n" (UTC) to standard error and the log file,
// both in UTF-8.
void LogLine(const wchar_t* format, ...);
// The line LogLine writes for `message` at the given UTC time (for tests and LogLine itself).
std::wstring FormatLogLine(const std::wstring& message, int year, int month, int day, int hour,
                           int minute, int second);

}  // namespace tallowmarch::updater
