// The engine's log sink and its printf-style helper.
#pragma once

#include <functional>
#include <string>

namespace tallowmarch {

// One line per call: no newline, no level, no timestamp. May be empty. Components built at
// start keep their own copy and call it without the session's log lock, from any thread.
using LogSink = std::function<void(const std::wstring&)>;

// Lines formatted by LogF are cut to this many wide characters.
inline constexpr size_t kMaxLogLineChars = 1023;

// printf-style line into `sink`: nothing is formatted when the sink is empty; a longer line is
// cut to its first 1023 characters. Wide printf rules: %ls for a wide string, %s for a narrow
// one.
void LogF(const LogSink& sink, const wchar_t* format, ...);

// FFmpeg's log callback is process-wide. Routed, FFmpeg's messages of warning level and worse
// reach `sink` as lines beginning "[FFMPEG] ", each assembled from FFmpeg's partial messages on
// the thread that logs them; the rest is dropped. `sink` runs on whichever thread FFmpeg logs
// from (its own worker threads included), must not throw, and must stay valid until restored.
void RouteFfmpegLog(void (*sink)(const std::wstring&));
// Puts FFmpeg's default logger (standard error) back when the engine routed it, so that FFmpeg
// holds no pointer into the engine once it is shut down or unloaded.
void RestoreFfmpegLog();

}  // namespace tallowmarch
