#include "gpu_encode_context.h"

#include <chrono>
#include <thread>

#include "ffmpeg_handles.h"
#include "gpu_setup.h"
#include "hresult_error.h"

namespace tallowmarch {

namespace {

std::mutex testHookMutex;  // guards testHook
EncodeContextTestHook testHook;

// Every segment opens with an IDR frame.
constexpr mfxU16 kIdrFrameType = MFX_FRAMETYPE_I | MFX_FRAMETYPE_REF | MFX_FRAMETYPE_IDR;
constexpr mfxU32 kSyncWaitMs = 5000;
constexpr auto kBusyGiveUp = std::chrono::milliseconds(200);
constexpr auto kBusyRetry = std::chrono::milliseconds(2);
constexpr mfxU32 kDefaultFrameRate = 30;

// The session's output as a packet, or nothing when the bitstream is empty or claims bytes
// beyond its buffer.
void ForwardBitstream(const mfxBitstream& bitstream, std::size_t capacity, const PacketSink& sink) {
  if (bitstream.DataLength == 0 || bitstream.Data == nullptr) return;
  if (std::uint64_t{bitstream.DataOffset} + bitstream.DataLength > capacity) return;
  sink(bitstream.Data + bitstream.DataOffset, bitstream.DataLength);
}

}  // namespace

void SetEncodeContextTestHook(EncodeContextTestHook hook) {
  std::lock_guard lock(testHookMutex);
  testHook = std::move(hook);
}

bool ProbeFfmpegEncoder(const char* name, std::uint32_t width, std::uint32_t height,
                        std::uint32_t fps, std::uint32_t bitrate) {
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (codec == nullptr) return false;
  ffmpeg::CodecContext context(avcodec_alloc_context3(codec));
  if (!context) return false;
  context->width = static_cast<int>(width);
  context->height = static_cast<int>(height);
  context->time_base = AVRational{1, static_cast<int>(fps)};
  context->framerate = AVRational{static_cast<int>(fps), 1};
  context->pix_fmt = AV_PIX_FMT_NV12;
  context->bit_rate = bitrate;
  context->gop_size = static_cast<int>(2 * fps);
  return avcodec_open2(context.get(), codec, nullptr) >= 0;
}

std::string SelectFfmpegEncoder(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                std::uint32_t bitrate, const LogSink& sink,
                                const EncoderProbe& probe) {
  for (const char* name : kFfmpegEncoderChain) {
    if (!probe(name, width, height, fps, bitrate)) continue;
    if (sink) {
      std::wstring line = L"[CAPABILITY] FFmpeg encoder selected: ";
      for (const char* c = name; *c != '\0'; ++c) {
        line += static_cast<wchar_t>(static_cast<unsigned char>(*c));
      }
      sink(line);
    }
    return name;
  }
  if (sink) sink(L"[CAPABILITY] No FFmpeg encoder in the fallback chain opened successfully.");
  return {};
}

GpuEncodeContext::GpuEncodeContext(std::shared_ptr<platform::GpuDevice> d3dDevice,
                                   std::uint32_t sourceWidth, std::uint32_t sourceHeight,
                                   std::uint32_t width, std::uint32_t height, LogSink sink,
                                   const EncoderProbe& probe)
    : device(std::move(d3dDevice)), logSink(std::move(sink)) {
  if (!device) throw hresult_error(E_POINTER, DescribeHresult(E_POINTER));
  auto log = [this](const wchar_t* line) {
    if (logSink) logSink(line);
  };

  zeroCopy = IsHardwareEncoderD3D11Aware();

  immediateContext = device->GetImmediateContext();
  ThrowIfFailed(device->QueryVideoDevice(videoDevice));
  ThrowIfFailed(immediateContext->QueryVideoContext(videoContext));

  platform::VideoProcessorContentDesc content;
  content.inputFrameFormat = platform::kVideoFrameFormatProgressive;
  content.inputWidth = sourceWidth;
  content.inputHeight = sourceHeight;
  content.outputWidth = width;
  content.outputHeight = height;
  content.usage = platform::kVideoUsagePlaybackNormal;
  ThrowIfFailed(videoDevice->CreateVideoProcessorEnumerator(content, processorEnumerator));

  if (zeroCopy) {
    std::uint32_t flags = 0;
    const HRESULT hr = processorEnumerator->CheckVideoProcessorFormat(platform::kFormatNv12, flags);
    if (FAILED(hr) || (flags & platform::kVideoProcessorFormatSupportOutput) == 0) {
      log(L"[CAPABILITY] Encoder reports MF_SA_D3D11_AWARE but this GPU's video processor "
          L"doesn't support NV12 output - falling back to the CPU path.");
      zeroCopy = false;
    }
  }

  ThrowIfFailed(videoDevice->CreateVideoProcessor(processorEnumerator, 0, videoProcessor));

  platform::VideoColorSpace input;  // full-range RGB
  input.usage = 0;
  input.rgbRange = 0;
  input.nominalRange = platform::kNominalRange0_255;
  videoContext->VideoProcessorSetStreamColorSpace(videoProcessor, 0, input);
  platform::VideoColorSpace output;  // BT.709 YCbCr, limited range
  output.usage = 0;
  output.rgbRange = 0;
  output.ycbcrMatrix = 1;
  output.ycbcrXvYcc = 0;
  output.nominalRange = platform::kNominalRange16_235;
  videoContext->VideoProcessorSetOutputColorSpace(videoProcessor, output);

  if (zeroCopy) {
    log(L"[CAPABILITY] Zero-copy GPU submission supported - using NV12 GPU-resident encoder "
        L"path.");
  } else {
    log(L"[CAPABILITY] Zero-copy GPU submission not supported on this encoder - using CPU "
        L"Map()/memcpy path.");
  }

  // Always probed at 30 fps and 6 Mbit/s, whatever the capture asks for.
  ffmpegEncoderName = SelectFfmpegEncoder(width, height, 30, 6000000, logSink, probe);

  EncodeContextTestHook hook;
  {
    std::lock_guard lock(testHookMutex);
    hook = testHook;
  }
  if (hook) hook(*this);
}

GpuEncodeContext::~GpuEncodeContext() {
  // The encoder before its session, the session before the module that implements it.
  if (qsvSession != nullptr) {
    if (qsvFunctions.ENCODE_Close != nullptr) qsvFunctions.ENCODE_Close(qsvSession);
    if (qsvFunctions.Close != nullptr) qsvFunctions.Close(qsvSession);
    qsvSession = nullptr;
  }
  qsvModule.reset();
}

void GpuEncodeContext::ConvertToNv12(const platform::TexturePtr& source,
                                     const platform::TexturePtr& nv12Target) {
  std::shared_ptr<platform::VideoProcessorOutputView> outputView;
  platform::VideoProcessorOutputViewDesc outputDesc;
  outputDesc.viewDimension = platform::kVpovDimensionTexture2D;
  outputDesc.mipSlice = 0;
  ThrowIfFailed(videoDevice->CreateVideoProcessorOutputView(nv12Target, processorEnumerator,
                                                            outputDesc, outputView));
  std::shared_ptr<platform::VideoProcessorInputView> inputView;
  platform::VideoProcessorInputViewDesc inputDesc;
  inputDesc.fourCC = 0;
  inputDesc.viewDimension = platform::kVpivDimensionTexture2D;
  inputDesc.mipSlice = 0;
  inputDesc.arraySlice = 0;
  ThrowIfFailed(videoDevice->CreateVideoProcessorInputView(source, processorEnumerator, inputDesc,
                                                           inputView));
  platform::VideoProcessorStream stream;
  stream.enable = true;
  stream.inputSurface = inputView;
  ThrowIfFailed(videoContext->VideoProcessorBlt(videoProcessor, outputView, 0, 1, &stream));
  // The views go here; the queued blit holds its textures.
}

bool GpuEncodeContext::EncodeQsvNative(const platform::TexturePtr& source,
                                       std::int64_t /*timestamp*/,
                                       const std::atomic<bool>* /*framePending*/,
                                       bool& firstFramePending, const PacketSink& sink) {
  std::lock_guard lock(qsvMutex);
  const int slot = qsvSlot;
  qsvSlot = (slot + 1) % kQsvSlots;

  ConvertToNv12(source, qsvRenderTarget);

  if (!d3dKeyedMutex || !qsvKeyedMutex || qsvFunctions.EncodeFrameAsync == nullptr ||
      qsvFunctions.SyncOperation == nullptr) {
    return false;  // no session to hand the frame to
  }
  HRESULT hr = d3dKeyedMutex->AcquireSync(0, platform::kInfinite);
  if (FAILED(hr) || hr == platform::kWaitTimeout) return false;
  immediateContext->CopySubresourceRegion(qsvSharedTexture, static_cast<std::uint32_t>(slot), 0, 0,
                                          0, qsvRenderTarget, 0, nullptr);
  d3dKeyedMutex->ReleaseSync(1);
  hr = qsvKeyedMutex->AcquireSync(1, platform::kInfinite);
  if (FAILED(hr) || hr == platform::kWaitTimeout) {
    // The lock now waits for key 1 that no one will take: give it back to the engine's key, or
    // every later frame would wait for key 0 for ever.
    if (d3dKeyedMutex->AcquireSync(1, 0) == S_OK) d3dKeyedMutex->ReleaseSync(0);
    return false;
  }
  ReleaseKeyedMutexGuard release(qsvKeyedMutex.get());

  mfxFrameSurface1& surface = qsvSurfaces[static_cast<std::size_t>(slot)];
  surface = mfxFrameSurface1{};
  surface.Info = qsvFrameInfo;
  // The SDK's frame allocator knows the slices by these ids.
  surface.Data.MemId = reinterpret_cast<mfxMemId>(static_cast<std::uintptr_t>(2 * slot + 2));
  const std::uint64_t rate =
      qsvFrameInfo.FrameRateExtN != 0 ? qsvFrameInfo.FrameRateExtN : kDefaultFrameRate;
  surface.Data.TimeStamp = qsvFrameCounter * 90000 / rate;  // 90 kHz units
  ++qsvFrameCounter;

  mfxEncodeCtrl* control = nullptr;
  if (firstFramePending) {
    mfxEncodeCtrl& idr = qsvControls[static_cast<std::size_t>(slot)];
    idr = mfxEncodeCtrl{};
    idr.FrameType = kIdrFrameType;
    control = &idr;
  }

  mfxBitstream bitstream{};
  bitstream.Data = qsvBitstream.data();
  bitstream.MaxLength = static_cast<mfxU32>(qsvBitstream.size());

  const auto firstCall = std::chrono::steady_clock::now();
  for (;;) {
    mfxSyncPoint syncPoint = nullptr;
    const mfxStatus status =
        qsvFunctions.EncodeFrameAsync(qsvSession, control, &surface, &bitstream, &syncPoint);
    if (status == MFX_WRN_DEVICE_BUSY) {
      if (std::chrono::steady_clock::now() - firstCall > kBusyGiveUp) return false;
      std::this_thread::sleep_for(kBusyRetry);
      continue;
    }
    if (status == MFX_ERR_NONE || status == MFX_ERR_MORE_DATA) {
      firstFramePending = false;
      if (syncPoint == nullptr) return true;
      if (qsvFunctions.SyncOperation(qsvSession, syncPoint, kSyncWaitMs) != MFX_ERR_NONE) {
        // The output is lost; when it was the requested IDR frame, ask again with the next
        // frame, or nothing of the segment could be muxed (its header needs that frame).
        if (control != nullptr) firstFramePending = true;
        return false;
      }
      ForwardBitstream(bitstream, qsvBitstream.size(), sink);
      return true;
    }
    LogF(logSink, L"[DIAG-QSV-NATIVE-ENCODE-FAIL] encSt=%d", static_cast<int>(status));
    return false;
  }
}

void GpuEncodeContext::DrainQsvNative(const PacketSink& sink) {
  std::lock_guard lock(qsvMutex);
  if (qsvFunctions.EncodeFrameAsync == nullptr || qsvFunctions.SyncOperation == nullptr) return;
  for (;;) {
    mfxBitstream bitstream{};
    bitstream.Data = qsvBitstream.data();
    bitstream.MaxLength = static_cast<mfxU32>(qsvBitstream.size());
    mfxSyncPoint syncPoint = nullptr;
    const mfxStatus status =
        qsvFunctions.EncodeFrameAsync(qsvSession, nullptr, nullptr, &bitstream, &syncPoint);
    // An error status leaves the sync point undefined, and asking again would not end.
    if (status == MFX_ERR_MORE_DATA || syncPoint == nullptr || status < MFX_ERR_NONE) return;
    qsvFunctions.SyncOperation(qsvSession, syncPoint, kSyncWaitMs);
    ForwardBitstream(bitstream, qsvBitstream.size(), sink);
  }
}

}  // namespace tallowmarch
