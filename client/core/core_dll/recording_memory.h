// The recording memory diagnostics: one "[DIAG-REC-MEM] " line every 10 seconds of a capture
// with the process's private bytes and working set and the bytes held by the rings.
#pragma once

#include <chrono>

#include "tallowmarch_session.h"

namespace tallowmarch {

void RecordingMemoryMonitorThread(TallowmarchSession* session);
void LogRecordingMemory(TallowmarchSession* session,
                        std::chrono::steady_clock::time_point monitorStart);

}  // namespace tallowmarch
