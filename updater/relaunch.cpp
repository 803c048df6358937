#include "relaunch.h"

#include "apply_update.h"
#include "common/wide_text.h"
#include "long_path_files.h"
#include "system/os_layers.h"

namespace tallowmarch::updater {
namespace {

constexpr wchar_t kRelaunchOfFailed[] = L"relaunch of %ls failed (err %lu)";
constexpr wchar_t kRelaunchFailed[] = L"relaunch failed - rolling back to the previous version";
constexpr wchar_t kNotReady[] = L"new version did not signal ready within timeout - rolling back";

}  // namespace

std::wstring RelaunchCommandLine(const std::wstring& programPath, const std::wstring& eventName) {
  std::wstring line = L"\"" + programPath + L"\"";
  if (!eventName.empty()) line += L" --updated \"" + eventName + L"\"";
  return line;
}

bool RelaunchApp(const std::wstring& installDir, const std::wstring& program,
                 const std::wstring& eventName) {
  const std::wstring programPath = JoinPath(installDir, program);
  // POSIX takes the arguments as a vector, so the command line's quoting is not needed: the
  // host receives exactly the arguments RelaunchCommandLine shows.
  std::vector<std::string> arguments;
  if (!eventName.empty()) {
    arguments.push_back("--updated");
    arguments.push_back(Narrow(eventName));
  }
  const std::string workingDir = NativePath(installDir);
  std::int32_t pid = 0;
  std::uint32_t error = 0;
  if (platform::Processes().StartProcess(NativePath(programPath), arguments, workingDir, pid,
                                         error)) {
    return true;
  }
  // The plain path, as given, before giving up.
  if (platform::Processes().StartProcess(Narrow(programPath), arguments, workingDir, pid, error)) {
    return true;
  }
  LogLine(kRelaunchOfFailed, programPath.c_str(), static_cast<unsigned long>(error));
  return false;
}

int RunRelaunchHandshake(const UpdaterOptions& options, const std::wstring& installDir,
                         const std::vector<StagedEntry>& entries) {
  std::unique_ptr<platform::NamedEvent> ready;
  if (!options.readyEventName.empty()) {
    std::uint32_t error = 0;
    ready = platform::NamedObjects().CreateEvent(Narrow(options.readyEventName), error);
  }
  if (!RelaunchApp(installDir, options.relaunchExe, options.readyEventName)) {
    LogLine(kRelaunchFailed);
    const bool complete = RollbackCommittedUpdate(entries);
    RelaunchApp(installDir, options.relaunchExe, L"");
    return complete ? kExitRelaunchFailed : kExitRollbackIncomplete;
  }
  if (ready) {
    const platform::ObjectWait wait = ready->Wait(ScaledMs(kReadyTimeoutMs));
    ready.reset();
    if (wait != platform::ObjectWait::kSignaled) {
      LogLine(kNotReady);
      const bool complete = RollbackCommittedUpdate(entries);
      RelaunchApp(installDir, options.relaunchExe, L"");
      return complete ? kExitReadyTimeout : kExitRollbackIncomplete;
    }
  }
  return kExitSuccess;
}

}  // namespace tallowmarch::updater
