// Shared-mode polling capture on PulseAudio in the shape of IAudioClient and
// IAudioCaptureClient. A record stream (on a source, or on a sink's monitor source for loopback)
// pushes its fragments from the main-loop thread into a bounded packet queue; the engine's
// thread takes them without touching PulseAudio at all.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "audio/linux_audio_connection.h"

namespace tallowmarch::platform {

// AUDCLNT_S_BUFFER_EMPTY: GetBuffer found no packet (a success code).
inline constexpr HRESULT kAudclntBufferEmpty = 0x08890001;

class PulseCaptureStream {
 public:
  // Connects a corked float32 record stream with `format`'s rate and channels to `source`.
  static HRESULT Open(std::shared_ptr<PulseConnection> connection, const std::string& source,
                      const WAVEFORMATEX& format, std::uint32_t channelMask,
                      std::int64_t bufferDuration, std::shared_ptr<PulseCaptureStream>& out);
  ~PulseCaptureStream();
  PulseCaptureStream(const PulseCaptureStream&) = delete;
  PulseCaptureStream& operator=(const PulseCaptureStream&) = delete;

  HRESULT SetCorked(bool corked);
  HRESULT NextPacketSize(std::uint32_t& frames);
  HRESULT GetBuffer(const std::uint8_t*& data, std::uint32_t& frames, std::uint32_t& flags,
                    std::uint64_t& devicePosition, std::uint64_t& qpcPosition);
  HRESULT ReleaseBuffer(std::uint32_t frames);
  // Frames dropped because the engine did not read in time (the device positions jump by them).
  std::uint64_t DroppedFrames();

 private:
  struct Packet {
    std::vector<std::uint8_t> bytes;  // zeros for a hole
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    std::uint64_t devicePosition = 0;
    std::uint64_t qpcPosition = 0;
  };

  PulseCaptureStream(std::shared_ptr<PulseConnection> connection, std::uint32_t frameBytes,
                     std::uint32_t rate, std::uint64_t requestedFrames);
  bool InvalidatedLocked() const;
  std::int64_t FramesToHns(std::uint64_t frames) const;
  // Moves the time line's origin (loop thread): from the server's stream time (100-ns units;
  // negative when it has none yet), else by the arrival of `readableFrames` more frames.
  void NoteArrival(std::uint64_t readableFrames, std::int64_t streamTime);
  void Push(Packet packet);
  static void OnRead(pa_stream* s, std::size_t bytes, void* self);
  static void OnState(pa_stream* s, void* self);

  const std::shared_ptr<PulseConnection> connection_;
  const std::uint32_t frameBytes_;
  const std::uint32_t rate_;
  pa_stream* stream_ = nullptr;  // used under the connection's loop lock only

  std::atomic<bool> failed_{false};  // written by the loop thread when the stream dies

  // Guards the queue and its counters. Taken by the loop thread (inside the loop lock: order
  // loop lock, then mutex_) and by the engine's thread, which never takes the loop lock while
  // holding it.
  std::mutex mutex_;
  std::deque<Packet> queue_;
  std::uint64_t queuedFrames_ = 0;   // frames in queue_
  std::optional<Packet> handedOut_;  // out through GetBuffer until ReleaseBuffer
  std::uint64_t position_ = 0;       // frames received since the stream started (loop thread)
  std::uint64_t droppedFrames_ = 0;
  // The requested buffer plus what the server may hand over at once (two of the fragments it
  // granted): set once the stream is ready, before it is uncorked.
  std::uint64_t maxQueuedFrames_ = 0;
  // Monotonic time (100-ns units) at which frame 0 of the stream was recorded: now less the
  // server's stream time; before the server's timing is known, the earliest arrival less the
  // frames up to it. -1 before the first read.
  std::int64_t origin_ = -1;
  std::int64_t originAt_ = 0;  // when origin_ was last moved
};

class PulseAudioClient : public AudioClient {
 public:
  PulseAudioClient(std::shared_ptr<PulseConnector> connector, std::string deviceName,
                   AudioFlow flow);
  HRESULT GetMixFormat(std::vector<std::uint8_t>& format) override;
  HRESULT Initialize(AudioShareMode mode, std::uint32_t streamFlags, std::int64_t bufferDuration,
                     std::int64_t periodicity, const WAVEFORMATEX* format) override;
  HRESULT GetCaptureClient(std::unique_ptr<AudioCaptureClient>& out) override;
  HRESULT Start() override;
  HRESULT Stop() override;

 private:
  const std::shared_ptr<PulseConnector> connector_;
  const std::string deviceName_;
  const AudioFlow flow_;
  // Guards stream_: one client may be driven from more than one thread.
  std::mutex mutex_;
  std::shared_ptr<PulseCaptureStream> stream_;  // set by Initialize
};

// The 40-byte WAVEFORMATEXTENSIBLE of float32 samples at a device's rate and channels.
std::vector<std::uint8_t> FloatMixFormat(std::uint32_t rate, std::uint16_t channels,
                                         std::uint32_t channelMask);

}  // namespace tallowmarch::platform
