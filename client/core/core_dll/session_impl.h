// The private state of the session: every field the capture, its threads and the save share.
// Fields are destroyed in reverse order; every thread must have been joined (by Stop) first.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <queue>
#include <thread>

#include "audio_settings.h"
#include "capture/capture.h"
#include "clip_window.h"
#include "common/win_types.h"
#include "engine_log.h"
#include "gpu/gpu.h"
#include "gpu_encode_context.h"
#include "segment_encoder.h"
#include "tallowmarch_session.h"

namespace tallowmarch {

struct TallowmarchSession::Impl {
  using SteadyTime = std::chrono::steady_clock::time_point;
  using EncoderPtr = std::unique_ptr<IVideoSegmentEncoder>;

  // Device and capture objects of the capture; set by Start (no capture thread runs then) and
  // kept after Stop until the next Start replaces them.
  std::shared_ptr<platform::GpuDevice> d3dDevice;
  std::shared_ptr<platform::Direct3DDevice> winrtDevice;
  std::shared_ptr<platform::CaptureItem> captureItem;
  std::shared_ptr<platform::CaptureFramePool> framePool;
  std::shared_ptr<platform::CaptureSession> captureSession;
  platform::EventRevoker frameArrivedRevoker;  // revoked by Stop (synchronous: see capture.h)
  platform::EventRevoker itemClosedRevoker;    // stays registered after Stop

  SteadyTime lastArrivalTime{};  // time of the last frame arrival (frame-arrived handler only)
  bool haveArrival = false;      // lastArrivalTime is valid

  std::uint32_t sourceWidth = 0, sourceHeight = 0;
  std::uint32_t encodeWidth = 0, encodeHeight = 0;
  std::uint32_t fps = 30;
  std::uint32_t bitrate = 6000000;
  // The values given to start, unchanged, for the watchdog's restart.
  std::uint32_t requestedMaxHeight = 0, requestedFps = 0, requestedBitrate = 0;
  HWND targetWindow = nullptr;

  platform::TexturePtr sharedCaptureTexture;  // BGRA frame hand-over texture of the source size
  // The one-slot frame mailbox: the producers (frame-arrived handler, frame tick) write it under
  // pipelineMutex; the encoder thread takes the frame by exchanging framePending under it too,
  // together with its timestamp and slot.
  std::atomic<bool> framePending{false};
  std::atomic<std::int64_t> frameTimestamp{0};  // written by the producers under pipelineMutex
  // Slot of the latest hand-over on the frame grid (see frame_intake.h); -1 before the first.
  std::atomic<std::int64_t> frameSlot{-1};        // producers under pipelineMutex, and Start
  std::atomic<std::int64_t> frameGridOrigin{0};   // NowHns of slot 0; written by Start only
  std::atomic<bool> hasFrame{false};              // set by the handler, cleared by Start
  std::atomic<std::uint64_t> framesSubmitted{0};  // producers, under pipelineMutex
  std::atomic<std::uint64_t> framesCoalesced{0};  // producers, under pipelineMutex
  std::atomic<std::uint64_t> encodeAttempts{0};   // encoder thread; reset by the back-off thread
  std::atomic<std::uint64_t> encodeDrops{0};      // encoder thread; reset by the back-off thread
  std::atomic<std::int32_t> backoffTier{0};       // back-off thread only
  std::atomic<std::uint32_t> fpsOverride{0};      // encoder thread only
  // Slot of the last frame given to the encoder; -1: none since the last rotation. Encoder
  // thread only.
  std::int64_t lastEncodedSlot = -1;

  // Guards the frame hand-over (with the mailbox atomics above) and rotationRequests. Never
  // held together with spareMutex, spareBuildMutex or finalizeMutex.
  std::mutex pipelineMutex;
  std::condition_variable pipelineCv;
  std::queue<int> rotationRequests;
  std::thread encoderThread;
  std::unique_ptr<GpuEncodeContext> encodeContext;
  EncoderPtr currentEncoder;  // encoder thread only while a capture runs

  SegmentRing videoRing;
  AudioRing desktopRing;
  AudioRing micRing;
  // Guards spareEncoder and spareFps. Never held together with another pipeline lock.
  std::mutex spareMutex;
  EncoderPtr spareEncoder;
  std::uint32_t spareFps = 0;
  // Guards rebuildRequested, requestedSpareFps, spareBuilding and rotationOutstanding. Never held
  // together with another pipeline lock.
  std::mutex spareBuildMutex;
  std::condition_variable spareBuildCv;
  bool rebuildRequested = false;
  std::uint32_t requestedSpareFps = 0;
  bool spareBuilding = false;
  // Set by the back-off thread before it posts a rotation, cleared by the encoder thread once
  // that rotation's pass is over (the retired encoder's codec closed). The builder waits for it
  // so that a spare is not opened while the retired encoder still holds its buffers.
  bool rotationOutstanding = false;
  std::thread spareBuilderThread;
  // Guards finalizeQueue. Never held together with another pipeline lock.
  std::mutex finalizeMutex;
  std::condition_variable finalizeCv;
  std::queue<EncoderPtr> finalizeQueue;
  std::thread finalizeThread;

  ClipWindow clipWindow{60.0};

  // Common stop flag of every worker; true whenever no capture runs.
  std::atomic<bool> stopRequested{true};  // written by Start, Stop and the watchdog

  // The timed waits of the capture threads (frame tick, back-off period, watchdog, memory
  // monitor) wait on stopCv so that Stop ends them at once instead of after their sleep.
  // stopMutex guards nothing but that wait; it is taken alone.
  std::mutex stopMutex;
  std::condition_variable stopCv;
  // Waits `duration` or until stopRequested is set; true when it is set.
  template <typename Duration>
  bool SleepUnlessStopped(Duration duration) {
    std::unique_lock lock(stopMutex);
    return stopCv.wait_for(lock, duration, [this] { return stopRequested.load(); });
  }

  std::thread frameTickThread;
  std::thread backoffThread;
  std::thread desktopAudioThread;
  std::thread micAudioThread;
  std::thread watchdogThread;
  std::thread memoryDiagThread;

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

  // ---- the watchdog's restart (see watchdog.h) ----
  // Counts Start and Stop calls; written by Start and Stop, which never run concurrently (the
  // interface locks, or the restart holding them, serialise them). A restart acts only on the
  // capture it was raised for.
  std::atomic<std::uint64_t> lifecycleEpoch{0};
  // Guards restartThread and restartCancelled. Taken alone (never with the interface locks of
  // the waiting side held: see TallowmarchSession::CancelRestart).
  std::mutex restartMutex;
  std::condition_variable restartCv;  // wakes a restart waiting out its pause on a cancel
  std::thread restartThread;
  bool restartCancelled = false;
  // The interface locks the restart takes, lifecycle first; the session's own pair when the
  // exported layer did not give its own (sessions built directly by tests).
  std::mutex ownLifecycleMutex;
  std::mutex ownSessionMutex;
  std::mutex* lifecycleLock = &ownLifecycleMutex;
  std::mutex* sessionLock = &ownSessionMutex;

  // Tests: the thread start with this index (0-based, in Start's order) fails as if the system
  // had no thread left. -1: none.
  std::atomic<int> failThreadStartAt{-1};

  // Under logMutex: calls the sink when one is set.
  void Log(const std::wstring& line);
  // Under logMutex: a copy of the sink, for components built at start.
  LogSink GetLogCallback();
  void SetSaveProgress(std::uint32_t stage, std::uint32_t done, std::uint32_t total);
  void ResetSaveProgress() { SetSaveProgress(0, 0, 0); }
  // Called by Start once captureSession exists; never fails the start.
  void ApplyCaptureBorder();

  // A printf-style line through Log (cut at 1023 characters like LogF).
  template <typename... Args>
  void LogFormatted(const wchar_t* format, Args... args) {
    LogF([this](const std::wstring& line) { Log(line); }, format, args...);
  }
};

}  // namespace tallowmarch
