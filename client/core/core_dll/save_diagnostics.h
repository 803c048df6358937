// Memory diagnostics of a clip save: a stage line after each step of the save, the bytes the
// rings and the save's snapshot lists hold, and a monitor thread that logs the process's
// memory once a second while the save runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "clip_window.h"
#include "engine_log.h"

namespace tallowmarch {

// Private bytes and working set of the process in MB; 0.0 and 0.0 when the query fails.
struct MemorySample {
  double privateMB = 0.0;
  double workingSetMB = 0.0;
};

MemorySample SampleProcessMemory();

// The stage log of one save; used on the save's thread only.
struct SaveMemoryLog {
  LogSink sink;
  double lastPrivateMB = 0.0;  // private figure of the previous stage line
};

// "[DIAG-SAVE-MEM] stage=..." with the private bytes, the working set and the change since the
// previous stage line, then `extra` unchanged.
void LogSaveMemoryStage(SaveMemoryLog& log, const wchar_t* stage, const std::wstring& extra);

// " ringV=..MB ringA=..MB snapV=..MB snapA=..MB": what the rings still hold and what the
// save's own lists keep alive (a buffer held by both counts in both).
class FormatSaveRingMemory {
 public:
  FormatSaveRingMemory(const std::deque<VideoSegment>& segments,
                       const std::deque<AudioChunk>& desktop, const std::deque<AudioChunk>& mic,
                       const SegmentRing& videoRing, const AudioRing& desktopRing,
                       const AudioRing& micRing)
      : segments_(segments),
        desktop_(desktop),
        mic_(mic),
        videoRing_(videoRing),
        desktopRing_(desktopRing),
        micRing_(micRing) {}

  std::wstring operator()() const;

 private:
  const std::deque<VideoSegment>& segments_;
  const std::deque<AudioChunk>& desktop_;
  const std::deque<AudioChunk>& mic_;
  const SegmentRing& videoRing_;
  const AudioRing& desktopRing_;
  const AudioRing& micRing_;
};

// The monitor's stop signal, owned by the save: the flag, and a wake-up so that the monitor
// ends at once rather than at the end of its current 250 ms step (a save is not held up by it).
struct SaveMonitorStop {
  std::atomic<bool> flag{false};  // written once, by SaveMonitorStopGuard
  std::mutex mutex;               // pairs with `wake`; guards no data (the flag is atomic)
  std::condition_variable wake;
};

// What the monitor thread is given. `stop` outlives the thread.
struct SaveMonitorTask {
  SaveMonitorStop* stop = nullptr;
  LogSink forward;
};

// Logs "[DIAG-SAVE-MEM-1S] t=..." once a second (four steps of 250 ms) until stopped.
void SaveMemoryMonitorThread(SaveMonitorTask task);

// Sets the stop flag, wakes the monitor and joins it when the save ends.
class SaveMonitorStopGuard {
 public:
  SaveMonitorStopGuard(SaveMonitorStop* stop, std::thread* thread) : stop_(stop), thread_(thread) {}
  ~SaveMonitorStopGuard();
  SaveMonitorStopGuard(const SaveMonitorStopGuard&) = delete;
  SaveMonitorStopGuard& operator=(const SaveMonitorStopGuard&) = delete;

 private:
  SaveMonitorStop* stop_;
  std::thread* thread_;
};

}  // namespace tallowmarch
