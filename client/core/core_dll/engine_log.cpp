#include "engine_log.h"

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <cwchar>  // also wcsnlen (POSIX)

#include "common/wide_text.h"

extern "C" {
#include <libavutil/log.h>
}

namespace tallowmarch {
namespace {

constexpr wchar_t kFfmpegTag[] = L"[FFMPEG] ";

std::atomic<void (*)(const std::wstring&)> g_ffmpegSink{nullptr};  // written by Route/Restore

// The line a thread is gathering. Trivially destructible, so that a thread that logged does not
// keep the library from being unloaded.
struct PendingFfmpegLine {
  char text[kMaxLogLineChars + 1];
  std::size_t length;
  int printPrefix;  // av_log_format_line's: the next piece begins a line
};
thread_local PendingFfmpegLine t_ffmpegLine{{}, 0, 1};

void FfmpegLogCallback(void* avcl, int level, const char* format, va_list args) {
  // The low byte is the level (lower is worse); the rest are flags.
  if ((level & 0xff) > AV_LOG_WARNING) return;
  void (*sink)(const std::wstring&) = g_ffmpegSink.load();
  if (sink == nullptr) return;
  PendingFfmpegLine& line = t_ffmpegLine;
  av_log_format_line(avcl, level, format, args, line.text + line.length,
                     static_cast<int>(sizeof line.text - line.length), &line.printPrefix);
  line.length += std::strlen(line.text + line.length);
  const bool ended = line.length > 0 && line.text[line.length - 1] == '\n';
  if (!ended && line.length + 1 < sizeof line.text) return;  // the rest of the line follows
  std::size_t n = line.length;
  while (n > 0 && (line.text[n - 1] == '\n' || line.text[n - 1] == '\r')) --n;
  line.length = 0;
  if (n == 0) return;
  try {
    sink(kFfmpegTag + Widen(std::string_view(line.text, n)));
  } catch (...) {
    // Out of memory: the line is lost; nothing may unwind through FFmpeg's C frames.
  }
}

}  // namespace

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

void RouteFfmpegLog(void (*sink)(const std::wstring&)) {
  g_ffmpegSink.store(sink);
  av_log_set_callback(&FfmpegLogCallback);
}

void RestoreFfmpegLog() {
  if (g_ffmpegSink.exchange(nullptr) != nullptr) av_log_set_callback(&av_log_default_callback);
}

}  // namespace tallowmarch
