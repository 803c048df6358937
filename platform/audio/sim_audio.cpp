#include "audio/sim_audio.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "platform.h"
#include "system/system.h"

namespace tallowmarch::platform {
namespace {

// AUDCLNT_S_BUFFER_EMPTY: a success code, GetBuffer found no packet.
constexpr HRESULT kBufferEmpty = static_cast<HRESULT>(0x08890001);
// What a released packet's bytes are overwritten with, so that a reader that keeps using them
// after ReleaseBuffer reads loud garbage instead of the tone.
constexpr std::uint8_t kReleasedByte = 0x7F;

class SimPropertyStore : public AudioPropertyStore {
 public:
  explicit SimPropertyStore(SimEndpointSpec spec) : spec_(std::move(spec)) {}
  HRESULT GetFriendlyName(PropertyValue& out) override {
    out = {};
    if (spec_.nameReadFails) return E_FAIL;
    if (spec_.nameNotString) {
      out.type = PropertyValue::Type::Other;
      return S_OK;
    }
    out.type = PropertyValue::Type::WideString;
    out.text = spec_.friendlyName;
    return S_OK;
  }

 private:
  SimEndpointSpec spec_;
};

std::vector<std::uint8_t> MixFormatBytes(const SimEndpointSpec& spec) {
  const bool isFloat = spec.sampleType == SimSampleType::Float32;
  const std::uint16_t bits = isFloat ? 32 : 16;
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = spec.extensibleFormat
                                 ? WAVE_FORMAT_EXTENSIBLE
                                 : (isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM);
  format.Format.nChannels = spec.channels;
  format.Format.nSamplesPerSec = spec.sampleRate;
  format.Format.nBlockAlign = static_cast<std::uint16_t>(spec.channels * bits / 8);
  format.Format.nAvgBytesPerSec = spec.sampleRate * format.Format.nBlockAlign;
  format.Format.wBitsPerSample = bits;
  format.Format.cbSize = spec.extensibleFormat ? 22 : 0;
  format.Samples.wValidBitsPerSample = bits;
  format.dwChannelMask = spec.channels == 2   ? (SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT)
                         : spec.channels == 1 ? 0x4u  // SPEAKER_FRONT_CENTER
                                              : 0u;
  format.SubFormat = isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&format);
  return std::vector<std::uint8_t>(bytes, bytes + 18 + format.Format.cbSize);
}

// One opened stream of an endpoint, shared by its audio client and its capture client.
struct SimStream {
  SimStream(SimAudio& audio, SimEndpointSpec endpoint, std::uint64_t endpointSerial)
      : owner(audio), spec(std::move(endpoint)), serial(endpointSerial) {
    format = MixFormatBytes(spec);
    blockAlign = reinterpret_cast<const WAVEFORMATEX*>(format.data())->nBlockAlign;
  }

  SimAudio& owner;
  const SimEndpointSpec spec;
  const std::uint64_t serial;
  std::vector<std::uint8_t> format;
  std::uint32_t blockAlign = 0;

  // Guards every field below. Lock order: this, then SimAudio's mutex_ (Initialize records the
  // client); the owner's lock is never held while this one is taken.
  std::mutex mutex;
  bool initialized = false;
  bool started = false;
  std::int64_t startCounter = 0;  // performance counter at Start
  std::uint64_t bufferFrames = 0;
  size_t recordIndex = SIZE_MAX;  // this client's entry in the owner's initialised clients
  std::uint64_t nextFrame = 0;    // frames of the tone handed out or lost so far
  std::int64_t positionOffset = 0;
  std::uint64_t packetIndex = 0;
  bool lossTaken = false;  // the lost frames before packet packetIndex are skipped already
  bool packetOut = false;
  std::uint32_t packetOutFrames = 0;
  std::vector<std::uint8_t> packet;
};

}  // namespace

// Friends of SimAudio: they reach its counters and scripted failures.
class SimCaptureClientImpl : public AudioCaptureClient {
 public:
  explicit SimCaptureClientImpl(std::shared_ptr<SimStream> stream) : stream_(std::move(stream)) {}

  HRESULT GetNextPacketSize(std::uint32_t& frames) override {
    frames = 0;
    SimAudio& owner = stream_->owner;
    if (HRESULT hr = owner.TakeFailure(SimAudioStep::GetNextPacketSize, stream_->spec.id);
        FAILED(hr))
      return hr;
    if (!owner.IsLive(stream_->serial)) return AUDCLNT_E_DEVICE_INVALIDATED;
    std::lock_guard lock(stream_->mutex);
    if (!stream_->initialized) return AUDCLNT_E_NOT_INITIALIZED;
    if (PendingPacketsLocked() > 0) frames = stream_->spec.packetFrames;
    return S_OK;
  }

  HRESULT GetBuffer(const std::uint8_t*& data, std::uint32_t& frames, std::uint32_t& flags,
                    std::uint64_t& devicePosition, std::uint64_t& qpcPosition) override {
    data = nullptr;
    frames = 0;
    flags = 0;
    devicePosition = 0;
    qpcPosition = 0;
    SimAudio& owner = stream_->owner;
    if (HRESULT hr = owner.TakeFailure(SimAudioStep::GetBuffer, stream_->spec.id); FAILED(hr))
      return hr;
    if (!owner.IsLive(stream_->serial)) return AUDCLNT_E_DEVICE_INVALIDATED;
    SimStream& s = *stream_;
    std::lock_guard lock(s.mutex);
    if (!s.initialized) return AUDCLNT_E_NOT_INITIALIZED;
    if (s.packetOut) return AUDCLNT_E_OUT_OF_ORDER;
    if (PendingPacketsLocked() == 0) return kBufferEmpty;

    bool silent = false;
    for (const SimPacketEvent& event : s.spec.packetEvents) {
      if (event.packet != s.packetIndex || event.lostFrames > 0) continue;
      s.positionOffset += event.positionJump;
      silent = silent || event.silent;
    }
    const std::uint32_t count = s.spec.packetFrames;
    FillTone(s, count);
    const std::int64_t position = static_cast<std::int64_t>(s.nextFrame) + s.positionOffset;
    devicePosition = position > 0 ? static_cast<std::uint64_t>(position) : 0;
    // The packet's first frame on the performance counter's time line, in 100-ns units.
    const double frequency = static_cast<double>(System().PerformanceFrequency());
    qpcPosition =
        static_cast<std::uint64_t>(static_cast<double>(s.startCounter) / frequency * 1e7 +
                                   static_cast<double>(s.nextFrame) * 1e7 / s.spec.sampleRate);
    data = s.packet.data();
    frames = count;
    flags = silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0;
    s.packetOut = true;
    s.packetOutFrames = count;
    ++s.packetIndex;
    s.lossTaken = false;
    s.nextFrame += count;
    owner.packetsDelivered_.fetch_add(1);
    return S_OK;
  }

  HRESULT ReleaseBuffer(std::uint32_t frames) override {
    SimAudio& owner = stream_->owner;
    if (HRESULT hr = owner.TakeFailure(SimAudioStep::ReleaseBuffer, stream_->spec.id); FAILED(hr))
      return hr;
    SimStream& s = *stream_;
    std::lock_guard lock(s.mutex);
    if (!s.packetOut) return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
    if (frames != s.packetOutFrames) return AUDCLNT_E_INVALID_SIZE;
    std::fill(s.packet.begin(), s.packet.end(), kReleasedByte);
    s.packetOut = false;
    return S_OK;
  }

 private:
  // Whole packets the device has produced and nobody has taken yet. When the reader fell
  // behind by more than the endpoint buffer, the oldest packets are lost: the device position
  // moves on past them, as a real device's does.
  std::uint64_t PendingPacketsLocked() {
    SimStream& s = *stream_;
    if (!s.started || s.spec.idle || s.spec.packetFrames == 0 || s.spec.sampleRate == 0) return 0;
    const std::int64_t delay =
        static_cast<std::int64_t>(s.spec.deliveryDelayMs) * System().PerformanceFrequency() / 1000;
    const std::int64_t elapsed = System().PerformanceCounter() - s.startCounter - delay;
    if (elapsed <= 0) return 0;
    const double seconds =
        static_cast<double>(elapsed) / static_cast<double>(System().PerformanceFrequency());
    const auto produced = static_cast<std::uint64_t>(seconds * s.spec.sampleRate);
    // Frames lost before the next packet: skipped as they are recorded.
    for (const SimPacketEvent& event : s.spec.packetEvents) {
      if (event.packet == s.packetIndex && event.lostFrames > 0 && !s.lossTaken) {
        s.nextFrame += event.lostFrames;
        s.lossTaken = true;
      }
    }
    if (produced <= s.nextFrame) return 0;
    std::uint64_t backlog = produced - s.nextFrame;
    if (backlog > s.bufferFrames + s.spec.packetFrames) {
      const std::uint64_t lostPackets = (backlog - s.bufferFrames) / s.spec.packetFrames;
      s.nextFrame += lostPackets * s.spec.packetFrames;
      backlog -= lostPackets * s.spec.packetFrames;
    }
    return backlog / s.spec.packetFrames;
  }

  // The tone's frames [nextFrame, nextFrame + count) into the packet buffer.
  static void FillTone(SimStream& s, std::uint32_t count) {
    s.packet.assign(static_cast<size_t>(count) * s.blockAlign, 0);
    const SimEndpointSpec& spec = s.spec;
    for (std::uint32_t i = 0; i < count; ++i) {
      const double n = static_cast<double>(s.nextFrame + i);
      const double cycles = std::fmod(spec.toneFrequency * n / spec.sampleRate, 1.0);
      const double value = spec.toneAmplitude * std::sin(2.0 * std::numbers::pi * cycles);
      std::uint8_t* frame = s.packet.data() + static_cast<size_t>(i) * s.blockAlign;
      for (std::uint16_t c = 0; c < spec.channels; ++c) {
        if (spec.sampleType == SimSampleType::Float32) {
          const float sample = static_cast<float>(value);
          std::memcpy(frame + c * 4, &sample, 4);
        } else {
          const auto sample =
              static_cast<std::int16_t>(std::lround(std::clamp(value, -1.0, 1.0) * 32767.0));
          std::memcpy(frame + c * 2, &sample, 2);
        }
      }
    }
  }

  std::shared_ptr<SimStream> stream_;
};

class SimAudioClientImpl : public AudioClient {
 public:
  explicit SimAudioClientImpl(std::shared_ptr<SimStream> stream) : stream_(std::move(stream)) {}
  ~SimAudioClientImpl() override { Stop(); }

  HRESULT GetMixFormat(std::vector<std::uint8_t>& format) override {
    if (HRESULT hr = stream_->owner.TakeFailure(SimAudioStep::GetMixFormat, stream_->spec.id);
        FAILED(hr))
      return hr;
    format = stream_->format;
    return S_OK;
  }

  HRESULT Initialize(AudioShareMode mode, std::uint32_t streamFlags, std::int64_t bufferDuration,
                     std::int64_t periodicity, const WAVEFORMATEX* format) override {
    SimAudio& owner = stream_->owner;
    if (HRESULT hr = owner.TakeFailure(SimAudioStep::Initialize, stream_->spec.id); FAILED(hr))
      return hr;
    if (format == nullptr) return E_POINTER;
    SimStream& s = *stream_;
    std::lock_guard lock(s.mutex);
    if (s.initialized) return AUDCLNT_E_ALREADY_INITIALIZED;
    if ((streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK) != 0 && s.spec.flow != AudioFlow::Render)
      return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    // Shared mode takes the mix format only.
    const size_t size = 18 + static_cast<size_t>(format->cbSize);
    if (size != s.format.size() || std::memcmp(format, s.format.data(), size) != 0)
      return AUDCLNT_E_UNSUPPORTED_FORMAT;
    s.initialized = true;
    const std::uint64_t frames = static_cast<std::uint64_t>(
        std::max<std::int64_t>(bufferDuration, 0) * s.spec.sampleRate / kReferenceTimePerSecond);
    s.bufferFrames = std::max<std::uint64_t>(frames, s.spec.packetFrames);
    std::lock_guard ownerLock(owner.mutex_);
    s.recordIndex = owner.initialized_.size();
    owner.initialized_.push_back({s.spec.id, streamFlags, bufferDuration, periodicity, mode});
    return S_OK;
  }

  HRESULT GetCaptureClient(std::unique_ptr<AudioCaptureClient>& out) override {
    if (HRESULT hr = stream_->owner.TakeFailure(SimAudioStep::GetService, stream_->spec.id);
        FAILED(hr))
      return hr;
    std::lock_guard lock(stream_->mutex);
    if (!stream_->initialized) return AUDCLNT_E_NOT_INITIALIZED;
    out = std::make_unique<SimCaptureClientImpl>(stream_);
    return S_OK;
  }

  HRESULT Start() override {
    SimAudio& owner = stream_->owner;
    if (HRESULT hr = owner.TakeFailure(SimAudioStep::Start, stream_->spec.id); FAILED(hr))
      return hr;
    if (!owner.IsLive(stream_->serial)) return AUDCLNT_E_DEVICE_INVALIDATED;
    std::lock_guard lock(stream_->mutex);
    if (!stream_->initialized) return AUDCLNT_E_NOT_INITIALIZED;
    if (stream_->started) return AUDCLNT_E_NOT_STOPPED;
    stream_->started = true;
    stream_->startCounter = System().PerformanceCounter();
    {
      std::lock_guard ownerLock(owner.mutex_);  // order: the stream's lock, then the owner's
      if (stream_->recordIndex < owner.initialized_.size() &&
          owner.initialized_[stream_->recordIndex].endpointId == stream_->spec.id) {
        owner.initialized_[stream_->recordIndex].startCounter = stream_->startCounter;
      }
    }
    owner.runningStreams_.fetch_add(1);
    return S_OK;
  }

  HRESULT Stop() override {
    std::lock_guard lock(stream_->mutex);
    if (!stream_->started) return S_FALSE;
    stream_->started = false;
    stream_->owner.runningStreams_.fetch_sub(1);
    return S_OK;
  }

 private:
  static constexpr HRESULT AUDCLNT_E_NOT_STOPPED = MakeHresult(0x88890005u);
  std::shared_ptr<SimStream> stream_;
};

class SimEndpointImpl : public AudioEndpoint {
 public:
  SimEndpointImpl(SimAudio& owner, SimEndpointSpec spec, std::uint64_t serial)
      : owner_(owner), spec_(std::move(spec)), serial_(serial) {}
  HRESULT GetId(std::wstring& id) override {
    if (spec_.idFails) return E_OUTOFMEMORY;
    id = spec_.id;
    return S_OK;
  }
  HRESULT GetState(std::uint32_t& state) override {
    state = spec_.state;
    return S_OK;
  }
  HRESULT OpenPropertyStore(std::unique_ptr<AudioPropertyStore>& out) override {
    if (spec_.propertyStoreFails) return E_ACCESSDENIED;
    out = std::make_unique<SimPropertyStore>(spec_);
    return S_OK;
  }
  HRESULT ActivateAudioClient(std::unique_ptr<AudioClient>& out) override {
    if (HRESULT hr = owner_.TakeFailure(SimAudioStep::Activate, spec_.id); FAILED(hr)) return hr;
    if (!owner_.IsLive(serial_)) return AUDCLNT_E_DEVICE_INVALIDATED;
    out = std::make_unique<SimAudioClientImpl>(std::make_shared<SimStream>(owner_, spec_, serial_));
    owner_.clientsActivated_.fetch_add(1);
    return S_OK;
  }

 private:
  SimAudio& owner_;
  SimEndpointSpec spec_;
  std::uint64_t serial_;
};

namespace {

class SimCollection : public AudioEndpointCollection {
 public:
  SimCollection(SimAudio& owner, std::vector<std::pair<SimEndpointSpec, std::uint64_t>> items)
      : owner_(owner), items_(std::move(items)) {}
  HRESULT GetCount(std::uint32_t& count) override {
    count = static_cast<std::uint32_t>(items_.size());
    return S_OK;
  }
  HRESULT Item(std::uint32_t index, std::shared_ptr<AudioEndpoint>& out) override {
    if (index >= items_.size()) return E_INVALIDARG;
    if (items_[index].first.itemFails) return E_FAIL;
    out = std::make_shared<SimEndpointImpl>(owner_, items_[index].first, items_[index].second);
    return S_OK;
  }

 private:
  SimAudio& owner_;
  std::vector<std::pair<SimEndpointSpec, std::uint64_t>> items_;
};

}  // namespace

// Takes a snapshot of the scripted endpoints when each call is made, like a real enumerator
// that reflects the system at the time of the call.
class SimEndpointEnumerator : public AudioEndpointEnumerator {
 public:
  explicit SimEndpointEnumerator(SimAudio& owner) : owner_(owner) {}

  HRESULT GetDefaultAudioEndpoint(AudioFlow flow, AudioRole role,
                                  std::shared_ptr<AudioEndpoint>& out) override {
    std::lock_guard lock(owner_.mutex_);
    if (FAILED(owner_.defaultResult_)) return owner_.defaultResult_;
    if (role != AudioRole::Console) {
      const auto it = owner_.roleDefaults_.find({flow, role});
      if (it != owner_.roleDefaults_.end()) {
        const SimAudio::Entry* entry = owner_.FindLocked(it->second);
        if (entry == nullptr || entry->spec.flow != flow ||
            (entry->spec.state & kDeviceStateActive) == 0)
          return E_NOTFOUND;
        out = std::make_shared<SimEndpointImpl>(owner_, entry->spec, entry->serial);
        return S_OK;
      }
    }
    for (const SimAudio::Entry& entry : owner_.endpoints_) {
      if (entry.spec.flow == flow && entry.spec.isDefault &&
          (entry.spec.state & kDeviceStateActive)) {
        out = std::make_shared<SimEndpointImpl>(owner_, entry.spec, entry.serial);
        return S_OK;
      }
    }
    return E_NOTFOUND;
  }

  HRESULT EnumAudioEndpoints(AudioFlow flow, std::uint32_t stateMask,
                             std::unique_ptr<AudioEndpointCollection>& out) override {
    std::lock_guard lock(owner_.mutex_);
    if (FAILED(owner_.enumerateResult_)) return owner_.enumerateResult_;
    std::vector<std::pair<SimEndpointSpec, std::uint64_t>> items;
    for (const SimAudio::Entry& entry : owner_.endpoints_) {
      if (entry.spec.flow == flow && (entry.spec.state & stateMask) != 0)
        items.emplace_back(entry.spec, entry.serial);
    }
    out = std::make_unique<SimCollection>(owner_, std::move(items));
    return S_OK;
  }

  HRESULT GetDevice(const std::wstring& id, std::shared_ptr<AudioEndpoint>& out) override {
    std::lock_guard lock(owner_.mutex_);
    if (HRESULT hr = owner_.TakeFailureLocked(SimAudioStep::GetDevice, id); FAILED(hr)) return hr;
    const SimAudio::Entry* entry = owner_.FindLocked(id);
    if (entry == nullptr) return E_NOTFOUND;
    out = std::make_shared<SimEndpointImpl>(owner_, entry->spec, entry->serial);
    return S_OK;
  }

  HRESULT RegisterEndpointNotificationCallback(AudioNotificationClient* client) override {
    if (client == nullptr) return E_POINTER;
    {
      std::lock_guard lock(owner_.mutex_);
      if (FAILED(owner_.registerResult_)) return owner_.registerResult_;
    }
    std::lock_guard delivery(owner_.deliveryMutex_);
    owner_.clients_.push_back(client);
    return S_OK;
  }

  HRESULT UnregisterEndpointNotificationCallback(AudioNotificationClient* client) override {
    if (client == nullptr) return E_POINTER;
    // Waits for a delivery in progress: once this returns, no callback into `client` runs.
    std::lock_guard delivery(owner_.deliveryMutex_);
    const auto it = std::find(owner_.clients_.begin(), owner_.clients_.end(), client);
    if (it == owner_.clients_.end()) return E_INVALIDARG;
    owner_.clients_.erase(it);
    return S_OK;
  }

 private:
  SimAudio& owner_;
};

SimAudio::~SimAudio() {
  std::thread notifier;
  {
    std::lock_guard lock(mutex_);
    shuttingDown_ = true;
    notifier = std::move(notifier_);
  }
  queueCv_.notify_all();
  if (notifier.joinable()) notifier.join();
}

HRESULT SimAudio::CreateEndpointEnumerator(std::unique_ptr<AudioEndpointEnumerator>& out) {
  std::lock_guard lock(mutex_);
  if (FAILED(enumeratorResult_)) return enumeratorResult_;
  ++enumeratorsCreated_;
  out = std::make_unique<SimEndpointEnumerator>(*this);
  return S_OK;
}

void SimAudio::SetEndpoints(std::vector<SimEndpointSpec> endpoints) {
  std::lock_guard lock(mutex_);
  endpoints_.clear();
  for (SimEndpointSpec& spec : endpoints) endpoints_.push_back({std::move(spec), nextSerial_++});
  roleDefaults_.clear();
}

std::vector<SimEndpointSpec> SimAudio::Endpoints() const {
  std::lock_guard lock(mutex_);
  std::vector<SimEndpointSpec> out;
  for (const Entry& entry : endpoints_) out.push_back(entry.spec);
  return out;
}

void SimAudio::SetEnumeratorResult(HRESULT hr) {
  std::lock_guard lock(mutex_);
  enumeratorResult_ = hr;
}

void SimAudio::SetEnumerateResult(HRESULT hr) {
  std::lock_guard lock(mutex_);
  enumerateResult_ = hr;
}

void SimAudio::SetDefaultEndpointResult(HRESULT hr) {
  std::lock_guard lock(mutex_);
  defaultResult_ = hr;
}

void SimAudio::SetRegisterResult(HRESULT hr) {
  std::lock_guard lock(mutex_);
  registerResult_ = hr;
}

void SimAudio::SetFailure(SimAudioStep step, HRESULT hr, int times,
                          const std::wstring& endpointId) {
  std::lock_guard lock(mutex_);
  std::erase_if(failures_, [&](const FailureRule& rule) {
    return rule.step == step && rule.endpointId == endpointId;
  });
  if (FAILED(hr) && times != 0) failures_.push_back({step, hr, times, endpointId});
}

HRESULT SimAudio::TakeFailureLocked(SimAudioStep step, const std::wstring& endpointId) {
  ++stepCalls_[step];
  for (auto it = failures_.begin(); it != failures_.end(); ++it) {
    if (it->step != step || (!it->endpointId.empty() && it->endpointId != endpointId)) continue;
    const HRESULT hr = it->hr;
    if (it->remaining > 0 && --it->remaining == 0) failures_.erase(it);
    return hr;
  }
  return S_OK;
}

HRESULT SimAudio::TakeFailure(SimAudioStep step, const std::wstring& endpointId) {
  std::lock_guard lock(mutex_);
  return TakeFailureLocked(step, endpointId);
}

const SimAudio::Entry* SimAudio::FindLocked(const std::wstring& id) const {
  for (const Entry& entry : endpoints_)
    if (entry.spec.id == id) return &entry;
  return nullptr;
}

bool SimAudio::IsLive(std::uint64_t serial) const {
  std::lock_guard lock(mutex_);
  for (const Entry& entry : endpoints_)
    if (entry.serial == serial) return (entry.spec.state & kDeviceStateActive) != 0;
  return false;
}

void SimAudio::QueueLocked(Notification notification) {
  queue_.push_back(std::move(notification));
  if (!notifier_.joinable()) notifier_ = std::thread([this] { NotificationThread(); });
  queueCv_.notify_all();
}

void SimAudio::NotificationThread() {
  for (;;) {
    Notification notification;
    {
      std::unique_lock lock(mutex_);
      queueCv_.wait(lock, [this] { return shuttingDown_ || !queue_.empty(); });
      if (queue_.empty()) return;
      notification = std::move(queue_.front());
      queue_.pop_front();
    }
    {
      std::lock_guard delivery(deliveryMutex_);
      const std::vector<AudioNotificationClient*> clients = clients_;
      for (AudioNotificationClient* client : clients) notification(*client);
    }
    notificationsSent_.fetch_add(1);
  }
}

void SimAudio::AddEndpoint(SimEndpointSpec spec) {
  std::lock_guard lock(mutex_);
  const std::wstring id = spec.id;
  const AudioFlow flow = spec.flow;
  const bool isDefault = spec.isDefault;
  if (isDefault) {
    for (Entry& entry : endpoints_)
      if (entry.spec.flow == flow) entry.spec.isDefault = false;
    std::erase_if(roleDefaults_, [&](const auto& item) { return item.first.first == flow; });
  }
  endpoints_.push_back({std::move(spec), nextSerial_++});
  QueueLocked([id](AudioNotificationClient& client) { client.OnDeviceAdded(id); });
  if (isDefault) {
    for (AudioRole role : {AudioRole::Console, AudioRole::Multimedia, AudioRole::Communications})
      QueueLocked([flow, role, id](AudioNotificationClient& client) {
        client.OnDefaultDeviceChanged(flow, role, id);
      });
  }
}

void SimAudio::RemoveEndpoint(const std::wstring& id) {
  std::lock_guard lock(mutex_);
  const auto it = std::find_if(endpoints_.begin(), endpoints_.end(),
                               [&](const Entry& entry) { return entry.spec.id == id; });
  if (it == endpoints_.end()) return;
  const AudioFlow flow = it->spec.flow;
  const bool wasDefault = it->spec.isDefault;
  endpoints_.erase(it);
  std::erase_if(roleDefaults_, [&](const auto& item) { return item.second == id; });
  QueueLocked([id](AudioNotificationClient& client) { client.OnDeviceRemoved(id); });
  if (!wasDefault) return;
  std::wstring next;
  for (Entry& entry : endpoints_) {
    if (entry.spec.flow == flow && (entry.spec.state & kDeviceStateActive)) {
      entry.spec.isDefault = true;
      next = entry.spec.id;
      break;
    }
  }
  for (AudioRole role : {AudioRole::Console, AudioRole::Multimedia, AudioRole::Communications})
    QueueLocked([flow, role, next](AudioNotificationClient& client) {
      client.OnDefaultDeviceChanged(flow, role, next);
    });
}

void SimAudio::SetEndpointState(const std::wstring& id, std::uint32_t state) {
  std::lock_guard lock(mutex_);
  for (Entry& entry : endpoints_)
    if (entry.spec.id == id) entry.spec.state = state;
  QueueLocked(
      [id, state](AudioNotificationClient& client) { client.OnDeviceStateChanged(id, state); });
}

void SimAudio::SetDefaultEndpoint(AudioFlow flow, AudioRole role, const std::wstring& id) {
  std::lock_guard lock(mutex_);
  if (role == AudioRole::Console) {
    for (Entry& entry : endpoints_)
      if (entry.spec.flow == flow) entry.spec.isDefault = entry.spec.id == id;
  } else {
    roleDefaults_[{flow, role}] = id;
  }
  QueueLocked([flow, role, id](AudioNotificationClient& client) {
    client.OnDefaultDeviceChanged(flow, role, id);
  });
}

void SimAudio::Reset() {
  std::lock_guard lock(mutex_);
  auto endpoint = [](const wchar_t* id, const wchar_t* name, AudioFlow flow, double frequency) {
    SimEndpointSpec spec{id, name, flow, kDeviceStateActive, false};
    spec.toneFrequency = frequency;
    return spec;
  };
  endpoints_.clear();
  // The speakers play 440 Hz, the headphones 660 Hz, the microphone hears 1000 Hz.
  endpoints_.push_back(
      {endpoint(L"sim-render-speakers", L"Speakers (Sim Audio)", AudioFlow::Render, 440.0),
       nextSerial_++});
  endpoints_.back().spec.isDefault = true;
  endpoints_.push_back(
      {endpoint(L"sim-render-headphones", L"Headphones (Sim Audio)", AudioFlow::Render, 660.0),
       nextSerial_++});
  endpoints_.push_back(
      {endpoint(L"sim-capture-mic", L"Microphone (Sim Audio)", AudioFlow::Capture, 1000.0),
       nextSerial_++});
  endpoints_.back().spec.isDefault = true;
  roleDefaults_.clear();
  enumeratorResult_ = enumerateResult_ = defaultResult_ = registerResult_ = S_OK;
  failures_.clear();
  stepCalls_.clear();
  initialized_.clear();
  enumeratorsCreated_ = 0;
  queue_.clear();  // changes scripted before the reset are not announced after it
  clientsActivated_.store(0);
  packetsDelivered_.store(0);
  notificationsSent_.store(0);
}

int SimAudio::EnumeratorsCreated() const {
  std::lock_guard lock(mutex_);
  return enumeratorsCreated_;
}

int SimAudio::RegisteredClients() const {
  std::lock_guard delivery(deliveryMutex_);
  return static_cast<int>(clients_.size());
}

int SimAudio::StepCalls(SimAudioStep step) const {
  std::lock_guard lock(mutex_);
  const auto it = stepCalls_.find(step);
  return it == stepCalls_.end() ? 0 : it->second;
}

std::vector<SimClientRecord> SimAudio::InitializedClients() const {
  std::lock_guard lock(mutex_);
  return initialized_;
}

}  // namespace tallowmarch::platform
