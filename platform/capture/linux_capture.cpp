#include "capture/linux_capture.h"

#include <xcb/composite.h>
#include <xcb/damage.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <limits>
#include <thread>

#include "capture/x11_grabber.h"

namespace tallowmarch::platform {

namespace {

constexpr HRESULT kRoErrorClosed = MakeHresult(0x80000013u);           // RO_E_CLOSED
constexpr HRESULT kErrorIllegalMethodCall = MakeHresult(0x8000000Eu);  // E_ILLEGAL_METHOD_CALL

xcb_window_t WindowId(HWND window) {
  const auto value = reinterpret_cast<std::uintptr_t>(window);
  return value > std::numeric_limits<xcb_window_t>::max() ? 0 : static_cast<xcb_window_t>(value);
}

HMONITOR MonitorHandle(int index) {
  return index < 0 ? nullptr : reinterpret_cast<HMONITOR>(static_cast<std::uintptr_t>(index) + 1);
}

SizeInt32 RectSize(const Rect& r) {
  return {r.right - r.left, r.bottom - r.top};
}

// The handlers of one event. Firing runs them without the slot's lock; removing a handler
// waits for a firing on another thread to end, so that what the handler uses may be destroyed
// right after (a handler that removes itself does not wait for itself).
template <typename Sender>
class HandlerSlot {
 public:
  using Handler = std::function<void(Sender&)>;

  std::uint64_t Add(Handler handler) {
    std::lock_guard lock(mutex_);
    const std::uint64_t token = next_++;
    handlers_.emplace_back(token, std::make_shared<Handler>(std::move(handler)));
    return token;
  }

  void Remove(std::uint64_t token) {
    std::unique_lock lock(mutex_);
    std::erase_if(handlers_, [token](const auto& entry) { return entry.first == token; });
    idle_.wait(lock, [&] { return firing_ == 0 || firer_ == std::this_thread::get_id(); });
  }

  // Exceptions leaving a handler are swallowed: the event call fails, nothing else happens.
  void Fire(Sender& sender) {
    std::vector<std::shared_ptr<Handler>> handlers;
    {
      std::lock_guard lock(mutex_);
      for (const auto& entry : handlers_) handlers.push_back(entry.second);
      if (handlers.empty()) return;
      ++firing_;
      firer_ = std::this_thread::get_id();
    }
    for (const auto& handler : handlers) {
      try {
        (*handler)(sender);
      } catch (...) {
      }
    }
    std::lock_guard lock(mutex_);
    --firing_;
    idle_.notify_all();
  }

 private:
  std::mutex mutex_;  // guards every field below; never held while a handler runs
  std::condition_variable idle_;
  std::vector<std::pair<std::uint64_t, std::shared_ptr<Handler>>> handlers_;
  std::uint64_t next_ = 1;
  int firing_ = 0;
  std::thread::id firer_;
};

template <typename Owner, typename Sender>
EventRevoker MakeRevoker(const std::shared_ptr<Owner>& owner, HandlerSlot<Sender> Owner::*slot,
                         std::uint64_t token) {
  return EventRevoker([weak = std::weak_ptr<Owner>(owner), slot, token] {
    if (std::shared_ptr<Owner> strong = weak.lock()) ((*strong).*slot).Remove(token);
  });
}

}  // namespace

// ---- items -----------------------------------------------------------------------------------

class X11Item final : public CaptureItem,
                      public X11EventSink,
                      public std::enable_shared_from_this<X11Item> {
 public:
  X11Item(std::shared_ptr<X11Connection> connection, xcb_window_t window, int monitorIndex,
          xcb_atom_t monitorName, Rect area)
      : connection_(std::move(connection)),
        window_(window),
        monitorIndex_(monitorIndex),
        monitorName_(monitorName),
        area_(area) {}

  HRESULT Size(SizeInt32& out) override {
    X11WindowInfo info;
    if (IsWindowItem() && !closed_ && connection_->WindowInfo(window_, info)) {
      std::lock_guard lock(mutex_);
      area_ = info.area;
    }
    std::lock_guard lock(mutex_);
    out = RectSize(area_);
    return S_OK;
  }

  HRESULT Closed(ClosedHandler handler, EventRevoker& out) override {
    if (!handler) return E_INVALIDARG;
    out =
        MakeRevoker(shared_from_this(), &X11Item::closedSlot_, closedSlot_.Add(std::move(handler)));
    return S_OK;
  }

  void OnXEvent(const xcb_generic_event_t& event) override {
    if (closed_) return;
    const std::uint8_t type = event.response_type & 0x7f;
    if (IsWindowItem()) {
      if (type == XCB_DESTROY_NOTIFY &&
          reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window == window_) {
        Close();
      }
      return;
    }
    if (!connection_->IsTopologyEvent(event)) return;
    // The monitor is gone when its index is past the list or now names another monitor.
    const std::vector<X11Monitor> monitors = connection_->Monitors();
    const auto index = static_cast<std::size_t>(monitorIndex_);
    if (index >= monitors.size() || monitors[index].name != monitorName_) {
      Close();
      return;
    }
    std::lock_guard lock(mutex_);
    area_ = monitors[index].area;
  }

  void OnConnectionLost() override { Close(); }

  bool IsWindowItem() const { return monitorIndex_ < 0; }
  bool IsClosed() const { return closed_; }
  xcb_window_t Window() const { return window_; }
  Rect Area() const {
    std::lock_guard lock(mutex_);
    return area_;
  }
  const std::shared_ptr<X11Connection>& Connection() const { return connection_; }

 private:
  void Close() {
    if (closed_.exchange(true)) return;
    closedSlot_.Fire(*this);
  }

  const std::shared_ptr<X11Connection> connection_;
  const xcb_window_t window_;  // the window, or the root for a monitor
  const int monitorIndex_;     // -1 for a window
  const xcb_atom_t monitorName_;
  std::atomic<bool> closed_{false};  // written by the event thread (once)
  mutable std::mutex mutex_;         // guards area_
  Rect area_;                        // last known rectangle in root coordinates
  HandlerSlot<CaptureItem> closedSlot_;
};

// ---- frame pools and frames --------------------------------------------------------------------

class X11Frame;

// What a pool, its frames and its sessions share.
struct X11PoolState {
  X11PoolState(std::shared_ptr<Direct3DDevice> d, std::int32_t n)
      : device(std::move(d)), buffers(n) {}

  const std::shared_ptr<Direct3DDevice> device;
  const std::int32_t buffers;

  // Guards every field below and the fields its sessions name as guarded by it. Lock order:
  // never taken while a handler runs; fireMutex is taken before it, never after.
  std::mutex mutex;
  std::condition_variable changed;  // a buffer came back, content changed, something closed
  std::deque<std::shared_ptr<X11Frame>> queue;
  std::int32_t outstanding = 0;  // frames queued, taken or being grabbed, not closed
  bool closed = false;
  std::vector<TexturePtr> surfaces;  // reused once nobody else holds them

  std::mutex fireMutex;  // one FrameArrived at a time per pool
};

class X11Surface final : public Direct3DSurface {
 public:
  explicit X11Surface(TexturePtr texture) : texture_(std::move(texture)) {}
  HRESULT GetTexture(TexturePtr& out) override {
    out = texture_;
    return S_OK;
  }

 private:
  TexturePtr texture_;
};

class X11Frame final : public CaptureFrame {
 public:
  X11Frame(std::weak_ptr<X11PoolState> pool, TexturePtr texture, SizeInt32 size)
      : pool_(std::move(pool)), texture_(std::move(texture)), size_(size) {}
  ~X11Frame() override { Close(); }

  HRESULT Surface(std::shared_ptr<Direct3DSurface>& out) override {
    std::shared_ptr<X11PoolState> pool = pool_.lock();
    if (!pool) return kRoErrorClosed;
    std::lock_guard lock(pool->mutex);
    if (closed_) return kRoErrorClosed;
    out = std::make_shared<X11Surface>(texture_);
    return S_OK;
  }
  SizeInt32 ContentSize() const override { return size_; }
  void Close() override {
    std::shared_ptr<X11PoolState> pool = pool_.lock();
    if (!pool) {
      closed_ = true;
      texture_.reset();
      return;
    }
    std::lock_guard lock(pool->mutex);
    CloseLocked(*pool);
  }
  void CloseLocked(X11PoolState& pool) {  // needs pool.mutex
    if (closed_) return;
    closed_ = true;
    texture_.reset();
    --pool.outstanding;
    pool.changed.notify_all();
  }

 private:
  const std::weak_ptr<X11PoolState> pool_;
  TexturePtr texture_;  // guarded by the pool's mutex (dropped at Close)
  const SizeInt32 size_;
  bool closed_ = false;  // guarded by the pool's mutex
};

class X11FramePool final : public CaptureFramePool,
                           public std::enable_shared_from_this<X11FramePool> {
 public:
  X11FramePool(std::shared_ptr<Direct3DDevice> device, std::int32_t buffers)
      : state_(std::make_shared<X11PoolState>(std::move(device), buffers)) {}
  ~X11FramePool() override { Close(); }

  HRESULT TryGetNextFrame(std::shared_ptr<CaptureFrame>& out) override {
    out.reset();
    std::deque<std::shared_ptr<X11Frame>> stale;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->queue.empty()) return S_OK;
      // The newest grab; older ones nobody took are stale and give their buffers back.
      out = state_->queue.back();
      state_->queue.pop_back();
      for (const auto& frame : state_->queue) frame->CloseLocked(*state_);
      stale.swap(state_->queue);
    }
    return S_OK;  // the stale frames are destroyed here, without the lock
  }

  HRESULT CreateCaptureSession(const std::shared_ptr<CaptureItem>& item,
                               std::shared_ptr<CaptureSession>& out) override;

  HRESULT FrameArrived(FrameArrivedHandler handler, EventRevoker& out) override {
    if (!handler) return E_INVALIDARG;
    out = MakeRevoker(shared_from_this(), &X11FramePool::frameArrived_,
                      frameArrived_.Add(std::move(handler)));
    return S_OK;
  }

  HRESULT Close() override {
    std::deque<std::shared_ptr<X11Frame>> dropped;
    std::vector<TexturePtr> surfaces;  // their memory goes back to the device
    {
      std::lock_guard lock(state_->mutex);
      state_->closed = true;
      for (const auto& frame : state_->queue) frame->CloseLocked(*state_);
      dropped.swap(state_->queue);
      surfaces.swap(state_->surfaces);
      state_->changed.notify_all();
    }
    return S_OK;
  }

  void FireFrameArrived() {
    std::lock_guard fire(state_->fireMutex);
    frameArrived_.Fire(*this);
  }

  const std::shared_ptr<X11PoolState>& State() const { return state_; }

 private:
  const std::shared_ptr<X11PoolState> state_;
  HandlerSlot<CaptureFramePool> frameArrived_;
};

// ---- sessions ----------------------------------------------------------------------------------

class X11Session final : public CaptureSession,
                         public X11EventSink,
                         public std::enable_shared_from_this<X11Session> {
 public:
  X11Session(std::shared_ptr<X11FramePool> pool, std::shared_ptr<X11Item> item)
      : pool_(std::move(pool)),
        state_(pool_->State()),
        item_(std::move(item)),
        connection_(item_->Connection()),
        grabber_(connection_) {}
  ~X11Session() override {
    CloseNow();
    if (thread_.joinable()) {
      // Released from its own FrameArrived handler: this runs on the grab thread, which touches
      // nothing of the session once the handler's call returns.
      if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
      else
        thread_.join();
    }
  }

  HRESULT StartCapture() override {
    std::unique_lock lock(state_->mutex);
    if (closed_ || state_->closed || item_->IsClosed()) return kRoErrorClosed;
    if (started_) return kErrorIllegalMethodCall;
    if (!connection_->HasDamage()) return DXGI_ERROR_UNSUPPORTED;
    xcb_connection_t* c = connection_->Raw();
    const xcb_window_t window = item_->Window();
    if (item_->IsWindowItem()) redirected_ = connection_->Redirect(window);
    // Subscribed before the damage exists: a report that nobody subtracts would be the last.
    damage_ = xcb_generate_id(c);
    connection_->Subscribe(weak_from_this());
    xcb_generic_error_t* error = xcb_request_check(
        c, xcb_damage_create_checked(c, damage_, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY));
    if (error != nullptr) {
      std::free(error);
      if (redirected_) connection_->Unredirect(window);
      redirected_ = false;
      return kRoErrorClosed;  // the window went away meanwhile
    }
    started_ = true;
    lastSize_ = RectSize(item_->Area());
    dirty_ = true;  // the first frame shows the content as it is at the start
    thread_ = std::thread([this, self = weak_from_this()] { GrabLoop(self); });
    return S_OK;
  }

  HRESULT SetIsBorderRequired(bool) override { return E_NOTIMPL; }  // not offered on X11

  HRESULT Close() override {
    CloseNow();
    return S_OK;
  }

  void OnXEvent(const xcb_generic_event_t& event) override {
    const std::uint8_t type = event.response_type & 0x7f;
    bool changed = false;
    bool resized = false;
    if (type == connection_->DamageNotifyCode() &&
        reinterpret_cast<const xcb_damage_notify_event_t&>(event).damage == damage_) {
      // Emptied before the grab, so that a change during the grab reports again.
      xcb_damage_subtract(connection_->Raw(), damage_, XCB_NONE, XCB_NONE);
      xcb_flush(connection_->Raw());
      changed = true;
    } else if (item_->IsWindowItem()) {
      std::lock_guard lock(state_->mutex);
      if (type == XCB_CONFIGURE_NOTIFY) {
        // A move changes nothing that the window shows; a new size does.
        const auto& configure = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
        const SizeInt32 size{configure.width, configure.height};
        resized = configure.window == item_->Window() &&
                  (size.Width != lastSize_.Width || size.Height != lastSize_.Height);
        if (resized) lastSize_ = size;
      } else if (type == XCB_MAP_NOTIFY) {
        resized = reinterpret_cast<const xcb_map_notify_event_t&>(event).window == item_->Window();
      }
      changed = resized;
    } else {
      changed = connection_->IsTopologyEvent(event);
    }
    if (!changed) return;
    std::lock_guard lock(state_->mutex);
    dirty_ = true;
    renamePixmap_ = renamePixmap_ || resized;
    state_->changed.notify_all();
  }

  void OnConnectionLost() override {
    std::lock_guard lock(state_->mutex);
    state_->changed.notify_all();
  }

 private:
  void CloseNow() {
    {
      std::lock_guard lock(state_->mutex);
      if (closed_) return;
      closed_ = true;
      state_->changed.notify_all();
    }
    // Closed from its own FrameArrived handler: the loop ends by itself once the handler
    // returns, and the destructor joins it.
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    if (!started_) return;
    grabber_.Release();
    xcb_connection_t* c = connection_->Raw();
    if (damage_ != 0) xcb_damage_destroy(c, damage_);
    if (pixmap_ != 0) xcb_free_pixmap(c, pixmap_);
    pixmap_ = 0;
    if (redirected_) connection_->Unredirect(item_->Window());
    xcb_flush(c);
  }

  // Delivers one frame per change of content while a buffer is free.
  void GrabLoop(const std::weak_ptr<X11Session>& self) {
    std::unique_lock lock(state_->mutex);
    while (!closed_) {
      const bool deliverable = !state_->closed && !item_->IsClosed() && !connection_->Broken() &&
                               state_->outstanding < state_->buffers;
      if (!dirty_ || !deliverable) {
        state_->changed.wait(lock);
        continue;
      }
      dirty_ = false;
      const bool rename = renamePixmap_;
      renamePixmap_ = false;
      ++state_->outstanding;  // the buffer is reserved while the grab runs
      lock.unlock();

      TexturePtr texture;
      SizeInt32 size{};
      const bool grabbed = GrabOnce(rename, texture, size);

      lock.lock();
      if (!grabbed || closed_ || state_->closed) {
        --state_->outstanding;
        state_->changed.notify_all();
        continue;
      }
      state_->queue.push_back(std::make_shared<X11Frame>(state_, std::move(texture), size));
      lock.unlock();
      if (!FireHoldingSelf(self)) return;
      lock.lock();
    }
  }

  // FrameArrived, with the session held across the call: a handler may release it. False when
  // the session is gone or going (its destructor ran here, or runs on another thread and joins
  // this one): the grab thread must not touch it any more.
  bool FireHoldingSelf(const std::weak_ptr<X11Session>& self) {
    {
      const std::shared_ptr<X11Session> held = self.lock();
      if (!held) return false;
      pool_->FireFrameArrived();
    }
    return !self.expired();
  }

  // Reads the content as it is now into a surface. Runs on the session's thread only.
  bool GrabOnce(bool rename, TexturePtr& texture, SizeInt32& size) {
    xcb_connection_t* c = connection_->Raw();
    xcb_drawable_t drawable = item_->Window();
    Rect area;
    std::int16_t x = 0, y = 0;
    if (item_->IsWindowItem()) {
      X11WindowInfo info;
      if (!connection_->WindowInfo(item_->Window(), info) || !info.viewable) return false;
      area = info.area;
      if (redirected_) {
        // The pixmap is the window's size at naming time: a resized window needs a new one.
        if (rename && pixmap_ != 0) {
          xcb_free_pixmap(c, pixmap_);
          pixmap_ = 0;
        }
        if (pixmap_ == 0) {
          const xcb_pixmap_t pixmap = xcb_generate_id(c);
          xcb_generic_error_t* error = xcb_request_check(
              c, xcb_composite_name_window_pixmap_checked(c, item_->Window(), pixmap));
          if (error == nullptr) {
            pixmap_ = pixmap;
          } else {
            std::free(error);
          }
        }
      }
      if (pixmap_ != 0) {
        drawable = pixmap_;
        x = y = static_cast<std::int16_t>(info.borderWidth);  // the pixmap includes the border
      }
    } else {
      area = item_->Area();
      x = static_cast<std::int16_t>(area.left);
      y = static_cast<std::int16_t>(area.top);
    }
    size = RectSize(area);
    if (size.Width <= 0 || size.Height <= 0 || size.Width > 0xFFFF || size.Height > 0xFFFF)
      return false;

    texture = TakeSurface(size);
    if (!texture) return false;
    GpuDevice& device = *state_->device->Device();
    std::shared_ptr<GpuContext> context = device.GetImmediateContext();
    MappedSubresource mapped;
    if (!context || FAILED(context->Map(texture, 0, kMapWriteDiscard, 0, mapped))) return false;
    const bool grabbed = grabber_.Grab(
        drawable, x, y, static_cast<std::uint16_t>(size.Width),
        static_cast<std::uint16_t>(size.Height), static_cast<std::uint8_t*>(mapped.data),
        mapped.rowPitch, {mapped.fd, mapped.offset, mapped.memoryId, mapped.memoryAlive});
    context->Unmap(texture, 0);
    if (!grabbed && drawable == pixmap_ && pixmap_ != 0) {
      // Most likely resized between naming and reading: name it again at the next change.
      std::lock_guard lock(state_->mutex);
      renamePixmap_ = true;
    }
    return grabbed;
  }

  // A surface of `size` that nobody else holds (no frame, no queued GPU command), else a new
  // one. Null when the device cannot make one (a lost device).
  TexturePtr TakeSurface(SizeInt32 size) {
    const auto width = static_cast<std::uint32_t>(size.Width);
    const auto height = static_cast<std::uint32_t>(size.Height);
    {
      std::lock_guard lock(state_->mutex);
      auto& surfaces = state_->surfaces;
      for (auto it = surfaces.begin(); it != surfaces.end();) {
        if (it->use_count() != 1) {  // held by a frame or a queued command
          ++it;
          continue;
        }
        TextureDesc desc;
        (*it)->GetDesc(desc);
        if (desc.width == width && desc.height == height) return *it;
        it = surfaces.erase(it);  // a size of the past
      }
    }
    TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.format = kFormatB8G8R8A8Unorm;
    // Written whole by the CPU, only read by the engine's copy: each grab discards the old
    // contents, so one still held by a copy stays with it instead of being copied aside.
    desc.usage = Usage::Dynamic;
    desc.bindFlags = kBindShaderResource;
    desc.cpuAccessFlags = kCpuAccessWrite;
    TexturePtr texture;
    if (FAILED(state_->device->Device()->CreateTexture2D(desc, nullptr, texture))) return nullptr;
    std::lock_guard lock(state_->mutex);
    // A few more than the pool's buffers: queued copies may hold some a while.
    if (!state_->closed && state_->surfaces.size() < static_cast<std::size_t>(state_->buffers) + 4)
      state_->surfaces.push_back(texture);
    return texture;
  }

  const std::shared_ptr<X11FramePool> pool_;
  const std::shared_ptr<X11PoolState> state_;
  const std::shared_ptr<X11Item> item_;
  const std::shared_ptr<X11Connection> connection_;
  // Guarded by state_->mutex:
  bool closed_ = false;
  bool dirty_ = false;
  bool renamePixmap_ = false;
  SizeInt32 lastSize_;  // the window's size as its configure events tell it
  // Set by StartCapture before the thread starts, read by it and by CloseNow after the join:
  bool started_ = false;
  bool redirected_ = false;
  xcb_damage_damage_t damage_ = 0;
  // Only the session's thread (and CloseNow after the join, or on that thread):
  xcb_pixmap_t pixmap_ = 0;
  X11Grabber grabber_;
  std::thread thread_;
};

HRESULT X11FramePool::CreateCaptureSession(const std::shared_ptr<CaptureItem>& item,
                                           std::shared_ptr<CaptureSession>& out) {
  auto x11Item = std::dynamic_pointer_cast<X11Item>(item);
  if (!x11Item) return E_INVALIDARG;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->closed) return kRoErrorClosed;
  }
  out = std::make_shared<X11Session>(std::static_pointer_cast<X11FramePool>(shared_from_this()),
                                     std::move(x11Item));
  return S_OK;
}

// ---- the layer ---------------------------------------------------------------------------------

int PickMonitor(const Rect& window, const std::vector<X11Monitor>& monitors, std::uint32_t flags) {
  int best = -1;
  std::int64_t bestArea = 0;
  for (std::size_t i = 0; i < monitors.size(); ++i) {
    const Rect& m = monitors[i].area;
    const std::int64_t w = std::min(window.right, m.right) - std::max(window.left, m.left);
    const std::int64_t h = std::min(window.bottom, m.bottom) - std::max(window.top, m.top);
    if (w > 0 && h > 0 && w * h > bestArea) {
      bestArea = w * h;
      best = static_cast<int>(i);
    }
  }
  if (best >= 0 || monitors.empty() || flags == kMonitorDefaultToNull) return best;
  if (flags == kMonitorDefaultToNearest) {
    std::int64_t bestDistance = std::numeric_limits<std::int64_t>::max();
    for (std::size_t i = 0; i < monitors.size(); ++i) {
      const Rect& m = monitors[i].area;
      // Gaps between the rectangles on each axis (0 where they overlap on that axis).
      const std::int64_t dx = std::max({0, m.left - window.right, window.left - m.right});
      const std::int64_t dy = std::max({0, m.top - window.bottom, window.top - m.bottom});
      if (dx * dx + dy * dy < bestDistance) {
        bestDistance = dx * dx + dy * dy;
        best = static_cast<int>(i);
      }
    }
    return best;
  }
  for (std::size_t i = 0; i < monitors.size(); ++i)
    if (monitors[i].primary) return static_cast<int>(i);
  return 0;
}

LinuxCapture::LinuxCapture(std::string display) : display_(std::move(display)) {}

LinuxCapture::~LinuxCapture() = default;

HRESULT LinuxCapture::Connection(std::shared_ptr<X11Connection>& out) {
  std::lock_guard lock(mutex_);
  if (!connection_ || connection_->Broken()) {
    connection_.reset();
    const HRESULT hr = X11Connection::Open(display_, connection_);
    if (FAILED(hr)) return hr;
  }
  out = connection_;
  return S_OK;
}

bool LinuxCapture::IsWindow(HWND window) {
  std::shared_ptr<X11Connection> connection;
  X11WindowInfo info;
  return WindowId(window) != 0 && SUCCEEDED(Connection(connection)) &&
         connection->WindowInfo(WindowId(window), info);
}

HMONITOR LinuxCapture::MonitorFromWindow(HWND window, std::uint32_t flags) {
  std::shared_ptr<X11Connection> connection;
  if (FAILED(Connection(connection))) return nullptr;
  const std::vector<X11Monitor> monitors = connection->Monitors();
  X11WindowInfo info;
  if (!connection->WindowInfo(WindowId(window), info)) {
    // No such window: no rectangle to compare, so the flags' default applies.
    if (flags == kMonitorDefaultToNull) return nullptr;
    return MonitorHandle(PickMonitor(Rect{}, monitors, kMonitorDefaultToPrimary));
  }
  return MonitorHandle(PickMonitor(info.area, monitors, flags));
}

HRESULT LinuxCapture::CreateDirect3DDevice(const std::shared_ptr<GpuDevice>& device,
                                           std::shared_ptr<Direct3DDevice>& out) {
  if (!device) return E_POINTER;
  out = std::make_shared<Direct3DDevice>(device);
  return S_OK;
}

HRESULT LinuxCapture::CreateItemForWindow(HWND window, std::shared_ptr<CaptureItem>& out) {
  std::shared_ptr<X11Connection> connection;
  const HRESULT hr = Connection(connection);
  if (FAILED(hr)) return hr;
  const xcb_window_t id = WindowId(window);
  X11WindowInfo info;
  if (id == 0 || !connection->WindowInfo(id, info)) return E_INVALIDARG;
  if (!connection->GrabbableDepth(info.depth)) return DXGI_ERROR_UNSUPPORTED;  // input-only too

  // DestroyNotify, resizes and mapping of the window. (This replaces only our own client's
  // mask on the window, which is always this one.)
  xcb_connection_t* c = connection->Raw();
  const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_generic_error_t* error =
      xcb_request_check(c, xcb_change_window_attributes_checked(c, id, XCB_CW_EVENT_MASK, &mask));
  if (error != nullptr) {
    std::free(error);
    return E_INVALIDARG;
  }
  auto item = std::make_shared<X11Item>(connection, id, -1, 0, info.area);
  connection->Subscribe(item);
  // Destroyed before the subscription: its DestroyNotify may have gone by unseen.
  if (!connection->WindowInfo(id, info)) return E_INVALIDARG;
  out = std::move(item);
  return S_OK;
}

HRESULT LinuxCapture::CreateItemForMonitor(HMONITOR monitor, std::shared_ptr<CaptureItem>& out) {
  std::shared_ptr<X11Connection> connection;
  const HRESULT hr = Connection(connection);
  if (FAILED(hr)) return hr;
  const auto handle = reinterpret_cast<std::uintptr_t>(monitor);
  const std::vector<X11Monitor> monitors = connection->Monitors();
  if (handle == 0 || handle > monitors.size()) return E_INVALIDARG;
  const X11Monitor& m = monitors[handle - 1];
  auto item = std::make_shared<X11Item>(connection, connection->Root(),
                                        static_cast<int>(handle - 1), m.name, m.area);
  connection->Subscribe(item);
  out = std::move(item);
  return S_OK;
}

HRESULT LinuxCapture::CreateFreeThreadedFramePool(const std::shared_ptr<Direct3DDevice>& device,
                                                  std::int32_t pixelFormat,
                                                  std::int32_t numberOfBuffers, SizeInt32 size,
                                                  std::shared_ptr<CaptureFramePool>& out) {
  if (!device || !device->Device() || pixelFormat != kPixelFormatB8G8R8A8UIntNormalized ||
      numberOfBuffers < 1 || size.Width <= 0 || size.Height <= 0)
    return E_INVALIDARG;
  out = std::make_shared<X11FramePool>(device, numberOfBuffers);
  return S_OK;
}

HRESULT LinuxCapture::IsPropertyPresent(const std::wstring&, const std::wstring&, bool& present) {
  present = false;  // X11 draws no capture border, so there is nothing to switch off
  return S_OK;
}

std::vector<OutputDesc> LinuxCapture::Outputs() {
  std::vector<OutputDesc> outputs;
  std::shared_ptr<X11Connection> connection;
  if (FAILED(Connection(connection))) return outputs;
  const std::vector<X11Monitor> monitors = connection->Monitors();
  for (std::size_t i = 0; i < monitors.size(); ++i) {
    OutputDesc desc;
    desc.deviceName = connection->AtomName(monitors[i].name);
    desc.desktopCoordinates = monitors[i].area;
    desc.attachedToDesktop = true;
    desc.monitor = MonitorHandle(static_cast<int>(i));
    outputs.push_back(std::move(desc));
  }
  return outputs;
}

LinuxCapture& LinuxCaptureLayer() {
  static LinuxCapture* const layer = new LinuxCapture;
  return *layer;
}

}  // namespace tallowmarch::platform
