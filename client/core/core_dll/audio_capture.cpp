#include "audio_capture.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "audio_endpoints.h"
#include "engine_clock.h"
#include "hresult_error.h"
#include "platform.h"
#include "session_impl.h"
#include "system/system.h"

namespace tallowmarch {
namespace {

using namespace std::chrono_literals;
using platform::AudioFlow;
using platform::AudioRole;

constexpr wchar_t kFallbackLine[] =
    L"[%ls] configured device unavailable (0x%08X) - falling back to system default";
constexpr wchar_t kWaitingLine[] =
    L"[%ls] no default device available - waiting for one to appear...";
constexpr wchar_t kDeviceLine[] = L"[%ls] device: %ls";
constexpr wchar_t kReconnectLine[] = L"[%ls] device changed - reconnecting (reconnect #%u)...";
constexpr wchar_t kCaptureErrorLine[] = L"[%ls] capture error: 0x%08X (%s) - retrying...";

constexpr std::int64_t kEndpointBufferDuration = 10000000;  // 1 s in 100-ns units
constexpr double kChunkSeconds = 2.0;
// A device position that jumps further than this is taken as corrupt: the silence it inserts
// is cut to this length, so a bad position cannot allocate gigabytes. The same cap holds for a
// stretch of time in which the device delivered nothing.
constexpr double kMaxGapSeconds = 2.0;
// A chunk of silence for a stretch without any packet covers at most this much time (a
// stalled thread, a suspended machine), ending at the check that emits it.
constexpr double kMaxChunkSeconds = 10.0;
// A packet stamped this much later than the frames before it predict follows a stretch in
// which the device delivered nothing without moving its position (a loopback endpoint on which
// nothing played for a while): the stretch becomes silence.
constexpr std::int64_t kHoleHns = 1000000;  // 100 ms
// At a chunk join, a run whose packets say its time line is off by more than this is put back
// on their time: later leaves a gap of silence, earlier drops the frames that would overlap the
// chunk before. Smaller differences are the packets' jitter; the run stays seamless.
constexpr std::int64_t kResyncHns = 150000;  // 15 ms
// A packet time stamp further than this from its arrival is not believed.
constexpr std::int64_t kMaxStampAgeHns = 100000000;  // 10 s
constexpr auto kRetryPause = 500ms;
constexpr auto kEmptyPoll = 10ms;

// Logging must not end a capture thread: a line that cannot be built (out of memory) is lost.
template <typename... Args>
void SafeLog(const LogSink& log, const wchar_t* format, Args... args) {
  try {
    LogF(log, format, args...);
  } catch (const std::exception&) {
  }
}

// Holds one reference to a notifier and gives it back when it goes.
struct NotifierRelease {
  void operator()(AudioDeviceNotifier* notifier) const { notifier->Release(); }
};
using NotifierRef = std::unique_ptr<AudioDeviceNotifier, NotifierRelease>;

// The endpoint's format block, checked before anything reads past the header or divides by
// its block alignment or rate.
const WAVEFORMATEX& CheckedMixFormat(const std::vector<std::uint8_t>& bytes) {
  const auto* format = reinterpret_cast<const WAVEFORMATEX*>(bytes.data());
  if (bytes.size() < sizeof(WAVEFORMATEX) || bytes.size() < sizeof(WAVEFORMATEX) + format->cbSize ||
      format->nBlockAlign == 0 || format->nSamplesPerSec == 0) {
    throw hresult_error(platform::AUDCLNT_E_UNSUPPORTED_FORMAT,
                        DescribeHresult(platform::AUDCLNT_E_UNSUPPORTED_FORMAT));
  }
  return *format;
}

std::int64_t FramesToHns(std::uint64_t frames, std::uint32_t rate) {
  return static_cast<std::int64_t>(frames / rate * 10000000 + frames % rate * 10000000 / rate);
}

std::uint64_t HnsToFrames(std::int64_t hns, std::uint32_t rate) {
  if (hns <= 0) return 0;
  const auto ticks = static_cast<std::uint64_t>(hns);
  return ticks / 10000000 * rate + ticks % 10000000 * rate / 10000000;
}

// The chunks of one opened endpoint. Packets are laid one after the other; silence is added
// only for time in which the device delivered nothing (a jump of its position, a stretch its
// time stamps show, a chunk's time without any packet). Every 2 seconds of wall-clock time the
// frames gathered so far go into the ring as one chunk at the time of its first frame; sound
// still on its way from the device is not padded for but goes into the next chunk, which
// starts where this one ends. The frames being gathered lie in the ring's gathering chunk,
// where a save finds them.
//
// Times: a run is a stretch of frames that follow each other without a break; frame k of the
// run lies at origin + k / rate. Every packet is stamped with the time of its first frame (the
// layer's time stamp, or its arrival less its length when the stamp is missing or not
// believable). A chunk's packets give the run's origin: the newest stamp's (a device clock
// settles after its start), or the earliest arrival's (an arrival errs late only).
class ChunkGatherer {
 public:
  ChunkGatherer(AudioRing& ring, const ClipWindow& window, const WAVEFORMATEX& format,
                SharedFormat formatBytes)
      : ring_(ring),
        window_(window),
        format_(std::move(formatBytes)),
        blockAlign_(format.nBlockAlign),
        rate_(format.nSamplesPerSec),
        maxGapFrames_(static_cast<std::uint64_t>(kMaxGapSeconds * rate_)) {
    ring_.Gather([&](AudioRing::Gathering& g) {
      g = AudioRing::Gathering{};
      g.rate = rate_;
      g.blockAlign = blockAlign_;
      g.format = format_;
    });
    Begin(NowHns());
  }
  // What was gathered since the last chunk goes with the endpoint.
  ~ChunkGatherer() {
    ring_.Gather([](AudioRing::Gathering& g) { g = AudioRing::Gathering{}; });
  }
  ChunkGatherer(const ChunkGatherer&) = delete;
  ChunkGatherer& operator=(const ChunkGatherer&) = delete;

  void AddPacket(const std::uint8_t* data, std::uint32_t frames, std::uint32_t flags,
                 std::uint64_t devicePosition, std::uint64_t qpcPosition) {
    bool stamped = false;
    const std::int64_t time = PacketTime(frames, qpcPosition, stamped);
    ring_.Gather([&](AudioRing::Gathering& g) {
      if (!anchored_) {
        // The first packet of a run is placed at its own time, whatever came before it.
        anchored_ = true;
        pushedInRun_ = false;
        runOrigin_ = time;
        runFrames_ = 0;
      } else {
        if (positionSeen_ && devicePosition > expectedPosition_) {
          AppendSilence(g.bytes, std::min(devicePosition - expectedPosition_, maxGapFrames_));
        }
        const std::int64_t late = time - (runOrigin_ + FramesToHns(runFrames_ + Held(), rate_));
        if (late > kHoleHns)
          AppendSilence(g.bytes, std::min(HnsToFrames(late, rate_), maxGapFrames_));
      }
      expectedPosition_ = devicePosition + frames;
      positionSeen_ = true;
      const std::int64_t origin = time - FramesToHns(runFrames_ + Held(), rate_);
      // A device's own stamps are best when newest (its clock settles after the start); an
      // arrival errs late only, so the earliest is best.
      chunkOrigin_ = stamped ? origin : std::min(chunkOrigin_, origin);
      if (!pushedInRun_) runOrigin_ = stamped ? origin : std::min(runOrigin_, origin);
      const size_t length = static_cast<size_t>(frames) * blockAlign_;
      if ((flags & platform::AUDCLNT_BUFFERFLAGS_SILENT) != 0 || data == nullptr) {
        AppendSilence(g.bytes, frames);
      } else {
        g.bytes.insert(g.bytes.end(), data, data + length);
      }
      // Where the frames would land if they were pushed now.
      const PushPlan plan = PlanPush();
      g.skipFrames = plan.drop;
      g.startTime = plan.origin + FramesToHns(runFrames_ + plan.drop, rate_);
    });
    heardPacket_ = true;
  }

  // Pushes the chunk once 2 seconds have passed since it began.
  void EmitIfDue() {
    const std::int64_t now = NowHns();
    const double elapsed = static_cast<double>(now - chunkBegan_) / 1e7;
    if (elapsed < kChunkSeconds) return;
    if (heardPacket_) {
      PushGathered();
    } else {
      PushSilence(now, elapsed);
    }
    Begin(NowHns());
  }

  // Pushes what has been gathered since the last chunk (the endpoint is going away).
  void Flush() {
    if (Held() > 0) PushGathered();
    Begin(NowHns());
  }

 private:
  // The run's origin at the next push, and the frames that push drops.
  struct PushPlan {
    std::int64_t origin;
    std::uint64_t drop;
  };

  std::uint64_t Held() const { return ring_.Gathered().bytes.size() / blockAlign_; }

  // The time of a packet's first frame; `stamped` tells whether it is the layer's stamp.
  std::int64_t PacketTime(std::uint32_t frames, std::uint64_t qpcPosition, bool& stamped) const {
    const std::int64_t arrived = NowHns() - FramesToHns(frames, rate_);
    stamped = false;
    if (qpcPosition == 0 || qpcPosition > static_cast<std::uint64_t>(INT64_MAX)) return arrived;
    // A stamp may lie after the arrival: a loopback can hand over sound the device plays a
    // little later.
    const std::int64_t stamp = PerformanceHnsToNowHns(static_cast<std::int64_t>(qpcPosition));
    if (stamp < arrived - kMaxStampAgeHns || stamp > arrived + kMaxStampAgeHns) return arrived;
    stamped = true;
    return stamp;
  }

  PushPlan PlanPush() const {
    if (pushedInRun_ && chunkOrigin_ != INT64_MAX) {
      // A gap of silence before this chunk.
      if (chunkOrigin_ > runOrigin_ + kResyncHns) return {chunkOrigin_, 0};
      // The run lies later than its sound: the frames that would overlap the chunk before are
      // dropped, and the rest lands on its time.
      if (chunkOrigin_ < runOrigin_ - kResyncHns) {
        return {chunkOrigin_, std::min(HnsToFrames(runOrigin_ - chunkOrigin_, rate_), Held())};
      }
    }
    return {runOrigin_, 0};
  }

  void PushGathered() {
    ring_.PushGathered(
        [&](AudioRing::Gathering& g) {
          const PushPlan plan = PlanPush();
          g.bytes.erase(g.bytes.begin(),
                        g.bytes.begin() + static_cast<std::ptrdiff_t>(plan.drop * blockAlign_));
          runOrigin_ = plan.origin;
          runFrames_ += plan.drop;
          const std::uint64_t frames = Held();
          AudioChunk chunk;
          if (frames == 0) return chunk;
          chunk.startTime = runOrigin_ + FramesToHns(runFrames_, rate_);
          chunk.durationSeconds = static_cast<double>(frames) / rate_;
          chunk.format = format_;
          chunk.bytes = std::make_shared<std::vector<std::uint8_t>>(std::move(g.bytes));
          g.bytes.clear();
          g.skipFrames = 0;
          runFrames_ += frames;
          pushedInRun_ = true;
          return chunk;
        },
        window_);
  }

  // A chunk's time without any packet: silence from the end of the last frame (or from when
  // gathering began) up to now. The next packet starts a run of its own.
  void PushSilence(std::int64_t now, double elapsed) {
    std::int64_t start = chunkBegan_;
    if (anchored_) {
      const std::int64_t lastFrameEnd = runOrigin_ + FramesToHns(runFrames_, rate_);
      if (lastFrameEnd < now) {
        start = lastFrameEnd;
        elapsed = static_cast<double>(now - start) / 1e7;
      }
    }
    if (elapsed > kMaxChunkSeconds) {
      elapsed = kMaxChunkSeconds;
      start = now - SecondsToHns(elapsed);
    }
    anchored_ = false;
    auto silence = std::make_shared<std::vector<std::uint8_t>>();
    AppendSilence(*silence, static_cast<std::uint64_t>(elapsed * rate_));
    ring_.PushAndTrim(AudioChunk{std::move(silence), start, elapsed, format_}, window_);
  }

  void Begin(std::int64_t now) {
    // Room for a whole chunk, so that gathering does not reallocate as it grows; allocated
    // before the lock is taken.
    std::vector<std::uint8_t> fresh;
    fresh.reserve(static_cast<size_t>((kChunkSeconds + 0.1) * rate_) * blockAlign_);
    ring_.Gather([&](AudioRing::Gathering& g) {
      g.bytes.swap(fresh);
      g.bytes.clear();
      g.skipFrames = 0;
    });
    chunkBegan_ = now;
    chunkOrigin_ = INT64_MAX;
    heardPacket_ = false;
  }
  void AppendSilence(std::vector<std::uint8_t>& bytes, std::uint64_t frames) const {
    bytes.resize(bytes.size() + static_cast<size_t>(frames) * blockAlign_, 0);
  }

  AudioRing& ring_;
  const ClipWindow& window_;
  const SharedFormat format_;
  const std::uint32_t blockAlign_;
  const std::uint32_t rate_;
  const std::uint64_t maxGapFrames_;
  std::int64_t chunkBegan_ = 0;  // clock reading when gathering of this chunk began
  bool heardPacket_ = false;     // a packet came since then
  // The run: its origin, and the frames of it already pushed (or dropped).
  bool anchored_ = false;
  bool pushedInRun_ = false;
  std::int64_t runOrigin_ = 0;
  std::uint64_t runFrames_ = 0;
  std::int64_t chunkOrigin_ = INT64_MAX;  // the origin this chunk's packets imply
  bool positionSeen_ = false;             // only from the first packet of the endpoint on
  std::uint64_t expectedPosition_ = 0;
};

// The inner loop over one opened and started endpoint. Returns on a stop, a change reported by
// the notifier or a failed packet call; a failed ReleaseBuffer raises.
void CaptureEndpoint(platform::AudioCaptureClient& capture, AudioDeviceNotifier& notifier,
                     ChunkGatherer& gatherer, const std::atomic<bool>& stopRequested) {
  for (;;) {
    if (stopRequested.load() || notifier.TakeChanged()) return;
    std::uint32_t packetFrames = 0;
    if (FAILED(capture.GetNextPacketSize(packetFrames))) return;
    if (packetFrames == 0) {
      std::this_thread::sleep_for(kEmptyPoll);
    } else {
      const std::uint8_t* data = nullptr;
      std::uint32_t frames = 0, flags = 0;
      std::uint64_t devicePosition = 0, qpcPosition = 0;
      if (FAILED(capture.GetBuffer(data, frames, flags, devicePosition, qpcPosition))) return;
      // The data is valid only until ReleaseBuffer: it is copied first. An empty answer
      // (AUDCLNT_S_BUFFER_EMPTY) carries no position and must not move the expectation.
      if (frames > 0) gatherer.AddPacket(data, frames, flags, devicePosition, qpcPosition);
      ThrowIfFailed(capture.ReleaseBuffer(frames));
    }
    gatherer.EmitIfDue();
  }
}

// Whatever goes wrong in one pass: the code and the text of the capture-error line.
struct PassError {
  HRESULT code;
  std::string message;
};

// One pass of the outer loop: find the endpoint (or wait up to 500 ms for one to appear), open
// it and capture until something ends the capture; a reconnect is counted and logged here.
// A failed tested call raises, with the pass's endpoint objects and partial chunk released on
// the way out.
void CapturePass(platform::AudioEndpointEnumerator& enumerator, AudioDeviceNotifier& notifier,
                 AudioFlow flow, AudioRing& ring, const ClipWindow& window,
                 const std::atomic<bool>& stopRequested, const std::wstring& threadName,
                 const LogSink& log, const std::wstring& configuredId) {
  const wchar_t* name = threadName.c_str();
  std::shared_ptr<platform::AudioEndpoint> device;
  HRESULT hr = S_OK;
  if (configuredId.empty()) {
    hr = enumerator.GetDefaultAudioEndpoint(flow, AudioRole::Console, device);
  } else {
    hr = enumerator.GetDevice(configuredId, device);
    if (FAILED(hr)) {
      SafeLog(log, kFallbackLine, name, static_cast<unsigned>(hr));
      device.reset();
      hr = enumerator.GetDefaultAudioEndpoint(flow, AudioRole::Console, device);
    }
  }
  if (hr == E_NOTFOUND) {
    SafeLog(log, kWaitingLine, name);
    notifier.WaitForChange(500);
    notifier.TakeChanged();
    return;
  }
  ThrowIfFailed(hr);
  if (!device) ThrowIfFailed(E_POINTER);

  std::wstring id;
  ThrowIfFailed(device->GetId(id));
  notifier.SetTrackedDeviceId(id);
  SafeLog(log, kDeviceLine, name, GetDeviceFriendlyName(*device).c_str());

  std::unique_ptr<platform::AudioClient> client;
  ThrowIfFailed(device->ActivateAudioClient(client));
  if (!client) ThrowIfFailed(E_POINTER);
  std::vector<std::uint8_t> formatBytes;
  ThrowIfFailed(client->GetMixFormat(formatBytes));
  const WAVEFORMATEX& format = CheckedMixFormat(formatBytes);
  auto chunkFormat = std::make_shared<const std::vector<std::uint8_t>>(
      formatBytes.begin(), formatBytes.begin() + sizeof(WAVEFORMATEX) + format.cbSize);
  ring.SetMixFormat(*chunkFormat);

  const std::uint32_t streamFlags =
      flow == AudioFlow::Render ? platform::AUDCLNT_STREAMFLAGS_LOOPBACK : 0u;
  ThrowIfFailed(client->Initialize(platform::AudioShareMode::Shared, streamFlags,
                                   kEndpointBufferDuration, 0, &format));
  std::unique_ptr<platform::AudioCaptureClient> capture;
  ThrowIfFailed(client->GetCaptureClient(capture));
  if (!capture) ThrowIfFailed(E_POINTER);
  ThrowIfFailed(client->Start());

  ChunkGatherer gatherer(ring, window, format, std::move(chunkFormat));
  try {
    CaptureEndpoint(*capture, notifier, gatherer, stopRequested);
  } catch (...) {
    // The sound gathered up to the failure is kept; the time until the next endpoint delivers
    // stays a hole, which the save hears as silence at its place.
    gatherer.Flush();
    throw;
  }
  client->Stop();  // result not looked at
  if (!stopRequested.load()) {
    // What was gathered since the last chunk is kept: the device is being reopened.
    gatherer.Flush();
    const std::uint32_t count = ring.reconnects.fetch_add(1) + 1;
    SafeLog(log, kReconnectLine, name, count);
  }
}

}  // namespace

MmcssScope::MmcssScope(const std::wstring& taskName) {
  platform::SystemLayer& system = platform::System();
  handle_ = system.AvSetMmThreadCharacteristics(taskName);
  if (handle_ != nullptr) system.AvSetMmThreadPriority(handle_, platform::AVRT_PRIORITY_CRITICAL);
}

MmcssScope::~MmcssScope() {
  if (handle_ != nullptr) platform::System().AvRevertMmThreadCharacteristics(handle_);
}

AudioDeviceNotifier::AudioDeviceNotifier(AudioFlow dataFlow) : flow(dataFlow) {}

HRESULT AudioDeviceNotifier::QueryInterface(const GUID& iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == platform::IID_IUnknown || iid == platform::IID_IMMNotificationClient) {
    *out = this;
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

std::uint32_t AudioDeviceNotifier::AddRef() {
  return refCount.fetch_add(1) + 1;
}

std::uint32_t AudioDeviceNotifier::Release() {
  const std::uint32_t count = refCount.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return count;
}

HRESULT AudioDeviceNotifier::OnDeviceStateChanged(const std::wstring& id, std::uint32_t) {
  MarkChangedIfTracked(id);
  return S_OK;
}

HRESULT AudioDeviceNotifier::OnDeviceAdded(const std::wstring&) {
  return S_OK;
}

HRESULT AudioDeviceNotifier::OnDeviceRemoved(const std::wstring& id) {
  MarkChangedIfTracked(id);
  return S_OK;
}

HRESULT AudioDeviceNotifier::OnDefaultDeviceChanged(AudioFlow changedFlow, AudioRole role,
                                                    const std::wstring&) {
  if (changedFlow == flow && role == AudioRole::Console) MarkChanged();
  return S_OK;
}

HRESULT AudioDeviceNotifier::OnPropertyValueChanged(const std::wstring&) {
  return S_OK;
}

void AudioDeviceNotifier::SetTrackedDeviceId(const std::wstring& id) {
  std::lock_guard lock(mutex);
  trackedDeviceId = id;
}

void AudioDeviceNotifier::WaitForChange(std::uint32_t timeoutMs) {
  std::unique_lock lock(mutex);
  cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return changed; });
}

bool AudioDeviceNotifier::TakeChanged() {
  std::lock_guard lock(mutex);
  const bool was = changed;
  changed = false;
  return was;
}

void AudioDeviceNotifier::MarkChangedIfTracked(const std::wstring& id) {
  std::lock_guard lock(mutex);
  if (trackedDeviceId.empty() || trackedDeviceId != id) return;
  changed = true;
  cv.notify_all();
}

void AudioDeviceNotifier::MarkChanged() {
  std::lock_guard lock(mutex);
  changed = true;
  cv.notify_all();
}

void RunAudioCapture(AudioFlow flow, AudioRing& ring, const ClipWindow& window,
                     const std::atomic<bool>& stopRequested, const std::wstring& threadName,
                     const LogSink& log, std::wstring configuredId) {
  MmcssScope mmcss(L"Pro Audio");
  const wchar_t* name = threadName.c_str();

  std::unique_ptr<platform::AudioEndpointEnumerator> enumerator;
  NotifierRef notifier;
  bool registered = false;
  // Unregisters before the last reference goes and the enumerator after that, however the
  // function is left.
  struct Teardown {
    std::unique_ptr<platform::AudioEndpointEnumerator>& enumerator;
    NotifierRef& notifier;
    bool& registered;
    ~Teardown() {
      if (registered) enumerator->UnregisterEndpointNotificationCallback(notifier.get());
      notifier.reset();
      enumerator.reset();
    }
  } teardown{enumerator, notifier, registered};

  for (;;) {
    if (stopRequested.load()) return;
    std::optional<PassError> error;
    try {
      // The enumerator and the registration are retried like a pass: a sound service that is
      // not up yet may come up later in the capture.
      if (!registered) {
        if (!enumerator) ThrowIfFailed(platform::Audio().CreateEndpointEnumerator(enumerator));
        if (!notifier) notifier.reset(new AudioDeviceNotifier(flow));
        ThrowIfFailed(enumerator->RegisterEndpointNotificationCallback(notifier.get()));
        registered = true;
      }
      CapturePass(*enumerator, *notifier, flow, ring, window, stopRequested, threadName, log,
                  configuredId);
    } catch (const hresult_error& e) {
      error = PassError{e.code(), e.message()};
    } catch (const std::bad_alloc& e) {
      error = PassError{E_OUTOFMEMORY, e.what()};
    } catch (const std::exception& e) {
      error = PassError{E_FAIL, e.what()};
    }
    if (error) {
      // The pass's endpoint objects and partial chunk are gone with its scope.
      SafeLog(log, kCaptureErrorLine, name, static_cast<unsigned>(error->code),
              error->message.c_str());
      std::this_thread::sleep_for(kRetryPause);
    }
  }
}

void DesktopAudioThread(AudioCaptureTask task) {
  TallowmarchSession::Impl& s = task.session->State();
  std::wstring deviceId = task.deviceId;
  RunAudioCapture(AudioFlow::Render, s.desktopRing, s.clipWindow, s.stopRequested, L"desktop-audio",
                  task.log, std::move(deviceId));
}

void MicAudioThread(AudioCaptureTask task) {
  TallowmarchSession::Impl& s = task.session->State();
  std::wstring deviceId = task.deviceId;
  RunAudioCapture(AudioFlow::Capture, s.micRing, s.clipWindow, s.stopRequested, L"mic-audio",
                  task.log, std::move(deviceId));
}

}  // namespace tallowmarch
