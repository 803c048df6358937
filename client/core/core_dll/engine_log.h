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

}  // namespace tallowmarch
