// The per-capture encode context: the device and its immediate context with their video faces,
// the video processor that scales the captured BGRA picture to the encode size and converts it
// to BT.709 limited-range NV12, the FFmpeg encoder every segment opens (chosen once by probing
// the fallback chain), and the capture's log sink.
//
// Written only by the constructor (and, for the native QSV members, by whoever opens a session
// before the first segment encoder exists), read-only afterwards except for the native session's
// per-frame state under qsvMutex; shared by the encoder thread, the spare builder, the
// finalizer, the frame-arrived handler and the save. The immediate context
// serialises every call on itself (see gpu/gpu.h), so the frame-arrived handler's copy and the
// encoder thread's blits, copies and maps never overlap without either taking a lock.
#pragma once

#include <vpl/mfxvideo.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine_log.h"
#include "gpu/gpu.h"

namespace tallowmarch {

// Tried in this order; libx264 is the software end on this platform.
inline constexpr std::array<const char*, 5> kFfmpegEncoderChain = {
    "h264_nvenc", "h264_qsv", "h264_amf", "libopenh264", "libx264"};

// True when the named encoder exists and opens at the given settings (NV12, GOP 2 x fps, no
// options). Never raises.
bool ProbeFfmpegEncoder(const char* name, std::uint32_t width, std::uint32_t height,
                        std::uint32_t fps, std::uint32_t bitrate);

using EncoderProbe = std::function<bool(const char* name, std::uint32_t width, std::uint32_t height,
                                        std::uint32_t fps, std::uint32_t bitrate)>;

// The first name of kFfmpegEncoderChain that `probe` opens, with its capability line; the empty
// string (and the no-encoder line) when none does. Lines only when `sink` is set.
std::string SelectFfmpegEncoder(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                std::uint32_t bitrate, const LogSink& sink,
                                const EncoderProbe& probe = ProbeFfmpegEncoder);

// The Intel Media SDK entry points the native encoder calls, bound by whoever opens the session.
// The engine links no SDK dispatcher: it reaches a session only through this table.
struct QsvFunctionTable {
  decltype(&MFXVideoENCODE_EncodeFrameAsync) EncodeFrameAsync = nullptr;
  decltype(&MFXVideoCORE_SyncOperation) SyncOperation = nullptr;
  decltype(&MFXVideoENCODE_Close) ENCODE_Close = nullptr;
  decltype(&MFXClose) Close = nullptr;
};

// Receives one encoded packet (bytes, length) of the native session.
using PacketSink = std::function<void(const std::uint8_t* data, std::uint32_t length)>;

// Hands a keyed mutex back with key 0 when it goes out of scope.
class ReleaseKeyedMutexGuard {
 public:
  explicit ReleaseKeyedMutexGuard(platform::KeyedMutex* mutex) : mutex_(mutex) {}
  ~ReleaseKeyedMutexGuard() {
    if (mutex_ != nullptr) mutex_->ReleaseSync(0);
  }
  ReleaseKeyedMutexGuard(const ReleaseKeyedMutexGuard&) = delete;
  ReleaseKeyedMutexGuard& operator=(const ReleaseKeyedMutexGuard&) = delete;

 private:
  platform::KeyedMutex* mutex_;
};

class GpuEncodeContext;
// Test-only: called at the end of every GpuEncodeContext constructor while set, so that a test
// can give the contexts that a capture builds a (fake) native session. No export reaches it.
using EncodeContextTestHook = std::function<void(GpuEncodeContext&)>;
void SetEncodeContextTestHook(EncodeContextTestHook hook);

class GpuEncodeContext {
 public:
  static constexpr int kQsvSlots = 4;  // slices of qsvSharedTexture

  // Raises hresult_error when an interface query or the creation of the processor enumerator
  // or the processor fails. An encoder chain where nothing opens is no error: the name stays
  // empty and the first segment encoder fails. `probe` is replaceable for tests.
  GpuEncodeContext(std::shared_ptr<platform::GpuDevice> device, std::uint32_t sourceWidth,
                   std::uint32_t sourceHeight, std::uint32_t width, std::uint32_t height,
                   LogSink sink, const EncoderProbe& probe = ProbeFfmpegEncoder);
  ~GpuEncodeContext();

  GpuEncodeContext(const GpuEncodeContext&) = delete;
  GpuEncodeContext& operator=(const GpuEncodeContext&) = delete;

  std::shared_ptr<platform::GpuDevice> device;
  std::shared_ptr<platform::GpuContext> immediateContext;
  // Report only: every segment encoder reads NV12 back through CPU staging textures.
  bool zeroCopy = false;
  std::shared_ptr<platform::VideoDevice> videoDevice;
  std::shared_ptr<platform::VideoContext> videoContext;  // the immediate context's video face
  std::shared_ptr<platform::VideoProcessorEnumerator> processorEnumerator;
  std::shared_ptr<platform::VideoProcessor> videoProcessor;
  std::string ffmpegEncoderName;  // empty when no encoder of the chain opened
  LogSink logSink;

  // Queues the processor's scale and BGRA-to-NV12 conversion of the whole `source` onto the
  // whole `nv12Target` (a render target of the encode size). Raises hresult_error when a
  // processor view or the blit fails. On the immediate context: encoder thread only.
  void ConvertToNv12(const platform::TexturePtr& source, const platform::TexturePtr& nv12Target);

  // ---- the native QSV session --------------------------------------------------------------
  // This engine never opens one (no Intel SDK runtime or device is loaded here): the members
  // stay empty and useNativeQsv false unless a test installs a session. Whoever opens one sets
  // them once, before the first segment encoder is built; the destructor closes the encoder,
  // then the session, then unloads the module.

  // Encode and drain share the one session, its bitstream and its surfaces: the encoder thread
  // (EncodeQsvNative) and the finalizer (DrainQsvNative) take this lock for a whole call. Lock
  // order: qsvMutex, then the immediate context's own lock (taken inside its calls); the sinks
  // run under it and take no lock of the pipeline.
  std::mutex qsvMutex;
  bool useNativeQsv = false;
  std::shared_ptr<void> qsvModule;  // the loaded SDK module; its deleter unloads it
  mfxSession qsvSession = nullptr;
  QsvFunctionTable qsvFunctions;
  // NV12 texture array of kQsvSlots slices of the encode size, shared with the SDK's device.
  platform::TexturePtr qsvSharedTexture;
  std::shared_ptr<platform::KeyedMutex> d3dKeyedMutex;  // opened on the engine's side
  std::shared_ptr<platform::KeyedMutex> qsvKeyedMutex;  // opened on the SDK's side
  // The video processor's NV12 output of the encode size, copied into a slice per frame.
  platform::TexturePtr qsvRenderTarget;
  int qsvSlot = 0;                         // the slice for the next frame; under qsvMutex
  std::uint64_t qsvFrameCounter = 0;       // frames submitted; under qsvMutex
  mfxFrameInfo qsvFrameInfo{};             // NV12 of the encode size; FrameRateExtN 0 means 30
  std::vector<std::uint8_t> qsvBitstream;  // room for one encoded frame; under qsvMutex
  // One surface record and encode control per slice: the session may keep reading them after
  // the encode call returned (a frame taken without output, status -10), until the slice is
  // used again. Under qsvMutex.
  std::array<mfxFrameSurface1, kQsvSlots> qsvSurfaces{};
  std::array<mfxEncodeCtrl, kQsvSlots> qsvControls{};

  // Blits `source` to NV12, copies it into the next slice and hands it to the session; the
  // output that comes back goes to `sink`. False when the frame was dropped (device busy for
  // 200 ms, a keyed mutex not acquired, a failed sync wait or another encode status, which is
  // logged). `firstFramePending` requests an IDR frame and is cleared once the session takes a
  // frame. Raises hresult_error when a processor view or the blit fails.
  bool EncodeQsvNative(const platform::TexturePtr& source, std::int64_t timestamp,
                       const std::atomic<bool>* framePending, bool& firstFramePending,
                       const PacketSink& sink);
  // Flushes the frames the session still holds into `sink`.
  void DrainQsvNative(const PacketSink& sink);
};

}  // namespace tallowmarch
