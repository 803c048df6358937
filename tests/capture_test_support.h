// Shared helpers of the capture tests: a log sink that keeps every line and lets a test wait
// for a line with a deadline, and the demux of one in-memory MP4 segment.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

namespace tallowmarch::testing {

// Silences FFmpeg's own reports (encoder banners and probe failures) in this process.
inline void QuietFfmpegLogs() {
  av_log_set_level(AV_LOG_FATAL);
}

class LogLines {
 public:
  LogLines() { QuietFfmpegLogs(); }
  void Add(const std::wstring& line) {
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    }
    cv_.notify_all();
  }
  std::vector<std::wstring> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Lines that begin with `prefix`.
  std::vector<std::wstring> Starting(const std::wstring& prefix) const {
    std::vector<std::wstring> out;
    for (const std::wstring& line : Lines())
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
  }
  int Count(const std::wstring& prefix) const { return static_cast<int>(Starting(prefix).size()); }
  // Waits until `count` lines begin with `prefix`; false at the deadline.
  bool WaitFor(const std::wstring& prefix, int count = 1,
               std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] {
      int n = 0;
      for (const std::wstring& line : lines_)
        if (line.rfind(prefix, 0) == 0) ++n;
      return n >= count;
    });
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;  // guards lines_
  mutable std::condition_variable cv_;
  std::vector<std::wstring> lines_;
};

// Waits for `condition` with a deadline, polling every 5 ms.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// What FFmpeg reads from one MP4 file in memory.
struct DemuxedVideo {
  bool ok = false;
  int width = 0, height = 0;
  std::string codec;
  std::vector<std::int64_t> pts;  // in the stream's time base, in file order
  double timeBase = 0.0;          // seconds per tick
  bool firstIsKey = false;
};

DemuxedVideo DemuxSegment(const std::vector<std::uint8_t>& bytes);

}  // namespace tallowmarch::testing
