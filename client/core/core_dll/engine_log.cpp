#include "engine_log.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

namespace tallowmarch {

void LogF(const LogSink& sink, const wchar_t* format, ...) {
  if (!sink) return;
  // vswprintf reports truncation only as a failure, without saying how long the line would
  // have been, so format into a buffer that grows until the line fits, then cut it.
  std::vector<wchar_t> buffer(kMaxLogLineChars + 1);
  for (;;) {
    va_list args;
    va_start(args, format);
    const int written = std::vswprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (written >= 0) break;
    if (buffer.size() >= 64 * 1024) {  // an encoding error, not a short buffer
      buffer[0] = L'\0';
      break;
    }
    buffer.resize(buffer.size() * 4);
  }
  std::wstring line(buffer.data());
  if (line.size() > kMaxLogLineChars) line.resize(kMaxLogLineChars);
  sink(line);
}

}  // namespace tallowmarch
