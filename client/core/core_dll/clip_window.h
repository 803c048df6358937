// The buffered stretch of a capture: finished video segments and audio chunks, the clip window
// that says which span is wanted, and the rings that hold the pieces trimmed to that window.
//
// Media bytes are shared: copying a record, pushing it or taking a snapshot never copies the
// bytes, and a snapshot keeps its pieces alive after the ring has dropped them.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "engine_clock.h"

namespace tallowmarch {

using SharedBytes = std::shared_ptr<std::vector<std::uint8_t>>;

// One self-contained MP4 file of a segment.
struct VideoSegment {
  SharedBytes bytes;
  double durationSeconds = 0.0;
  std::uint32_t frameCount = 0;
  std::int64_t startTime = 0;  // NowHns of the first frame
  bool reencodeAtSave = false;

  std::int64_t EndTime() const { return startTime + SecondsToHns(durationSeconds); }
};

// A device's format block as the capture loop read it (WAVEFORMATEX, 18 + cbSize bytes); the
// chunks of one opened device share it.
using SharedFormat = std::shared_ptr<const std::vector<std::uint8_t>>;

// One block of captured sound: interleaved PCM in the format of the device it was recorded
// from. Its frames follow each other without gaps from `startTime` on.
struct AudioChunk {
  SharedBytes bytes;
  std::int64_t startTime = 0;  // NowHns of the first frame
  double durationSeconds = 0.0;
  SharedFormat format{};  // the format of `bytes`; empty: the ring's format

  std::int64_t EndTime() const { return startTime + SecondsToHns(durationSeconds); }
};

// A span of NowHns ticks.
struct ClipTimeRange {
  std::int64_t start = 0;
  std::int64_t end = 0;
};

// Lock-free: start sets the length and the floor before any worker runs.
class ClipWindow {
 public:
  explicit ClipWindow(double seconds) : seconds_(seconds) {}

  void SetSeconds(double seconds) { seconds_.store(seconds); }
  double Seconds() const { return seconds_.load(); }
  // No window reaches back before this moment (start calls it).
  void MarkFloorNow() { floorTime_.store(NowHns()); }
  std::int64_t FloorTime() const { return floorTime_.load(); }

  // {max(now - length, floor), now}.
  ClipTimeRange Window() const;
  // The start of the window alone, with its own clock reading.
  std::int64_t WindowStart() const;

 private:
  std::atomic<double> seconds_;
  std::atomic<std::int64_t> floorTime_{0};
};

// A lock and a double-ended queue, oldest at the front. Every operation takes the lock for its
// whole duration and calls out only to the clip window (atomics) and the clock.
template <typename Item>
class PieceRing {
 public:
  // Appends `item`, then drops front items that ended at or before the window start, always
  // keeping at least one. Only the front is examined.
  void PushAndTrim(Item item, const ClipWindow& window) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
    const std::int64_t windowStart = window.WindowStart();
    while (items_.size() >= 2 && items_.front().EndTime() <= windowStart) items_.pop_front();
  }

  // The items that overlap `range` with positive length, in ring order; bytes are shared.
  std::deque<Item> Snapshot(const ClipTimeRange& range) const {
    std::lock_guard lock(mutex_);
    std::deque<Item> out;
    for (const Item& item : items_) {
      if (item.EndTime() > range.start && item.startTime < range.end) out.push_back(item);
    }
    return out;
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    items_.clear();
  }

  // Sum of the byte counts of the items that hold bytes.
  size_t TotalBytes() const {
    std::lock_guard lock(mutex_);
    size_t total = 0;
    for (const Item& item : items_) {
      if (item.bytes) total += item.bytes->size();
    }
    return total;
  }

  size_t Count() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }

 protected:
  mutable std::mutex mutex_;  // guards items_ (and, in AudioRing, the device format)
  std::deque<Item> items_;
};

class SegmentRing : public PieceRing<VideoSegment> {};

class AudioRing : public PieceRing<AudioChunk> {
 public:
  // Also forgets the device format and the reconnect count.
  void Clear();

  // The capture device's complete WAVEFORMATEX block (18 + cbSize bytes); empty until a
  // capture loop opened a device.
  void SetMixFormat(std::vector<std::uint8_t> format);
  std::vector<std::uint8_t> MixFormat() const;

  std::atomic<std::uint32_t> reconnects{0};  // written by the capture loop only

 private:
  std::vector<std::uint8_t> mixFormat_;  // guarded by mutex_
};

}  // namespace tallowmarch
