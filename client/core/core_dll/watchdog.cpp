#include "watchdog.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "gpu_setup.h"
#include "session_impl.h"

namespace tallowmarch {

namespace {

using Impl = TallowmarchSession::Impl;

// Both interface locks, lifecycle first, or false once the restart is cancelled. Polls rather
// than blocks, so that a shutdown holding the locks can cancel it and join it.
bool AcquireInterfaceLocks(Impl& s, std::unique_lock<std::mutex>& lifecycle,
                           std::unique_lock<std::mutex>& session) {
  for (;;) {
    {
      std::unique_lock lock(s.restartMutex);
      if (s.restartCancelled) return false;
    }
    std::unique_lock tryLifecycle(*s.lifecycleLock, std::try_to_lock);
    if (tryLifecycle.owns_lock()) {
      std::unique_lock trySession(*s.sessionLock, std::try_to_lock);
      if (trySession.owns_lock()) {
        lifecycle = std::move(tryLifecycle);
        session = std::move(trySession);
        return true;
      }
    }
    std::unique_lock lock(s.restartMutex);
    s.restartCv.wait_for(lock, std::chrono::milliseconds(5), [&] { return s.restartCancelled; });
  }
}

// Starts the restart thread in place of an earlier one; nothing after a cancel. The earlier
// restart may still be waiting for the interface locks (the host stopped and started a capture
// meanwhile): the new thread joins it before it begins, never this watchdog, because a host
// stop that holds those locks joins this watchdog.
void LaunchRestart(Impl& s, const RestartClosure& closure) {
  std::lock_guard lock(s.restartMutex);
  if (s.restartCancelled) return;
  auto earlier = std::make_shared<std::thread>(std::move(s.restartThread));
  try {
    s.restartThread = std::thread([earlier, closure] {
      if (earlier->joinable()) earlier->join();
      try {
        WatchdogRestart(closure);
      } catch (...) {
        // Out of memory for a line: nothing may leave the thread and end the process.
      }
    });
  } catch (...) {
    s.restartThread = std::move(*earlier);  // still joined by CancelRestart
    throw;
  }
}

}  // namespace

void WatchdogThread(WatchdogClosure closure) {
  Impl& s = closure.session->State();
  bool encoderPresent = true;
  for (;;) {
    if (s.stopRequested.load()) return;
    for (int waited = 0; waited < 3000; waited += 200)
      if (s.SleepUnlessStopped(std::chrono::milliseconds(200))) break;
    if (s.stopRequested.load()) return;

    const HRESULT reason = s.d3dDevice ? s.d3dDevice->GetDeviceRemovedReason() : S_OK;
    if (reason != S_OK) {
      s.LogFormatted(
          L"Watchdog: GPU device lost (0x%08X) - a driver reset (TDR) or a display sleep/resume "
          L"cycle can cause this. Attempting automatic capture restart.",
          static_cast<unsigned>(reason));
      s.stopRequested.store(true);
      RestartClosure restart;
      restart.session = closure.session;
      restart.window = closure.window;
      restart.captureMonitor = closure.captureMonitor;
      restart.maxHeight = s.requestedMaxHeight;
      restart.fps = s.requestedFps;
      restart.bitrate = s.requestedBitrate;
      restart.epoch = closure.epoch;
      try {
        LaunchRestart(s, restart);
      } catch (const std::exception&) {
        // No thread left for the restart: the capture winds down and stays stopped until the
        // host stops or starts it.
        s.Log(
            L"Watchdog: automatic capture restart after GPU device loss failed - manual "
            L"restart required.");
      }
      return;
    }

    const bool present = HasHardwareH264Encoder();
    if (encoderPresent && !present)
      s.Log(
          L"Watchdog: no hardware H.264 encoder detected anymore (driver removed/changed?) - if "
          L"capture or the next restart starts failing, this is likely why.");
    encoderPresent = present;
  }
}

void WatchdogRestart(RestartClosure closure) {
  TallowmarchSession& session = *closure.session;
  Impl& s = session.State();
  std::unique_lock<std::mutex> lifecycle, sessionLock;
  if (!AcquireInterfaceLocks(s, lifecycle, sessionLock)) return;
  // The host stopped or replaced the capture first: its decision stands.
  if (s.lifecycleEpoch.load() != closure.epoch) return;

  session.Stop();
  {
    std::unique_lock lock(s.restartMutex);
    if (s.restartCv.wait_for(lock, std::chrono::milliseconds(500),
                             [&] { return s.restartCancelled; }))
      return;  // the session is going away: stay stopped
  }
  if (session.Start(closure.window, closure.captureMonitor, closure.maxHeight, closure.fps,
                    closure.bitrate, 0))
    s.Log(L"Watchdog: capture automatically recovered after GPU device loss.");
  else
    s.Log(
        L"Watchdog: automatic capture restart after GPU device loss failed - manual restart "
        L"required.");
}

}  // namespace tallowmarch
