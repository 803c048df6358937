// Clip saving: the buffered clip window written as one MP4 file (H.264 first, AAC second when
// sound was buffered) named after the local time, with progress stages and memory diagnostics.
// TallowmarchSession::SaveClipNow is the entry point; it checks that a capture runs and hands
// the rest to WriteClip.
#pragma once

#include <string>

#include "session_impl.h"
#include "system/system.h"

namespace tallowmarch {

// "clip_YYYY-MM-DD_hh-mm-ss.mp4"; from the second clip of one local second on, "_2", "_3", ...
// go before the extension (`sequence` 1 gives the plain name).
std::wstring ClipFileName(const platform::LocalTime& time, unsigned sequence);

// The folder with a '/' after it, unless it is empty or already ends in '/' or '\'.
std::wstring ClipFolderPrefix(const std::wstring& outputDir);

// The first name of the local second that nothing on disk uses yet, reserved by creating the
// file exclusively: an earlier clip is never overwritten, and of two saves in one second (two
// processes into one folder, say) each gets a name of its own. `reserved` is false when the
// folder takes no file; the path is then the first name, and opening it reports the failure.
std::wstring ChooseClipPath(const std::wstring& outputDir, const platform::LocalTime& time,
                            bool& reserved);

// Steps 2 onwards of a save, on a session that captures. False when nothing was written or the
// save failed (its line is logged); `outPath` is set only on success.
bool WriteClip(TallowmarchSession::Impl& state, const std::wstring& outputDir,
               std::wstring& outPath);

}  // namespace tallowmarch
