// The simulated capture layer: a scripted set of monitors and windows and a synthetic scene.
//
// Like Windows.Graphics.Capture, the scene delivers a frame only when its content changes: once
// when a capture starts, then at the chosen rate while the scene moves, on each PostFrames()
// step, and after a resize. A still scene delivers nothing. Every delivery of a started capture
// session runs on that session's own thread; the item-closed events run on the layer's event
// thread. Surfaces are BGRA textures of the target's size at the moment of the frame, created on
// the device the frame pool was created with (CPU-writable staging textures, which the engine
// only copies from) and reused once nobody holds them any more.
//
// Every layer step can be made to fail with a chosen HRESULT; counters tell tests what happened.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "capture/capture.h"
#include "common/export.h"

namespace tallowmarch::platform {

class SimItem;
class SimSession;

struct SimMonitorSpec {
  HMONITOR handle = nullptr;
  SizeInt32 size{1920, 1080};
};

struct SimWindowSpec {
  HWND handle = nullptr;
  HMONITOR monitor = nullptr;  // what MonitorFromWindow answers
  SizeInt32 size{1280, 720};   // a minimised window has a zero size
  bool valid = true;           // what IsWindow answers
};

// The steps a test can make fail.
enum class SimCaptureStep {
  CreateDirect3DDevice,
  CreateItem,
  ItemSize,
  CreateFramePool,
  CreateCaptureSession,
  RegisterFrameArrived,
  RegisterClosed,
  StartCapture,
  SessionClose,
  PoolClose,
  TryGetNextFrame,
  FrameSurface,
  SurfaceTexture,
  IsPropertyPresent,
  SetIsBorderRequired,
  kCount
};

// GraphicsCaptureSession.IsBorderRequired: present (set calls succeed), absent (older Windows,
// or X11), or present with set calls that fail.
enum class SimBorderProperty { Present, Absent, Failing };

// What a frame shows: a gradient that moves with the frame number (realistic work for an
// encoder), or one solid colour.
enum class SimScenePattern { MovingGradient, Solid };

class TM_EXPORT SimCapture : public CaptureLayer {
 public:
  SimCapture();
  ~SimCapture() override;

  bool IsWindow(HWND window) override;
  HMONITOR MonitorFromWindow(HWND window, std::uint32_t flags) override;
  HRESULT CreateDirect3DDevice(const std::shared_ptr<GpuDevice>& device,
                               std::shared_ptr<Direct3DDevice>& out) override;
  HRESULT CreateItemForWindow(HWND window, std::shared_ptr<CaptureItem>& out) override;
  HRESULT CreateItemForMonitor(HMONITOR monitor, std::shared_ptr<CaptureItem>& out) override;
  HRESULT CreateFreeThreadedFramePool(const std::shared_ptr<Direct3DDevice>& device,
                                      std::int32_t pixelFormat, std::int32_t numberOfBuffers,
                                      SizeInt32 size,
                                      std::shared_ptr<CaptureFramePool>& out) override;
  HRESULT IsPropertyPresent(const std::wstring& typeName, const std::wstring& propertyName,
                            bool& present) override;

  // ---- topology ----
  // Defaults: monitor 1 (1920x1080) and window 0x1001 (1280x720) on it.
  void SetMonitors(std::vector<SimMonitorSpec> monitors);
  void SetWindows(std::vector<SimWindowSpec> windows);
  // A new size for a window or monitor: items report it, the next frame has it, and a running
  // capture delivers a frame for the change.
  void ResizeWindow(HWND window, SizeInt32 size);
  void ResizeMonitor(HMONITOR monitor, SizeInt32 size);
  // The window is destroyed (IsWindow turns false) / the monitor leaves: the items on it fire
  // Closed on the event thread and their captures deliver nothing more.
  void CloseWindow(HWND window);
  void RemoveMonitor(HMONITOR monitor);

  // ---- scene ----
  // While moving, content changes `framesPerSecond` times a second (0: only PostFrames steps).
  void SetSceneMoving(bool moving);
  void SetSceneRate(double framesPerSecond);
  void SetScenePattern(SimScenePattern pattern, std::uint32_t bgraColor = 0xFF3060C0u);
  // `count` content changes, each delivered as its own frame by every running capture.
  void PostFrames(int count = 1);

  // ---- faults ----
  void SetFailure(SimCaptureStep step, HRESULT hr);  // S_OK clears it
  void SetBorderProperty(SimBorderProperty property);

  // ---- counters ----
  std::uint64_t FramesDelivered() const;           // frames put into pools
  std::uint64_t FramesOutstanding() const;         // delivered and not closed yet
  std::uint64_t HandlerFailures() const;           // exceptions that left a handler
  int RunningSessions() const;                     // started and not closed
  int LivePools() const;                           // created and not destroyed
  std::optional<bool> LastBorderRequired() const;  // last successful SetIsBorderRequired
  int ItemsCreated() const;

  // Back to the defaults. Only while no capture runs.
  void Reset();

  // The pixel the scene shows at (x, y) in content frame `index` (BGRA, alpha 255).
  static std::uint32_t ScenePixel(SimScenePattern pattern, std::uint32_t color, std::uint64_t index,
                                  std::int32_t x, std::int32_t y);

  struct Target;

 private:
  friend class SimItem;
  friend class SimFramePool;
  friend class SimSession;
  friend class SimFrame;

  HRESULT Failure(SimCaptureStep step) const;  // needs mutex_
  void CloseTarget(bool monitor, std::uintptr_t handle);
  void SessionLoop(SimSession& session);  // a started session's delivery thread
  void EventLoop();
  TexturePtr RenderFrame(SimSession& session, GpuDevice& device, SizeInt32 size,
                         SimScenePattern pattern, std::uint32_t color, std::uint64_t index);
  void PostEvent(std::function<void()> event);

  // Guards every field below and the state of every item, pool, session and frame of the
  // layer. Handlers are never called with it held.
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // scene, buffers, sessions: wakes the session threads
  std::vector<SimMonitorSpec> monitors_;
  std::vector<SimWindowSpec> windows_;
  bool moving_ = true;
  double rate_ = 30.0;
  SimScenePattern pattern_ = SimScenePattern::MovingGradient;
  std::uint32_t color_ = 0xFF3060C0u;
  std::uint64_t postedSteps_ = 0;  // PostFrames steps so far
  std::uint64_t resizeEpoch_ = 0;  // resizes so far
  HRESULT failures_[static_cast<int>(SimCaptureStep::kCount)] = {};
  SimBorderProperty border_ = SimBorderProperty::Present;
  std::vector<std::weak_ptr<SimItem>> items_;
  std::vector<std::weak_ptr<SimSession>> sessions_;

  std::uint64_t framesDelivered_ = 0;
  std::uint64_t framesOutstanding_ = 0;
  std::uint64_t handlerFailures_ = 0;
  int runningSessions_ = 0;
  int livePools_ = 0;
  std::optional<bool> lastBorder_;
  int itemsCreated_ = 0;

  // The event thread: item-closed events run here, in order.
  std::mutex eventMutex_;  // guards events_ and stopEvents_; never held with mutex_
  std::condition_variable eventCv_;
  std::deque<std::function<void()>> events_;
  bool stopEvents_ = false;
  std::thread eventThread_;
};

}  // namespace tallowmarch::platform
