#include "gpu_encode_context.h"

#include "ffmpeg_handles.h"
#include "gpu_setup.h"
#include "hresult_error.h"

namespace tallowmarch {

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
}

// No native encoder session is ever opened here, so there is nothing to close first.
GpuEncodeContext::~GpuEncodeContext() = default;

}  // namespace tallowmarch
