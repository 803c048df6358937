#include "audio_endpoints.h"

#include "platform.h"

namespace tallowmarch {

std::wstring GetDeviceFriendlyName(platform::AudioEndpoint& device) {
  static const std::wstring kUnknown = L"(unknown device)";
  std::unique_ptr<platform::AudioPropertyStore> store;
  if (FAILED(device.OpenPropertyStore(store)) || !store) return kUnknown;
  platform::PropertyValue value;
  if (FAILED(store->GetFriendlyName(value)) ||
      value.type != platform::PropertyValue::Type::WideString) {
    return kUnknown;
  }
  return value.text;
}

void EnumerateAudioEndpoints(bool capture, const AudioEndpointCallback& callback) {
  const platform::AudioFlow flow =
      capture ? platform::AudioFlow::Capture : platform::AudioFlow::Render;
  std::unique_ptr<platform::AudioEndpointEnumerator> enumerator;
  if (FAILED(platform::Audio().CreateEndpointEnumerator(enumerator)) || !enumerator) return;

  std::wstring defaultId;
  std::shared_ptr<platform::AudioEndpoint> defaultDevice;
  if (SUCCEEDED(
          enumerator->GetDefaultAudioEndpoint(flow, platform::AudioRole::Console, defaultDevice)) &&
      defaultDevice) {
    std::wstring id;
    if (SUCCEEDED(defaultDevice->GetId(id))) defaultId = std::move(id);
  }

  std::unique_ptr<platform::AudioEndpointCollection> collection;
  if (FAILED(enumerator->EnumAudioEndpoints(flow, platform::kDeviceStateActive, collection)) ||
      !collection) {
    return;
  }
  std::uint32_t count = 0;
  (void)collection->GetCount(count);  // its result is not examined: the count starts at 0
  for (std::uint32_t i = 0; i < count; ++i) {
    std::shared_ptr<platform::AudioEndpoint> device;
    if (FAILED(collection->Item(i, device)) || !device) continue;
    std::wstring id;
    if (FAILED(device->GetId(id))) continue;
    const std::wstring name = GetDeviceFriendlyName(*device);
    // An empty default id never matches: with no default endpoint, none is flagged.
    callback(id, name, !defaultId.empty() && id == defaultId);
  }
}

}  // namespace tallowmarch
