// The simulated audio layer: a scripted set of endpoints, each able to fail at any step of the
// listing, plus failures of the enumerator itself.
#pragma once

#include <mutex>
#include <vector>

#include "audio/audio.h"
#include "common/export.h"

namespace tallowmarch::platform {

struct SimEndpointSpec {
  std::wstring id;
  std::wstring friendlyName;
  AudioFlow flow = AudioFlow::Render;
  std::uint32_t state = kDeviceStateActive;
  bool isDefault = false;  // default endpoint of its flow for the console role
  // Scripted failures of the listing steps.
  bool itemFails = false;           // the collection's Item() for this endpoint
  bool idFails = false;             // GetId()
  bool propertyStoreFails = false;  // OpenPropertyStore()
  bool nameReadFails = false;       // reading PKEY_Device_FriendlyName
  bool nameNotString = false;       // the value is not a wide string
};

class TM_EXPORT SimAudio : public AudioLayer {
 public:
  SimAudio() { Reset(); }
  HRESULT CreateEndpointEnumerator(std::unique_ptr<AudioEndpointEnumerator>& out) override;

  void SetEndpoints(std::vector<SimEndpointSpec> endpoints);
  std::vector<SimEndpointSpec> Endpoints() const;
  void SetEnumeratorResult(HRESULT hr);       // CreateEndpointEnumerator
  void SetEnumerateResult(HRESULT hr);        // EnumAudioEndpoints
  void SetDefaultEndpointResult(HRESULT hr);  // GetDefaultAudioEndpoint
  void Reset();

  int EnumeratorsCreated() const;

 private:
  friend class SimEndpointEnumerator;
  mutable std::mutex mutex_;  // guards every field below
  std::vector<SimEndpointSpec> endpoints_;
  HRESULT enumeratorResult_ = S_OK;
  HRESULT enumerateResult_ = S_OK;
  HRESULT defaultResult_ = S_OK;
  int enumeratorsCreated_ = 0;
};

}  // namespace tallowmarch::platform
