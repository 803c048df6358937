#include "engine_log.h"

#include <cstdarg>
#include <cwchar>  // also wcsnlen (POSIX)

namespace tallowmarch {

void LogF(const LogSink& sink, const wchar_t* format, ...) {
  if (!sink) return;
  // One pass into a buffer of the line's largest size. A line that does not fit makes
  // vswprintf fail, and so does an argument it cannot convert (a narrow string that is not
  // valid in the current locale); either way the buffer holds what was formatted up to that
  // point (the C library writes in order and stops there), and that is the line: the first
  // 1023 characters of a long line, or the text before the argument that failed.
  wchar_t buffer[kMaxLogLineChars + 1] = {};
  va_list args;
  va_start(args, format);
  std::vswprintf(buffer, kMaxLogLineChars + 1, format, args);
  va_end(args);
  sink(std::wstring(buffer, ::wcsnlen(buffer, kMaxLogLineChars)));
}

}  // namespace tallowmarch
