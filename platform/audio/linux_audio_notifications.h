// Delivers endpoint notifications of the PulseAudio layer to the registered
// AudioNotificationClient objects on a thread of its own. The PulseAudio main-loop thread only
// posts events here and never waits for a client, so a client that blocks or calls back into
// the layer cannot stall or deadlock the main loop.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio.h"

namespace tallowmarch::platform {

struct EndpointEvent {
  enum class Kind { Added, Removed, DefaultChanged };
  Kind kind = Kind::Added;
  AudioFlow flow = AudioFlow::Render;
  std::wstring id;  // empty for DefaultChanged when the flow has no default endpoint any more
};

class EndpointNotificationDispatcher {
 public:
  EndpointNotificationDispatcher();
  ~EndpointNotificationDispatcher();
  EndpointNotificationDispatcher(const EndpointNotificationDispatcher&) = delete;
  EndpointNotificationDispatcher& operator=(const EndpointNotificationDispatcher&) = delete;

  // A client registered twice is kept once. The dispatcher takes no reference.
  HRESULT Register(AudioNotificationClient* client);
  // Once this returns (on any thread other than the delivery thread), no call into the client
  // is running or will come. From inside a callback it only removes the client.
  HRESULT Unregister(AudioNotificationClient* client);
  // Any thread; never blocks on a client.
  void Post(EndpointEvent event);

 private:
  void Run();
  static void Deliver(AudioNotificationClient* client, const EndpointEvent& event);

  // Guards queue_, clients_, delivering_, stopping_ and the start of thread_. Held by Post on the
  // PulseAudio main-loop thread while it holds the loop lock (order: loop lock, then mutex_); never
  // held while a client is called, and the delivery thread never takes the loop lock.
  std::mutex mutex_;
  std::condition_variable wake_;       // queue_ or stopping_ changed
  std::condition_variable delivered_;  // delivering_ went back to null
  std::deque<EndpointEvent> queue_;
  std::vector<AudioNotificationClient*> clients_;
  AudioNotificationClient* delivering_ = nullptr;  // the client being called right now
  bool stopping_ = false;
  std::thread thread_;  // started by the first Register
};

}  // namespace tallowmarch::platform
