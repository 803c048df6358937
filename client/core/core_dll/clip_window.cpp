#include "clip_window.h"

#include <algorithm>

namespace tallowmarch {

ClipTimeRange ClipWindow::Window() const {
  const std::int64_t now = NowHns();
  return {std::max(now - SecondsToHns(seconds_.load()), floorTime_.load()), now};
}

std::int64_t ClipWindow::WindowStart() const {
  return std::max(NowHns() - SecondsToHns(seconds_.load()), floorTime_.load());
}

void ClipWindow::MarkFloorNow() {
  floorTime_.store(NowHns());
  oldestSegmentStart_.store(INT64_MAX);
}

std::int64_t ClipWindow::SoundKeepStart() const {
  return std::min(WindowStart(), oldestSegmentStart_.load());
}

void SegmentRing::PushAndTrim(VideoSegment segment, ClipWindow& window) {
  std::lock_guard lock(mutex_);
  items_.push_back(std::move(segment));
  TrimLocked(window.WindowStart());
  window.SetOldestSegmentStart(items_.front().startTime);
}

std::deque<VideoSegment> SegmentRing::Newest() const {
  std::lock_guard lock(mutex_);
  if (items_.empty()) return {};
  return {items_.back()};
}

void AudioRing::PushAndTrim(AudioChunk chunk, const ClipWindow& window) {
  std::lock_guard lock(mutex_);
  items_.push_back(std::move(chunk));
  TrimLocked(window.SoundKeepStart());
}

std::deque<AudioChunk> AudioRing::SnapshotUpToNow(const ClipTimeRange& range) const {
  std::lock_guard lock(mutex_);
  std::deque<AudioChunk> out = SnapshotLocked(range);
  const Gathering& g = gathering_;
  if (g.rate == 0 || g.blockAlign == 0) return out;
  const std::uint64_t frames = g.bytes.size() / g.blockAlign;
  if (frames <= g.skipFrames) return out;
  AudioChunk chunk;
  chunk.startTime = g.startTime;
  chunk.durationSeconds = static_cast<double>(frames - g.skipFrames) / g.rate;
  chunk.format = g.format;
  if (chunk.EndTime() <= range.start || chunk.startTime >= range.end) return out;
  // A copy, as the loop goes on appending to its buffer: at most 2 s of sound, which holds the
  // lock well under a millisecond.
  const auto from = g.bytes.begin() + static_cast<std::ptrdiff_t>(g.skipFrames * g.blockAlign);
  chunk.bytes = std::make_shared<std::vector<std::uint8_t>>(
      from, g.bytes.begin() + static_cast<std::ptrdiff_t>(frames * g.blockAlign));
  out.push_back(std::move(chunk));
  return out;
}

void AudioRing::Clear() {
  std::lock_guard lock(mutex_);
  items_.clear();
  gathering_ = Gathering{};
  mixFormat_.clear();
  reconnects.store(0);
}

void AudioRing::SetMixFormat(std::vector<std::uint8_t> format) {
  std::lock_guard lock(mutex_);
  mixFormat_ = std::move(format);
}

std::vector<std::uint8_t> AudioRing::MixFormat() const {
  std::lock_guard lock(mutex_);
  return mixFormat_;
}

}  // namespace tallowmarch
