// Relaunch of the host after a swap, and the ready handshake: the new version must set the
// ready event within 20 s, or the swap is rolled back and the previous version started.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "updater_options.h"
#include "zip_staging.h"

namespace tallowmarch::updater {

inline constexpr std::uint32_t kReadyTimeoutMs = 20000;

// The command line the host receives, as text: the quoted program path, then, with an event
// name, " --updated " and the quoted name.
std::wstring RelaunchCommandLine(const std::wstring& programPath, const std::wstring& eventName);
// Starts installDir + "/" + program in the install folder, with "--updated" and the event name
// as its arguments when the name is not empty. Logs its own failure.
bool RelaunchApp(const std::wstring& installDir, const std::wstring& program,
                 const std::wstring& eventName);
// The handshake of the apply (only with --relaunch): 0 to go on, else 14 or 15 after a
// rollback and a restart of the previous version (16 when the rollback was incomplete).
int RunRelaunchHandshake(const UpdaterOptions& options, const std::wstring& installDir,
                         const std::vector<StagedEntry>& entries);

}  // namespace tallowmarch::updater
