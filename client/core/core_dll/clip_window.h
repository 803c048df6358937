// The buffered stretch of a capture: finished video segments and audio chunks, the clip window
// that says which span is wanted, and the rings that hold the pieces trimmed to that window.
//
// Media bytes are shared: copying a record, pushing it or taking a snapshot never copies the
// bytes, and a snapshot keeps its pieces alive after the ring has dropped them.
#pragma once

#include <atomic>
#include <climits>
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
  // No window reaches back before this moment (start calls it); no segment is buffered yet.
  void MarkFloorNow();
  std::int64_t FloorTime() const { return floorTime_.load(); }

  // {max(now - length, floor), now}.
  ClipTimeRange Window() const;
  // The start of the window alone, with its own clock reading.
  std::int64_t WindowStart() const;

  // A save's clip starts with its first segment, which may have begun before the window: the
  // sound is kept from the start of the oldest buffered segment when that lies earlier.
  void SetOldestSegmentStart(std::int64_t start) { oldestSegmentStart_.store(start); }
  std::int64_t SoundKeepStart() const;

 private:
  std::atomic<double> seconds_;
  std::atomic<std::int64_t> floorTime_{0};
  // Written by the segment ring's push and by start.
  std::atomic<std::int64_t> oldestSegmentStart_{INT64_MAX};
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
    TrimLocked(window.WindowStart());
  }

  // The items that overlap `range` with positive length, in ring order; bytes are shared.
  std::deque<Item> Snapshot(const ClipTimeRange& range) const {
    std::lock_guard lock(mutex_);
    return SnapshotLocked(range);
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
  // Under mutex_: drops front items that ended at or before `start`, keeping at least one.
  void TrimLocked(std::int64_t start) {
    while (items_.size() >= 2 && items_.front().EndTime() <= start) items_.pop_front();
  }
  std::deque<Item> SnapshotLocked(const ClipTimeRange& range) const {
    std::deque<Item> out;
    for (const Item& item : items_) {
      if (item.EndTime() > range.start && item.startTime < range.end) out.push_back(item);
    }
    return out;
  }

  mutable std::mutex mutex_;  // guards items_ (and, in AudioRing, the device format)
  std::deque<Item> items_;
};

class SegmentRing : public PieceRing<VideoSegment> {
 public:
  // As PieceRing's, and tells the window where the oldest segment kept now begins.
  void PushAndTrim(VideoSegment segment, ClipWindow& window);
  // The newest segment alone; empty when there is none.
  std::deque<VideoSegment> Newest() const;
};

class AudioRing : public PieceRing<AudioChunk> {
 public:
  // The chunk a capture loop is still gathering, so that a save holds the sound up to the
  // moment it was asked for. Its loop is its only writer: it changes it only under the ring's
  // lock (Gather, PushGathered) and may read it without.
  struct Gathering {
    std::vector<std::uint8_t> bytes;  // the frames gathered so far
    std::uint64_t skipFrames = 0;     // leading frames that its push will drop
    std::int64_t startTime = 0;       // time of the first frame after them
    std::uint32_t rate = 0;           // frames a second; 0 while no loop gathers
    std::uint32_t blockAlign = 0;
    SharedFormat format;
  };

  // Appends `chunk`, then drops front chunks that ended at or before the window's sound-keep
  // start, keeping at least one.
  void PushAndTrim(AudioChunk chunk, const ClipWindow& window);
  // Snapshot, followed under the same lock by a copy of what the chunk being gathered holds so
  // far when that overlaps `range` too.
  std::deque<AudioChunk> SnapshotUpToNow(const ClipTimeRange& range) const;

  // Runs `change` on the chunk being gathered under the ring's lock.
  template <typename Change>
  void Gather(Change&& change) {
    std::lock_guard lock(mutex_);
    change(gathering_);
  }
  // Under one lock, so that a snapshot sees the sound once: `take` turns the gathered frames
  // into a chunk, which is pushed as by PushAndTrim unless it holds no bytes.
  template <typename Take>
  void PushGathered(Take&& take, const ClipWindow& window) {
    std::lock_guard lock(mutex_);
    AudioChunk chunk = take(gathering_);
    if (!chunk.bytes || chunk.bytes->empty()) return;
    items_.push_back(std::move(chunk));
    TrimLocked(window.SoundKeepStart());
  }
  const Gathering& Gathered() const { return gathering_; }  // for the writer only

  // Also forgets the chunk being gathered, the device format and the reconnect count.
  void Clear();

  // The capture device's complete WAVEFORMATEX block (18 + cbSize bytes); empty until a
  // capture loop opened a device.
  void SetMixFormat(std::vector<std::uint8_t> format);
  std::vector<std::uint8_t> MixFormat() const;

  std::atomic<std::uint32_t> reconnects{0};  // written by the capture loop only

 private:
  std::vector<std::uint8_t> mixFormat_;  // guarded by mutex_
  Gathering gathering_;                  // written under mutex_
};

}  // namespace tallowmarch
