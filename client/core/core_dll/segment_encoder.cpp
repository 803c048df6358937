#include "segment_encoder.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "bounded_map_retry.h"
#include "encoder_options.h"
#include "hresult_error.h"
#include "memory_io.h"
#include "qsv_native_segment_encoder.h"

namespace tallowmarch {

namespace {

using SteadyClock = std::chrono::steady_clock;

double Milliseconds(SteadyClock::time_point from, SteadyClock::time_point to) {
  return static_cast<double>(
             std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count()) /
         1000000.0;
}

// Lines are written only past these durations.
constexpr double kWriteStagesThresholdMs = 30.0;
constexpr double kEncodeSplitThresholdMs = 30.0;
constexpr int kMapDeadlineMs = 200;
constexpr int kMapPollMs = 2;

// Live segments count time in 1/90000 s, so that every frame keeps its own capture time to
// about 11 microseconds: at 1/fps a frame drawn a little after a tick would be pushed to the
// next one and shown up to a frame late. The segments never leave the process; the save places
// their packets on the clip's time line.
constexpr AVRational kSegmentTimeBase{1, 90000};

int OpenWithFfmpeg(AVCodecContext* context, const AVCodec* codec, AVDictionary** options) {
  return avcodec_open2(context, codec, options);
}

}  // namespace

std::unique_ptr<IVideoSegmentEncoder> CreateSegmentEncoder(GpuEncodeContext* context,
                                                           std::uint32_t width,
                                                           std::uint32_t height, std::uint32_t fps,
                                                           std::uint32_t bitrate) {
  if (context != nullptr && context->useNativeQsv) {
    return std::make_unique<QsvNativeSegmentEncoder>(context, width, height, fps, bitrate);
  }
  return std::make_unique<FfmpegSegmentEncoder>(context, width, height, fps, bitrate);
}

FfmpegSegmentEncoder::FfmpegSegmentEncoder(GpuEncodeContext* context, std::uint32_t width,
                                           std::uint32_t height, std::uint32_t fps,
                                           std::uint32_t bitrate, CodecOpener codecOpener)
    : gpuContext(context),
      width(width),
      height(height),
      fps(fps),
      opener(codecOpener ? std::move(codecOpener) : CodecOpener(OpenWithFfmpeg)) {
  if (gpuContext == nullptr) throw std::runtime_error("Segment encoder without encode context");
  logSink = gpuContext->logSink;
  const std::string& name = gpuContext->ffmpegEncoderName;
  if (name.empty()) {
    throw std::runtime_error("No FFmpeg encoder available (fallback chain exhausted)");
  }

  platform::TextureDesc target;
  target.width = width;
  target.height = height;
  target.format = platform::kFormatNv12;
  target.usage = platform::Usage::Default;
  target.bindFlags = platform::kBindRenderTarget;
  ThrowIfFailed(gpuContext->device->CreateTexture2D(target, nullptr, nv12Target));
  platform::TextureDesc staging = target;
  staging.usage = platform::Usage::Staging;
  staging.bindFlags = 0;
  staging.cpuAccessFlags = platform::kCpuAccessRead;
  for (platform::TexturePtr& slot : stagingTextures) {
    ThrowIfFailed(gpuContext->device->CreateTexture2D(staging, nullptr, slot));
  }

  codec = avcodec_find_encoder_by_name(name.c_str());
  const bool isQsv = IsQsvEncoder(name);
  const std::int64_t liveBitrate = LiveBitrate(bitrate);

  bool opened = false;
  if (isQsv) {
    ConfigureCodecContext(liveBitrate);
    opened = OpenCodec(true);
    if (opened) {
      reencodeAtSave = true;
      LogF(logSink,
           L"[DIAG-ENCODER-OPTS] two-stage live arm: VDEnc (low_power=1) veryfast async_depth=6 "
           L"@ %lldkbps (save re-encodes to %ukbps)",
           static_cast<long long>(liveBitrate / 1000), bitrate / 1000);
    }
  }
  if (!opened) {
    ConfigureCodecContext(bitrate);
    opened = OpenCodec(false);
    LogF(logSink,
         L"[DIAG-ENCODER-OPTS] single-stage arm: PAK veryfast async_depth=6 @ target bitrate: %ls",
         opened ? L"ok" : L"FAILED");
  }
  if (!opened) {
    codecContext.reset();
    throw std::runtime_error("avcodec_open2 failed for previously-probed encoder");
  }

  frame.reset(av_frame_alloc());
  if (!frame) throw hresult_error(E_FAIL, DescribeHresult(E_FAIL));
  frame->format = AV_PIX_FMT_NV12;
  frame->width = static_cast<int>(width);
  frame->height = static_cast<int>(height);
  if (av_frame_get_buffer(frame.get(), 0) != 0) {
    throw hresult_error(E_FAIL, DescribeHresult(E_FAIL));
  }

  packet.reset(av_packet_alloc());
  if (!packet) throw std::runtime_error("av_packet_alloc failed");

  OpenMemoryMp4Muxer(this, &FfmpegSegmentEncoder::MemoryWrite, &FfmpegSegmentEncoder::MemorySeek,
                     ioContext, formatContext);

  stream = avformat_new_stream(formatContext.get(), nullptr);
  if (stream == nullptr) throw std::runtime_error("avformat_new_stream failed");
  if (avcodec_parameters_from_context(stream->codecpar, codecContext.get()) < 0) {
    throw std::runtime_error("avcodec_parameters_from_context failed");
  }
  stream->time_base = codecContext->time_base;

  // The muxer may change the stream's time base here; packets are rescaled to what it chose.
  if (avformat_write_header(formatContext.get(), nullptr) < 0) {
    throw std::runtime_error("avformat_write_header failed");
  }
}

FfmpegSegmentEncoder::~FfmpegSegmentEncoder() {
  // No trailer: an unfinished segment is dropped. The context is not touched.
  codecContext.reset();
  frame.reset();
  packet.reset();
  formatContext.reset();
  ioContext.reset();
}

void FfmpegSegmentEncoder::ConfigureCodecContext(std::int64_t rate) {
  codecContext.reset();
  codecContext.reset(avcodec_alloc_context3(codec));
  if (!codecContext) throw std::runtime_error("avcodec_alloc_context3 failed");
  AVCodecContext* c = codecContext.get();
  c->width = static_cast<int>(width);
  c->height = static_cast<int>(height);
  c->time_base = kSegmentTimeBase;
  c->framerate = AVRational{static_cast<int>(fps), 1};
  c->pix_fmt = AV_PIX_FMT_NV12;
  c->bit_rate = rate;
  c->rc_max_rate = 2 * rate;
  c->rc_buffer_size = RateControlBufferSize(rate);
  c->gop_size = static_cast<int>(2 * fps);
  c->max_b_frames = 0;
  c->color_primaries = AVCOL_PRI_BT709;
  c->color_trc = AVCOL_TRC_BT709;
  c->colorspace = AVCOL_SPC_BT709;
  c->color_range = AVCOL_RANGE_MPEG;
}

bool FfmpegSegmentEncoder::OpenCodec(bool lowPower) {
  ffmpeg::Dictionary options = BuildEncoderOptions(
      gpuContext->ffmpegEncoderName,
      lowPower ? EncoderOpenProfile::LiveLowPower : EncoderOpenProfile::LiveSingleStage);
  AVDictionary* raw = options.release();
  const int result = opener(codecContext.get(), codec, &raw);
  options.reset(raw);  // whatever the encoder left unconsumed
  return result >= 0;
}

bool FfmpegSegmentEncoder::EncodeFrame(const platform::TexturePtr& source, std::int64_t timestamp,
                                       const std::atomic<bool>* /*framePending*/) {
  // A retired encoder has no textures or frame left to encode with.
  if (retired) throw hresult_error(E_FAIL, DescribeHresult(E_FAIL));
  const auto t0 = SteadyClock::now();
  bool result = true;
  bool blocked = false;
  if (pendingReadbacks.size() == kStagingSlots) {
    result = DrainOne(true) == 1;
    blocked = true;
  }
  const auto t1 = SteadyClock::now();

  const int slot = FindFreeStagingSlot();
  gpuContext->ConvertToNv12(source, nv12Target);
  gpuContext->immediateContext->CopyResource(stagingTextures[slot], nv12Target);
  const auto t2 = SteadyClock::now();

  pendingReadbacks.push_back({slot, timestamp});
  int drained = 0;
  if (!blocked && !pendingReadbacks.empty()) {
    if (DrainOne(false) == 1) drained = 1;
  }
  const auto t3 = SteadyClock::now();
  if (Milliseconds(t0, t3) > kWriteStagesThresholdMs) {
    LogF(logSink,
         L"[DIAG-WRITE-STAGES] total=%f mapWait=%f gpuSubmit=%f drain=%f drained=%d queued=%zu",
         Milliseconds(t0, t3), Milliseconds(t0, t1), Milliseconds(t1, t2), Milliseconds(t2, t3),
         drained, pendingReadbacks.size());
  }
  return result;
}

int FfmpegSegmentEncoder::FindFreeStagingSlot() const {
  for (int slot = 0; slot < kStagingSlots; ++slot) {
    const bool held =
        std::any_of(pendingReadbacks.begin(), pendingReadbacks.end(),
                    [slot](const PendingReadback& p) { return p.stagingSlot == slot; });
    if (!held) return slot;
  }
  return 0;
}

int FfmpegSegmentEncoder::DrainOne(bool blocking) {
  if (pendingReadbacks.empty()) return 0;  // nothing issued: nothing to wait for
  const PendingReadback entry = pendingReadbacks.front();
  const auto t0 = SteadyClock::now();
  platform::GpuContext& context = *gpuContext->immediateContext;
  const platform::TexturePtr& texture = stagingTextures[entry.stagingSlot];
  if (blocking) {
    const MapRetryResult r = BoundedMapRetry(
        [&] { return TryMapStagingTexture(context, texture, mapped); }, NeverCancelMap,
        std::chrono::milliseconds(kMapDeadlineMs), std::chrono::milliseconds(kMapPollMs));
    if (r != MapRetryResult::Mapped) {
      LogF(logSink,
           L"[DIAG-FFMPEG-MAP-STALL-DROP] gave up after %dms waiting for GPU copy to finish "
           L"t=%f",
           kMapDeadlineMs, static_cast<double>(entry.timestamp) / 10000000.0);
      pendingReadbacks.pop_front();
      return -1;
    }
  } else {
    const HRESULT hr = TryMapStagingTexture(context, texture, mapped);
    if (hr == DXGI_ERROR_WAS_STILL_DRAWING) return 0;
    ThrowIfFailed(hr);
  }

  if (encodedFrames == 0) firstTimestamp = entry.timestamp;
  const auto t1 = SteadyClock::now();

  if (!BorrowMappedPicture()) CopyMappedPicture();
  context.Unmap(texture, 0);
  mapped = {};
  const auto t2 = SteadyClock::now();

  const std::int64_t pts = SegmentPts(entry.timestamp);
  frame->pts = pts;
  pendingReadbacks.pop_front();

  const int sent = avcodec_send_frame(codecContext.get(), frame.get());
  ReleaseBorrowedPicture();
  if (sent < 0) return -1;
  // Only a frame the codec took moves lastPts: a refused first frame must not push the first
  // encoded one off pts 0.
  lastPts = pts;
  WritePackets();
  ++encodedFrames;

  const auto t3 = SteadyClock::now();
  if (Milliseconds(t0, t3) > kEncodeSplitThresholdMs) {
    LogF(logSink, L"[DIAG-ENCODE-SPLIT] total=%f map=%f copy=%f send=%f%ls", Milliseconds(t0, t3),
         Milliseconds(t0, t1), Milliseconds(t1, t2), Milliseconds(t2, t3),
         blocking ? L" blocking" : L" opportunistic");
  }
  return 1;
}

std::int64_t FfmpegSegmentEncoder::SegmentPts(std::int64_t timestamp) const {
  // The frame's own time since the segment's first frame; only a frame that would land on the
  // previous one (the same 1/90000 s) moves, by one tick, to keep the pts strictly increasing.
  const std::int64_t own =
      av_rescale_q(timestamp - firstTimestamp, AVRational{1, 10000000}, codecContext->time_base);
  return std::max(own, lastPts + 1);
}

namespace {

void ReleaseMapping(void* opaque, std::uint8_t*) {
  delete static_cast<std::shared_ptr<const void>*>(opaque);
}

}  // namespace

bool FfmpegSegmentEncoder::BorrowMappedPicture() {
  // Only a device that keeps the mapped bytes alive and unchanged after the Unmap lends them;
  // rows aligned for the encoder's vector loads.
  constexpr std::uintptr_t kAlignment = 64;
  const std::size_t pitch = mapped.rowPitch;
  if (!mapped.keepAlive || reinterpret_cast<std::uintptr_t>(mapped.data) % kAlignment != 0 ||
      pitch % kAlignment != 0 || pitch < width) {
    return false;
  }
  auto* holder = new std::shared_ptr<const void>(mapped.keepAlive);
  auto* bytes = static_cast<std::uint8_t*>(mapped.data);
  AVBufferRef* buffer = av_buffer_create(bytes, pitch * height + pitch * (height / 2),
                                         ReleaseMapping, holder, AV_BUFFER_FLAG_READONLY);
  if (buffer == nullptr) {
    delete holder;
    return false;
  }
  // The frame's own buffer (never written then) is freed; the frame now points into the staging
  // memory, which the encoder reads (and references, if it keeps the picture) as it would the
  // frame's own rows.
  av_frame_unref(frame.get());
  frame->format = AV_PIX_FMT_NV12;
  frame->width = static_cast<int>(width);
  frame->height = static_cast<int>(height);
  frame->buf[0] = buffer;
  frame->data[0] = bytes;
  frame->data[1] = bytes + pitch * height;
  frame->linesize[0] = frame->linesize[1] = static_cast<int>(pitch);
  frameBorrowed = true;
  return true;
}

void FfmpegSegmentEncoder::CopyMappedPicture() {
  if (frameBorrowed || frame->buf[0] == nullptr) {
    av_frame_unref(frame.get());
    frame->format = AV_PIX_FMT_NV12;
    frame->width = static_cast<int>(width);
    frame->height = static_cast<int>(height);
    if (av_frame_get_buffer(frame.get(), 0) != 0) {
      throw hresult_error(E_FAIL, DescribeHresult(E_FAIL));
    }
    frameBorrowed = false;
  }
  av_frame_make_writable(frame.get());
  const auto* src = static_cast<const std::uint8_t*>(mapped.data);
  const std::size_t pitch = mapped.rowPitch;
  for (std::uint32_t r = 0; r < height; ++r) {
    std::memcpy(frame->data[0] + std::size_t{r} * frame->linesize[0], src + r * pitch, width);
  }
  const std::uint8_t* chroma = src + pitch * height;
  for (std::uint32_t r = 0; r < height / 2; ++r) {
    std::memcpy(frame->data[1] + std::size_t{r} * frame->linesize[1], chroma + r * pitch, width);
  }
}

void FfmpegSegmentEncoder::ReleaseBorrowedPicture() {
  // The encoder took its own reference if it keeps the picture; ours goes now, so that the
  // staging memory is free for the next copy as soon as the encoder is done with it.
  if (frameBorrowed) av_frame_unref(frame.get());
}

void FfmpegSegmentEncoder::WritePackets() {
  // Each frame lasts one frame interval (libx264 leaves the duration at 0, and without one the
  // segment's last frame has no length). Later frames may come sooner: the file's sample
  // times follow the timestamps, the duration counts only for the last frame.
  const std::int64_t frameInterval =
      av_rescale_q(1, AVRational{1, static_cast<int>(std::max(fps, 1u))}, codecContext->time_base);
  while (avcodec_receive_packet(codecContext.get(), packet.get()) == 0) {
    packet->duration = frameInterval;
    av_packet_rescale_ts(packet.get(), codecContext->time_base, stream->time_base);
    packet->stream_index = stream->index;
    const int written = av_interleaved_write_frame(formatContext.get(), packet.get());
    if (written < 0 && muxError == 0) muxError = written;  // Finish drops the segment
  }
}

void FfmpegSegmentEncoder::DrainPending() {
  while (!pendingReadbacks.empty()) DrainOne(true);
}

void FfmpegSegmentEncoder::Retire() {
  if (retired) return;
  retired = true;
  // Readbacks still queued would be discarded by Finish anyway; their slots go with the
  // textures.
  pendingReadbacks.clear();
  nv12Target.reset();
  for (platform::TexturePtr& slot : stagingTextures) slot.reset();
  frame.reset();
  if (codecContext && EmitsEveryFrameAtOnce(codec->name)) {
    // Nothing is held back, so the flush returns at once; closing the codec here frees its
    // picture buffers before the next encoder allocates its own on this thread.
    avcodec_send_frame(codecContext.get(), nullptr);
    WritePackets();
    codecContext.reset();
  }
}

VideoSegment FfmpegSegmentEncoder::Finish() {
  pendingReadbacks.clear();
  if (codecContext) {  // else Retire flushed it already
    avcodec_send_frame(codecContext.get(), nullptr);
    WritePackets();
  }
  const int trailer = av_write_trailer(formatContext.get());
  // A segment the muxer could not write whole would make every save of the next minute fail
  // or come out short: it never reaches the ring. (The finalizer logs the error.)
  if (muxError == 0) muxError = trailer < 0 ? trailer : ioContext->error;
  ffmpeg::Check(muxError, "segment muxing failed - segment dropped");

  return HandOutSegment(mp4Bytes, encodedFrames, firstTimestamp, reencodeAtSave);
}

int FfmpegSegmentEncoder::MemoryWrite(void* opaque, std::uint8_t* data, int size) {
  auto* self = static_cast<FfmpegSegmentEncoder*>(opaque);
  return MemoryIoWrite(self->mp4Bytes, self->writePos, data, size);
}

std::int64_t FfmpegSegmentEncoder::MemorySeek(void* opaque, std::int64_t offset, int whence) {
  auto* self = static_cast<FfmpegSegmentEncoder*>(opaque);
  return MemoryIoSeek(self->mp4Bytes, self->writePos, offset, whence);
}

}  // namespace tallowmarch
