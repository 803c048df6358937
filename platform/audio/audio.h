// Audio endpoints in the shape of the MMDevice API: an enumerator, the default endpoint of a
// direction, a collection of endpoints in a state, ids and friendly names. Every step can fail
// on its own, as it can on Windows, so the engine's skip-or-stop rules stay testable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/win_types.h"

namespace tallowmarch::platform {

enum class AudioFlow { Render, Capture };  // eRender, eCapture
enum class AudioRole { Console };          // eConsole

inline constexpr std::uint32_t kDeviceStateActive = 0x1;      // DEVICE_STATE_ACTIVE
inline constexpr std::uint32_t kDeviceStateDisabled = 0x2;    // DEVICE_STATE_DISABLED
inline constexpr std::uint32_t kDeviceStateNotPresent = 0x4;  // DEVICE_STATE_NOTPRESENT
inline constexpr std::uint32_t kDeviceStateUnplugged = 0x8;   // DEVICE_STATE_UNPLUGGED

// A property value as read from a store: only a wide string (VT_LPWSTR) carries text.
struct PropertyValue {
  enum class Type { Empty, WideString, Other };
  Type type = Type::Empty;
  std::wstring text;
};

class AudioPropertyStore {
 public:
  virtual ~AudioPropertyStore() = default;
  // PKEY_Device_FriendlyName.
  virtual HRESULT GetFriendlyName(PropertyValue& out) = 0;
};

class AudioEndpoint {
 public:
  virtual ~AudioEndpoint() = default;
  virtual HRESULT GetId(std::wstring& id) = 0;
  virtual HRESULT GetState(std::uint32_t& state) = 0;
  virtual HRESULT OpenPropertyStore(std::unique_ptr<AudioPropertyStore>& out) = 0;
};

class AudioEndpointCollection {
 public:
  virtual ~AudioEndpointCollection() = default;
  virtual HRESULT GetCount(std::uint32_t& count) = 0;
  virtual HRESULT Item(std::uint32_t index, std::shared_ptr<AudioEndpoint>& out) = 0;
};

class AudioEndpointEnumerator {
 public:
  virtual ~AudioEndpointEnumerator() = default;
  virtual HRESULT GetDefaultAudioEndpoint(AudioFlow flow, AudioRole role,
                                          std::shared_ptr<AudioEndpoint>& out) = 0;
  virtual HRESULT EnumAudioEndpoints(AudioFlow flow, std::uint32_t stateMask,
                                     std::unique_ptr<AudioEndpointCollection>& out) = 0;
};

class AudioLayer {
 public:
  virtual ~AudioLayer() = default;
  virtual HRESULT CreateEndpointEnumerator(std::unique_ptr<AudioEndpointEnumerator>& out) = 0;
};

}  // namespace tallowmarch::platform
