#include "updater_main.h"

#include <signal.h>

#include <optional>

#include "common/wide_text.h"

#include "apply_update.h"
#include "reconcile_selftest.h"
#include "updater_options.h"

namespace tallowmarch::updater {
namespace {

constexpr wchar_t kUsage[] =
    L"usage: tallowmarch_updater --zip PATH --sig PATH --expected-sha256 HEX --target DIR "
    L"[--wait-pid N] [--relaunch Tallowmarch.exe] [--ready-event NAME] [--mutex-name NAME] "
    L"[--log PATH]";
constexpr wchar_t kNotUtf8[] = L"argument %d is not UTF-8";
constexpr wchar_t kReconcileNeedsTarget[] = L"reconcile needs --target";

}  // namespace

int RunUpdaterProcess(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::wstring> arguments;
  arguments.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    std::optional<std::wstring> argument = DecodeUtf8(argv[i]);
    if (!argument) {
      LogLine(kNotUtf8, i);
      LogLine(kUsage);
      return kExitBadCommandLine;
    }
    arguments.push_back(std::move(*argument));
  }
  return UpdaterMain(arguments);
}

int UpdaterMain(const std::vector<std::wstring>& argv) {
  UpdaterOptions options;
  if (!ParseArgs(static_cast<int>(argv.size()), argv, options)) return kExitBadCommandLine;
  if (!options.logPath.empty()) OpenLogFile(options.logPath);

  int code = kExitBadCommandLine;
  if (options.selfTest) {
    code = RunSelfTest(options);
  } else if (options.reconcile) {
    if (options.targetDir.empty()) {
      LogLine(kReconcileNeedsTarget);
    } else {
      code = ReconcileInterruptedUpdate(options);
    }
  } else if (!options.zipPath.empty() && !options.sigPath.empty() &&
             !options.expectedSha256.empty() && !options.targetDir.empty()) {
    code = ApplyUpdate(options);
  } else {
    LogLine(kUsage);
  }
  CloseLogFile();
  return code;
}

}  // namespace tallowmarch::updater
