// The simulated audio layer: a scripted set of endpoints, each able to fail at any step of the
// listing, plus failures of the enumerator itself; and simulated sound devices behind them.
//
// Each endpoint plays a tone of its own frequency and level in its own mix format. Once an
// audio client is started, packets of `packetFrames` frames become available in real time
// against the system layer's performance counter, with device positions counting frames, so a
// two-second stretch of capture really holds about two seconds of sound. Position jumps, a
// position that goes back and silent packets are scripted per packet; every capture step can
// fail once, N times or always; endpoints can be removed, added, change state and change the
// default. Endpoint notifications are delivered on a thread of the simulation's own, and
// UnregisterEndpointNotificationCallback is synchronous.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/audio.h"
#include "common/export.h"

namespace tallowmarch::platform {

enum class SimSampleType { Float32, Int16 };

// Something that happens at one packet of a stream (0-based, counted in the order GetBuffer
// hands the packets out).
struct SimPacketEvent {
  std::uint64_t packet = 0;
  // Added to the device position of this packet and of every later one; negative moves the
  // position back (never below 0).
  std::int64_t positionJump = 0;
  bool silent = false;  // the packet carries AUDCLNT_BUFFERFLAGS_SILENT (its bytes hold the tone)
  // The device lost this many frames before this packet: its position, its time stamp and its
  // sound move on by them, and it becomes available only once they would have been recorded.
  // An event with lost frames does only that (its other fields are not looked at).
  std::uint64_t lostFrames = 0;
};

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
  // The sound of the endpoint: a sine on every channel; an amplitude of 0 plays silence.
  double toneFrequency = 440.0;
  double toneAmplitude = 0.25;  // full scale 1.0
  // Mix format: WAVEFORMATEXTENSIBLE (or plain WAVEFORMATEX when `extensibleFormat` is false).
  SimSampleType sampleType = SimSampleType::Float32;
  std::uint32_t sampleRate = 48000;
  std::uint16_t channels = 2;
  bool extensibleFormat = true;
  std::uint32_t packetFrames = 480;  // 10 ms at 48 kHz
  // No packet ever becomes available (a loopback endpoint on which nothing plays).
  bool idle = false;
  // A packet becomes available this long after its last frame was recorded, so that there is
  // always sound in flight (a device or a driver that hands its data over late).
  std::uint32_t deliveryDelayMs = 0;
  std::vector<SimPacketEvent> packetEvents{};
};

// The steps of opening and reading an endpoint that can be made to fail.
enum class SimAudioStep {
  GetDevice,
  Activate,
  GetMixFormat,
  Initialize,
  GetService,
  Start,
  GetNextPacketSize,
  GetBuffer,
  ReleaseBuffer,
};

// How an audio client was initialised, as the simulation saw it.
struct SimClientRecord {
  std::wstring endpointId;
  std::uint32_t streamFlags = 0;
  std::int64_t bufferDuration = 0;
  std::int64_t periodicity = 0;
  AudioShareMode shareMode = AudioShareMode::Shared;
  // Performance counter at the stream's Start (0 until started): device frame n of the stream
  // was recorded n / rate seconds after it.
  std::int64_t startCounter = 0;
};

class TM_EXPORT SimAudio : public AudioLayer {
 public:
  SimAudio() { Reset(); }
  ~SimAudio() override;
  SimAudio(const SimAudio&) = delete;
  SimAudio& operator=(const SimAudio&) = delete;

  HRESULT CreateEndpointEnumerator(std::unique_ptr<AudioEndpointEnumerator>& out) override;

  // Replaces the endpoints without any notification (the system as it is found).
  void SetEndpoints(std::vector<SimEndpointSpec> endpoints);
  std::vector<SimEndpointSpec> Endpoints() const;
  void SetEnumeratorResult(HRESULT hr);       // CreateEndpointEnumerator
  void SetEnumerateResult(HRESULT hr);        // EnumAudioEndpoints
  void SetDefaultEndpointResult(HRESULT hr);  // GetDefaultAudioEndpoint
  void SetRegisterResult(HRESULT hr);         // RegisterEndpointNotificationCallback

  // `step` of the endpoint `endpointId` (any endpoint when empty) answers `hr` the next `times`
  // calls, or every call when `times` is negative. S_OK removes the rule.
  void SetFailure(SimAudioStep step, HRESULT hr, int times = -1,
                  const std::wstring& endpointId = {});

  // Changes that notify the registered clients (on the notification thread):
  // OnDeviceAdded; when the new endpoint is the default, it takes the default over and
  // OnDefaultDeviceChanged follows for the console, multimedia and communications roles.
  void AddEndpoint(SimEndpointSpec spec);
  // OnDeviceRemoved. When it was the console default, the first other active endpoint of the
  // flow becomes the default (none when there is none) and OnDefaultDeviceChanged follows for
  // the three roles with its id (empty when none).
  void RemoveEndpoint(const std::wstring& id);
  // OnDeviceStateChanged. Streams of an endpoint that is no longer active fail with
  // AUDCLNT_E_DEVICE_INVALIDATED, as on the real system.
  void SetEndpointState(const std::wstring& id, std::uint32_t state);
  // OnDefaultDeviceChanged for that flow and role (sent even when the default stays the same).
  // For the console role the endpoint becomes the one GetDefaultAudioEndpoint answers.
  void SetDefaultEndpoint(AudioFlow flow, AudioRole role, const std::wstring& id);

  void Reset();

  // Counters that tests wait on.
  int EnumeratorsCreated() const;
  int ClientsActivated() const { return clientsActivated_.load(); }
  std::uint64_t PacketsDelivered() const { return packetsDelivered_.load(); }
  // Notifications whose callbacks have all returned.
  std::uint64_t NotificationsSent() const { return notificationsSent_.load(); }
  int RegisteredClients() const;
  int RunningStreams() const { return runningStreams_.load(); }
  // Calls of a step so far (failed ones included).
  int StepCalls(SimAudioStep step) const;
  std::vector<SimClientRecord> InitializedClients() const;

 private:
  friend class SimEndpointEnumerator;
  friend class SimEndpointImpl;
  friend class SimAudioClientImpl;
  friend class SimCaptureClientImpl;

  struct Entry {
    SimEndpointSpec spec;
    std::uint64_t serial = 0;  // tells a re-added endpoint from the one removed before it
  };
  struct FailureRule {
    SimAudioStep step;
    HRESULT hr;
    int remaining;  // negative: always
    std::wstring endpointId;
  };
  using Notification = std::function<void(AudioNotificationClient&)>;

  // Under mutex_: the failure the next call of `step` on `endpointId` answers (S_OK: none).
  HRESULT TakeFailureLocked(SimAudioStep step, const std::wstring& endpointId);
  HRESULT TakeFailure(SimAudioStep step, const std::wstring& endpointId);
  const Entry* FindLocked(const std::wstring& id) const;
  // True when the endpoint with that serial still exists and is active.
  bool IsLive(std::uint64_t serial) const;
  void QueueLocked(Notification notification);
  void NotificationThread();

  // Lock order: deliveryMutex_ before mutex_ (the notification thread never holds mutex_ while
  // it calls a client).
  mutable std::mutex mutex_;  // guards every field down to queue_
  std::vector<Entry> endpoints_;
  std::map<std::pair<AudioFlow, AudioRole>, std::wstring> roleDefaults_;  // non-console roles
  HRESULT enumeratorResult_ = S_OK;
  HRESULT enumerateResult_ = S_OK;
  HRESULT defaultResult_ = S_OK;
  HRESULT registerResult_ = S_OK;
  std::vector<FailureRule> failures_;
  std::map<SimAudioStep, int> stepCalls_;
  std::vector<SimClientRecord> initialized_;
  int enumeratorsCreated_ = 0;
  std::uint64_t nextSerial_ = 1;
  std::deque<Notification> queue_;
  bool shuttingDown_ = false;
  std::condition_variable queueCv_;  // signals queue_ and shuttingDown_
  std::thread notifier_;             // started with the first notification

  // Guards clients_ and is held by the notification thread for each whole delivery, so that
  // Unregister, which takes it, returns only when no callback into its client runs. Recursive:
  // a callback may unregister on the notification thread itself.
  mutable std::recursive_mutex deliveryMutex_;
  std::vector<AudioNotificationClient*> clients_;

  std::atomic<int> clientsActivated_{0};             // written by ActivateAudioClient
  std::atomic<std::uint64_t> packetsDelivered_{0};   // written by GetBuffer
  std::atomic<std::uint64_t> notificationsSent_{0};  // written by the notification thread
  std::atomic<int> runningStreams_{0};  // written by the audio clients' Start, Stop and end
};

}  // namespace tallowmarch::platform
