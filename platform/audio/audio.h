// Audio endpoints in the shape of the MMDevice API: an enumerator, the default endpoint of a
// direction, a collection of endpoints in a state, ids and friendly names, endpoint
// notifications; and shared-mode polling capture in the shape of IAudioClient and
// IAudioCaptureClient (loopback of a render endpoint included). Every step can fail on its own,
// as it can on Windows, so the engine's skip, retry and reconnect rules stay testable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/wave_format.h"
#include "common/win_types.h"

namespace tallowmarch::platform {

enum class AudioFlow { Render, Capture };                      // eRender, eCapture
enum class AudioRole { Console, Multimedia, Communications };  // eConsole, eMultimedia, ...

inline constexpr std::uint32_t kDeviceStateActive = 0x1;      // DEVICE_STATE_ACTIVE
inline constexpr std::uint32_t kDeviceStateDisabled = 0x2;    // DEVICE_STATE_DISABLED
inline constexpr std::uint32_t kDeviceStateNotPresent = 0x4;  // DEVICE_STATE_NOTPRESENT
inline constexpr std::uint32_t kDeviceStateUnplugged = 0x8;   // DEVICE_STATE_UNPLUGGED

inline constexpr std::uint32_t AUDCLNT_STREAMFLAGS_LOOPBACK = 0x00020000;
inline constexpr std::uint32_t AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 0x1;
inline constexpr std::uint32_t AUDCLNT_BUFFERFLAGS_SILENT = 0x2;
inline constexpr std::uint32_t AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR = 0x4;

inline constexpr HRESULT AUDCLNT_E_NOT_INITIALIZED = MakeHresult(0x88890001u);
inline constexpr HRESULT AUDCLNT_E_ALREADY_INITIALIZED = MakeHresult(0x88890002u);
inline constexpr HRESULT AUDCLNT_E_WRONG_ENDPOINT_TYPE = MakeHresult(0x88890003u);
inline constexpr HRESULT AUDCLNT_E_OUT_OF_ORDER = MakeHresult(0x88890007u);
inline constexpr HRESULT AUDCLNT_E_UNSUPPORTED_FORMAT = MakeHresult(0x88890008u);
inline constexpr HRESULT AUDCLNT_E_INVALID_SIZE = MakeHresult(0x88890009u);
inline constexpr HRESULT AUDCLNT_E_SERVICE_NOT_RUNNING = MakeHresult(0x88890010u);
inline constexpr HRESULT AUDCLNT_E_BUFFER_ERROR = MakeHresult(0x88890018u);
inline constexpr std::int64_t kReferenceTimePerSecond = 10000000;  // REFERENCE_TIME units

// {7991EEC9-7E89-4D85-8390-6C703CEC60C0}
inline constexpr GUID IID_IMMNotificationClient = {
    0x7991EEC9, 0x7E89, 0x4D85, {0x83, 0x90, 0x6C, 0x70, 0x3C, 0xEC, 0x60, 0xC0}};
// {00000000-0000-0000-C000-000000000046}
inline constexpr GUID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

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

// IAudioCaptureClient. Packets are taken one at a time: GetBuffer hands out the next packet,
// ReleaseBuffer with its frame count gives it back; the data stays valid until then.
class AudioCaptureClient {
 public:
  virtual ~AudioCaptureClient() = default;
  // Frames in the next packet; 0 when none is pending.
  virtual HRESULT GetNextPacketSize(std::uint32_t& frames) = 0;
  // `devicePosition` counts frames since the stream started; a jump means the device lost
  // frames (a gap). `qpcPosition` is the packet's time in 100-ns units.
  virtual HRESULT GetBuffer(const std::uint8_t*& data, std::uint32_t& frames, std::uint32_t& flags,
                            std::uint64_t& devicePosition, std::uint64_t& qpcPosition) = 0;
  virtual HRESULT ReleaseBuffer(std::uint32_t frames) = 0;
};

enum class AudioShareMode { Shared, Exclusive };

// IAudioClient of an endpoint. A capture client stays usable however the two are destroyed.
class AudioClient {
 public:
  virtual ~AudioClient() = default;
  // The endpoint's mix format as the raw WAVEFORMATEX block (18 + cbSize bytes).
  virtual HRESULT GetMixFormat(std::vector<std::uint8_t>& format) = 0;
  // `streamFlags`: AUDCLNT_STREAMFLAGS_LOOPBACK on a render endpoint captures what it plays.
  // Durations in 100-ns units; `format` is a WAVEFORMATEX block as GetMixFormat gives it.
  virtual HRESULT Initialize(AudioShareMode mode, std::uint32_t streamFlags,
                             std::int64_t bufferDuration, std::int64_t periodicity,
                             const WAVEFORMATEX* format) = 0;
  // GetService(IID_IAudioCaptureClient).
  virtual HRESULT GetCaptureClient(std::unique_ptr<AudioCaptureClient>& out) = 0;
  virtual HRESULT Start() = 0;
  virtual HRESULT Stop() = 0;
};

class AudioEndpoint {
 public:
  virtual ~AudioEndpoint() = default;
  virtual HRESULT GetId(std::wstring& id) = 0;
  virtual HRESULT GetState(std::uint32_t& state) = 0;
  virtual HRESULT OpenPropertyStore(std::unique_ptr<AudioPropertyStore>& out) = 0;
  // Activate(IID_IAudioClient, CLSCTX_ALL, no parameters).
  virtual HRESULT ActivateAudioClient(std::unique_ptr<AudioClient>& out) = 0;
};

// IMMNotificationClient. The layer calls the On* operations on a thread of its own, never on a
// thread that called into the enumerator. The layer does not keep a reference: the registering
// code keeps the object alive until UnregisterEndpointNotificationCallback has returned, and
// once it has returned no call into the object is running or will come.
class AudioNotificationClient {
 public:
  virtual HRESULT QueryInterface(const GUID& iid, void** out) = 0;
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;
  virtual HRESULT OnDeviceStateChanged(const std::wstring& id, std::uint32_t newState) = 0;
  virtual HRESULT OnDeviceAdded(const std::wstring& id) = 0;
  virtual HRESULT OnDeviceRemoved(const std::wstring& id) = 0;
  virtual HRESULT OnDefaultDeviceChanged(AudioFlow flow, AudioRole role,
                                         const std::wstring& id) = 0;
  virtual HRESULT OnPropertyValueChanged(const std::wstring& id) = 0;

 protected:
  virtual ~AudioNotificationClient() = default;  // reference counted: deleted by Release
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
  // E_NOTFOUND when no endpoint has the id.
  virtual HRESULT GetDevice(const std::wstring& id, std::shared_ptr<AudioEndpoint>& out) = 0;
  virtual HRESULT RegisterEndpointNotificationCallback(AudioNotificationClient* client) = 0;
  virtual HRESULT UnregisterEndpointNotificationCallback(AudioNotificationClient* client) = 0;
};

class AudioLayer {
 public:
  virtual ~AudioLayer() = default;
  virtual HRESULT CreateEndpointEnumerator(std::unique_ptr<AudioEndpointEnumerator>& out) = 0;
};

}  // namespace tallowmarch::platform
