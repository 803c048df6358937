#include "audio/sim_audio.h"

namespace tallowmarch::platform {
namespace {

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

class SimEndpoint : public AudioEndpoint {
 public:
  explicit SimEndpoint(SimEndpointSpec spec) : spec_(std::move(spec)) {}
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
  HRESULT ActivateAudioClient(std::unique_ptr<AudioClient>&) override { return E_NOTIMPL; }

 private:
  SimEndpointSpec spec_;
};

class SimCollection : public AudioEndpointCollection {
 public:
  explicit SimCollection(std::vector<SimEndpointSpec> items) : items_(std::move(items)) {}
  HRESULT GetCount(std::uint32_t& count) override {
    count = static_cast<std::uint32_t>(items_.size());
    return S_OK;
  }
  HRESULT Item(std::uint32_t index, std::shared_ptr<AudioEndpoint>& out) override {
    if (index >= items_.size()) return E_INVALIDARG;
    if (items_[index].itemFails) return E_FAIL;
    out = std::make_shared<SimEndpoint>(items_[index]);
    return S_OK;
  }

 private:
  std::vector<SimEndpointSpec> items_;
};

}  // namespace

// Takes a snapshot of the scripted endpoints when each call is made, like a real enumerator
// that reflects the system at the time of the call.
class SimEndpointEnumerator : public AudioEndpointEnumerator {
 public:
  explicit SimEndpointEnumerator(SimAudio& owner) : owner_(owner) {}

  HRESULT GetDefaultAudioEndpoint(AudioFlow flow, AudioRole,
                                  std::shared_ptr<AudioEndpoint>& out) override {
    std::lock_guard lock(owner_.mutex_);
    if (FAILED(owner_.defaultResult_)) return owner_.defaultResult_;
    for (const SimEndpointSpec& spec : owner_.endpoints_) {
      if (spec.flow == flow && spec.isDefault && (spec.state & kDeviceStateActive)) {
        out = std::make_shared<SimEndpoint>(spec);
        return S_OK;
      }
    }
    return E_NOTFOUND;
  }

  HRESULT EnumAudioEndpoints(AudioFlow flow, std::uint32_t stateMask,
                             std::unique_ptr<AudioEndpointCollection>& out) override {
    std::lock_guard lock(owner_.mutex_);
    if (FAILED(owner_.enumerateResult_)) return owner_.enumerateResult_;
    std::vector<SimEndpointSpec> items;
    for (const SimEndpointSpec& spec : owner_.endpoints_) {
      if (spec.flow == flow && (spec.state & stateMask) != 0) items.push_back(spec);
    }
    out = std::make_unique<SimCollection>(std::move(items));
    return S_OK;
  }

  HRESULT GetDevice(const std::wstring& id, std::shared_ptr<AudioEndpoint>& out) override {
    std::lock_guard lock(owner_.mutex_);
    for (const SimEndpointSpec& spec : owner_.endpoints_) {
      if (spec.id == id) {
        out = std::make_shared<SimEndpoint>(spec);
        return S_OK;
      }
    }
    return E_NOTFOUND;
  }
  HRESULT RegisterEndpointNotificationCallback(AudioNotificationClient*) override {
    return E_NOTIMPL;
  }
  HRESULT UnregisterEndpointNotificationCallback(AudioNotificationClient*) override {
    return E_NOTIMPL;
  }

 private:
  SimAudio& owner_;
};

HRESULT SimAudio::CreateEndpointEnumerator(std::unique_ptr<AudioEndpointEnumerator>& out) {
  std::lock_guard lock(mutex_);
  if (FAILED(enumeratorResult_)) return enumeratorResult_;
  ++enumeratorsCreated_;
  out = std::make_unique<SimEndpointEnumerator>(*this);
  return S_OK;
}

void SimAudio::SetEndpoints(std::vector<SimEndpointSpec> endpoints) {
  std::lock_guard lock(mutex_);
  endpoints_ = std::move(endpoints);
}

std::vector<SimEndpointSpec> SimAudio::Endpoints() const {
  std::lock_guard lock(mutex_);
  return endpoints_;
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

void SimAudio::Reset() {
  std::lock_guard lock(mutex_);
  endpoints_ = {
      {L"sim-render-speakers", L"Speakers (Sim Audio)", AudioFlow::Render, kDeviceStateActive,
       true},
      {L"sim-render-headphones", L"Headphones (Sim Audio)", AudioFlow::Render, kDeviceStateActive,
       false},
      {L"sim-capture-mic", L"Microphone (Sim Audio)", AudioFlow::Capture, kDeviceStateActive, true},
  };
  enumeratorResult_ = enumerateResult_ = defaultResult_ = S_OK;
  enumeratorsCreated_ = 0;
}

int SimAudio::EnumeratorsCreated() const {
  std::lock_guard lock(mutex_);
  return enumeratorsCreated_;
}

}  // namespace tallowmarch::platform
