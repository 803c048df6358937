#include "updater_options.h"

#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <ctime>
#include <cwchar>
#include <cwctype>

#include "common/wide_text.h"
#include "long_path_files.h"
#include "system/os_layers.h"

namespace tallowmarch::updater {
namespace {

constexpr wchar_t kUnknownArgument[] = L"unknown argument: %ls";
constexpr size_t kLineChars = 2200;

// vswprintf reports truncation only as a failure, so the message is formatted into a buffer
// that grows until it fits and then cut, which gives the same text as a truncating formatter.
std::wstring FormatMessage(const wchar_t* format, va_list args) {
  for (size_t size = kLogMessageChars;; size *= 4) {
    std::vector<wchar_t> buffer(size);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (n >= 0) {
      std::wstring message(buffer.data(), static_cast<size_t>(n));
      if (message.size() > kLogMessageChars - 1) message.resize(kLogMessageChars - 1);
      return message;
    }
    if (size >= (1u << 22)) return std::wstring(format);  // not a length problem: keep the format
  }
}

void WriteBytes(int fd, const std::string& bytes) {
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = write(fd, data, left);
    if (n <= 0) return;  // standard error may be closed; nothing to do about it
    data += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

UpdaterState& State() {
  static UpdaterState state;
  return state;
}

std::uint32_t ScaledMs(std::uint32_t ms) {
  const std::uint32_t divisor = State().timeDivisor == 0 ? 1 : State().timeDivisor;
  if (ms == 0) return 0;
  return ms / divisor == 0 ? 1 : ms / divisor;
}

std::wstring NextArg(int argc, const std::vector<std::wstring>& argv, int& index) {
  if (index + 1 < argc && static_cast<size_t>(index + 1) < argv.size()) {
    ++index;
    return argv[static_cast<size_t>(index)];
  }
  return {};
}

std::int32_t WToI(const std::wstring& text) {
  size_t i = 0;
  while (i < text.size() && std::iswspace(static_cast<wint_t>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  long long value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<std::int32_t>(value);
}

bool ParseArgs(int argc, const std::vector<std::wstring>& argv, UpdaterOptions& options) {
  for (int i = 1; i < argc && static_cast<size_t>(i) < argv.size(); ++i) {
    const std::wstring& arg = argv[static_cast<size_t>(i)];
    if (arg == L"--selftest") {
      options.selfTest = true;
    } else if (arg == L"--reconcile") {
      options.reconcile = true;
    } else if (arg == L"--zip") {
      options.zipPath = NextArg(argc, argv, i);
    } else if (arg == L"--sig") {
      options.sigPath = NextArg(argc, argv, i);
    } else if (arg == L"--expected-sha256") {
      options.expectedSha256 = NextArg(argc, argv, i);
    } else if (arg == L"--target") {
      options.targetDir = NextArg(argc, argv, i);
    } else if (arg == L"--relaunch") {
      options.relaunchExe = NextArg(argc, argv, i);
    } else if (arg == L"--ready-event") {
      options.readyEventName = NextArg(argc, argv, i);
    } else if (arg == L"--mutex-name") {
      options.mutexName = NextArg(argc, argv, i);
    } else if (arg == L"--log") {
      options.logPath = NextArg(argc, argv, i);
    } else if (arg == L"--wait-pid") {
      options.waitPid = WToI(NextArg(argc, argv, i));
      options.hasWaitPid = options.waitPid != 0;
    } else {
      LogLine(kUnknownArgument, arg.c_str());
      return false;
    }
  }
  return true;
}

void OpenLogFile(const std::wstring& path) {
  std::uint32_t error = 0;
  State().logFile = platform::Files().OpenAppend(Narrow(LongPath(path)), error);
}

void CloseLogFile() {
  State().logFile.reset();
}

std::wstring FormatLogLine(const std::wstring& message, int year, int month, int day, int hour,
                           int minute, int second) {
  std::vector<wchar_t> buffer(kLineChars);
  const int n =
      std::swprintf(buffer.data(), buffer.size(), L"%04d-%02d-%02d %02d:%02d:%02d updater: %ls\r\n",
                    year, month, day, hour, minute, second, message.c_str());
  // A message of at most 2047 characters always fits; the cut is kept for safety.
  if (n < 0) return std::wstring(buffer.data(), std::wcslen(buffer.data()));
  return std::wstring(buffer.data(), static_cast<size_t>(n));
}

void LogLine(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const std::wstring message = FormatMessage(format, args);
  va_end(args);

  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  const std::wstring line = FormatLogLine(message, utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                                          utc.tm_hour, utc.tm_min, utc.tm_sec);
  // UTF-8 on both sides: wide stdio would depend on the locale.
  const std::string bytes = Narrow(line);
  WriteBytes(STDERR_FILENO, bytes);
  if (State().logFile && !bytes.empty()) {
    size_t written = 0;
    std::uint32_t error = 0;
    State().logFile->Write(bytes.data(), bytes.size(), written, error);  // errors ignored
  }
}

}  // namespace tallowmarch::updater
