#include "save_diagnostics.h"

#include <chrono>
#include <cwchar>

#include "platform.h"
#include "system/system.h"

namespace tallowmarch {
namespace {

template <typename Item>
size_t HeldBytes(const std::deque<Item>& items) {
  size_t total = 0;
  for (const Item& item : items) {
    if (item.bytes) total += item.bytes->size();
  }
  return total;
}

}  // namespace

MemorySample SampleProcessMemory() {
  platform::ProcessMemoryCounters counters;
  if (!platform::System().QueryProcessMemory(counters)) counters = {};
  return {static_cast<double>(counters.privateBytes) / 1048576.0,
          static_cast<double>(counters.workingSet) / 1048576.0};
}

void LogSaveMemoryStage(SaveMemoryLog& log, const wchar_t* stage, const std::wstring& extra) {
  const MemorySample sample = SampleProcessMemory();
  wchar_t line[256];
  std::swprintf(line, 256, L"[DIAG-SAVE-MEM] stage=%-18ls priv=%.1fMB ws=%.1fMB dPriv=%+.1fMB",
                stage, sample.privateMB, sample.workingSetMB, sample.privateMB - log.lastPrivateMB);
  if (log.sink) log.sink(line + extra);
  log.lastPrivateMB = sample.privateMB;
}

std::wstring FormatSaveRingMemory::operator()() const {
  const size_t snapV = HeldBytes(segments_);
  const size_t snapA = HeldBytes(desktop_) + HeldBytes(mic_);
  const size_t ringV = videoRing_.TotalBytes();
  const size_t ringA = desktopRing_.TotalBytes() + micRing_.TotalBytes();
  wchar_t text[160];
  std::swprintf(text, 160, L" ringV=%zuMB ringA=%zuMB snapV=%zuMB snapA=%zuMB", ringV >> 20,
                ringA >> 20, snapV >> 20, snapA >> 20);
  return text;
}

void SaveMemoryMonitorThread(SaveMonitorTask task) {
  try {
    int tick = 0;
    SaveMonitorStop& stop = *task.stop;
    for (;;) {
      if (stop.flag.load()) return;
      {
        std::unique_lock lock(stop.mutex);
        stop.wake.wait_for(lock, std::chrono::milliseconds(250), [&] { return stop.flag.load(); });
      }
      if (stop.flag.load()) return;
      ++tick;
      if (tick % 4 != 0) continue;
      const MemorySample sample = SampleProcessMemory();
      wchar_t line[128];
      std::swprintf(line, 128, L"[DIAG-SAVE-MEM-1S] t=%ds priv=%.1fMB ws=%.1fMB", tick / 4,
                    sample.privateMB, sample.workingSetMB);
      if (task.forward) task.forward(line);
    }
  } catch (const std::exception&) {
    // Out of memory while building a line: the monitor ends quietly; the save goes on.
  }
}

SaveMonitorStopGuard::~SaveMonitorStopGuard() {
  stop_->flag.exchange(true);
  {
    // Taken so that the wake-up cannot fall between the monitor's test and its wait.
    std::lock_guard lock(stop_->mutex);
  }
  stop_->wake.notify_all();
  if (thread_->joinable()) thread_->join();
}

}  // namespace tallowmarch
