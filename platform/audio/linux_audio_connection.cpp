#include "audio/linux_audio_connection.h"

#include <pulse/rtclock.h>

#include "common/wide_text.h"

namespace tallowmarch::platform {
namespace {

std::uint32_t SpeakerBit(pa_channel_position_t position) {
  switch (position) {
    case PA_CHANNEL_POSITION_MONO:
    case PA_CHANNEL_POSITION_FRONT_CENTER:
      return 0x4;
    case PA_CHANNEL_POSITION_FRONT_LEFT:
      return 0x1;
    case PA_CHANNEL_POSITION_FRONT_RIGHT:
      return 0x2;
    case PA_CHANNEL_POSITION_LFE:
      return 0x8;
    case PA_CHANNEL_POSITION_REAR_LEFT:
      return 0x10;
    case PA_CHANNEL_POSITION_REAR_RIGHT:
      return 0x20;
    case PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER:
      return 0x40;
    case PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER:
      return 0x80;
    case PA_CHANNEL_POSITION_REAR_CENTER:
      return 0x100;
    case PA_CHANNEL_POSITION_SIDE_LEFT:
      return 0x200;
    case PA_CHANNEL_POSITION_SIDE_RIGHT:
      return 0x400;
    case PA_CHANNEL_POSITION_TOP_CENTER:
      return 0x800;
    case PA_CHANNEL_POSITION_TOP_FRONT_LEFT:
      return 0x1000;
    case PA_CHANNEL_POSITION_TOP_FRONT_CENTER:
      return 0x2000;
    case PA_CHANNEL_POSITION_TOP_FRONT_RIGHT:
      return 0x4000;
    case PA_CHANNEL_POSITION_TOP_REAR_LEFT:
      return 0x8000;
    case PA_CHANNEL_POSITION_TOP_REAR_CENTER:
      return 0x10000;
    case PA_CHANNEL_POSITION_TOP_REAR_RIGHT:
      return 0x20000;
    default:
      return 0;
  }
}

bool AllPortsUnavailable(std::uint32_t count, auto* const* ports) {
  if (count == 0 || ports == nullptr) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (ports[i] != nullptr && ports[i]->available != PA_PORT_AVAILABLE_NO) return false;
  }
  return true;
}

PulseDeviceInfo FromSink(const pa_sink_info& i) {
  PulseDeviceInfo d;
  d.index = i.index;
  d.name = i.name ? i.name : "";
  d.description = i.description ? i.description : d.name;
  d.flow = AudioFlow::Render;
  d.monitorSource = i.monitor_source_name ? i.monitor_source_name : "";
  d.allPortsUnavailable = AllPortsUnavailable(i.n_ports, i.ports);
  d.rate = i.sample_spec.rate;
  d.channels = i.sample_spec.channels;
  d.channelMask = ChannelMaskFromMap(i.channel_map);
  return d;
}

PulseDeviceInfo FromSource(const pa_source_info& i) {
  PulseDeviceInfo d;
  d.index = i.index;
  d.name = i.name ? i.name : "";
  d.description = i.description ? i.description : d.name;
  d.flow = AudioFlow::Capture;
  d.isMonitor = i.monitor_of_sink != PA_INVALID_INDEX;
  d.allPortsUnavailable = AllPortsUnavailable(i.n_ports, i.ports);
  d.rate = i.sample_spec.rate;
  d.channels = i.sample_spec.channels;
  d.channelMask = ChannelMaskFromMap(i.channel_map);
  return d;
}

// What a synchronous device query gathers; filled on the loop thread, read by the waiter.
struct DeviceQuery {
  pa_threaded_mainloop* loop = nullptr;
  std::vector<PulseDeviceInfo> devices;
  bool done = false;
};

void OnQuerySink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* q = static_cast<DeviceQuery*>(userdata);
  if (eol != 0 || info == nullptr) {
    q->done = true;
    pa_threaded_mainloop_signal(q->loop, 0);
    return;
  }
  q->devices.push_back(FromSink(*info));
}

void OnQuerySource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* q = static_cast<DeviceQuery*>(userdata);
  if (eol != 0 || info == nullptr) {
    q->done = true;
    pa_threaded_mainloop_signal(q->loop, 0);
    return;
  }
  q->devices.push_back(FromSource(*info));
}

struct ServerQuery {
  pa_threaded_mainloop* loop = nullptr;
  std::string sink;
  std::string source;
  bool done = false;
};

void OnQueryServer(pa_context*, const pa_server_info* info, void* userdata) {
  auto* q = static_cast<ServerQuery*>(userdata);
  if (info != nullptr) {
    q->sink = info->default_sink_name ? info->default_sink_name : "";
    q->source = info->default_source_name ? info->default_source_name : "";
  }
  q->done = true;
  pa_threaded_mainloop_signal(q->loop, 0);
}

struct Timer {
  pa_threaded_mainloop* loop = nullptr;
  bool fired = false;
};

void OnTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
  auto* t = static_cast<Timer*>(userdata);
  t->fired = true;
  pa_threaded_mainloop_signal(t->loop, 0);
}

void OnOperationDone(pa_context*, int, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

}  // namespace

std::uint32_t ChannelMaskFromMap(const pa_channel_map& map) {
  std::uint32_t mask = 0;
  for (unsigned i = 0; i < map.channels; ++i) {
    const std::uint32_t bit = SpeakerBit(map.map[i]);
    if (bit == 0 || (mask & bit) != 0) return 0;
    mask |= bit;
  }
  return mask;
}

PulseConnection::PulseConnection(std::shared_ptr<EndpointNotificationDispatcher> dispatcher)
    : dispatcher_(std::move(dispatcher)) {}

std::shared_ptr<PulseConnection> PulseConnection::Open(
    std::shared_ptr<EndpointNotificationDispatcher> dispatcher, std::chrono::milliseconds timeout) {
  std::shared_ptr<PulseConnection> c(new PulseConnection(std::move(dispatcher)));
  c->loop_ = pa_threaded_mainloop_new();
  if (c->loop_ == nullptr) return nullptr;
  pa_threaded_mainloop_set_name(c->loop_, "pulse-audio");
  if (pa_threaded_mainloop_start(c->loop_) < 0) {
    pa_threaded_mainloop_free(c->loop_);
    c->loop_ = nullptr;
    return nullptr;
  }
  Lock lock(*c);
  c->context_ = pa_context_new(pa_threaded_mainloop_get_api(c->loop_), "tallowmarch");
  if (c->context_ == nullptr || !c->ConnectLocked(timeout)) return nullptr;
  return c;
}

bool PulseConnection::ConnectLocked(std::chrono::milliseconds timeout) {
  pa_context_set_state_callback(context_, &PulseConnection::OnContextState, this);
  // No autospawn: a missing server is reported, not started behind the host's back.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
  const bool ready = WaitLocked(
      [&] {
        const pa_context_state_t s = pa_context_get_state(context_);
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
      },
      timeout);
  if (!ready || pa_context_get_state(context_) != PA_CONTEXT_READY) return false;
  alive_ = true;

  // Subscribe before taking the first inventory, so nothing slips between the two.
  pa_context_set_subscribe_callback(context_, &PulseConnection::OnSubscription, this);
  const auto mask = static_cast<pa_subscription_mask_t>(
      PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
  // A null success callback would never complete the operation: give it one.
  if (!WaitOperationLocked(pa_context_subscribe(context_, mask, &OnOperationDone, loop_),
                           timeout)) {
    return false;
  }
  for (AudioFlow flow : {AudioFlow::Render, AudioFlow::Capture}) {
    std::vector<PulseDeviceInfo> all;
    if (FAILED(QueryDevicesLocked(flow, nullptr, all))) return false;
    for (const PulseDeviceInfo& d : all) RememberLocked(d);
  }
  std::string sink, source;
  if (FAILED(QueryDefaultsLocked(sink, source))) return false;
  defaultSink_ = EffectiveDefaultLocked(AudioFlow::Render, sink.c_str());
  defaultSource_ = EffectiveDefaultLocked(AudioFlow::Capture, source.c_str());
  return true;
}

PulseConnection::~PulseConnection() {
  if (loop_ == nullptr) return;
  {
    Lock lock(*this);
    if (context_ != nullptr) {
      // Pending operations are cancelled by the disconnect: no callback reaches us afterwards.
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_set_subscribe_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
      context_ = nullptr;
    }
  }
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
}

bool PulseConnection::ContextGoodLocked() const {
  return context_ != nullptr && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
}

bool PulseConnection::WaitLocked(const std::function<bool()>& done,
                                 std::chrono::milliseconds timeout) {
  if (pa_threaded_mainloop_in_thread(loop_)) return done();  // waiting here would deadlock
  Timer timer{loop_, false};
  const pa_usec_t usec = static_cast<pa_usec_t>(timeout.count()) * 1000;
  pa_time_event* event = pa_context_rttime_new(context_, pa_rtclock_now() + usec, &OnTimer, &timer);
  bool ok = done();
  if (event == nullptr) return ok;  // without a deadline we do not wait at all
  while (!ok && !timer.fired && ContextGoodLocked()) {
    pa_threaded_mainloop_wait(loop_);
    ok = done();
  }
  if (event != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(event);
  return ok;
}

bool PulseConnection::WaitOperationLocked(pa_operation* op, std::chrono::milliseconds timeout) {
  if (op == nullptr) return false;
  const bool finished =
      WaitLocked([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, timeout);
  const bool done = finished && pa_operation_get_state(op) == PA_OPERATION_DONE;
  // A cancelled operation never calls its callback, whose data may live on our stack.
  if (!finished) pa_operation_cancel(op);
  pa_operation_unref(op);
  return done;
}

HRESULT PulseConnection::QueryDevicesLocked(AudioFlow flow, const std::string* name,
                                            std::vector<PulseDeviceInfo>& out) {
  if (!ContextGoodLocked()) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  DeviceQuery query;
  query.loop = loop_;
  pa_operation* op = nullptr;
  if (flow == AudioFlow::Render) {
    op = name ? pa_context_get_sink_info_by_name(context_, name->c_str(), &OnQuerySink, &query)
              : pa_context_get_sink_info_list(context_, &OnQuerySink, &query);
  } else {
    op = name ? pa_context_get_source_info_by_name(context_, name->c_str(), &OnQuerySource, &query)
              : pa_context_get_source_info_list(context_, &OnQuerySource, &query);
  }
  if (op == nullptr) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  const bool finished = WaitLocked([&] { return query.done; }, kPulseTimeout);
  if (!finished) pa_operation_cancel(op);
  pa_operation_unref(op);
  if (!finished) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  // A name the server does not know ends the query with an error and no entry.
  out = std::move(query.devices);
  return S_OK;
}

HRESULT PulseConnection::QueryDefaultsLocked(std::string& sink, std::string& source) {
  if (!ContextGoodLocked()) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  ServerQuery query;
  query.loop = loop_;
  pa_operation* op = pa_context_get_server_info(context_, &OnQueryServer, &query);
  if (op == nullptr) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  const bool finished = WaitLocked([&] { return query.done; }, kPulseTimeout);
  if (!finished) pa_operation_cancel(op);
  pa_operation_unref(op);
  if (!finished) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  sink = std::move(query.sink);
  source = std::move(query.source);
  return S_OK;
}

HRESULT PulseConnection::ListDevices(AudioFlow flow, std::vector<PulseDeviceInfo>& out) {
  Lock lock(*this);
  std::vector<PulseDeviceInfo> all;
  const HRESULT hr = QueryDevicesLocked(flow, nullptr, all);
  if (FAILED(hr)) return hr;
  out.clear();
  for (PulseDeviceInfo& d : all) {
    if (!d.isMonitor) out.push_back(std::move(d));
  }
  return S_OK;
}

HRESULT PulseConnection::FindDevice(AudioFlow flow, const std::string& name, PulseDeviceInfo& out) {
  if (name.empty()) return E_NOTFOUND;
  Lock lock(*this);
  std::vector<PulseDeviceInfo> found;
  const HRESULT hr = QueryDevicesLocked(flow, &name, found);
  if (FAILED(hr)) return hr;
  if (found.empty() || found.front().isMonitor) return E_NOTFOUND;
  out = std::move(found.front());
  return S_OK;
}

HRESULT PulseConnection::DefaultDevice(AudioFlow flow, PulseDeviceInfo& out) {
  std::string sink, source;
  {
    Lock lock(*this);
    const HRESULT hr = QueryDefaultsLocked(sink, source);
    if (FAILED(hr)) return hr;
  }
  return FindDevice(flow, flow == AudioFlow::Render ? sink : source, out);
}

void PulseConnection::RememberLocked(const PulseDeviceInfo& info) {
  (info.flow == AudioFlow::Render ? sinks_ : sources_)[info.index] = info;
}

std::string PulseConnection::EffectiveDefaultLocked(AudioFlow flow, const char* name) const {
  if (name == nullptr || *name == '\0') return {};
  const auto& known = flow == AudioFlow::Render ? sinks_ : sources_;
  for (const auto& [index, info] : known) {
    if (info.name == name) return info.isMonitor ? std::string() : info.name;
  }
  // Not seen yet (its announcement is still on its way): trust the server.
  return name;
}

void PulseConnection::OnContextState(pa_context* c, void* self) {
  auto* conn = static_cast<PulseConnection*>(self);
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) conn->alive_ = false;
  pa_threaded_mainloop_signal(conn->loop_, 0);
}

void PulseConnection::OnSubscription(pa_context* c, pa_subscription_event_type_t t,
                                     std::uint32_t index, void* self) {
  auto* conn = static_cast<PulseConnection*>(self);
  const auto facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto type = t & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  pa_operation* op = nullptr;
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
    op = pa_context_get_server_info(c, &PulseConnection::OnServerChanged, self);
  } else if (facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
    const bool sink = facility == PA_SUBSCRIPTION_EVENT_SINK;
    if (type == PA_SUBSCRIPTION_EVENT_NEW) {
      op = sink
               ? pa_context_get_sink_info_by_index(c, index, &PulseConnection::OnNewSink, self)
               : pa_context_get_source_info_by_index(c, index, &PulseConnection::OnNewSource, self);
    } else if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
      auto& known = sink ? conn->sinks_ : conn->sources_;
      const auto it = known.find(index);
      if (it != known.end()) {
        if (!it->second.isMonitor) {
          conn->dispatcher_->Post(
              {EndpointEvent::Kind::Removed, it->second.flow, Widen(it->second.name)});
        }
        known.erase(it);
      }
    }
  }
  // Fire and forget: the disconnect in the destructor cancels what is still pending.
  if (op != nullptr) pa_operation_unref(op);
}

void PulseConnection::OnNewSink(pa_context*, const pa_sink_info* info, int eol, void* self) {
  if (eol != 0 || info == nullptr) return;  // gone again before we asked
  auto* conn = static_cast<PulseConnection*>(self);
  const bool known = conn->sinks_.count(info->index) != 0;
  const PulseDeviceInfo d = FromSink(*info);
  conn->RememberLocked(d);
  if (!known) conn->dispatcher_->Post({EndpointEvent::Kind::Added, d.flow, Widen(d.name)});
}

void PulseConnection::OnNewSource(pa_context*, const pa_source_info* info, int eol, void* self) {
  if (eol != 0 || info == nullptr) return;
  auto* conn = static_cast<PulseConnection*>(self);
  const bool known = conn->sources_.count(info->index) != 0;
  const PulseDeviceInfo d = FromSource(*info);
  conn->RememberLocked(d);
  if (!known && !d.isMonitor) {
    conn->dispatcher_->Post({EndpointEvent::Kind::Added, d.flow, Widen(d.name)});
  }
}

void PulseConnection::OnServerChanged(pa_context*, const pa_server_info* info, void* self) {
  if (info == nullptr) return;
  auto* conn = static_cast<PulseConnection*>(self);
  const std::string sink = conn->EffectiveDefaultLocked(AudioFlow::Render, info->default_sink_name);
  const std::string source =
      conn->EffectiveDefaultLocked(AudioFlow::Capture, info->default_source_name);
  if (sink != conn->defaultSink_) {
    conn->defaultSink_ = sink;
    conn->dispatcher_->Post({EndpointEvent::Kind::DefaultChanged, AudioFlow::Render, Widen(sink)});
  }
  if (source != conn->defaultSource_) {
    conn->defaultSource_ = source;
    conn->dispatcher_->Post(
        {EndpointEvent::Kind::DefaultChanged, AudioFlow::Capture, Widen(source)});
  }
}

PulseConnector::PulseConnector()
    : dispatcher_(std::make_shared<EndpointNotificationDispatcher>()) {}

HRESULT PulseConnector::Get(std::shared_ptr<PulseConnection>& out) {
  std::lock_guard lock(mutex_);
  if (current_ == nullptr || !current_->Alive()) {
    current_.reset();  // streams still holding the dead one keep it until they go
    current_ = PulseConnection::Open(dispatcher_, kPulseTimeout);
    if (current_ == nullptr) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  }
  out = current_;
  return S_OK;
}

}  // namespace tallowmarch::platform
