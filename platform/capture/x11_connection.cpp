#include "capture/x11_connection.h"

#include <sys/socket.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>

#include "common/wide_text.h"

namespace tallowmarch::platform {

namespace {

template <typename T>
struct FreeReply {
  void operator()(T* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply<T>>;

// The type of the client message that tells the event thread to end.
constexpr std::uint32_t kWakeMagic = 0x746d7831u;

bool OnLocalSocket(xcb_connection_t* c) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  return getsockname(xcb_get_file_descriptor(c), reinterpret_cast<sockaddr*>(&address),
                     &length) == 0 &&
         address.ss_family == AF_UNIX;
}

}  // namespace

struct X11Connection::Core {
  xcb_connection_t* connection = nullptr;
  xcb_window_t root = 0;
  xcb_window_t wakeWindow = 0;  // an unmapped input-only window the destructor wakes us through
  bool hasShm = false;
  bool hasShmFd = false;  // MIT-SHM 1.2: segments attached by file descriptor
  bool hasDamage = false;
  bool hasComposite = false;
  bool hasRandr15 = false;
  std::uint8_t damageNotify = 0;
  std::uint8_t randrFirstEvent = 0;
  std::uint16_t screenWidth = 0, screenHeight = 0;
  std::vector<std::uint8_t> grabbableDepths;

  std::atomic<bool> broken{false};    // written by the event thread when the server goes away
  std::atomic<bool> stopping{false};  // written by the X11Connection destructor

  std::mutex sinksMutex;  // guards sinks; never held while a sink runs
  std::vector<std::weak_ptr<X11EventSink>> sinks;

  // The event thread runs detached (a server that goes away ends it long before anyone could
  // join it); the X11Connection destructor waits for this instead.
  std::mutex doneMutex;  // guards done
  std::condition_variable doneCv;
  bool done = false;

  ~Core() {
    if (connection != nullptr) xcb_disconnect(connection);
  }

  std::vector<std::shared_ptr<X11EventSink>> LiveSinks() {
    std::lock_guard lock(sinksMutex);
    std::vector<std::shared_ptr<X11EventSink>> live;
    for (auto it = sinks.begin(); it != sinks.end();) {
      if (auto sink = it->lock()) {
        live.push_back(std::move(sink));
        ++it;
      } else {
        it = sinks.erase(it);
      }
    }
    return live;
  }

  void EventLoop() {
    Loop();
    std::lock_guard lock(doneMutex);
    done = true;
    doneCv.notify_all();
  }

  void Loop() {
    for (;;) {
      xcb_generic_event_t* raw = xcb_wait_for_event(connection);
      if (raw == nullptr) {
        broken = true;
        if (!stopping) {
          for (const auto& sink : LiveSinks()) sink->OnConnectionLost();
        }
        return;
      }
      std::unique_ptr<xcb_generic_event_t, FreeReply<xcb_generic_event_t>> event(raw);
      if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
        const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(raw);
        if (message->window == wakeWindow && message->data.data32[0] == kWakeMagic && stopping)
          return;
      }
      for (const auto& sink : LiveSinks()) sink->OnXEvent(*event);
    }
  }
};

HRESULT X11Connection::Open(const std::string& display, std::shared_ptr<X11Connection>& out) {
  out.reset();
  auto core = std::make_shared<Core>();
  int screenNumber = 0;
  core->connection = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
  if (xcb_connection_has_error(core->connection)) return kErrorNoDisplay;
  xcb_connection_t* c = core->connection;

  const xcb_setup_t* setup = xcb_get_setup(c);
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0) return kErrorNoDisplay;
  const xcb_screen_t* screen = screens.data;
  core->root = screen->root;
  core->screenWidth = screen->width_in_pixels;
  core->screenHeight = screen->height_in_pixels;

  // Pixels are read as BGRX words: 32 bits per pixel, least significant byte first.
  if (setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST) {
    for (xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(setup); f.rem > 0;
         xcb_format_next(&f)) {
      if (f.data->bits_per_pixel == 32 && f.data->depth >= 24)
        core->grabbableDepths.push_back(f.data->depth);
    }
  }
  bool rootGrabbable = false;
  for (std::uint8_t depth : core->grabbableDepths) rootGrabbable |= depth == screen->root_depth;
  if (!rootGrabbable) return kErrorNoDisplay;

  // Ask for every extension at once, then collect the answers.
  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
  const xcb_query_extension_reply_t* damage = xcb_get_extension_data(c, &xcb_damage_id);
  const xcb_query_extension_reply_t* composite = xcb_get_extension_data(c, &xcb_composite_id);
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
  xcb_shm_query_version_cookie_t shmCookie{};
  xcb_damage_query_version_cookie_t damageCookie{};
  xcb_composite_query_version_cookie_t compositeCookie{};
  xcb_randr_query_version_cookie_t randrCookie{};
  if (shm != nullptr && shm->present) shmCookie = xcb_shm_query_version(c);
  if (damage != nullptr && damage->present) damageCookie = xcb_damage_query_version(c, 1, 1);
  if (composite != nullptr && composite->present)
    compositeCookie = xcb_composite_query_version(c, 0, 2);
  if (randr != nullptr && randr->present) randrCookie = xcb_randr_query_version(c, 1, 5);
  if (shm != nullptr && shm->present) {
    Reply<xcb_shm_query_version_reply_t> r(xcb_shm_query_version_reply(c, shmCookie, nullptr));
    core->hasShm = r != nullptr;
    // Descriptors pass only over a local socket; sending one over TCP would break the
    // connection.
    core->hasShmFd = r != nullptr &&
                     (r->major_version > 1 || (r->major_version == 1 && r->minor_version >= 2)) &&
                     OnLocalSocket(c);
  }
  if (damage != nullptr && damage->present) {
    Reply<xcb_damage_query_version_reply_t> r(
        xcb_damage_query_version_reply(c, damageCookie, nullptr));
    core->hasDamage = r != nullptr;
    core->damageNotify = static_cast<std::uint8_t>(damage->first_event + XCB_DAMAGE_NOTIFY);
  }
  if (composite != nullptr && composite->present) {
    Reply<xcb_composite_query_version_reply_t> r(
        xcb_composite_query_version_reply(c, compositeCookie, nullptr));
    // Naming a window's pixmap needs version 0.2.
    core->hasComposite = r != nullptr && (r->major_version > 0 || r->minor_version >= 2);
  }
  if (randr != nullptr && randr->present) {
    Reply<xcb_randr_query_version_reply_t> r(
        xcb_randr_query_version_reply(c, randrCookie, nullptr));
    core->hasRandr15 = r != nullptr && (r->major_version > 1 || r->minor_version >= 5);
    core->randrFirstEvent = randr->first_event;
  }

  // Topology changes: RandR notifications and the root's own configuration.
  const std::uint32_t rootMask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, core->root, XCB_CW_EVENT_MASK, &rootMask);
  if (core->hasRandr15) {
    xcb_randr_select_input(c, core->root,
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  }
  core->wakeWindow = xcb_generate_id(c);
  xcb_create_window(c, 0, core->wakeWindow, core->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, 0, nullptr);
  xcb_flush(c);
  if (xcb_connection_has_error(c)) return kErrorNoDisplay;

  std::shared_ptr<X11Connection> connection(new X11Connection(core));
  std::thread thread([core] { core->EventLoop(); });
  connection->eventThread_ = thread.get_id();
  thread.detach();
  out = std::move(connection);
  return S_OK;
}

X11Connection::X11Connection(std::shared_ptr<Core> core) : core_(std::move(core)) {}

X11Connection::~X11Connection() {
  core_->stopping = true;
  if (!core_->broken) {
    xcb_client_message_event_t wake{};
    wake.response_type = XCB_CLIENT_MESSAGE;
    wake.format = 32;
    wake.window = core_->wakeWindow;
    wake.data.data32[0] = kWakeMagic;
    xcb_send_event(core_->connection, 0, core_->wakeWindow, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&wake));
    xcb_flush(core_->connection);
  }
  // The last holder may be a sink running on the event thread: that thread then ends by itself
  // at the wake message and keeps the core alive until it does.
  if (eventThread_ != std::this_thread::get_id()) {
    std::unique_lock lock(core_->doneMutex);
    core_->doneCv.wait(lock, [&] { return core_->done; });
  }
}

xcb_connection_t* X11Connection::Raw() const {
  return core_->connection;
}
xcb_window_t X11Connection::Root() const {
  return core_->root;
}
bool X11Connection::Broken() const {
  return core_->broken || xcb_connection_has_error(core_->connection) != 0;
}
bool X11Connection::HasShm() const {
  return core_->hasShm;
}

bool X11Connection::HasShmFd() const {
  return core_->hasShmFd;
}
bool X11Connection::HasDamage() const {
  return core_->hasDamage;
}
bool X11Connection::HasComposite() const {
  return core_->hasComposite;
}
std::uint8_t X11Connection::DamageNotifyCode() const {
  return core_->damageNotify;
}

bool X11Connection::GrabbableDepth(std::uint8_t depth) const {
  for (std::uint8_t d : core_->grabbableDepths)
    if (d == depth) return true;
  return false;
}

std::vector<X11Monitor> X11Connection::Monitors() const {
  xcb_connection_t* c = core_->connection;
  std::vector<X11Monitor> monitors;
  if (core_->hasRandr15) {
    Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, core_->root, 1), nullptr));
    if (reply) {
      for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
           xcb_randr_monitor_info_next(&it)) {
        X11Monitor m;
        m.name = it.data->name;
        m.area = {it.data->x, it.data->y, it.data->x + it.data->width,
                  it.data->y + it.data->height};
        m.primary = it.data->primary != 0;
        monitors.push_back(m);
      }
    }
  }
  if (monitors.empty()) {
    // No RandR 1.5 (or no active monitor listed): the screen is the one monitor.
    Reply<xcb_get_geometry_reply_t> root(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, core_->root), nullptr));
    if (!root) return monitors;
    X11Monitor m;
    m.area = {0, 0, root->width, root->height};
    m.primary = true;
    monitors.push_back(m);
  }
  return monitors;
}

bool X11Connection::WindowInfo(xcb_window_t window, X11WindowInfo& out) const {
  if (window == 0) return false;
  xcb_connection_t* c = core_->connection;
  const auto geometryCookie = xcb_get_geometry(c, window);
  const auto translateCookie = xcb_translate_coordinates(c, window, core_->root, 0, 0);
  const auto attributesCookie = xcb_get_window_attributes(c, window);
  Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, nullptr));
  Reply<xcb_translate_coordinates_reply_t> origin(
      xcb_translate_coordinates_reply(c, translateCookie, nullptr));
  Reply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
  // A pixmap id answers the geometry request too; only a window has attributes.
  if (!geometry || !origin || !attributes) return false;
  out.area = {origin->dst_x, origin->dst_y, origin->dst_x + geometry->width,
              origin->dst_y + geometry->height};
  out.borderWidth = geometry->border_width;
  out.depth = geometry->depth;
  out.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  return true;
}

bool X11Connection::IsTopologyEvent(const xcb_generic_event_t& event) const {
  const std::uint8_t type = event.response_type & 0x7f;
  if (type == XCB_CONFIGURE_NOTIFY) {
    return reinterpret_cast<const xcb_configure_notify_event_t&>(event).window == core_->root;
  }
  if (!core_->hasRandr15) return false;
  return type == core_->randrFirstEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
         type == core_->randrFirstEvent + XCB_RANDR_NOTIFY;
}

std::wstring X11Connection::AtomName(xcb_atom_t atom) const {
  if (atom == 0) return L"screen";
  xcb_connection_t* c = core_->connection;
  Reply<xcb_get_atom_name_reply_t> reply(
      xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr));
  if (!reply) return L"";
  return Widen(
      std::string_view(xcb_get_atom_name_name(reply.get()),
                       static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get()))));
}

bool X11Connection::Redirect(xcb_window_t window) {
  if (!core_->hasComposite) return false;
  std::lock_guard lock(redirectMutex_);
  int& count = redirects_[window];
  if (count == 0) {
    // Automatic: the server still shows the window, and keeps its contents in a pixmap of
    // its own whatever covers it.
    xcb_void_cookie_t cookie = xcb_composite_redirect_window_checked(
        core_->connection, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    if (xcb_generic_error_t* error = xcb_request_check(core_->connection, cookie)) {
      std::free(error);
      redirects_.erase(window);
      return false;
    }
  }
  ++count;
  return true;
}

void X11Connection::Unredirect(xcb_window_t window) {
  std::lock_guard lock(redirectMutex_);
  const auto it = redirects_.find(window);
  if (it == redirects_.end()) return;
  if (--it->second == 0) {
    redirects_.erase(it);
    // Fails harmlessly (an ignored error event) when the window is gone already.
    xcb_composite_unredirect_window(core_->connection, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    xcb_flush(core_->connection);
  }
}

void X11Connection::Subscribe(std::weak_ptr<X11EventSink> sink) {
  std::lock_guard lock(core_->sinksMutex);
  core_->sinks.push_back(std::move(sink));
}

}  // namespace tallowmarch::platform
