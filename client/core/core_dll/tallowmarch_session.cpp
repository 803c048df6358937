#include "tallowmarch_session.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <system_error>

#include "audio_capture.h"
#include "audio_endpoints.h"
#include "encoder_pipeline.h"
#include "frame_intake.h"
#include "gpu_setup.h"
#include "hresult_error.h"
#include "platform.h"
#include "recording_memory.h"
#include "session_impl.h"
#include "watchdog.h"

namespace tallowmarch {

TallowmarchSession::TallowmarchSession() : impl(std::make_unique<Impl>()) {}

TallowmarchSession::~TallowmarchSession() {
  CancelRestart();
  Stop();
  // The item-closed registration outlives Stop; end it before the state its handler logs
  // through goes away.
  impl->itemClosedRevoker.Revoke();
  impl->frameArrivedRevoker.Revoke();
}

namespace {

using SteadyClock = std::chrono::steady_clock;

// What a capture can serve. Larger requests are clamped, not refused: a frame rate past what a
// capture delivers only costs encoder time, and a bit rate or buffer past these makes the rings
// hold gigabytes. A smaller bit rate is raised to what the encoder counts in (kbit/s): below
// one kbit/s it refuses to open, and the start would fail.
constexpr unsigned kMaxFps = 240;
constexpr unsigned kMinBitrate = 1000;
constexpr unsigned kMaxBitrate = 100'000'000;
constexpr unsigned kMaxBufferSeconds = 600;

// An even size of at least 2: the NV12 surfaces and the H.264 encoders need one.
std::uint32_t EvenAtLeastTwo(std::uint32_t value) {
  return std::max<std::uint32_t>(2, value & ~1u);
}

// Starts one capture thread. The index counts Start's thread starts, for the test seam.
template <typename Body>
void StartCaptureThread(TallowmarchSession::Impl& s, int& index, std::thread& member, Body body) {
  if (s.failThreadStartAt.load() == index++)
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                            "thread creation failed");
  // Nothing may leave a thread body and end the process: an error the body's own handlers do
  // not take (an allocation failure while logging) ends only this thread.
  member = std::thread([body = std::move(body)]() mutable {
    try {
      body();
    } catch (...) {
    }
  });
}

}  // namespace

EncodeSize ComputeEncodeSize(std::uint32_t sourceWidth, std::uint32_t sourceHeight,
                             std::uint32_t maxHeight) {
  EncodeSize size{sourceWidth, sourceHeight};
  if (maxHeight != 0 && maxHeight < sourceHeight) {
    size.height = maxHeight & ~1u;
    const double width = static_cast<double>(sourceWidth) * static_cast<double>(size.height) /
                         static_cast<double>(sourceHeight);
    size.width = static_cast<std::uint32_t>(std::lround(width)) & ~1u;
  }
  size.width = EvenAtLeastTwo(size.width);
  size.height = EvenAtLeastTwo(size.height);
  return size;
}

bool TallowmarchSession::Start(HWND target, bool captureMonitor, unsigned maxHeight, unsigned fps,
                               unsigned bitrate, unsigned bufferSeconds) {
  Impl& s = *impl;
  try {
    if (capturing.load()) {
      s.Log(L"Start() called while already running - ignored.");
      return false;
    }
    if (target == nullptr || !platform::Capture().IsWindow(target)) {
      s.Log(L"Start() failed: invalid target window.");
      return false;
    }
    s.requestedMaxHeight = maxHeight;
    s.requestedFps = fps;
    s.requestedBitrate = bitrate;
  } catch (const std::exception&) {
    return false;  // allocation failure while logging
  }

  try {
    const HMONITOR monitor =
        platform::Capture().MonitorFromWindow(target, platform::kMonitorDefaultToNearest);
    std::shared_ptr<platform::GpuAdapter> adapter =
        FindAdapterForMonitor(monitor, s.GetLogCallback());
    s.d3dDevice = CreateD3D11Device(adapter);

    std::shared_ptr<platform::DxgiDevice> dxgi;
    if (SUCCEEDED(s.d3dDevice->QueryDxgiDevice(dxgi)) && dxgi) {
      const HRESULT setResult = dxgi->SetGPUThreadPriority(7);
      std::int32_t actual = 0;
      dxgi->GetGPUThreadPriority(actual);
      s.LogFormatted(L"[CAPABILITY] GPU thread priority: requested=7 setResult=0x%08X actual=%d",
                     static_cast<unsigned>(setResult), actual);
    }

    s.winrtDevice = CreateDirect3DDevice(s.d3dDevice);
    s.captureItem = captureMonitor ? CreateItemForMonitor(monitor) : CreateItemForWindow(target);
    s.targetWindow = target;

    platform::SizeInt32 size;
    ThrowIfFailed(s.captureItem->Size(size));
    if (size.Width <= 0 || size.Height <= 0) {
      s.Log(L"Start() failed: zero-size capture item (minimized target?).");
      return false;
    }
    s.sourceWidth = static_cast<std::uint32_t>(size.Width);
    s.sourceHeight = static_cast<std::uint32_t>(size.Height);
    const EncodeSize encode = ComputeEncodeSize(s.sourceWidth, s.sourceHeight, maxHeight);
    s.encodeWidth = encode.width;
    s.encodeHeight = encode.height;
    s.fps = fps != 0 ? std::min(fps, kMaxFps) : 30;
    s.bitrate = bitrate != 0 ? std::clamp(bitrate, kMinBitrate, kMaxBitrate) : 6000000;

    s.clipWindow.SetSeconds(bufferSeconds != 0
                                ? static_cast<double>(std::min(bufferSeconds, kMaxBufferSeconds))
                                : 60.0);
    s.clipWindow.MarkFloorNow();
    s.stopRequested.store(false);

    s.encodeContext =
        std::make_unique<GpuEncodeContext>(s.d3dDevice, s.sourceWidth, s.sourceHeight,
                                           s.encodeWidth, s.encodeHeight, s.GetLogCallback());
    s.currentEncoder = CreateSegmentEncoder(s.encodeContext.get(), s.encodeWidth, s.encodeHeight,
                                            s.fps, s.bitrate);

    platform::TextureDesc desc;
    desc.width = s.sourceWidth;
    desc.height = s.sourceHeight;
    desc.format = platform::kFormatB8G8R8A8Unorm;
    desc.usage = platform::Usage::Default;
    platform::TexturePtr shared;
    ThrowIfFailed(s.d3dDevice->CreateTexture2D(desc, nullptr, shared));
    s.sharedCaptureTexture = std::move(shared);

    // No pipeline thread runs yet: no lock needed.
    s.framePending.store(false);
    s.hasFrame.store(false);
    s.framesSubmitted.store(0);
    s.framesCoalesced.store(0);
    s.encodeAttempts.store(0);
    s.encodeDrops.store(0);
    s.backoffTier.store(0);
    s.fpsOverride.store(0);
    s.lastEncodedSlot = -1;
    s.frameSlot.store(-1);
    s.rotationRequests = {};
    s.spareEncoder.reset();
    s.spareFps = 0;
    s.finalizeQueue = {};

    ThrowIfFailed(platform::Capture().CreateFreeThreadedFramePool(
        s.winrtDevice, platform::kPixelFormatB8G8R8A8UIntNormalized, 4, size, s.framePool));
    ThrowIfFailed(s.framePool->CreateCaptureSession(s.captureItem, s.captureSession));
    s.ApplyCaptureBorder();

    TallowmarchSession* self = this;
    ThrowIfFailed(s.captureItem->Closed(
        [self](platform::CaptureItem& sender) { OnCaptureItemClosed(self, sender); },
        s.itemClosedRevoker));
    s.frameGridOrigin.store(NowHns());
    ThrowIfFailed(s.framePool->FrameArrived(
        [self](platform::CaptureFramePool& sender) { OnFrameArrived(self, sender); },
        s.frameArrivedRevoker));
    ThrowIfFailed(s.captureSession->StartCapture());
  } catch (const hresult_error& e) {
    s.LogFormatted(L"Start() failed: 0x%08X (%s)", static_cast<unsigned>(e.code()),
                   e.message().c_str());
    s.stopRequested.store(true);
    return false;
  } catch (const std::exception&) {
    // A runtime error of the encoder layer (it logged its own line when no encoder opened) or
    // an allocation failure.
    s.stopRequested.store(true);
    return false;
  }

  // The threads, in this order. A thread that cannot be started fails the start: the threads
  // already running are stopped and joined and everything is torn down as Stop would, without
  // its line, so the session is idle again.
  const std::uint64_t epoch = s.lifecycleEpoch.load() + 1;
  int index = 0;
  try {
    TallowmarchSession* self = this;
    StartCaptureThread(s, index, s.memoryDiagThread,
                       [self] { RecordingMemoryMonitorThread(self); });
    StartCaptureThread(s, index, s.frameTickThread, [self] { FrameTickThread(self); });
    StartCaptureThread(s, index, s.spareBuilderThread, [self] { SpareEncoderBuilderThread(self); });
    StartCaptureThread(s, index, s.backoffThread, [self] { BackoffControllerThread(self); });
    StartCaptureThread(s, index, s.finalizeThread, [self] { FinalizeThread(self); });
    StartCaptureThread(s, index, s.encoderThread, [self] { EncoderThread(self); });
    // One copy of the audio settings decides which sources run and on which endpoints; a later
    // change applies at the next start.
    AudioSettings audio;
    {
      std::lock_guard lock(s.settingsMutex);
      audio = s.audioSettings;
    }
    const LogSink audioLog = s.GetLogCallback();
    if (!audio.desktopMuted) {
      AudioCaptureTask task{self, audioLog, audio.desktopDeviceId};
      StartCaptureThread(s, index, s.desktopAudioThread, [task] { DesktopAudioThread(task); });
    }
    if (!audio.micMuted) {
      AudioCaptureTask task{self, audioLog, audio.micDeviceId};
      StartCaptureThread(s, index, s.micAudioThread, [task] { MicAudioThread(task); });
    }
    WatchdogClosure watchdog{self, target, captureMonitor, epoch};
    StartCaptureThread(s, index, s.watchdogThread, [watchdog] { WatchdogThread(watchdog); });
  } catch (const std::exception& e) {
    const HRESULT code = E_OUTOFMEMORY;
    try {
      s.LogFormatted(L"Start() failed: 0x%08X (%s)", static_cast<unsigned>(code), e.what());
    } catch (const std::exception&) {
    }
    TearDown();
    return false;
  }

  s.lifecycleEpoch.store(epoch);
  capturing.store(true);
  try {
    s.Log(L"Capture started.");
  } catch (const std::exception&) {
    // Out of memory for the line: the capture runs all the same.
  }
  return true;
}

void TallowmarchSession::Stop() {
  if (!capturing.load()) return;
  TearDown();
  impl->lifecycleEpoch.fetch_add(1);
  capturing.store(false);
  try {
    impl->Log(L"Capture stopped.");
  } catch (const std::exception&) {
    // Out of memory for the line: the capture is stopped all the same.
  }
}

void TallowmarchSession::TearDown() {
  Impl& s = *impl;
  s.stopRequested.store(true);
  // Through each mutex before its notification: a thread that has just seen the flag clear
  // under that mutex is waiting by the time the notification comes.
  { std::lock_guard lock(s.pipelineMutex); }
  s.pipelineCv.notify_all();
  { std::lock_guard lock(s.finalizeMutex); }
  s.finalizeCv.notify_all();
  { std::lock_guard lock(s.spareBuildMutex); }
  s.spareBuildCv.notify_all();
  { std::lock_guard lock(s.stopMutex); }
  s.stopCv.notify_all();

  for (std::thread* thread : {&s.watchdogThread, &s.memoryDiagThread, &s.backoffThread,
                              &s.spareBuilderThread, &s.frameTickThread, &s.encoderThread,
                              &s.finalizeThread, &s.desktopAudioThread, &s.micAudioThread})
    if (thread->joinable()) thread->join();

  try {
    s.frameArrivedRevoker.Revoke();  // synchronous: no handler runs after this
    if (s.captureSession) ThrowIfFailed(s.captureSession->Close());
    if (s.framePool) ThrowIfFailed(s.framePool->Close());
  } catch (const hresult_error& e) {
    try {
      s.LogFormatted(L"Teardown warning (non-fatal): 0x%08X", static_cast<unsigned>(e.code()));
    } catch (const std::exception&) {
      // Out of memory for the line: the teardown completes all the same.
    }
  }

  s.currentEncoder.reset();  // the segment being written is discarded
  {
    std::lock_guard lock(s.spareMutex);
    s.spareEncoder.reset();
    s.spareFps = 0;
  }
  {
    std::lock_guard lock(s.spareBuildMutex);
    s.rebuildRequested = false;
    s.spareBuilding = false;
    s.rotationOutstanding = false;
  }
  {
    std::lock_guard lock(s.finalizeMutex);
    s.finalizeQueue = {};
  }
  s.encodeContext.reset();  // after every encoder built on it
  // Its memory goes back with the encoders' (a new start makes a new one): a host that records
  // only now and then does not carry a frame of the source size in between.
  s.sharedCaptureTexture.reset();
  s.videoRing.Clear();
  s.desktopRing.Clear();
  s.micRing.Clear();
}

void TallowmarchSession::SetInterfaceLocks(std::mutex* lifecycle, std::mutex* session) {
  impl->lifecycleLock = lifecycle;
  impl->sessionLock = session;
}

void TallowmarchSession::CancelRestart() {
  std::thread restart;
  {
    std::lock_guard lock(impl->restartMutex);
    impl->restartCancelled = true;
    restart = std::move(impl->restartThread);
  }
  impl->restartCv.notify_all();
  if (restart.joinable()) restart.join();
}

void TallowmarchSession::Impl::ApplyCaptureBorder() {
  if (!captureSession) return;
  try {
    bool present = false;
    ThrowIfFailed(platform::Capture().IsPropertyPresent(
        L"Windows.Graphics.Capture.GraphicsCaptureSession", L"IsBorderRequired", present));
    if (!present) return;
    ThrowIfFailed(captureSession->SetIsBorderRequired(captureBorderEnabled.load()));
  } catch (const hresult_error& e) {
    LogFormatted(L"Couldn't set capture border (0x%08X) - keeping the default.",
                 static_cast<unsigned>(e.code()));
  }
}

bool TallowmarchSession::HasHardwareEncoder() {
  return HasHardwareH264Encoder();
}

double TallowmarchSession::GetMeasuredSustainableFps() const {
  const std::uint64_t submitted = impl->framesSubmitted.load();
  if (submitted < 30) return 0.0;  // too few frames to judge
  const std::uint64_t coalesced = impl->framesCoalesced.load();
  return impl->fps * (1.0 - static_cast<double>(coalesced) / static_cast<double>(submitted));
}

bool TallowmarchSession::GetSaveProgress(std::uint32_t* stage, std::uint32_t* done,
                                         std::uint32_t* total) const {
  *stage = impl->saveStage.load(std::memory_order_acquire);
  *total = impl->saveTotal.load(std::memory_order_relaxed);
  *done = impl->saveDone.load(std::memory_order_relaxed);
  return *stage != 0;
}

void TallowmarchSession::SetAudioSettings(const AudioSettings& settings) {
  std::lock_guard lock(impl->settingsMutex);
  impl->audioSettings = settings;
}

void TallowmarchSession::SetLogCallback(LogSink sink) {
  std::lock_guard lock(impl->logMutex);
  impl->logCallback = std::move(sink);
}

void TallowmarchSession::SetCaptureBorderEnabled(bool enabled) {
  impl->captureBorderEnabled.store(enabled);
}

void TallowmarchSession::EnumerateAudioEndpoints(
    bool capture,
    const std::function<void(const std::wstring&, const std::wstring&, bool)>& callback) {
  tallowmarch::EnumerateAudioEndpoints(capture, callback);
}

void TallowmarchSession::Impl::Log(const std::wstring& line) {
  std::lock_guard lock(logMutex);
  if (logCallback) logCallback(line);
}

LogSink TallowmarchSession::Impl::GetLogCallback() {
  std::lock_guard lock(logMutex);
  return logCallback;
}

void TallowmarchSession::Impl::SetSaveProgress(std::uint32_t stage, std::uint32_t done,
                                               std::uint32_t total) {
  saveTotal.store(total, std::memory_order_relaxed);
  saveDone.store(done, std::memory_order_relaxed);
  saveStage.store(stage, std::memory_order_release);
}

}  // namespace tallowmarch
