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

void AudioRing::Clear() {
  std::lock_guard lock(mutex_);
  items_.clear();
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
