// The GPU in the shape of DXGI and Direct3D 11: a factory that lists adapters and their outputs
// (the monitors they drive), devices with 2-D textures, the device's immediate context with its
// copies and maps, the device-removed reason, and the video processor that scales BGRA and
// converts it to NV12 in one pass.
//
// Every call answers in the codes Direct3D answers in, so the engine's rules (which failure ends
// a search, which skips an entry, which raises) stay as they are. References are shared
// pointers: an object lives as long as someone holds it, as a COM reference would keep it.
//
// Threading, as on Direct3D 11: a device, its factory objects and its textures may be used from
// any thread. The immediate context is the one exception on Windows; here every call on it (and
// on the video context, which is the same object) is serialised by the context itself, as
// ID3D11Multithread protection does, so the frame-arrived handler and the encoder thread need no
// lock of their own around it. The context queues its copies, uploads and blits and runs them in
// issue order on a worker thread, like a GPU queue; a queued command holds references to the
// textures it uses, so the caller may drop a texture right after issuing a command on it. Like
// a GPU's command buffer the queue is finite: a call that finds it full waits for the worker.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/win_types.h"

namespace tallowmarch::platform {

// ---- constants, with the values of their Windows namesakes --------------------------------

// DXGI_FORMAT
inline constexpr std::uint32_t kFormatUnknown = 0;
inline constexpr std::uint32_t kFormatB8G8R8A8Unorm = 87;  // DXGI_FORMAT_B8G8R8A8_UNORM
inline constexpr std::uint32_t kFormatNv12 = 103;          // DXGI_FORMAT_NV12

// D3D11_USAGE
enum class Usage : std::uint32_t { Default = 0, Immutable = 1, Dynamic = 2, Staging = 3 };

inline constexpr std::uint32_t kBindShaderResource = 0x8;  // D3D11_BIND_SHADER_RESOURCE
inline constexpr std::uint32_t kBindRenderTarget = 0x20;   // D3D11_BIND_RENDER_TARGET
inline constexpr std::uint32_t kCpuAccessWrite = 0x10000;  // D3D11_CPU_ACCESS_WRITE
inline constexpr std::uint32_t kCpuAccessRead = 0x20000;   // D3D11_CPU_ACCESS_READ
// D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX: shared between devices, access handed over by key.
inline constexpr std::uint32_t kResourceMiscSharedKeyedMutex = 0x100;

// IDXGIKeyedMutex::AcquireSync: INFINITE waits for ever; WAIT_TIMEOUT is a success code there.
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr HRESULT kWaitTimeout = 0x102;

// D3D11_MAP and D3D11_MAP_FLAG
inline constexpr std::uint32_t kMapRead = 1;
inline constexpr std::uint32_t kMapWrite = 2;
inline constexpr std::uint32_t kMapReadWrite = 3;
inline constexpr std::uint32_t kMapWriteDiscard = 4;  // dynamic textures: old contents dropped
inline constexpr std::uint32_t kMapFlagDoNotWait = 0x100000;

inline constexpr std::uint32_t kAdapterFlagSoftware = 2;  // DXGI_ADAPTER_FLAG_SOFTWARE

// D3D_DRIVER_TYPE
enum class DriverType : std::uint32_t { Unknown = 0, Hardware = 1 };
inline constexpr std::uint32_t kCreateDeviceBgraSupport = 0x20;  // D3D11_CREATE_DEVICE_BGRA_SUPPORT
inline constexpr std::uint32_t kSdkVersion = 7;                  // D3D11_SDK_VERSION
inline constexpr std::uint32_t kFeatureLevel11_0 = 0xb000;       // D3D_FEATURE_LEVEL_11_0

// Video processor values (D3D11_VIDEO_*).
inline constexpr std::uint32_t kVideoFrameFormatProgressive = 0;  // ..._FRAME_FORMAT_PROGRESSIVE
inline constexpr std::uint32_t kVideoUsagePlaybackNormal = 0;     // ..._USAGE_PLAYBACK_NORMAL
inline constexpr std::uint32_t kVideoProcessorFormatSupportInput = 0x1;
inline constexpr std::uint32_t kVideoProcessorFormatSupportOutput = 0x2;
inline constexpr std::uint32_t kVpivDimensionTexture2D = 1;  // D3D11_VPIV_DIMENSION_TEXTURE2D
inline constexpr std::uint32_t kVpovDimensionTexture2D = 1;  // D3D11_VPOV_DIMENSION_TEXTURE2D
// D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE
inline constexpr std::uint32_t kNominalRangeUndefined = 0;
inline constexpr std::uint32_t kNominalRange16_235 = 1;
inline constexpr std::uint32_t kNominalRange0_255 = 2;

// ---- topology: DXGI factory, adapters, outputs --------------------------------------------

struct Rect {
  std::int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// DXGI_ADAPTER_DESC1, the fields the system reads.
struct AdapterDesc {
  std::wstring description;
  std::uint32_t vendorId = 0, deviceId = 0;
  std::uint64_t dedicatedVideoMemory = 0;
  std::uint32_t flags = 0;  // kAdapterFlagSoftware
};

// DXGI_OUTPUT_DESC.
struct OutputDesc {
  std::wstring deviceName;
  Rect desktopCoordinates;
  bool attachedToDesktop = true;
  HMONITOR monitor = nullptr;
};

class GpuOutput {
 public:
  virtual ~GpuOutput() = default;
  virtual HRESULT GetDesc(OutputDesc& out) = 0;
};

class GpuAdapter {
 public:
  virtual ~GpuAdapter() = default;
  virtual HRESULT GetDesc1(AdapterDesc& out) = 0;
  // DXGI_ERROR_NOT_FOUND past the last output.
  virtual HRESULT EnumOutputs(std::uint32_t index, std::shared_ptr<GpuOutput>& out) = 0;
};

class GpuFactory {
 public:
  virtual ~GpuFactory() = default;
  // DXGI_ERROR_NOT_FOUND past the last adapter.
  virtual HRESULT EnumAdapters1(std::uint32_t index, std::shared_ptr<GpuAdapter>& out) = 0;
};

// ---- textures ------------------------------------------------------------------------------

// D3D11_TEXTURE2D_DESC.
struct TextureDesc {
  std::uint32_t width = 0, height = 0;
  std::uint32_t mipLevels = 1, arraySize = 1;
  std::uint32_t format = kFormatUnknown;
  std::uint32_t sampleCount = 1, sampleQuality = 0;
  Usage usage = Usage::Default;
  std::uint32_t bindFlags = 0, cpuAccessFlags = 0, miscFlags = 0;
};

// D3D11_SUBRESOURCE_DATA: initial contents. For NV12 the chroma plane follows the luma plane at
// rowPitch x height, with the same pitch.
struct SubresourceData {
  const void* data = nullptr;
  std::uint32_t rowPitch = 0;
};

// D3D11_BOX: a region of a subresource, right/bottom/back exclusive.
struct Box {
  std::uint32_t left = 0, top = 0, front = 0, right = 0, bottom = 0, back = 1;
};

// D3D11_MAPPED_SUBRESOURCE. For NV12 the chroma plane starts at data + rowPitch x height.
struct MappedSubresource {
  void* data = nullptr;
  std::uint32_t rowPitch = 0;
  std::uint32_t depthPitch = 0;
  // Only from a device whose textures live in system memory, for a read: holding it keeps the
  // mapped bytes readable and unchanged after the Unmap (later writes to the texture go to other
  // memory), so a reader can borrow them instead of copying. Null elsewhere.
  std::shared_ptr<const void> keepAlive;
  // Only from a device whose textures live in system memory, for a write: the mapped bytes as a
  // shareable memory object, so that another process can fill them (the X server's MIT-SHM
  // GetImage). `fd` stays the device's (-1: not shareable); `data` lies at `offset` in it;
  // `memoryId` names the object for as long as the process runs (never reused); `memoryAlive`
  // expires once the device has freed the object, so that whoever keeps it attached elsewhere
  // (the X server) can let go of it too.
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t memoryId = 0;
  std::weak_ptr<const void> memoryAlive;
};

// IDXGIKeyedMutex of a texture created with kResourceMiscSharedKeyedMutex. Every query opens a
// view of its own (one per device that shares the texture, on Windows); the texture has one
// lock. The lock starts released with key 0. AcquireSync waits until the lock is released with
// exactly `key` and then holds it for this view; ReleaseSync hands it on with a key. A release
// waits for the GPU commands issued on the texture so far, so the side that acquires next sees
// their results.
class KeyedMutex {
 public:
  virtual ~KeyedMutex() = default;
  // S_OK once held; kWaitTimeout when `milliseconds` (kInfinite: no limit) passed first.
  virtual HRESULT AcquireSync(std::uint64_t key, std::uint32_t milliseconds) = 0;
  // E_FAIL when this view does not hold the lock.
  virtual HRESULT ReleaseSync(std::uint64_t key) = 0;
};

class GpuTexture {
 public:
  virtual ~GpuTexture() = default;
  virtual void GetDesc(TextureDesc& out) const = 0;
  // QueryInterface for IDXGIKeyedMutex: E_NOINTERFACE unless the texture was created with
  // kResourceMiscSharedKeyedMutex.
  virtual HRESULT QueryKeyedMutex(std::shared_ptr<KeyedMutex>& out) {
    out.reset();
    return E_NOINTERFACE;
  }
};
using TexturePtr = std::shared_ptr<GpuTexture>;

// ---- video processor -------------------------------------------------------------------------

struct Rational {
  std::uint32_t numerator = 0, denominator = 0;
};

// D3D11_VIDEO_PROCESSOR_CONTENT_DESC.
struct VideoProcessorContentDesc {
  std::uint32_t inputFrameFormat = kVideoFrameFormatProgressive;
  Rational inputFrameRate;
  std::uint32_t inputWidth = 0, inputHeight = 0;
  Rational outputFrameRate;
  std::uint32_t outputWidth = 0, outputHeight = 0;
  std::uint32_t usage = kVideoUsagePlaybackNormal;
};

// D3D11_VIDEO_PROCESSOR_COLOR_SPACE, one field per bit-field.
struct VideoColorSpace {
  std::uint32_t usage = 0;         // 0 playback, 1 video processing
  std::uint32_t rgbRange = 0;      // 0 full range 0-255, 1 limited 16-235
  std::uint32_t ycbcrMatrix = 0;   // 0 BT.601, 1 BT.709
  std::uint32_t ycbcrXvYcc = 0;    // 0 conventional YCbCr
  std::uint32_t nominalRange = 0;  // kNominalRange*
};

// D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC / OUTPUT_VIEW_DESC (2-D texture views).
struct VideoProcessorInputViewDesc {
  std::uint32_t fourCC = 0;
  std::uint32_t viewDimension = kVpivDimensionTexture2D;
  std::uint32_t mipSlice = 0, arraySlice = 0;
};
struct VideoProcessorOutputViewDesc {
  std::uint32_t viewDimension = kVpovDimensionTexture2D;
  std::uint32_t mipSlice = 0;
};

class VideoProcessorEnumerator {
 public:
  virtual ~VideoProcessorEnumerator() = default;
  virtual void GetContentDesc(VideoProcessorContentDesc& out) const = 0;
  // kVideoProcessorFormatSupport* flags of a DXGI format.
  virtual HRESULT CheckVideoProcessorFormat(std::uint32_t format, std::uint32_t& flags) = 0;
};

class VideoProcessor {
 public:
  virtual ~VideoProcessor() = default;
};

// A view keeps its texture alive.
class VideoProcessorInputView {
 public:
  virtual ~VideoProcessorInputView() = default;
};
class VideoProcessorOutputView {
 public:
  virtual ~VideoProcessorOutputView() = default;
};

// D3D11_VIDEO_PROCESSOR_STREAM, without past and future surfaces.
struct VideoProcessorStream {
  bool enable = false;
  std::uint32_t outputIndex = 0;
  std::uint32_t inputFrameOrField = 0;
  std::uint32_t pastFrames = 0, futureFrames = 0;
  std::shared_ptr<VideoProcessorInputView> inputSurface;
};

// ID3D11VideoDevice.
class VideoDevice {
 public:
  virtual ~VideoDevice() = default;
  virtual HRESULT CreateVideoProcessorEnumerator(
      const VideoProcessorContentDesc& desc, std::shared_ptr<VideoProcessorEnumerator>& out) = 0;
  virtual HRESULT CreateVideoProcessor(const std::shared_ptr<VideoProcessorEnumerator>& enumerator,
                                       std::uint32_t rateConversionIndex,
                                       std::shared_ptr<VideoProcessor>& out) = 0;
  // The input must be a BGRA texture of this device.
  virtual HRESULT CreateVideoProcessorInputView(
      const TexturePtr& texture, const std::shared_ptr<VideoProcessorEnumerator>& enumerator,
      const VideoProcessorInputViewDesc& desc, std::shared_ptr<VideoProcessorInputView>& out) = 0;
  // The output must be an NV12 texture of this device bound as a render target.
  virtual HRESULT CreateVideoProcessorOutputView(
      const TexturePtr& texture, const std::shared_ptr<VideoProcessorEnumerator>& enumerator,
      const VideoProcessorOutputViewDesc& desc, std::shared_ptr<VideoProcessorOutputView>& out) = 0;
};

// ID3D11VideoContext: the video face of the immediate context (same queue, same serialisation).
class VideoContext {
 public:
  virtual ~VideoContext() = default;
  virtual void VideoProcessorSetStreamColorSpace(const std::shared_ptr<VideoProcessor>& processor,
                                                 std::uint32_t streamIndex,
                                                 const VideoColorSpace& colorSpace) = 0;
  virtual void VideoProcessorSetOutputColorSpace(const std::shared_ptr<VideoProcessor>& processor,
                                                 const VideoColorSpace& colorSpace) = 0;
  // Queues the conversion of the enabled stream's whole input onto the whole output: scaled to
  // the output size, RGB to YCbCr with the colour spaces set on the processor.
  virtual HRESULT VideoProcessorBlt(const std::shared_ptr<VideoProcessor>& processor,
                                    const std::shared_ptr<VideoProcessorOutputView>& view,
                                    std::uint32_t outputFrame, std::uint32_t streamCount,
                                    const VideoProcessorStream* streams) = 0;
};

// ---- device and immediate context --------------------------------------------------------------

// ID3D11DeviceContext (the immediate context).
class GpuContext {
 public:
  virtual ~GpuContext() = default;
  // Queues a copy of the whole resource. Both textures must have the same size and format and
  // differ from each other, else nothing is copied (Direct3D leaves such a copy undefined).
  virtual void CopyResource(const TexturePtr& destination, const TexturePtr& source) = 0;
  // Queues a copy of one subresource (subresource = array slice here, textures having one mip
  // level) into a subresource of another texture at (x, y, z). Only whole-subresource copies
  // are offered: the box must be null or cover the whole source, the position (0, 0, 0), and
  // both must have the same size and format; anything else copies nothing.
  virtual void CopySubresourceRegion(const TexturePtr& destination,
                                     std::uint32_t destinationSubresource, std::uint32_t x,
                                     std::uint32_t y, std::uint32_t z, const TexturePtr& source,
                                     std::uint32_t sourceSubresource, const Box* sourceBox) = 0;
  // Queues an upload of CPU data (copied at the call) into subresource 0 of a default texture.
  virtual void UpdateSubresource(const TexturePtr& destination, std::uint32_t subresource,
                                 const void* data, std::uint32_t rowPitch) = 0;
  // Maps subresource 0 of a staging texture, or of a dynamic one with kMapWriteDiscard (the
  // texture's old contents are dropped; what the GPU still reads keeps them). With
  // kMapFlagDoNotWait it answers
  // DXGI_ERROR_WAS_STILL_DRAWING while a queued command that writes the texture has not run;
  // without it, it waits for them. A removed device answers DXGI_ERROR_DEVICE_REMOVED.
  virtual HRESULT Map(const TexturePtr& texture, std::uint32_t subresource, std::uint32_t mapType,
                      std::uint32_t mapFlags, MappedSubresource& out) = 0;
  virtual void Unmap(const TexturePtr& texture, std::uint32_t subresource) = 0;
  // Blocks until every command issued so far has run (not part of ID3D11DeviceContext; for
  // tests and benchmarks).
  virtual void WaitIdle() = 0;
  // QueryInterface for ID3D11VideoContext: the same object.
  virtual HRESULT QueryVideoContext(std::shared_ptr<VideoContext>& out) = 0;
};

// IDXGIDevice: the GPU thread priority, in -7..7.
class DxgiDevice {
 public:
  virtual ~DxgiDevice() = default;
  virtual HRESULT SetGPUThreadPriority(std::int32_t priority) = 0;
  virtual HRESULT GetGPUThreadPriority(std::int32_t& priority) = 0;
};

// ID3D11Device.
class GpuDevice {
 public:
  virtual ~GpuDevice() = default;
  // 2-D textures of one mip level, sample count 1, in BGRA or NV12. NV12 needs an even width
  // and height, as on Direct3D (E_INVALIDARG otherwise). Texture arrays (arraySize up to 16)
  // are offered for default usage without initial data; the other usages have one slice.
  virtual HRESULT CreateTexture2D(const TextureDesc& desc, const SubresourceData* initialData,
                                  TexturePtr& out) = 0;
  virtual std::shared_ptr<GpuContext> GetImmediateContext() = 0;
  // S_OK while the device works; the reason (DXGI_ERROR_DEVICE_REMOVED, _HUNG, _RESET, ...)
  // once it was lost. A lost device stays lost.
  virtual HRESULT GetDeviceRemovedReason() = 0;
  // QueryInterface for ID3D11VideoDevice and IDXGIDevice.
  virtual HRESULT QueryVideoDevice(std::shared_ptr<VideoDevice>& out) = 0;
  virtual HRESULT QueryDxgiDevice(std::shared_ptr<DxgiDevice>& out) = 0;
};

// ---- the layer -----------------------------------------------------------------------------

class GpuLayer {
 public:
  virtual ~GpuLayer() = default;

  // CreateDXGIFactory1.
  virtual HRESULT CreateFactory(std::shared_ptr<GpuFactory>& out) = 0;

  // D3D11CreateDevice. An adapter requires DriverType::Unknown, no adapter DriverType::Hardware
  // (E_INVALIDARG otherwise, as on Direct3D). featureLevels may be null with count 0 (the
  // default list); chosenLevel may be null.
  virtual HRESULT CreateDevice(const std::shared_ptr<GpuAdapter>& adapter, DriverType driverType,
                               std::uint32_t flags, const std::uint32_t* featureLevels,
                               std::uint32_t featureLevelCount, std::uint32_t sdkVersion,
                               std::shared_ptr<GpuDevice>& out, std::uint32_t* chosenLevel) = 0;
};

}  // namespace tallowmarch::platform
