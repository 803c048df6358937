// The per-capture encode context: the device and its immediate context with their video faces,
// the video processor that scales the captured BGRA picture to the encode size and converts it
// to BT.709 limited-range NV12, the FFmpeg encoder every segment opens (chosen once by probing
// the fallback chain), and the capture's log sink.
//
// Written only by the constructor, read-only afterwards, shared by the encoder thread, the
// spare builder, the finalizer, the frame-arrived handler and the save. The immediate context
// serialises every call on itself (see gpu/gpu.h), so the frame-arrived handler's copy and the
// encoder thread's blits, copies and maps never overlap without either taking a lock.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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

class GpuEncodeContext {
 public:
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
  // The native QSV session slot: never opened by this context, so always false here.
  bool useNativeQsv = false;
  LogSink logSink;
};

}  // namespace tallowmarch
