#include "capture/sim_capture.h"

#include <algorithm>
#include <chrono>

namespace tallowmarch::platform {

using Clock = std::chrono::steady_clock;

namespace {

// Handlers of one event, with the dispatch in progress, so that a revocation can wait for it.
// Every field is guarded by SimCapture::mutex_.
template <typename Handler>
struct EventSlot {
  std::vector<std::pair<std::uint64_t, std::shared_ptr<Handler>>> handlers;
  std::uint64_t nextToken = 1;
  int dispatching = 0;
  std::thread::id dispatcher;
};

std::uintptr_t Key(const void* handle) {
  return reinterpret_cast<std::uintptr_t>(handle);
}

}  // namespace

struct SimCapture::Target {
  bool monitor = false;
  std::uintptr_t handle = 0;
};

// ---- frames, items, pools, sessions ------------------------------------------------------

class SimSurface final : public Direct3DSurface {
 public:
  SimSurface(TexturePtr texture, HRESULT failure)
      : texture_(std::move(texture)), failure_(failure) {}
  HRESULT GetTexture(TexturePtr& out) override {
    if (FAILED(failure_)) return failure_;
    out = texture_;
    return S_OK;
  }

 private:
  TexturePtr texture_;
  HRESULT failure_;
};

class SimFramePool;

class SimFrame final : public CaptureFrame {
 public:
  SimFrame(SimCapture& layer, std::weak_ptr<SimFramePool> pool, TexturePtr texture, SizeInt32 size)
      : layer_(layer), pool_(std::move(pool)), texture_(std::move(texture)), size_(size) {}
  ~SimFrame() override { Close(); }

  HRESULT Surface(std::shared_ptr<Direct3DSurface>& out) override;
  SizeInt32 ContentSize() const override { return size_; }
  void Close() override;
  void CloseLocked();  // needs layer_.mutex_

 private:
  SimCapture& layer_;
  std::weak_ptr<SimFramePool> pool_;
  TexturePtr texture_;  // guarded by layer_.mutex_ (dropped at Close)
  SizeInt32 size_;
  bool closed_ = false;  // guarded by layer_.mutex_
};

class SimItem final : public CaptureItem, public std::enable_shared_from_this<SimItem> {
 public:
  SimItem(SimCapture& layer, SimCapture::Target target) : layer_(layer), target_(target) {}

  HRESULT Size(SizeInt32& out) override;
  HRESULT Closed(ClosedHandler handler, EventRevoker& out) override;
  void FireClosed();

  SimCapture& layer_;
  const SimCapture::Target target_;
  bool closed_ = false;            // guarded by layer_.mutex_
  EventSlot<ClosedHandler> slot_;  // guarded by layer_.mutex_
};

class SimSession;

class SimFramePool final : public CaptureFramePool,
                           public std::enable_shared_from_this<SimFramePool> {
 public:
  SimFramePool(SimCapture& layer, std::shared_ptr<Direct3DDevice> device, std::int32_t buffers)
      : layer_(layer), device_(std::move(device)), buffers_(buffers) {}
  ~SimFramePool() override;

  HRESULT TryGetNextFrame(std::shared_ptr<CaptureFrame>& out) override;
  HRESULT CreateCaptureSession(const std::shared_ptr<CaptureItem>& item,
                               std::shared_ptr<CaptureSession>& out) override;
  HRESULT FrameArrived(FrameArrivedHandler handler, EventRevoker& out) override;
  HRESULT Close() override;
  void FireFrameArrived();

  SimCapture& layer_;
  const std::shared_ptr<Direct3DDevice> device_;
  const std::int32_t buffers_;
  // Guarded by layer_.mutex_:
  std::deque<std::shared_ptr<SimFrame>> queue_;
  std::int32_t outstanding_ = 0;  // frames delivered or being rendered, not closed
  bool closed_ = false;
  EventSlot<FrameArrivedHandler> slot_;
  std::vector<std::weak_ptr<SimSession>> sessions_;
};

class SimSession final : public CaptureSession {
 public:
  SimSession(SimCapture& layer, std::shared_ptr<SimFramePool> pool, std::shared_ptr<SimItem> item)
      : layer_(layer), pool_(std::move(pool)), item_(std::move(item)) {}
  ~SimSession() override { CloseNow(); }

  HRESULT StartCapture() override;
  HRESULT SetIsBorderRequired(bool required) override;
  HRESULT Close() override;
  void CloseNow();

  SimCapture& layer_;
  const std::shared_ptr<SimFramePool> pool_;
  const std::shared_ptr<SimItem> item_;
  // Guarded by layer_.mutex_:
  bool started_ = false;
  bool closed_ = false;
  std::uint64_t seenPosted_ = 0;
  std::uint64_t seenResize_ = 0;
  std::uint64_t pendingSteps_ = 0;
  bool dirty_ = false;
  std::uint64_t contentIndex_ = 0;
  Clock::time_point nextTick_{};
  // Only the session's thread (and CloseNow after the join): the frame surfaces, reused once
  // nobody else holds them.
  std::vector<TexturePtr> surfaces_;
  std::thread thread_;  // joined by CloseNow
};

// A revoker that removes token `token` from the slot reached through `lock()` and waits for a
// dispatch on another thread to end.
template <typename Owner, typename Handler>
EventRevoker MakeRevoker(SimCapture& layer, std::weak_ptr<Owner> owner,
                         EventSlot<Handler> Owner::*slot, std::uint64_t token, std::mutex& mutex,
                         std::condition_variable& changed) {
  (void)layer;
  return EventRevoker([owner, slot, token, &mutex, &changed] {
    std::shared_ptr<Owner> strong = owner.lock();
    if (!strong) return;
    std::unique_lock lock(mutex);
    auto& handlers = ((*strong).*slot).handlers;
    handlers.erase(std::remove_if(handlers.begin(), handlers.end(),
                                  [token](const auto& entry) { return entry.first == token; }),
                   handlers.end());
    changed.wait(lock, [&] {
      const auto& s = (*strong).*slot;
      return s.dispatching == 0 || s.dispatcher == std::this_thread::get_id();
    });
  });
}

// Calls every handler of `slot` without the layer lock; exceptions are counted and swallowed.
template <typename Handler, typename Sender>
void Dispatch(SimCapture& layer, std::mutex& mutex, std::condition_variable& changed,
              EventSlot<Handler>& slot, Sender& sender, std::uint64_t& failures) {
  std::vector<std::shared_ptr<Handler>> handlers;
  {
    std::lock_guard lock(mutex);
    for (const auto& entry : slot.handlers) handlers.push_back(entry.second);
    if (handlers.empty()) return;
    ++slot.dispatching;
    slot.dispatcher = std::this_thread::get_id();
  }
  int failed = 0;
  for (const auto& handler : handlers) {
    try {
      (*handler)(sender);
    } catch (...) {
      ++failed;  // the event call fails; nothing else happens
    }
  }
  (void)layer;
  std::lock_guard lock(mutex);
  failures += static_cast<std::uint64_t>(failed);
  --slot.dispatching;
  changed.notify_all();
}

HRESULT SimFrame::Surface(std::shared_ptr<Direct3DSurface>& out) {
  std::lock_guard lock(layer_.mutex_);
  const HRESULT surfaceFailure = layer_.Failure(SimCaptureStep::FrameSurface);
  if (FAILED(surfaceFailure)) return surfaceFailure;
  if (closed_) return MakeHresult(0x80000013u);  // RO_E_CLOSED
  out = std::make_shared<SimSurface>(texture_, layer_.Failure(SimCaptureStep::SurfaceTexture));
  return S_OK;
}

void SimFrame::Close() {
  std::lock_guard lock(layer_.mutex_);
  CloseLocked();
}

void SimFrame::CloseLocked() {
  if (closed_) return;
  closed_ = true;
  texture_.reset();
  if (std::shared_ptr<SimFramePool> pool = pool_.lock()) --pool->outstanding_;
  --layer_.framesOutstanding_;
  layer_.changed_.notify_all();
}

HRESULT SimItem::Size(SizeInt32& out) {
  std::lock_guard lock(layer_.mutex_);
  const HRESULT failure = layer_.Failure(SimCaptureStep::ItemSize);
  if (FAILED(failure)) return failure;
  if (target_.monitor) {
    for (const SimMonitorSpec& m : layer_.monitors_)
      if (Key(m.handle) == target_.handle) out = m.size;
  } else {
    for (const SimWindowSpec& w : layer_.windows_)
      if (Key(w.handle) == target_.handle) out = w.size;
  }
  return S_OK;
}

HRESULT SimItem::Closed(ClosedHandler handler, EventRevoker& out) {
  std::uint64_t token;
  {
    std::lock_guard lock(layer_.mutex_);
    const HRESULT failure = layer_.Failure(SimCaptureStep::RegisterClosed);
    if (FAILED(failure)) return failure;
    token = slot_.nextToken++;
    slot_.handlers.emplace_back(token, std::make_shared<ClosedHandler>(std::move(handler)));
  }
  out =
      MakeRevoker(layer_, weak_from_this(), &SimItem::slot_, token, layer_.mutex_, layer_.changed_);
  return S_OK;
}

void SimItem::FireClosed() {
  Dispatch(layer_, layer_.mutex_, layer_.changed_, slot_, static_cast<CaptureItem&>(*this),
           layer_.handlerFailures_);
}

SimFramePool::~SimFramePool() {
  std::deque<std::shared_ptr<SimFrame>> dropped;  // destroyed after the lock is released
  std::lock_guard lock(layer_.mutex_);
  for (auto& frame : queue_) frame->CloseLocked();
  dropped.swap(queue_);
  --layer_.livePools_;
}

// Every `out` below is assigned after the layer lock is released: what it held before may be
// a frame, session or pool whose destruction takes that lock.

HRESULT SimFramePool::TryGetNextFrame(std::shared_ptr<CaptureFrame>& out) {
  std::shared_ptr<SimFrame> next;
  {
    std::lock_guard lock(layer_.mutex_);
    const HRESULT failure = layer_.Failure(SimCaptureStep::TryGetNextFrame);
    if (FAILED(failure)) return failure;
    if (!queue_.empty()) {
      next = std::move(queue_.front());
      queue_.pop_front();
    }
  }
  out = std::move(next);
  return S_OK;
}

HRESULT SimFramePool::CreateCaptureSession(const std::shared_ptr<CaptureItem>& item,
                                           std::shared_ptr<CaptureSession>& out) {
  auto simItem = std::dynamic_pointer_cast<SimItem>(item);
  if (!simItem) return E_INVALIDARG;
  std::shared_ptr<SimSession> session;
  {
    std::lock_guard lock(layer_.mutex_);
    const HRESULT failure = layer_.Failure(SimCaptureStep::CreateCaptureSession);
    if (FAILED(failure)) return failure;
    if (closed_) return MakeHresult(0x80000013u);  // RO_E_CLOSED
    session = std::make_shared<SimSession>(layer_, shared_from_this(), std::move(simItem));
    sessions_.push_back(session);
    layer_.sessions_.push_back(session);
  }
  out = std::move(session);
  return S_OK;
}

HRESULT SimFramePool::FrameArrived(FrameArrivedHandler handler, EventRevoker& out) {
  std::uint64_t token;
  {
    std::lock_guard lock(layer_.mutex_);
    const HRESULT failure = layer_.Failure(SimCaptureStep::RegisterFrameArrived);
    if (FAILED(failure)) return failure;
    token = slot_.nextToken++;
    slot_.handlers.emplace_back(token, std::make_shared<FrameArrivedHandler>(std::move(handler)));
  }
  out = MakeRevoker(layer_, weak_from_this(), &SimFramePool::slot_, token, layer_.mutex_,
                    layer_.changed_);
  return S_OK;
}

HRESULT SimFramePool::Close() {
  std::vector<std::shared_ptr<SimSession>> sessions;
  std::deque<std::shared_ptr<SimFrame>> dropped;  // destroyed after the lock is released
  {
    std::lock_guard lock(layer_.mutex_);
    const HRESULT failure = layer_.Failure(SimCaptureStep::PoolClose);
    if (FAILED(failure)) return failure;
    closed_ = true;
    for (auto& frame : queue_) frame->CloseLocked();
    dropped.swap(queue_);
    for (auto& weak : sessions_)
      if (auto session = weak.lock()) sessions.push_back(std::move(session));
    layer_.changed_.notify_all();
  }
  for (auto& session : sessions) session->CloseNow();
  return S_OK;
}

void SimFramePool::FireFrameArrived() {
  Dispatch(layer_, layer_.mutex_, layer_.changed_, slot_, static_cast<CaptureFramePool&>(*this),
           layer_.handlerFailures_);
}

HRESULT SimSession::StartCapture() {
  std::lock_guard lock(layer_.mutex_);
  const HRESULT failure = layer_.Failure(SimCaptureStep::StartCapture);
  if (FAILED(failure)) return failure;
  if (closed_ || pool_->closed_) return MakeHresult(0x80000013u);  // RO_E_CLOSED
  if (started_) return E_FAIL;                                     // a session starts once
  started_ = true;
  dirty_ = true;  // the first frame comes at once, whatever the scene does
  seenPosted_ = layer_.postedSteps_;
  seenResize_ = layer_.resizeEpoch_;
  nextTick_ = Clock::now();
  ++layer_.runningSessions_;
  thread_ = std::thread([this] { layer_.SessionLoop(*this); });
  return S_OK;
}

HRESULT SimSession::SetIsBorderRequired(bool required) {
  std::lock_guard lock(layer_.mutex_);
  if (layer_.border_ == SimBorderProperty::Absent) return E_NOINTERFACE;
  HRESULT failure = layer_.Failure(SimCaptureStep::SetIsBorderRequired);
  if (layer_.border_ == SimBorderProperty::Failing && SUCCEEDED(failure)) failure = E_ACCESSDENIED;
  if (FAILED(failure)) return failure;
  layer_.lastBorder_ = required;
  return S_OK;
}

HRESULT SimSession::Close() {
  {
    std::lock_guard lock(layer_.mutex_);
    const HRESULT failure = layer_.Failure(SimCaptureStep::SessionClose);
    if (FAILED(failure)) return failure;
  }
  CloseNow();
  return S_OK;
}

void SimSession::CloseNow() {
  {
    std::lock_guard lock(layer_.mutex_);
    if (!closed_) {
      closed_ = true;
      if (started_) --layer_.runningSessions_;
      layer_.changed_.notify_all();
    }
  }
  if (thread_.joinable()) {
    // Closed by its own handler: the loop ends by itself and nobody else may join it.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
      surfaces_.clear();  // their memory goes back to the device
    }
  }
}

// ---- the layer -----------------------------------------------------------------------------

SimCapture::SimCapture() {
  Reset();
  eventThread_ = std::thread([this] { EventLoop(); });
}

SimCapture::~SimCapture() {
  {
    std::lock_guard lock(eventMutex_);
    stopEvents_ = true;
  }
  eventCv_.notify_all();
  if (eventThread_.joinable()) eventThread_.join();
}

HRESULT SimCapture::Failure(SimCaptureStep step) const {
  return failures_[static_cast<int>(step)];
}

bool SimCapture::IsWindow(HWND window) {
  std::lock_guard lock(mutex_);
  for (const SimWindowSpec& w : windows_)
    if (w.handle == window) return w.valid;
  return false;
}

HMONITOR SimCapture::MonitorFromWindow(HWND window, std::uint32_t) {
  std::lock_guard lock(mutex_);
  for (const SimWindowSpec& w : windows_)
    if (w.handle == window && w.monitor != nullptr) return w.monitor;
  // MONITOR_DEFAULTTONEAREST: an unknown window is nearest to the primary monitor.
  return monitors_.empty() ? nullptr : monitors_.front().handle;
}

HRESULT SimCapture::CreateDirect3DDevice(const std::shared_ptr<GpuDevice>& device,
                                         std::shared_ptr<Direct3DDevice>& out) {
  {
    std::lock_guard lock(mutex_);
    const HRESULT failure = Failure(SimCaptureStep::CreateDirect3DDevice);
    if (FAILED(failure)) return failure;
  }
  if (!device) return E_POINTER;
  out = std::make_shared<Direct3DDevice>(device);
  return S_OK;
}

HRESULT SimCapture::CreateItemForWindow(HWND window, std::shared_ptr<CaptureItem>& out) {
  std::unique_lock lock(mutex_);
  const HRESULT failure = Failure(SimCaptureStep::CreateItem);
  if (FAILED(failure)) return failure;
  const auto it = std::find_if(windows_.begin(), windows_.end(),
                               [&](const SimWindowSpec& w) { return w.handle == window; });
  if (it == windows_.end() || !it->valid) return E_INVALIDARG;
  auto item = std::make_shared<SimItem>(*this, Target{false, Key(window)});
  items_.push_back(item);
  ++itemsCreated_;
  lock.unlock();
  out = std::move(item);
  return S_OK;
}

HRESULT SimCapture::CreateItemForMonitor(HMONITOR monitor, std::shared_ptr<CaptureItem>& out) {
  std::unique_lock lock(mutex_);
  const HRESULT failure = Failure(SimCaptureStep::CreateItem);
  if (FAILED(failure)) return failure;
  const auto it = std::find_if(monitors_.begin(), monitors_.end(),
                               [&](const SimMonitorSpec& m) { return m.handle == monitor; });
  if (it == monitors_.end()) return E_INVALIDARG;
  auto item = std::make_shared<SimItem>(*this, Target{true, Key(monitor)});
  items_.push_back(item);
  ++itemsCreated_;
  lock.unlock();
  out = std::move(item);
  return S_OK;
}

HRESULT SimCapture::CreateFreeThreadedFramePool(const std::shared_ptr<Direct3DDevice>& device,
                                                std::int32_t pixelFormat,
                                                std::int32_t numberOfBuffers, SizeInt32 size,
                                                std::shared_ptr<CaptureFramePool>& out) {
  {
    std::lock_guard lock(mutex_);
    const HRESULT failure = Failure(SimCaptureStep::CreateFramePool);
    if (FAILED(failure)) return failure;
    if (!device || !device->Device() || pixelFormat != kPixelFormatB8G8R8A8UIntNormalized ||
        numberOfBuffers < 1 || size.Width <= 0 || size.Height <= 0)
      return E_INVALIDARG;
    ++livePools_;
  }
  out = std::make_shared<SimFramePool>(*this, device, numberOfBuffers);
  return S_OK;
}

HRESULT SimCapture::IsPropertyPresent(const std::wstring& typeName,
                                      const std::wstring& propertyName, bool& present) {
  std::lock_guard lock(mutex_);
  const HRESULT failure = Failure(SimCaptureStep::IsPropertyPresent);
  if (FAILED(failure)) return failure;
  present = border_ != SimBorderProperty::Absent &&
            typeName == L"Windows.Graphics.Capture.GraphicsCaptureSession" &&
            propertyName == L"IsBorderRequired";
  return S_OK;
}

std::uint32_t SimCapture::ScenePixel(SimScenePattern pattern, std::uint32_t color,
                                     std::uint64_t index, std::int32_t x, std::int32_t y) {
  if (pattern == SimScenePattern::Solid) return color | 0xFF000000u;
  const auto i = static_cast<std::uint32_t>(index);
  const std::uint32_t b = (static_cast<std::uint32_t>(x) + 3 * i) & 0xFF;
  const std::uint32_t g = (static_cast<std::uint32_t>(y) + i) & 0xFF;
  const std::uint32_t r = ((static_cast<std::uint32_t>(x + y) >> 1) + 5 * i) & 0xFF;
  return 0xFF000000u | (r << 16) | (g << 8) | b;
}

void SimCapture::SessionLoop(SimSession& session) {
  std::unique_lock lock(mutex_);
  while (!session.closed_) {
    const Clock::time_point now = Clock::now();
    const bool ticking = moving_ && rate_ > 0.0;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(ticking ? 1.0 / rate_ : 1.0));
    if (postedSteps_ != session.seenPosted_) {
      session.pendingSteps_ += postedSteps_ - session.seenPosted_;
      session.seenPosted_ = postedSteps_;
    }
    if (resizeEpoch_ != session.seenResize_) {
      session.seenResize_ = resizeEpoch_;
      session.dirty_ = true;
      ++session.contentIndex_;
    }
    if (ticking && now >= session.nextTick_) {
      session.dirty_ = true;
      ++session.contentIndex_;
      session.nextTick_ += interval;
      if (session.nextTick_ <= now) session.nextTick_ = now + interval;  // fell behind
    }

    SimFramePool& pool = *session.pool_;
    const bool wanted = session.dirty_ || session.pendingSteps_ > 0;
    const bool deliverable =
        !session.item_->closed_ && !pool.closed_ && pool.outstanding_ < pool.buffers_;
    if (!wanted || !deliverable) {
      if (ticking)
        changed_.wait_until(lock, session.nextTick_);
      else
        changed_.wait(lock);
      continue;
    }
    if (session.pendingSteps_ > 0) {
      --session.pendingSteps_;
      ++session.contentIndex_;
    }
    if (session.pendingSteps_ == 0) session.dirty_ = false;

    // Render and upload without the lock; the buffer is reserved meanwhile.
    SizeInt32 size{};
    const Target& target = session.item_->target_;
    for (const SimMonitorSpec& m : monitors_)
      if (target.monitor && Key(m.handle) == target.handle) size = m.size;
    for (const SimWindowSpec& w : windows_)
      if (!target.monitor && Key(w.handle) == target.handle) size = w.size;
    const SimScenePattern pattern = pattern_;
    const std::uint32_t color = color_;
    const std::uint64_t index = session.contentIndex_;
    ++pool.outstanding_;
    ++framesOutstanding_;
    lock.unlock();

    TexturePtr texture;
    if (size.Width > 0 && size.Height > 0)
      texture = RenderFrame(session, *pool.device_->Device(), size, pattern, color, index);

    lock.lock();
    if (!texture || session.closed_ || pool.closed_) {
      --pool.outstanding_;  // a lost device or a closed capture: nothing is delivered
      --framesOutstanding_;
      changed_.notify_all();
      continue;
    }
    pool.queue_.push_back(std::make_shared<SimFrame>(
        *this, std::static_pointer_cast<SimFramePool>(pool.shared_from_this()), std::move(texture),
        size));
    ++framesDelivered_;
    lock.unlock();
    pool.FireFrameArrived();
    lock.lock();
  }
}

// Draws content frame `index` into a surface: one this session made before that nobody else
// holds any more (no frame, no queued GPU command), else a new one. Reusing them keeps a long
// capture from allocating a full frame per delivery. Null when the device is lost.
TexturePtr SimCapture::RenderFrame(SimSession& session, GpuDevice& device, SizeInt32 size,
                                   SimScenePattern pattern, std::uint32_t color,
                                   std::uint64_t index) {
  const auto width = static_cast<std::uint32_t>(size.Width);
  const auto height = static_cast<std::uint32_t>(size.Height);
  auto& surfaces = session.surfaces_;
  TexturePtr texture;
  for (auto it = surfaces.begin(); it != surfaces.end();) {
    TextureDesc desc;
    (*it)->GetDesc(desc);
    const bool free = it->use_count() == 1;  // only this list holds it: nobody can take it
    if (free && (desc.width != width || desc.height != height)) {
      it = surfaces.erase(it);  // a size of the past
      continue;
    }
    if (free && !texture) texture = *it;
    ++it;
  }
  if (!texture) {
    TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.format = kFormatB8G8R8A8Unorm;
    // Written whole by the CPU, only read by the engine's copy: each grab discards the old
    // contents, so one still held by a copy stays with it instead of being copied aside.
    desc.usage = Usage::Dynamic;
    desc.bindFlags = kBindShaderResource;
    desc.cpuAccessFlags = kCpuAccessWrite;
    if (FAILED(device.CreateTexture2D(desc, nullptr, texture))) return nullptr;
    // A few more than the pool's buffers: the engine's queued copies may hold some a while.
    if (surfaces.size() < 8) surfaces.push_back(texture);
  }
  std::shared_ptr<GpuContext> context = device.GetImmediateContext();
  MappedSubresource mapped;
  if (!context || FAILED(context->Map(texture, 0, kMapWriteDiscard, 0, mapped))) return nullptr;
  for (std::uint32_t y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(static_cast<std::uint8_t*>(mapped.data) +
                                                 static_cast<std::size_t>(y) * mapped.rowPitch);
    for (std::uint32_t x = 0; x < width; ++x)
      row[x] = ScenePixel(pattern, color, index, static_cast<std::int32_t>(x),
                          static_cast<std::int32_t>(y));
  }
  context->Unmap(texture, 0);
  return texture;
}

void SimCapture::EventLoop() {
  std::unique_lock lock(eventMutex_);
  for (;;) {
    eventCv_.wait(lock, [&] { return stopEvents_ || !events_.empty(); });
    if (events_.empty()) return;
    auto event = std::move(events_.front());
    events_.pop_front();
    lock.unlock();
    event();
    lock.lock();
  }
}

void SimCapture::PostEvent(std::function<void()> event) {
  {
    std::lock_guard lock(eventMutex_);
    events_.push_back(std::move(event));
  }
  eventCv_.notify_one();
}

void SimCapture::CloseTarget(bool monitor, std::uintptr_t handle) {
  std::vector<std::shared_ptr<SimItem>> closing;
  {
    std::lock_guard lock(mutex_);
    for (auto& weak : items_) {
      auto item = weak.lock();
      if (item && !item->closed_ && item->target_.monitor == monitor &&
          item->target_.handle == handle) {
        item->closed_ = true;
        closing.push_back(std::move(item));
      }
    }
    changed_.notify_all();
  }
  for (auto& item : closing) PostEvent([item] { item->FireClosed(); });
}

void SimCapture::SetMonitors(std::vector<SimMonitorSpec> monitors) {
  std::lock_guard lock(mutex_);
  monitors_ = std::move(monitors);
}

void SimCapture::SetWindows(std::vector<SimWindowSpec> windows) {
  std::lock_guard lock(mutex_);
  windows_ = std::move(windows);
}

void SimCapture::ResizeWindow(HWND window, SizeInt32 size) {
  std::lock_guard lock(mutex_);
  for (SimWindowSpec& w : windows_)
    if (w.handle == window) w.size = size;
  ++resizeEpoch_;
  changed_.notify_all();
}

void SimCapture::ResizeMonitor(HMONITOR monitor, SizeInt32 size) {
  std::lock_guard lock(mutex_);
  for (SimMonitorSpec& m : monitors_)
    if (m.handle == monitor) m.size = size;
  ++resizeEpoch_;
  changed_.notify_all();
}

void SimCapture::CloseWindow(HWND window) {
  {
    std::lock_guard lock(mutex_);
    for (SimWindowSpec& w : windows_)
      if (w.handle == window) w.valid = false;
  }
  CloseTarget(false, Key(window));
}

void SimCapture::RemoveMonitor(HMONITOR monitor) {
  {
    std::lock_guard lock(mutex_);
    monitors_.erase(std::remove_if(monitors_.begin(), monitors_.end(),
                                   [&](const SimMonitorSpec& m) { return m.handle == monitor; }),
                    monitors_.end());
  }
  CloseTarget(true, Key(monitor));
}

void SimCapture::SetSceneMoving(bool moving) {
  std::lock_guard lock(mutex_);
  moving_ = moving;
  changed_.notify_all();
}

void SimCapture::SetSceneRate(double framesPerSecond) {
  std::lock_guard lock(mutex_);
  rate_ = framesPerSecond;
  changed_.notify_all();
}

void SimCapture::SetScenePattern(SimScenePattern pattern, std::uint32_t bgraColor) {
  std::lock_guard lock(mutex_);
  pattern_ = pattern;
  color_ = bgraColor;
}

void SimCapture::PostFrames(int count) {
  if (count <= 0) return;
  std::lock_guard lock(mutex_);
  postedSteps_ += static_cast<std::uint64_t>(count);
  changed_.notify_all();
}

void SimCapture::SetFailure(SimCaptureStep step, HRESULT hr) {
  std::lock_guard lock(mutex_);
  failures_[static_cast<int>(step)] = hr;
}

void SimCapture::SetBorderProperty(SimBorderProperty property) {
  std::lock_guard lock(mutex_);
  border_ = property;
}

std::uint64_t SimCapture::FramesDelivered() const {
  std::lock_guard lock(mutex_);
  return framesDelivered_;
}

std::uint64_t SimCapture::FramesOutstanding() const {
  std::lock_guard lock(mutex_);
  return framesOutstanding_;
}

std::uint64_t SimCapture::HandlerFailures() const {
  std::lock_guard lock(mutex_);
  return handlerFailures_;
}

int SimCapture::RunningSessions() const {
  std::lock_guard lock(mutex_);
  return runningSessions_;
}

int SimCapture::LivePools() const {
  std::lock_guard lock(mutex_);
  return livePools_;
}

std::optional<bool> SimCapture::LastBorderRequired() const {
  std::lock_guard lock(mutex_);
  return lastBorder_;
}

int SimCapture::ItemsCreated() const {
  std::lock_guard lock(mutex_);
  return itemsCreated_;
}

void SimCapture::Reset() {
  std::lock_guard lock(mutex_);
  monitors_ = {{reinterpret_cast<HMONITOR>(std::uintptr_t{1}), {1920, 1080}}};
  windows_ = {{reinterpret_cast<HWND>(std::uintptr_t{0x1001}),
               reinterpret_cast<HMONITOR>(std::uintptr_t{1}),
               {1280, 720},
               true}};
  moving_ = true;
  rate_ = 30.0;
  pattern_ = SimScenePattern::MovingGradient;
  color_ = 0xFF3060C0u;
  for (HRESULT& failure : failures_) failure = S_OK;
  border_ = SimBorderProperty::Present;
  lastBorder_.reset();
  handlerFailures_ = 0;
  framesDelivered_ = 0;
  itemsCreated_ = 0;
  items_.erase(
      std::remove_if(items_.begin(), items_.end(), [](const auto& weak) { return weak.expired(); }),
      items_.end());
  sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                 [](const auto& weak) { return weak.expired(); }),
                  sessions_.end());
}

}  // namespace tallowmarch::platform
