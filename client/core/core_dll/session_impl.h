// The private state of the session: every field the capture, its threads and the save share.
// Fields are destroyed in reverse order; every thread must have been joined (by Stop) first.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "audio_settings.h"
#include "clip_window.h"
#include "common/win_types.h"
#include "engine_log.h"
#include "gpu_encode_context.h"
#include "tallowmarch_session.h"

namespace tallowmarch {

struct TallowmarchSession::Impl {
  using SteadyTime = std::chrono::steady_clock::time_point;

  SteadyTime lastArrivalTime{};  // time of the last frame arrival (frame-arrived handler only)
  bool haveArrival = false;      // lastArrivalTime is valid

  std::uint32_t sourceWidth = 0, sourceHeight = 0;
  std::uint32_t encodeWidth = 0, encodeHeight = 0;
  std::uint32_t fps = 30;
  std::uint32_t bitrate = 6000000;
  // The values given to start, unchanged, for the watchdog's restart.
  std::uint32_t requestedMaxHeight = 0, requestedFps = 0, requestedBitrate = 0;
  HWND targetWindow = nullptr;

  std::atomic<bool> framePending{false};
  std::atomic<std::int64_t> frameTimestamp{0};
  std::atomic<SteadyTime> lastAcceptedTime{SteadyTime{}};
  std::atomic<bool> hasFrame{false};
  std::atomic<std::uint64_t> framesSubmitted{0};
  std::atomic<std::uint64_t> framesCoalesced{0};
  std::atomic<std::uint64_t> encodeAttempts{0};
  std::atomic<std::uint64_t> encodeDrops{0};
  std::atomic<std::int32_t> backoffTier{0};
  std::atomic<std::uint32_t> fpsOverride{0};
  SteadyTime lastEncodedTime{};

  std::unique_ptr<GpuEncodeContext> encodeContext;  // one per capture; read by the save

  SegmentRing videoRing;
  AudioRing desktopRing;
  AudioRing micRing;
  ClipWindow clipWindow{60.0};

  // Common stop flag of every worker; true whenever no capture runs.
  std::atomic<bool> stopRequested{true};

  std::mutex settingsMutex;  // guards audioSettings
  AudioSettings audioSettings;

  // Guards logCallback and each call of it. Lock order: logMutex, then the host's log lock
  // inside the sink the exported layer installs.
  std::mutex logMutex;
  LogSink logCallback;

  // Save progress: stage stored last (release) and read first (acquire); 0 while no save runs.
  std::atomic<std::uint32_t> saveStage{0};
  std::atomic<std::uint32_t> saveDone{0};
  std::atomic<std::uint32_t> saveTotal{0};

  std::atomic<bool> captureBorderEnabled{true};

  // Under logMutex: calls the sink when one is set.
  void Log(const std::wstring& line);
  // Under logMutex: a copy of the sink, for components built at start.
  LogSink GetLogCallback();
  void SetSaveProgress(std::uint32_t stage, std::uint32_t done, std::uint32_t total);
  void ResetSaveProgress() { SetSaveProgress(0, 0, 0); }
};

}  // namespace tallowmarch
