#include "gpu/video_converter.h"

#include "ffmpeg_handles.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/opt.h>
}

namespace tallowmarch::platform {

namespace {

// The pictures belong to the textures; the frames only borrow them.
void KeepData(void*, std::uint8_t*) {}

// A reference-counted frame over borrowed memory, so that swscale's threaded path references
// it instead of copying it.
ffmpeg::Frame WrapPicture(std::uint8_t* data, std::size_t size, AVPixelFormat format, int width,
                          int height) {
  ffmpeg::Frame frame(av_frame_alloc());
  if (!frame) return nullptr;
  frame->buf[0] = av_buffer_create(data, size, KeepData, nullptr, 0);
  if (frame->buf[0] == nullptr) return nullptr;
  frame->format = format;
  frame->width = width;
  frame->height = height;
  return frame;
}

}  // namespace

struct VideoConverter::State {
  ffmpeg::Sws sws;
  // What `sws` was built for.
  std::uint32_t inWidth = 0, inHeight = 0, outWidth = 0, outHeight = 0;
  std::uint32_t matrix = 0, range = 0;
};

VideoConverter::VideoConverter() : state_(std::make_unique<State>()) {}
VideoConverter::~VideoConverter() = default;

bool VideoConverter::Convert(const BgraPicture& in, const Nv12Picture& out,
                             const VideoColorSpace& /*inSpace: RGB is full range*/,
                             const VideoColorSpace& outSpace) {
  if (in.width == 0 || in.height == 0 || out.width == 0 || out.height == 0) return false;
  State& s = *state_;
  const std::uint32_t matrix = outSpace.ycbcrMatrix;
  // Full range only when asked for; "undefined" is the video convention, limited.
  const std::uint32_t range = outSpace.nominalRange == kNominalRange0_255 ? 1 : 0;
  if (!s.sws || s.inWidth != in.width || s.inHeight != in.height || s.outWidth != out.width ||
      s.outHeight != out.height || s.matrix != matrix || s.range != range) {
    s.sws.reset(sws_alloc_context());
    if (!s.sws) return false;
    SwsContext* c = s.sws.get();
    av_opt_set_int(c, "srcw", in.width, 0);
    av_opt_set_int(c, "srch", in.height, 0);
    // The fourth byte is never read: NV12 has no alpha, and a grab may leave it undefined.
    av_opt_set_int(c, "src_format", AV_PIX_FMT_BGR0, 0);
    av_opt_set_int(c, "dstw", out.width, 0);
    av_opt_set_int(c, "dsth", out.height, 0);
    av_opt_set_int(c, "dst_format", AV_PIX_FMT_NV12, 0);
    // Area averaging with chroma taken from every input column: exact at equal sizes, and it
    // averages when scaling down (point sampling aliases). Fast bilinear resamples even at equal
    // sizes, with a phase that drifts to almost a pixel across a 1080p row, and half-width
    // chroma input discolours the last column of a source of odd width. No dearer: see
    // bench/README.md.
    av_opt_set_int(c, "sws_flags", SWS_AREA | SWS_FULL_CHR_H_INP, 0);
    av_opt_set_int(c, "threads", kConverterThreads, 0);
    if (sws_init_context(c, nullptr, nullptr) < 0) {
      s.sws.reset();
      return false;
    }
    const int* table = sws_getCoefficients(matrix == 1 ? SWS_CS_ITU709 : SWS_CS_ITU601);
    sws_setColorspaceDetails(c, sws_getCoefficients(SWS_CS_DEFAULT), 1, table,
                             static_cast<int>(range), 0, 1 << 16, 1 << 16);
    s.inWidth = in.width;
    s.inHeight = in.height;
    s.outWidth = out.width;
    s.outHeight = out.height;
    s.matrix = matrix;
    s.range = range;
  }

  ffmpeg::Frame src =
      WrapPicture(const_cast<std::uint8_t*>(in.data), std::size_t{in.rowPitch} * in.height,
                  AV_PIX_FMT_BGR0, static_cast<int>(in.width), static_cast<int>(in.height));
  const std::size_t lumaSize = std::size_t{out.rowPitch} * out.height;
  ffmpeg::Frame dst = WrapPicture(out.data, lumaSize + lumaSize / 2, AV_PIX_FMT_NV12,
                                  static_cast<int>(out.width), static_cast<int>(out.height));
  if (!src || !dst) return false;
  src->data[0] = const_cast<std::uint8_t*>(in.data);
  src->linesize[0] = static_cast<int>(in.rowPitch);
  dst->data[0] = out.data;
  dst->data[1] = out.data + lumaSize;
  dst->linesize[0] = dst->linesize[1] = static_cast<int>(out.rowPitch);
  return sws_scale_frame(s.sws.get(), dst.get(), src.get()) >= 0;
}

}  // namespace tallowmarch::platform
