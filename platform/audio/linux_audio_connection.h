// One connection to the PulseAudio server: a threaded main loop, a context subscribed to sink,
// source and server events, and synchronous look-ups of sinks and sources that give up after a
// deadline instead of blocking forever. `PulseConnector` hands out the live connection and makes
// a new one after the server went away.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "audio/linux_audio_notifications.h"

namespace tallowmarch::platform {

// How long a connection attempt or one request to the server may take.
inline constexpr std::chrono::milliseconds kPulseTimeout{2000};

struct PulseDeviceInfo {
  std::uint32_t index = PA_INVALID_INDEX;  // the server's sink or source index
  std::string name;                        // the endpoint id
  std::string description;
  AudioFlow flow = AudioFlow::Render;
  bool isMonitor = false;     // a sink's monitor source: not an endpoint of its own
  std::string monitorSource;  // sinks: the source that loopback records from
  bool allPortsUnavailable = false;
  std::uint32_t rate = 0;
  std::uint8_t channels = 0;
  std::uint32_t channelMask = 0;  // SPEAKER_* bits; 0 when the map has no Windows equivalent
};

// SPEAKER_* bits of a channel map; 0 when a position has no bit or appears twice.
std::uint32_t ChannelMaskFromMap(const pa_channel_map& map);

class PulseConnection {
 public:
  // Connects or gives up after `timeout`; null when there is no server.
  static std::shared_ptr<PulseConnection> Open(
      std::shared_ptr<EndpointNotificationDispatcher> dispatcher,
      std::chrono::milliseconds timeout);
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // False once the context failed or was terminated (the server went away).
  bool Alive() const { return alive_.load(); }

  // Look-ups; AUDCLNT_E_SERVICE_NOT_RUNNING when the server is gone or does not answer.
  // Capture lists leave out monitor sources.
  HRESULT ListDevices(AudioFlow flow, std::vector<PulseDeviceInfo>& out);
  // E_NOTFOUND when no endpoint of `flow` has the name.
  HRESULT FindDevice(AudioFlow flow, const std::string& name, PulseDeviceInfo& out);
  // E_NOTFOUND when the flow has no default endpoint (a monitor is none).
  HRESULT DefaultDevice(AudioFlow flow, PulseDeviceInfo& out);

  // For stream code: the main-loop lock and waits made while holding it.
  class Lock {
   public:
    explicit Lock(PulseConnection& c) : loop_(c.loop_) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };
  pa_context* Context() const { return context_; }
  pa_threaded_mainloop* Loop() const { return loop_; }
  // With the loop lock held, on a thread other than the loop's: waits until `done` holds, the
  // context dies or `timeout` passes. Returns whether `done` held.
  bool WaitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // Waits for an operation (taking its reference); cancels it on a time-out.
  bool WaitOperationLocked(pa_operation* op, std::chrono::milliseconds timeout);
  bool ContextGoodLocked() const;

 private:
  explicit PulseConnection(std::shared_ptr<EndpointNotificationDispatcher> dispatcher);
  bool ConnectLocked(std::chrono::milliseconds timeout);
  HRESULT QueryDevicesLocked(AudioFlow flow, const std::string* name,
                             std::vector<PulseDeviceInfo>& out);
  HRESULT QueryDefaultsLocked(std::string& sink, std::string& source);
  void RememberLocked(const PulseDeviceInfo& info);
  std::string EffectiveDefaultLocked(AudioFlow flow, const char* name) const;

  static void OnContextState(pa_context* c, void* self);
  static void OnSubscription(pa_context* c, pa_subscription_event_type_t t, std::uint32_t index,
                             void* self);
  static void OnNewSink(pa_context* c, const pa_sink_info* info, int eol, void* self);
  static void OnNewSource(pa_context* c, const pa_source_info* info, int eol, void* self);
  static void OnServerChanged(pa_context* c, const pa_server_info* info, void* self);

  std::shared_ptr<EndpointNotificationDispatcher> dispatcher_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  std::atomic<bool> alive_{false};  // written by the loop thread's state callback and by Open

  // Guarded by the loop lock (touched by the loop thread's callbacks and by Open):
  // what the server told us so far, to name a removed endpoint (events carry only an index)
  // and to see a monitor in the server's default source.
  std::map<std::uint32_t, PulseDeviceInfo> sinks_;
  std::map<std::uint32_t, PulseDeviceInfo> sources_;
  std::string defaultSink_;  // effective defaults last reported; empty when none
  std::string defaultSource_;
};

// Process-wide (per layer) access to the live connection. Shared by the layer and every object
// it hands out, so that those stay usable whatever is destroyed first.
class PulseConnector {
 public:
  PulseConnector();
  // The live connection, connecting (again) when there is none; AUDCLNT_E_SERVICE_NOT_RUNNING
  // when the server cannot be reached within the time-out.
  HRESULT Get(std::shared_ptr<PulseConnection>& out);
  EndpointNotificationDispatcher& Notifications() { return *dispatcher_; }

 private:
  std::shared_ptr<EndpointNotificationDispatcher> dispatcher_;
  // Guards current_; held for a whole connection attempt so that concurrent callers make one.
  std::mutex mutex_;
  std::shared_ptr<PulseConnection> current_;
};

}  // namespace tallowmarch::platform
