#include "audio/linux_audio.h"

#include <string>
#include <utility>
#include <vector>

#include "audio/linux_audio_capture.h"
#include "audio/linux_audio_connection.h"
#include "common/wide_text.h"

namespace tallowmarch::platform {
namespace {

class PulsePropertyStore : public AudioPropertyStore {
 public:
  explicit PulsePropertyStore(std::wstring name) : name_(std::move(name)) {}
  HRESULT GetFriendlyName(PropertyValue& out) override {
    out = {};
    out.type = PropertyValue::Type::WideString;
    out.text = name_;
    return S_OK;
  }

 private:
  const std::wstring name_;
};

// An endpoint as the server described it when it was looked up; its state and its client
// ask the server again, so they see a removal.
class PulseEndpoint : public AudioEndpoint {
 public:
  PulseEndpoint(std::shared_ptr<PulseConnector> connector, PulseDeviceInfo info)
      : connector_(std::move(connector)), info_(std::move(info)) {}

  HRESULT GetId(std::wstring& id) override {
    id = Widen(info_.name);
    return S_OK;
  }

  HRESULT GetState(std::uint32_t& state) override {
    std::shared_ptr<PulseConnection> connection;
    HRESULT hr = connector_->Get(connection);
    if (FAILED(hr)) return hr;
    PulseDeviceInfo now;
    hr = connection->FindDevice(info_.flow, info_.name, now);
    if (hr == E_NOTFOUND) {
      state = kDeviceStateNotPresent;
      return S_OK;
    }
    if (FAILED(hr)) return hr;
    state = StateOf(now);
    return S_OK;
  }

  HRESULT OpenPropertyStore(std::unique_ptr<AudioPropertyStore>& out) override {
    out = std::make_unique<PulsePropertyStore>(Widen(info_.description));
    return S_OK;
  }

  HRESULT ActivateAudioClient(std::unique_ptr<AudioClient>& out) override {
    out = std::make_unique<PulseAudioClient>(connector_, info_.name, info_.flow);
    return S_OK;
  }

  static std::uint32_t StateOf(const PulseDeviceInfo& info) {
    return info.allPortsUnavailable ? kDeviceStateUnplugged : kDeviceStateActive;
  }

 private:
  const std::shared_ptr<PulseConnector> connector_;
  const PulseDeviceInfo info_;
};

class PulseEndpointCollection : public AudioEndpointCollection {
 public:
  explicit PulseEndpointCollection(std::vector<std::shared_ptr<AudioEndpoint>> items)
      : items_(std::move(items)) {}
  HRESULT GetCount(std::uint32_t& count) override {
    count = static_cast<std::uint32_t>(items_.size());
    return S_OK;
  }
  HRESULT Item(std::uint32_t index, std::shared_ptr<AudioEndpoint>& out) override {
    if (index >= items_.size()) return E_INVALIDARG;
    out = items_[index];
    return S_OK;
  }

 private:
  const std::vector<std::shared_ptr<AudioEndpoint>> items_;
};

// Every call asks the server at the time it is made, over the live connection (made again
// when the server went away and came back).
class PulseEndpointEnumerator : public AudioEndpointEnumerator {
 public:
  explicit PulseEndpointEnumerator(std::shared_ptr<PulseConnector> connector)
      : connector_(std::move(connector)) {}

  ~PulseEndpointEnumerator() override {
    // Clients left registered are dropped, so nothing calls them once their enumerator is gone.
    for (AudioNotificationClient* client : registered_) {
      connector_->Notifications().Unregister(client);
    }
  }

  HRESULT GetDefaultAudioEndpoint(AudioFlow flow, AudioRole,
                                  std::shared_ptr<AudioEndpoint>& out) override {
    std::shared_ptr<PulseConnection> connection;
    HRESULT hr = connector_->Get(connection);
    if (FAILED(hr)) return hr;
    PulseDeviceInfo info;
    hr = connection->DefaultDevice(flow, info);
    if (FAILED(hr)) return hr;
    out = std::make_shared<PulseEndpoint>(connector_, std::move(info));
    return S_OK;
  }

  HRESULT EnumAudioEndpoints(AudioFlow flow, std::uint32_t stateMask,
                             std::unique_ptr<AudioEndpointCollection>& out) override {
    std::shared_ptr<PulseConnection> connection;
    HRESULT hr = connector_->Get(connection);
    if (FAILED(hr)) return hr;
    std::vector<PulseDeviceInfo> devices;
    hr = connection->ListDevices(flow, devices);
    if (FAILED(hr)) return hr;
    std::vector<std::shared_ptr<AudioEndpoint>> items;
    for (PulseDeviceInfo& d : devices) {
      if ((PulseEndpoint::StateOf(d) & stateMask) == 0) continue;
      items.push_back(std::make_shared<PulseEndpoint>(connector_, std::move(d)));
    }
    out = std::make_unique<PulseEndpointCollection>(std::move(items));
    return S_OK;
  }

  HRESULT GetDevice(const std::wstring& id, std::shared_ptr<AudioEndpoint>& out) override {
    std::shared_ptr<PulseConnection> connection;
    HRESULT hr = connector_->Get(connection);
    if (FAILED(hr)) return hr;
    const std::string name = Narrow(id);
    PulseDeviceInfo info;
    hr = connection->FindDevice(AudioFlow::Render, name, info);
    if (hr == E_NOTFOUND) hr = connection->FindDevice(AudioFlow::Capture, name, info);
    if (FAILED(hr)) return hr;
    out = std::make_shared<PulseEndpoint>(connector_, std::move(info));
    return S_OK;
  }

  HRESULT RegisterEndpointNotificationCallback(AudioNotificationClient* client) override {
    const HRESULT hr = connector_->Notifications().Register(client);
    if (SUCCEEDED(hr)) {
      std::lock_guard lock(mutex_);
      registered_.push_back(client);
    }
    return hr;
  }

  HRESULT UnregisterEndpointNotificationCallback(AudioNotificationClient* client) override {
    {
      std::lock_guard lock(mutex_);
      std::erase(registered_, client);
    }
    return connector_->Notifications().Unregister(client);
  }

 private:
  const std::shared_ptr<PulseConnector> connector_;
  // Guards registered_ (the clients this enumerator registered). Never held while the
  // dispatcher's lock is taken.
  std::mutex mutex_;
  std::vector<AudioNotificationClient*> registered_;
};

class PulseAudioLayer : public AudioLayer {
 public:
  HRESULT CreateEndpointEnumerator(std::unique_ptr<AudioEndpointEnumerator>& out) override {
    // Connecting here makes a missing server fail the creation, as a stopped audio service does.
    std::shared_ptr<PulseConnection> connection;
    const HRESULT hr = connector_->Get(connection);
    if (FAILED(hr)) return hr;
    out = std::make_unique<PulseEndpointEnumerator>(connector_);
    return S_OK;
  }

 private:
  const std::shared_ptr<PulseConnector> connector_ = std::make_shared<PulseConnector>();
};

}  // namespace

AudioLayer& LinuxAudioLayer() {
  static AudioLayer* const layer = new PulseAudioLayer;
  return *layer;
}

std::unique_ptr<AudioLayer> MakePulseAudioLayer() {
  return std::make_unique<PulseAudioLayer>();
}

}  // namespace tallowmarch::platform
