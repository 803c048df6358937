#include "audio/linux_audio_notifications.h"

#include <algorithm>
#include <array>

namespace tallowmarch::platform {

EndpointNotificationDispatcher::EndpointNotificationDispatcher() = default;

EndpointNotificationDispatcher::~EndpointNotificationDispatcher() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (!thread_.joinable()) return;
  // A client that drops the last reference from inside a callback would otherwise join itself.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

HRESULT EndpointNotificationDispatcher::Register(AudioNotificationClient* client) {
  if (client == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (std::find(clients_.begin(), clients_.end(), client) == clients_.end()) {
    clients_.push_back(client);
  }
  // Started with the first client, so that a layer nobody listens to runs no thread.
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  return S_OK;
}

HRESULT EndpointNotificationDispatcher::Unregister(AudioNotificationClient* client) {
  if (client == nullptr) return E_POINTER;
  std::unique_lock lock(mutex_);
  const auto it = std::find(clients_.begin(), clients_.end(), client);
  if (it == clients_.end()) return E_NOTFOUND;
  clients_.erase(it);
  if (thread_.get_id() != std::this_thread::get_id()) {
    delivered_.wait(lock, [&] { return delivering_ != client; });
  }
  return S_OK;
}

void EndpointNotificationDispatcher::Post(EndpointEvent event) {
  {
    std::lock_guard lock(mutex_);
    if (clients_.empty()) return;  // nobody listens; a later client must not see old news
    queue_.push_back(std::move(event));
  }
  wake_.notify_one();
}

void EndpointNotificationDispatcher::Run() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    const EndpointEvent event = std::move(queue_.front());
    queue_.pop_front();
    // Clients may unregister (or register) while we call one: walk a copy and recheck each.
    const std::vector<AudioNotificationClient*> snapshot = clients_;
    for (AudioNotificationClient* client : snapshot) {
      if (std::find(clients_.begin(), clients_.end(), client) == clients_.end()) continue;
      delivering_ = client;
      lock.unlock();
      Deliver(client, event);
      lock.lock();
      delivering_ = nullptr;
      delivered_.notify_all();
    }
  }
}

void EndpointNotificationDispatcher::Deliver(AudioNotificationClient* client,
                                             const EndpointEvent& event) {
  // A client's failure must not end the delivery thread (and with it the process).
  try {
    switch (event.kind) {
      case EndpointEvent::Kind::Added:
        client->OnDeviceAdded(event.id);
        break;
      case EndpointEvent::Kind::Removed:
        client->OnDeviceRemoved(event.id);
        client->OnDeviceStateChanged(event.id, kDeviceStateNotPresent);
        break;
      case EndpointEvent::Kind::DefaultChanged:
        // PulseAudio has one default per direction; Windows reports each role.
        for (AudioRole role :
             std::array{AudioRole::Console, AudioRole::Multimedia, AudioRole::Communications}) {
          client->OnDefaultDeviceChanged(event.flow, role, event.id);
        }
        break;
    }
  } catch (...) {
  }
}

}  // namespace tallowmarch::platform
