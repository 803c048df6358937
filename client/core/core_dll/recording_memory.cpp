#include "recording_memory.h"

#include <cwchar>

#include "platform.h"
#include "session_impl.h"
#include "system/system.h"

namespace tallowmarch {

void RecordingMemoryMonitorThread(TallowmarchSession* session) {
  TallowmarchSession::Impl& s = session->State();
  const auto start = std::chrono::steady_clock::now();
  for (unsigned pass = 0; !s.stopRequested.load(); ++pass) {
    if (pass % 40 == 0) LogRecordingMemory(session, start);
    if (s.SleepUnlessStopped(std::chrono::milliseconds(250))) return;
  }
}

void LogRecordingMemory(TallowmarchSession* session,
                        std::chrono::steady_clock::time_point monitorStart) {
  TallowmarchSession::Impl& s = session->State();
  platform::ProcessMemoryCounters counters;
  if (!platform::System().QueryProcessMemory(counters)) counters = {};  // a failed read: zeros
  const std::size_t video = s.videoRing.TotalBytes();
  const std::size_t audio = s.desktopRing.TotalBytes() + s.micRing.TotalBytes();
  const auto seconds = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(
                                            std::chrono::steady_clock::now() - monitorStart)
                                            .count());
  wchar_t line[192];
  std::swprintf(line, 192, L"[DIAG-REC-MEM] t=%ds priv=%.1fMB ws=%.1fMB ringV=%zuMB ringA=%zuMB",
                seconds, static_cast<double>(counters.privateBytes) / 1048576.0,
                static_cast<double>(counters.workingSet) / 1048576.0, video >> 20, audio >> 20);
  s.Log(line);
}

}  // namespace tallowmarch
