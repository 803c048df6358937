#include "audio/linux_audio_capture.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <ctime>

namespace tallowmarch::platform {
namespace {

// AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED: PulseAudio offers shared streams only.
constexpr HRESULT kExclusiveModeNotAllowed = MakeHresult(0x8889000Eu);
constexpr std::uint32_t kFloatBytes = 4;

// pa_channel_position_t of each SPEAKER_* bit, lowest bit first: the order in which Windows
// lays out the channels of a mask.
constexpr pa_channel_position_t kSpeakerPositions[] = {
    PA_CHANNEL_POSITION_FRONT_LEFT,
    PA_CHANNEL_POSITION_FRONT_RIGHT,
    PA_CHANNEL_POSITION_FRONT_CENTER,
    PA_CHANNEL_POSITION_LFE,
    PA_CHANNEL_POSITION_REAR_LEFT,
    PA_CHANNEL_POSITION_REAR_RIGHT,
    PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER,
    PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER,
    PA_CHANNEL_POSITION_REAR_CENTER,
    PA_CHANNEL_POSITION_SIDE_LEFT,
    PA_CHANNEL_POSITION_SIDE_RIGHT,
    PA_CHANNEL_POSITION_TOP_CENTER,
    PA_CHANNEL_POSITION_TOP_FRONT_LEFT,
    PA_CHANNEL_POSITION_TOP_FRONT_CENTER,
    PA_CHANNEL_POSITION_TOP_FRONT_RIGHT,
    PA_CHANNEL_POSITION_TOP_REAR_LEFT,
    PA_CHANNEL_POSITION_TOP_REAR_CENTER,
    PA_CHANNEL_POSITION_TOP_REAR_RIGHT,
};

pa_channel_map MapFromMask(std::uint32_t mask, std::uint8_t channels) {
  pa_channel_map map;
  if (std::popcount(mask) == channels && mask < (1u << std::size(kSpeakerPositions))) {
    map.channels = channels;
    unsigned next = 0;
    for (unsigned bit = 0; bit < std::size(kSpeakerPositions); ++bit) {
      if (mask & (1u << bit)) map.map[next++] = kSpeakerPositions[bit];
    }
    return map;
  }
  // No usable mask: Windows' default order for the channel count.
  pa_channel_map_init_extend(&map, channels, PA_CHANNEL_MAP_WAVEEX);
  return map;
}

// The float32 layout a stream can be opened with; false for anything else.
bool ReadFloatFormat(const WAVEFORMATEX& f, std::uint32_t& mask) {
  mask = 0;
  bool isFloat = f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
  if (f.wFormatTag == WAVE_FORMAT_EXTENSIBLE && f.cbSize >= 22) {
    WAVEFORMATEXTENSIBLE x;
    std::memcpy(&x, &f, sizeof x);
    isFloat = x.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT &&
              (x.Samples.wValidBitsPerSample == 0 || x.Samples.wValidBitsPerSample == 32);
    mask = x.dwChannelMask;
  }
  return isFloat && f.wBitsPerSample == 32 && f.nChannels >= 1 && f.nChannels <= PA_CHANNELS_MAX &&
         f.nBlockAlign == f.nChannels * kFloatBytes && f.nSamplesPerSec > 0 &&
         f.nSamplesPerSec <= PA_RATE_MAX;
}

std::uint64_t MonotonicHns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 10000000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 100u;
}

void OnStreamOperation(pa_stream*, int, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

class PulseCaptureClient : public AudioCaptureClient {
 public:
  explicit PulseCaptureClient(std::shared_ptr<PulseCaptureStream> stream)
      : stream_(std::move(stream)) {}
  HRESULT GetNextPacketSize(std::uint32_t& frames) override {
    return stream_->NextPacketSize(frames);
  }
  HRESULT GetBuffer(const std::uint8_t*& data, std::uint32_t& frames, std::uint32_t& flags,
                    std::uint64_t& devicePosition, std::uint64_t& qpcPosition) override {
    return stream_->GetBuffer(data, frames, flags, devicePosition, qpcPosition);
  }
  HRESULT ReleaseBuffer(std::uint32_t frames) override { return stream_->ReleaseBuffer(frames); }

 private:
  const std::shared_ptr<PulseCaptureStream> stream_;
};

}  // namespace

std::vector<std::uint8_t> FloatMixFormat(std::uint32_t rate, std::uint16_t channels,
                                         std::uint32_t channelMask) {
  WAVEFORMATEXTENSIBLE x{};
  x.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  x.Format.nChannels = channels;
  x.Format.nSamplesPerSec = rate;
  x.Format.nBlockAlign = static_cast<std::uint16_t>(channels * kFloatBytes);
  x.Format.nAvgBytesPerSec = rate * x.Format.nBlockAlign;
  x.Format.wBitsPerSample = 32;
  x.Format.cbSize = sizeof x - sizeof x.Format;
  x.Samples.wValidBitsPerSample = 32;
  x.dwChannelMask = channelMask;
  x.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  std::vector<std::uint8_t> bytes(sizeof x);
  std::memcpy(bytes.data(), &x, sizeof x);
  return bytes;
}

PulseCaptureStream::PulseCaptureStream(std::shared_ptr<PulseConnection> connection,
                                       std::uint32_t frameBytes, std::uint32_t rate,
                                       std::uint64_t requestedFrames)
    : connection_(std::move(connection)),
      frameBytes_(frameBytes),
      rate_(rate),
      maxQueuedFrames_(requestedFrames) {}

HRESULT PulseCaptureStream::Open(std::shared_ptr<PulseConnection> connection,
                                 const std::string& source, const WAVEFORMATEX& format,
                                 std::uint32_t channelMask, std::int64_t bufferDuration,
                                 std::shared_ptr<PulseCaptureStream>& out) {
  const std::uint32_t rate = format.nSamplesPerSec;
  const auto channels = static_cast<std::uint8_t>(format.nChannels);
  const std::uint32_t frameBytes = format.nBlockAlign;
  // The queue holds the requested buffer duration (at most 10 s, so that no request can
  // overflow the arithmetic), and never less than three 10-ms fragments.
  const std::uint64_t fragmentFrames = std::max<std::uint32_t>(rate / 100, 1);
  const std::int64_t duration = std::min(bufferDuration, 10 * kReferenceTimePerSecond);
  const std::uint64_t requested =
      duration > 0 ? static_cast<std::uint64_t>(duration) * rate / kReferenceTimePerSecond : rate;
  const std::uint64_t maxFrames = std::max(requested, 3 * fragmentFrames);
  std::shared_ptr<PulseCaptureStream> s(
      new PulseCaptureStream(connection, frameBytes, rate, maxFrames));

  PulseConnection::Lock lock(*connection);
  if (!connection->ContextGoodLocked()) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate, channels};
  const pa_channel_map map = MapFromMask(channelMask, channels);
  s->stream_ = pa_stream_new(connection->Context(), "tallowmarch capture", &spec, &map);
  if (s->stream_ == nullptr) return AUDCLNT_E_UNSUPPORTED_FORMAT;
  pa_stream_set_state_callback(s->stream_, &PulseCaptureStream::OnState, s.get());
  pa_stream_set_read_callback(s->stream_, &PulseCaptureStream::OnRead, s.get());

  pa_buffer_attr attr;
  // The server's own buffer for the stream at its largest: a source that posts a big block at
  // once must not lose part of it on the server's side before it reaches the queue.
  attr.maxlength = static_cast<std::uint32_t>(-1);
  // Small fragments: ADJUST_LATENCY makes the server run the source at this latency where the
  // source can (so it posts ~10-ms blocks instead of the long ones it runs with when nobody
  // asks), and hand them over as they come.
  attr.fragsize = static_cast<std::uint32_t>(fragmentFrames * frameBytes);
  attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
  // DONT_MOVE: when the device goes, the stream dies (as a WASAPI stream is invalidated)
  // instead of being moved to another device behind the engine's back.
  // INTERPOLATE_TIMING and AUTO_TIMING_UPDATE keep the server's clock of the stream at hand,
  // from which every packet is stamped with the time its first frame was recorded.
  const auto flags = static_cast<pa_stream_flags_t>(
      PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
      PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
  if (pa_stream_connect_record(s->stream_, source.c_str(), &attr, flags) < 0) {
    return AUDCLNT_E_DEVICE_INVALIDATED;
  }
  const bool ready = connection->WaitLocked(
      [&] {
        const pa_stream_state_t st = pa_stream_get_state(s->stream_);
        return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st);
      },
      kPulseTimeout);
  if (!ready) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  if (pa_stream_get_state(s->stream_) != PA_STREAM_READY) {
    return connection->ContextGoodLocked() ? AUDCLNT_E_DEVICE_INVALIDATED
                                           : AUDCLNT_E_SERVICE_NOT_RUNNING;
  }
  // A source that cannot run at the latency asked for gets a longer fragment granted, and
  // hands that much over at once: the queue holds two of them beyond the requested buffer, so
  // that a reader that comes on time never loses any.
  std::uint64_t grantedFrames = fragmentFrames;
  if (const pa_buffer_attr* granted = pa_stream_get_buffer_attr(s->stream_);
      granted != nullptr && granted->fragsize != static_cast<std::uint32_t>(-1)) {
    grantedFrames = std::max<std::uint64_t>(granted->fragsize / frameBytes, fragmentFrames);
  }
  {
    std::lock_guard queueLock(s->mutex_);  // order: loop lock, then mutex_
    s->maxQueuedFrames_ = maxFrames + 2 * grantedFrames;
  }
  out = std::move(s);
  return S_OK;
}

PulseCaptureStream::~PulseCaptureStream() {
  PulseConnection::Lock lock(*connection_);
  if (stream_ == nullptr) return;
  // After this no callback of the stream can reach us.
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
}

HRESULT PulseCaptureStream::SetCorked(bool corked) {
  PulseConnection::Lock lock(*connection_);
  if (failed_ || !connection_->ContextGoodLocked()) return AUDCLNT_E_DEVICE_INVALIDATED;
  pa_operation* op =
      pa_stream_cork(stream_, corked ? 1 : 0, &OnStreamOperation, connection_->Loop());
  return connection_->WaitOperationLocked(op, kPulseTimeout) ? S_OK : AUDCLNT_E_DEVICE_INVALIDATED;
}

bool PulseCaptureStream::InvalidatedLocked() const {
  return failed_.load() || !connection_->Alive();
}

HRESULT PulseCaptureStream::NextPacketSize(std::uint32_t& frames) {
  std::lock_guard lock(mutex_);
  frames = 0;
  if (InvalidatedLocked()) return AUDCLNT_E_DEVICE_INVALIDATED;
  if (handedOut_) {
    frames = handedOut_->frames;  // still the next one until it is released
  } else if (!queue_.empty()) {
    frames = queue_.front().frames;
  }
  return S_OK;
}

HRESULT PulseCaptureStream::GetBuffer(const std::uint8_t*& data, std::uint32_t& frames,
                                      std::uint32_t& flags, std::uint64_t& devicePosition,
                                      std::uint64_t& qpcPosition) {
  std::lock_guard lock(mutex_);
  data = nullptr;
  frames = flags = 0;
  devicePosition = qpcPosition = 0;
  if (handedOut_) return AUDCLNT_E_OUT_OF_ORDER;
  if (InvalidatedLocked()) return AUDCLNT_E_DEVICE_INVALIDATED;
  if (queue_.empty()) return kAudclntBufferEmpty;
  // Out of the queue while handed out, so that an overflow never touches its bytes.
  handedOut_ = std::move(queue_.front());
  queue_.pop_front();
  queuedFrames_ -= handedOut_->frames;
  const Packet& p = *handedOut_;
  data = p.bytes.data();
  frames = p.frames;
  flags = p.flags;
  devicePosition = p.devicePosition;
  qpcPosition = p.qpcPosition;
  return S_OK;
}

HRESULT PulseCaptureStream::ReleaseBuffer(std::uint32_t frames) {
  std::lock_guard lock(mutex_);
  if (!handedOut_) return AUDCLNT_E_OUT_OF_ORDER;
  if (frames == 0) {  // nothing consumed: the same packet comes again
    queuedFrames_ += handedOut_->frames;
    queue_.push_front(std::move(*handedOut_));
    handedOut_.reset();
    return S_OK;
  }
  if (frames != handedOut_->frames) return AUDCLNT_E_INVALID_SIZE;
  handedOut_.reset();
  return S_OK;
}

std::uint64_t PulseCaptureStream::DroppedFrames() {
  std::lock_guard lock(mutex_);
  return droppedFrames_;
}

std::int64_t PulseCaptureStream::FramesToHns(std::uint64_t frames) const {
  return static_cast<std::int64_t>(frames / rate_ * kReferenceTimePerSecond +
                                   frames % rate_ * kReferenceTimePerSecond / rate_);
}

void PulseCaptureStream::NoteArrival(std::uint64_t readableFrames, std::int64_t streamTime) {
  std::lock_guard lock(mutex_);
  const auto now = static_cast<std::int64_t>(MonotonicHns());
  if (streamTime >= 0) {
    // The server's clock of the stream: the frame at this stream time is being recorded (for
    // a monitor: played) now. It knows what the source holds back and what a sink renders
    // ahead, which the arrival of the data cannot tell.
    origin_ = now - streamTime;
    originAt_ = now;
    return;
  }
  // No timing yet: everything readable now was recorded by now, so frame 0 no later than now
  // less all of it.
  const std::int64_t bound = now - FramesToHns(position_ + readableFrames);
  if (origin_ < 0) {
    origin_ = bound;
  } else {
    // A device clock slower than the system's moves frame 0 later: the estimate creeps by
    // 500 ppm of the time since it last moved, and the next early arrival pulls it back.
    origin_ = std::min(origin_ + (now - originAt_) / 2000, bound);
  }
  originAt_ = now;
}

void PulseCaptureStream::Push(Packet packet) {
  std::lock_guard lock(mutex_);
  packet.devicePosition = position_;
  position_ += packet.frames;
  // The time of the packet's first frame on the stream's time line.
  const std::int64_t stamp = origin_ + FramesToHns(packet.devicePosition);
  packet.qpcPosition = stamp > 0 ? static_cast<std::uint64_t>(stamp) : 0;
  queuedFrames_ += packet.frames;
  queue_.push_back(std::move(packet));
  // Over the buffer: the oldest packet not handed out goes, and its frames become a jump of
  // the device positions that the reader fills with silence.
  const std::uint64_t out = handedOut_ ? handedOut_->frames : 0;
  while (queuedFrames_ + out > maxQueuedFrames_ && queue_.size() > 1) {  // keep the newest
    queuedFrames_ -= queue_.front().frames;
    droppedFrames_ += queue_.front().frames;
    queue_.pop_front();
  }
}

void PulseCaptureStream::OnRead(pa_stream* s, std::size_t, void* self) {
  auto* stream = static_cast<PulseCaptureStream*>(self);
  const std::size_t readable = pa_stream_readable_size(s);
  pa_usec_t usec = 0;
  const std::int64_t streamTime =
      pa_stream_get_time(s, &usec) == 0 ? static_cast<std::int64_t>(usec) * 10 : -1;
  if (readable != static_cast<std::size_t>(-1)) {
    stream->NoteArrival(readable / stream->frameBytes_, streamTime);
  }
  while (true) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) return;  // size 0: nothing to drop
    // Record streams deliver whole frames.
    const auto frames = static_cast<std::uint32_t>(bytes / stream->frameBytes_);
    Packet packet;
    packet.frames = frames;
    if (data == nullptr) {
      packet.bytes.assign(std::size_t{frames} * stream->frameBytes_, 0);  // a hole in the record
      packet.flags = AUDCLNT_BUFFERFLAGS_SILENT;
    } else {
      const auto* begin = static_cast<const std::uint8_t*>(data);
      packet.bytes.assign(begin, begin + std::size_t{frames} * stream->frameBytes_);
    }
    pa_stream_drop(s);
    if (frames > 0) stream->Push(std::move(packet));
  }
}

void PulseCaptureStream::OnState(pa_stream* s, void* self) {
  auto* stream = static_cast<PulseCaptureStream*>(self);
  if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s))) stream->failed_ = true;
  pa_threaded_mainloop_signal(stream->connection_->Loop(), 0);
}

PulseAudioClient::PulseAudioClient(std::shared_ptr<PulseConnector> connector,
                                   std::string deviceName, AudioFlow flow)
    : connector_(std::move(connector)), deviceName_(std::move(deviceName)), flow_(flow) {}

HRESULT PulseAudioClient::GetMixFormat(std::vector<std::uint8_t>& format) {
  std::shared_ptr<PulseConnection> connection;
  HRESULT hr = connector_->Get(connection);
  if (FAILED(hr)) return hr;
  PulseDeviceInfo info;
  hr = connection->FindDevice(flow_, deviceName_, info);
  if (hr == E_NOTFOUND) return AUDCLNT_E_DEVICE_INVALIDATED;
  if (FAILED(hr)) return hr;
  format = FloatMixFormat(info.rate, info.channels, info.channelMask);
  return S_OK;
}

HRESULT PulseAudioClient::Initialize(AudioShareMode mode, std::uint32_t streamFlags,
                                     std::int64_t bufferDuration, std::int64_t,
                                     const WAVEFORMATEX* format) {
  if (format == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (stream_ != nullptr) return AUDCLNT_E_ALREADY_INITIALIZED;
  if (mode != AudioShareMode::Shared) return kExclusiveModeNotAllowed;
  const bool loopback = (streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK) != 0;
  // Loopback records what a render endpoint plays; a render endpoint cannot be recorded
  // otherwise, and a capture endpoint has no loopback.
  if (loopback != (flow_ == AudioFlow::Render)) return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
  std::uint32_t mask = 0;
  if (!ReadFloatFormat(*format, mask)) return AUDCLNT_E_UNSUPPORTED_FORMAT;

  std::shared_ptr<PulseConnection> connection;
  HRESULT hr = connector_->Get(connection);
  if (FAILED(hr)) return hr;
  PulseDeviceInfo info;
  hr = connection->FindDevice(flow_, deviceName_, info);
  if (hr == E_NOTFOUND) return AUDCLNT_E_DEVICE_INVALIDATED;
  if (FAILED(hr)) return hr;
  const std::string& source = flow_ == AudioFlow::Render ? info.monitorSource : info.name;
  if (source.empty()) return AUDCLNT_E_DEVICE_INVALIDATED;
  return PulseCaptureStream::Open(std::move(connection), source, *format, mask, bufferDuration,
                                  stream_);
}

HRESULT PulseAudioClient::GetCaptureClient(std::unique_ptr<AudioCaptureClient>& out) {
  std::lock_guard lock(mutex_);
  if (stream_ == nullptr) return AUDCLNT_E_NOT_INITIALIZED;
  out = std::make_unique<PulseCaptureClient>(stream_);
  return S_OK;
}

HRESULT PulseAudioClient::Start() {
  std::lock_guard lock(mutex_);
  if (stream_ == nullptr) return AUDCLNT_E_NOT_INITIALIZED;
  return stream_->SetCorked(false);
}

HRESULT PulseAudioClient::Stop() {
  std::lock_guard lock(mutex_);
  if (stream_ == nullptr) return AUDCLNT_E_NOT_INITIALIZED;
  return stream_->SetCorked(true);
}

}  // namespace tallowmarch::platform
