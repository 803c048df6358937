// The GPU-loss watchdog of a capture and its automatic restart.
//
// WatchdogThread checks every 3 seconds whether the capture's device was removed and whether a
// hardware H.264 encoder is still listed. On a removed device it sets the stop flag and hands
// over to WatchdogRestart on a thread of its own, then ends.
//
// How a restart is kept apart from the exports: the restart takes the exported layer's
// lifecycle lock and then its session lock (the order every export uses) and holds both for
// its whole stop, pause and start, so it never overlaps a stop, start, save or shutdown of the
// host; those wait for it, and it waits for them. It acts only on the capture it was raised
// for: when the host stopped or replaced that capture first (lifecycleEpoch moved), it does
// nothing. It waits for the locks in a way a cancel can cut short, and the session cancels and
// joins it before it is destroyed (TallowmarchSession::CancelRestart), so no restart outlives
// its session and a shutdown never waits on a restart that waits on the shutdown.
#pragma once

#include <cstdint>

#include "common/win_types.h"
#include "tallowmarch_session.h"

namespace tallowmarch {

struct WatchdogClosure {
  TallowmarchSession* session = nullptr;
  HWND window = nullptr;
  bool captureMonitor = false;
  std::uint64_t epoch = 0;  // lifecycleEpoch of the capture the watchdog belongs to
};

struct RestartClosure {
  TallowmarchSession* session = nullptr;
  HWND window = nullptr;
  bool captureMonitor = false;
  std::uint32_t maxHeight = 0, fps = 0, bitrate = 0;  // as the host gave them
  std::uint64_t epoch = 0;
};

void WatchdogThread(WatchdogClosure closure);
void WatchdogRestart(RestartClosure closure);

}  // namespace tallowmarch
