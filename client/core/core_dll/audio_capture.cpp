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
// is cut to this length, so a bad position cannot allocate gigabytes.
constexpr double kMaxGapSeconds = 2.0;
// A chunk whose check came this late (a stalled thread, a suspended machine) is filled only to
// this length and anchored to end at the check, so its bytes still match its time span.
constexpr double kMaxChunkSeconds = 10.0;
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

// The chunk being gathered from one opened endpoint: packets in, silence for gaps, one chunk
// into the ring every 2 seconds of wall-clock time.
class ChunkGatherer {
 public:
  ChunkGatherer(AudioRing& ring, const ClipWindow& window, const WAVEFORMATEX& format)
      : ring_(ring),
        window_(window),
        blockAlign_(format.nBlockAlign),
        rate_(format.nSamplesPerSec),
        maxGapFrames_(static_cast<std::uint64_t>(kMaxGapSeconds * rate_)) {
    Begin();
  }

  void AddPacket(const std::uint8_t* data, std::uint32_t frames, std::uint32_t flags,
                 std::uint64_t devicePosition) {
    if (positionSeen_ && devicePosition > expectedPosition_) {
      const std::uint64_t gap = std::min(devicePosition - expectedPosition_, maxGapFrames_);
      AppendSilence(gap);
    }
    expectedPosition_ = devicePosition + frames;
    positionSeen_ = true;
    const size_t length = static_cast<size_t>(frames) * blockAlign_;
    if ((flags & platform::AUDCLNT_BUFFERFLAGS_SILENT) != 0 || data == nullptr) {
      AppendSilence(frames);
    } else {
      bytes_.insert(bytes_.end(), data, data + length);
    }
  }

  // Pushes the chunk once 2 seconds have passed since it began.
  void EmitIfDue() {
    const std::int64_t now = NowHns();
    double elapsed = static_cast<double>(now - chunkStart_) / 1e7;
    if (elapsed < kChunkSeconds) return;
    std::uint64_t expected = static_cast<std::uint64_t>(elapsed * rate_);
    const std::uint64_t held = bytes_.size() / blockAlign_;
    std::int64_t start = chunkStart_;
    const auto maxFrames = static_cast<std::uint64_t>(kMaxChunkSeconds * rate_);
    if (expected > maxFrames) {
      expected = std::max(held, maxFrames);
      elapsed = static_cast<double>(expected) / rate_;
      start = now - SecondsToHns(elapsed);
    }
    if (expected > held) AppendSilence(expected - held);

    AudioChunk chunk;
    chunk.bytes = std::make_shared<std::vector<std::uint8_t>>(std::move(bytes_));
    chunk.startTime = start;
    chunk.durationSeconds = elapsed;
    ring_.PushAndTrim(std::move(chunk), window_);
    Begin();
  }

 private:
  void Begin() {
    bytes_ = std::vector<std::uint8_t>();
    // Room for a whole chunk, so that gathering does not reallocate as it grows.
    bytes_.reserve(static_cast<size_t>((kChunkSeconds + 0.1) * rate_) * blockAlign_);
    chunkStart_ = NowHns();
  }
  void AppendSilence(std::uint64_t frames) {
    bytes_.resize(bytes_.size() + static_cast<size_t>(frames) * blockAlign_, 0);
  }

  AudioRing& ring_;
  const ClipWindow& window_;
  const std::uint32_t blockAlign_;
  const std::uint32_t rate_;
  const std::uint64_t maxGapFrames_;
  std::vector<std::uint8_t> bytes_;
  std::int64_t chunkStart_ = 0;
  bool positionSeen_ = false;  // only from the first packet of the endpoint on
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
      if (frames > 0) gatherer.AddPacket(data, frames, flags, devicePosition);
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
  ring.SetMixFormat(std::vector<std::uint8_t>(
      formatBytes.begin(), formatBytes.begin() + sizeof(WAVEFORMATEX) + format.cbSize));

  const std::uint32_t streamFlags =
      flow == AudioFlow::Render ? platform::AUDCLNT_STREAMFLAGS_LOOPBACK : 0u;
  ThrowIfFailed(client->Initialize(platform::AudioShareMode::Shared, streamFlags,
                                   kEndpointBufferDuration, 0, &format));
  std::unique_ptr<platform::AudioCaptureClient> capture;
  ThrowIfFailed(client->GetCaptureClient(capture));
  if (!capture) ThrowIfFailed(E_POINTER);
  ThrowIfFailed(client->Start());

  ChunkGatherer gatherer(ring, window, format);
  CaptureEndpoint(*capture, notifier, gatherer, stopRequested);

  client->Stop();  // result not looked at
  if (!stopRequested.load()) {
    const std::uint32_t count = ring.reconnects.fetch_add(1) + 1;
    SafeLog(log, kReconnectLine, name, count);
  }
  // The bytes gathered since the last chunk go with the gatherer: never pushed.
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
