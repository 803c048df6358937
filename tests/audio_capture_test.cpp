// Audio capture: the capture loop run on a thread of its own against the simulated sound
// devices (chunks, silence for gaps, reconnects, fallbacks and retries), the notifier's
// interface table, and the two audio threads of a session's start and stop.
#include "audio_capture.h"

#include <gtest/gtest.h>
#include <algorithm>

#include <cmath>
#include <cstring>
#include <numbers>
#include <thread>

#include "audio/sim_audio.h"
#include "capture_test_support.h"
#include "engine_clock.h"
#include "save_audio.h"
#include "save_test_support.h"
#include "session_impl.h"
#include "sim_platform.h"
#include "sim_session_fixture.h"
#include "system/sim_system.h"

namespace tallowmarch {
namespace {

using namespace std::chrono_literals;
using platform::AudioFlow;
using platform::AudioRole;
using platform::SimAudioStep;
using platform::SimEndpointSpec;
using platform::SimPacketEvent;
using testing::LogLines;
using testing::WaitUntil;

constexpr wchar_t kSpeakers[] = L"sim-render-speakers";
constexpr wchar_t kHeadphones[] = L"sim-render-headphones";
constexpr wchar_t kMic[] = L"sim-capture-mic";
constexpr std::uint32_t kFloatStereoBlock = 8;

platform::SimAudio& Audio() {
  return sim::Audio();
}

// Replaces one default endpoint's spec with an edited copy (no notification).
void EditEndpoint(const std::wstring& id, const std::function<void(SimEndpointSpec&)>& edit) {
  std::vector<SimEndpointSpec> specs = Audio().Endpoints();
  for (SimEndpointSpec& spec : specs)
    if (spec.id == id) edit(spec);
  Audio().SetEndpoints(specs);
}

// The simulated tone's sample at frame `n`, computed as the simulation does.
float ToneSample(double frequency, double amplitude, std::uint64_t n, double rate = 48000.0) {
  const double cycles = std::fmod(frequency * static_cast<double>(n) / rate, 1.0);
  return static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * cycles));
}

// Left channel of float stereo bytes.
std::vector<float> LeftFloats(const std::vector<std::uint8_t>& bytes, size_t fromFrame = 0,
                              size_t frames = SIZE_MAX) {
  std::vector<float> out;
  for (size_t f = fromFrame; f < bytes.size() / kFloatStereoBlock && out.size() < frames; ++f) {
    float value;
    std::memcpy(&value, bytes.data() + f * kFloatStereoBlock, 4);
    out.push_back(value);
  }
  return out;
}

bool AllZero(const std::vector<std::uint8_t>& bytes, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

// The capture loop of one source on a thread of its own, with its own ring, window, stop flag
// and log.
class CaptureLoop {
 public:
  CaptureLoop(AudioFlow flow, std::wstring configuredId = {})
      : name_(flow == AudioFlow::Render ? L"desktop-audio" : L"mic-audio") {
    window.MarkFloorNow();
    thread_ = std::thread([this, flow, id = std::move(configuredId)] {
      RunAudioCapture(
          flow, ring, window, stop, name_, [this](const std::wstring& line) { log.Add(line); }, id);
    });
  }
  ~CaptureLoop() { Stop(); }
  void Stop() {
    stop.store(true);
    if (thread_.joinable()) thread_.join();
  }
  std::deque<AudioChunk> Chunks() const { return ring.Snapshot({INT64_MIN / 2, INT64_MAX / 2}); }
  bool WaitForChunks(size_t count, std::chrono::milliseconds timeout = 20s) const {
    return WaitUntil([&] { return Chunks().size() >= count; }, timeout);
  }
  // Waits until `packets` more packets have been delivered by the simulation.
  static bool WaitForPackets(std::uint64_t packets) {
    const std::uint64_t target = Audio().PacketsDelivered() + packets;
    return WaitUntil([&] { return Audio().PacketsDelivered() >= target; });
  }

  AudioRing ring;
  ClipWindow window{60.0};
  std::atomic<bool> stop{false};
  LogLines log;

 private:
  std::wstring name_;
  std::thread thread_;
};

class AudioCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::ResetAll(); }
  void TearDown() override { sim::ResetAll(); }
};

// ---- the notifier --------------------------------------------------------------------------

TEST(AudioDeviceNotifierTest, InterfaceTableAndReferenceCount) {
  auto* notifier = new AudioDeviceNotifier(AudioFlow::Render);
  void* out = reinterpret_cast<void*>(std::uintptr_t{1});
  EXPECT_EQ(notifier->QueryInterface(platform::IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<platform::AudioNotificationClient*>(notifier));
  EXPECT_EQ(notifier->QueryInterface(platform::IID_IMMNotificationClient, &out), S_OK);
  EXPECT_EQ(out, static_cast<platform::AudioNotificationClient*>(notifier));
  const GUID other = {0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
  EXPECT_EQ(notifier->QueryInterface(other, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(notifier->QueryInterface(other, nullptr), E_POINTER);
  // 1 at construction, +2 from the two successful queries.
  EXPECT_EQ(notifier->AddRef(), 4u);
  EXPECT_EQ(notifier->Release(), 3u);
  EXPECT_EQ(notifier->Release(), 2u);
  EXPECT_EQ(notifier->Release(), 1u);
  EXPECT_EQ(notifier->Release(), 0u);  // deleted here (the sanitizer builds check the rest)
}

TEST(AudioDeviceNotifierTest, WhatCountsAsAChange) {
  auto* notifier = new AudioDeviceNotifier(AudioFlow::Capture);
  // Nothing tracked: an empty id matches nothing either.
  EXPECT_EQ(notifier->OnDeviceRemoved(L""), S_OK);
  EXPECT_EQ(notifier->OnDeviceStateChanged(L"mic", platform::kDeviceStateUnplugged), S_OK);
  EXPECT_FALSE(notifier->TakeChanged());

  notifier->SetTrackedDeviceId(L"mic");
  EXPECT_EQ(notifier->OnDeviceAdded(L"mic"), S_OK);
  EXPECT_EQ(notifier->OnPropertyValueChanged(L"mic"), S_OK);
  EXPECT_EQ(notifier->OnDeviceRemoved(L"MIC"), S_OK);  // exact comparison
  EXPECT_EQ(notifier->OnDeviceStateChanged(L"other", platform::kDeviceStateDisabled), S_OK);
  for (AudioRole role : {AudioRole::Multimedia, AudioRole::Communications})
    EXPECT_EQ(notifier->OnDefaultDeviceChanged(AudioFlow::Capture, role, L"x"), S_OK);
  EXPECT_EQ(notifier->OnDefaultDeviceChanged(AudioFlow::Render, AudioRole::Console, L"x"), S_OK);
  EXPECT_FALSE(notifier->TakeChanged());

  // Any new state of the tracked endpoint counts, active included.
  notifier->OnDeviceStateChanged(L"mic", platform::kDeviceStateActive);
  EXPECT_TRUE(notifier->TakeChanged());
  EXPECT_FALSE(notifier->TakeChanged());  // taking clears it
  notifier->OnDeviceRemoved(L"mic");
  EXPECT_TRUE(notifier->TakeChanged());
  // The default of the own flow for the console role counts whatever its id.
  notifier->OnDefaultDeviceChanged(AudioFlow::Capture, AudioRole::Console, L"");
  // A wait returns at once on a change already marked and does not clear it.
  const auto before = std::chrono::steady_clock::now();
  notifier->WaitForChange(60000);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);
  EXPECT_TRUE(notifier->TakeChanged());
  notifier->Release();
}

TEST(AudioDeviceNotifierTest, AWaitEndsWhenAnotherThreadMarksAChange) {
  auto* notifier = new AudioDeviceNotifier(AudioFlow::Render);
  std::thread marker([notifier] {
    std::this_thread::sleep_for(50ms);
    notifier->MarkChanged();
  });
  notifier->WaitForChange(60000);  // a missed wake-up would hold the test for a minute
  marker.join();
  EXPECT_TRUE(notifier->TakeChanged());
  notifier->Release();
}

// ---- chunks ------------------------------------------------------------------------------

TEST_F(AudioCaptureTest, LoopbackGathersTwoSecondChunksOfTheTone) {
  CaptureLoop loop(AudioFlow::Render);
  ASSERT_TRUE(loop.WaitForChunks(2));
  // A save also takes the sound being gathered: on from the last chunk, up to the last packets.
  ASSERT_TRUE(CaptureLoop::WaitForPackets(20));
  const std::int64_t now = NowHns();
  const std::deque<AudioChunk> upToNow = loop.ring.SnapshotUpToNow({INT64_MIN / 2, INT64_MAX / 2});
  ASSERT_EQ(upToNow.size(), 3u);
  EXPECT_LE(std::llabs(upToNow[2].startTime - upToNow[1].EndTime()), 1);
  EXPECT_GT(upToNow[2].EndTime(), now - 1000000);
  EXPECT_EQ(sim::System().OpenMmThreadTasks(), 1);
  loop.Stop();
  EXPECT_EQ(loop.ring.SnapshotUpToNow({INT64_MIN / 2, INT64_MAX / 2}).size(), 2u);  // gone
  EXPECT_EQ(sim::System().OpenMmThreadTasks(), 0);
  EXPECT_EQ(Audio().RegisteredClients(), 0);
  EXPECT_EQ(Audio().RunningStreams(), 0);

  EXPECT_EQ(loop.log.Lines(),
            std::vector<std::wstring>{L"[desktop-audio] device: Speakers (Sim Audio)"});
  // The mix format as the endpoint gave it: WAVEFORMATEXTENSIBLE, float, 48 kHz stereo.
  const std::vector<std::uint8_t> format = loop.ring.MixFormat();
  ASSERT_EQ(format.size(), 40u);
  const auto* wave = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format.data());
  EXPECT_EQ(wave->Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(wave->Format.nSamplesPerSec, 48000u);
  EXPECT_EQ(wave->Format.nBlockAlign, kFloatStereoBlock);
  EXPECT_TRUE(wave->SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);

  const std::vector<platform::SimClientRecord> clients = Audio().InitializedClients();
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].endpointId, kSpeakers);
  EXPECT_EQ(clients[0].streamFlags, platform::AUDCLNT_STREAMFLAGS_LOOPBACK);
  EXPECT_EQ(clients[0].bufferDuration, 10000000);
  EXPECT_EQ(clients[0].periodicity, 0);
  EXPECT_EQ(clients[0].shareMode, platform::AudioShareMode::Shared);

  const std::deque<AudioChunk> chunks = loop.Chunks();
  for (size_t i = 0; i < chunks.size(); ++i) {
    SCOPED_TRACE(i);
    const AudioChunk& chunk = chunks[i];
    // About 2 s of wall-clock time each; the sound still in flight at a check opens the next.
    EXPECT_GT(chunk.durationSeconds, 1.8);
    EXPECT_LT(chunk.durationSeconds, 3.0);
    if (i > 0) {  // back to back: each starts where the one before ends
      EXPECT_LE(std::llabs(chunk.startTime - chunks[i - 1].EndTime()), 1);
    }
    // A chunk's duration is the sound it holds.
    const size_t frames = chunk.bytes->size() / kFloatStereoBlock;
    EXPECT_NEAR(static_cast<double>(frames), chunk.durationSeconds * 48000, 0.5);
    EXPECT_EQ(chunk.format->size(), 40u);
    const std::vector<float> left = LeftFloats(*chunk.bytes, 0, 48000);
    EXPECT_NEAR(test::DominantFrequency(left, 48000), 440.0, 3.0);
    EXPECT_NEAR(test::Rms(left), 0.25 / std::sqrt(2.0), 0.01);
  }
  // The first chunk is the stream from its first frame, sample for sample (packets are copied
  // before they are released).
  const std::vector<float> first = LeftFloats(*chunks[0].bytes, 0, 4800);
  for (std::uint64_t n = 0; n < first.size(); ++n)
    ASSERT_NEAR(first[n], ToneSample(440.0, 0.25, n), 1e-6) << n;
}

TEST_F(AudioCaptureTest, MicrophoneCapturesWithoutLoopbackInAnIntegerFormat) {
  EditEndpoint(kMic, [](SimEndpointSpec& spec) {
    spec.sampleType = platform::SimSampleType::Int16;
    spec.sampleRate = 44100;
    spec.channels = 1;
    spec.extensibleFormat = false;
    spec.packetFrames = 441;
  });
  CaptureLoop loop(AudioFlow::Capture);
  ASSERT_TRUE(loop.WaitForChunks(1));
  loop.Stop();
  EXPECT_EQ(loop.log.Lines(),
            std::vector<std::wstring>{L"[mic-audio] device: Microphone (Sim Audio)"});
  ASSERT_EQ(Audio().InitializedClients().size(), 1u);
  EXPECT_EQ(Audio().InitializedClients()[0].streamFlags, 0u);
  const std::vector<std::uint8_t> format = loop.ring.MixFormat();
  ASSERT_EQ(format.size(), 18u);  // a plain WAVEFORMATEX
  const auto* wave = reinterpret_cast<const WAVEFORMATEX*>(format.data());
  EXPECT_EQ(wave->wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(wave->nSamplesPerSec, 44100u);
  const AudioChunk chunk = loop.Chunks().front();
  EXPECT_EQ(chunk.bytes->size() % 2, 0u);
  EXPECT_GE(chunk.bytes->size() / 2, static_cast<size_t>(chunk.durationSeconds * 44100));
  std::vector<float> samples;
  for (size_t i = 0; i + 1 < chunk.bytes->size() && samples.size() < 44100; i += 2) {
    std::int16_t value;
    std::memcpy(&value, chunk.bytes->data() + i, 2);
    samples.push_back(value / 32768.0f);
  }
  EXPECT_NEAR(test::DominantFrequency(samples, 44100), 1000.0, 3.0);
}

TEST_F(AudioCaptureTest, AnIdleLoopbackGivesChunksOfSilenceAsLongAsTheirDuration) {
  EditEndpoint(kSpeakers, [](SimEndpointSpec& spec) { spec.idle = true; });
  CaptureLoop loop(AudioFlow::Render);
  ASSERT_TRUE(loop.WaitForChunks(2));
  loop.Stop();
  EXPECT_EQ(Audio().PacketsDelivered(), 0u);
  for (const AudioChunk& chunk : loop.Chunks()) {
    const auto frames = static_cast<size_t>(chunk.durationSeconds * 48000);  // truncated
    EXPECT_EQ(chunk.bytes->size(), frames * kFloatStereoBlock);
    EXPECT_TRUE(AllZero(*chunk.bytes, 0, chunk.bytes->size()));
  }
}

TEST_F(AudioCaptureTest, DevicePositionGapsBecomeSilenceAndOnlyForwardJumpsCount) {
  EditEndpoint(kSpeakers, [](SimEndpointSpec& spec) {
    spec.packetEvents = {
        {0, 5000, false},   // the first packet's position is never preceded by silence
        {4, 1000, false},   // 1000 frames lost before packet 4
        {8, -3000, false},  // the position goes back: nothing inserted
        {9, 0, true},       // packets 9 and 10 are flagged silent (their bytes hold the tone)
        {10, 0, true},
        {12, 700, false},  // after going back, the expectation restarted from packet 8
    };
  });
  CaptureLoop loop(AudioFlow::Render);
  ASSERT_TRUE(loop.WaitForChunks(1));
  loop.Stop();
  const std::vector<std::uint8_t>& bytes = *loop.Chunks().front().bytes;
  const size_t packet = 480 * kFloatStereoBlock;
  // Stream packets 0..3 first, from the first frame.
  std::vector<float> left = LeftFloats(bytes, 0, 4 * 480);
  for (std::uint64_t n = 1; n < left.size(); n += 97)
    ASSERT_NEAR(left[n], ToneSample(440.0, 0.25, n), 1e-6) << n;
  // 1000 frames of silence, then packet 4 onwards.
  EXPECT_TRUE(AllZero(bytes, 4 * packet, 4 * packet + 1000 * kFloatStereoBlock));
  size_t offset = 4 * 480 + 1000;             // in frames
  left = LeftFloats(bytes, offset, 5 * 480);  // packets 4..8
  for (std::uint64_t n = 1; n < left.size(); n += 97)
    ASSERT_NEAR(left[n], ToneSample(440.0, 0.25, 4 * 480 + n), 1e-6) << n;
  // Packets 9 and 10: zero bytes of their full length; packet 11 is the tone again.
  offset += 5 * 480;
  EXPECT_TRUE(AllZero(bytes, offset * kFloatStereoBlock, (offset + 2 * 480) * kFloatStereoBlock));
  offset += 2 * 480;
  EXPECT_NEAR(LeftFloats(bytes, offset + 5, 1)[0], ToneSample(440.0, 0.25, 11 * 480 + 5), 1e-6);
  // 700 frames of silence before packet 12.
  offset += 480;
  EXPECT_TRUE(AllZero(bytes, offset * kFloatStereoBlock, (offset + 700) * kFloatStereoBlock));
  EXPECT_NEAR(LeftFloats(bytes, offset + 700 + 5, 1)[0], ToneSample(440.0, 0.25, 12 * 480 + 5),
              1e-6);
}

TEST_F(AudioCaptureTest, AWildPositionJumpIsCut) {
  // A corrupt jump by 2^50 frames at packet 300 (3 s into the stream, in the second chunk).
  EditEndpoint(kSpeakers, [](SimEndpointSpec& spec) {
    spec.packetEvents = {{300, std::int64_t{1} << 50, false}};
  });
  CaptureLoop loop(AudioFlow::Render);
  ASSERT_TRUE(loop.WaitForChunks(2));
  loop.Stop();
  const std::deque<AudioChunk> chunks = loop.Chunks();
  // At most 2 s of silence were inserted for the jump.
  const std::vector<std::uint8_t>& second = *chunks[1].bytes;
  EXPECT_LE(second.size(), static_cast<size_t>(4.5 * 48000) * kFloatStereoBlock);
  size_t silent = 0;
  for (size_t f = 0; f < second.size() / kFloatStereoBlock; ++f)
    silent += AllZero(second, f * kFloatStereoBlock, (f + 1) * kFloatStereoBlock) ? 1 : 0;
  EXPECT_GE(silent, static_cast<size_t>(1.0 * 48000));
  EXPECT_LE(silent, static_cast<size_t>(2.0 * 48000) + 10);
}

// The tone a simulated endpoint plays at `seconds` after its stream started.
float ToneAt(double frequency, double amplitude, double seconds) {
  const double cycles = std::fmod(frequency * seconds, 1.0);
  return static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * cycles));
}

// Device frame 0 of a simulated stream on the engine's clock.
std::int64_t StreamStart(const platform::SimClientRecord& record) {
  return PerformanceHnsToNowHns(
      CounterToHns(record.startCounter, sim::System().PerformanceFrequency()));
}

TEST_F(AudioCaptureTest, ChunksLandAtTheirTrueTimesInTheirOwnFormat) {
  // The speakers hand every packet over 35 ms late, so sound is in flight at every check, and
  // lose 100 ms of frames 2.5 s in; then the default moves to 44.1-kHz 16-bit mono headphones.
  constexpr std::uint64_t kLossAt = 250 * 480, kLost = 4800;
  EditEndpoint(kSpeakers, [](SimEndpointSpec& spec) {
    spec.deliveryDelayMs = 35;
    spec.packetEvents = {{250, 0, false, kLost}};
  });
  EditEndpoint(kHeadphones, [](SimEndpointSpec& spec) {
    spec.sampleType = platform::SimSampleType::Int16;
    spec.sampleRate = 44100;
    spec.channels = 1;
    spec.extensibleFormat = false;
    spec.packetFrames = 441;
    spec.deliveryDelayMs = 20;
  });
  CaptureLoop loop(AudioFlow::Render);
  ASSERT_TRUE(loop.WaitForChunks(2));
  ASSERT_TRUE(CaptureLoop::WaitForPackets(50));  // half a second into the third chunk
  Audio().SetDefaultEndpoint(AudioFlow::Render, AudioRole::Console, kHeadphones);
  ASSERT_TRUE(loop.log.WaitFor(L"[desktop-audio] device: Headphones (Sim Audio)"));
  ASSERT_TRUE(WaitUntil([&] {
    const std::deque<AudioChunk> chunks = loop.Chunks();
    return chunks.back().format->size() == 18;
  }));
  loop.Stop();
  const std::vector<platform::SimClientRecord> streams = Audio().InitializedClients();
  ASSERT_EQ(streams.size(), 2u);
  const std::int64_t speakersStart = StreamStart(streams[0]);
  const std::int64_t headphonesStart = StreamStart(streams[1]);

  // The partial chunk of the speakers is kept: their sound reaches up to the switch.
  const std::deque<AudioChunk> chunks = loop.Chunks();
  std::int64_t speakersEnd = 0;
  for (const AudioChunk& chunk : chunks)
    if (chunk.format->size() == 40) speakersEnd = std::max(speakersEnd, chunk.EndTime());
  EXPECT_GT(speakersEnd, headphonesStart - SecondsToHns(0.2));
  EXPECT_LE(speakersEnd, headphonesStart);

  // Mixed with the ring's format, which is now the headphones'.
  std::vector<std::wstring> lines;
  SaveMemoryLog memLog{[&](const std::wstring& l) { lines.push_back(l); }, 0.0};
  const std::int64_t clipStart = speakersStart - SecondsToHns(0.1);
  const std::uint64_t mixLength =
      static_cast<std::uint64_t>((chunks.back().EndTime() - clipStart) * 48 / 10000);
  std::vector<float> mix(2 * mixLength, 0.0f);
  AudioMixJob job{memLog, clipStart, mixLength, mix};
  MixAudioSource(job, chunks, loop.ring.MixFormat(), 1.0f);
  auto frameOf = [&](std::int64_t time) { return (time - clipStart) * 48 / 10000; };

  // The speakers, sample for sample at their true times across every chunk join: nothing
  // padded for the late packets, nothing missing or doubled; silence exactly where frames
  // were lost.
  const std::int64_t first = frameOf(speakersStart), last = frameOf(speakersEnd);
  double worst = 0;
  std::int64_t worstAt = -1;
  for (std::int64_t d = first; d < last; ++d) {
    const auto n = static_cast<std::uint64_t>(d - first);
    const float want = (n >= kLossAt && n < kLossAt + kLost) ? 0.0f : ToneSample(440.0, 0.25, n);
    if (std::fabs(mix[2 * d] - want) > worst) {
      worst = std::fabs(mix[2 * d] - want);
      worstAt = d;
    }
  }
  EXPECT_LT(worst, 1e-6) << "at " << (worstAt - first) << " frames into the stream";
  // The hole of the reconnect is silence at its place.
  for (std::int64_t d = last; d < frameOf(headphonesStart); ++d) ASSERT_EQ(mix[2 * d], 0.0f) << d;
  // The headphones in their own format, at their true time.
  const std::int64_t from = frameOf(headphonesStart) + 2400;
  worst = 0;
  for (std::int64_t d = from; d < from + 48000 && d < static_cast<std::int64_t>(mixLength); ++d) {
    const double seconds = static_cast<double>(d - frameOf(headphonesStart)) / 48000.0;
    worst = std::max<double>(worst, std::fabs(mix[2 * d + 1] - ToneAt(660.0, 0.25, seconds)));
  }
  EXPECT_LT(worst, 0.05);  // within two samples (one sample of 660 Hz at 0.25 is 0.022)
}

// ---- endpoints that are missing, configured, changed or failing ----------------------------

TEST_F(AudioCaptureTest, NoMicrophoneWaitsTwiceASecondThenCapturesTheNewDefault) {
  Audio().SetEndpoints({Audio().Endpoints()[0]});  // the speakers only
  CaptureLoop loop(AudioFlow::Capture);
  const auto begin = std::chrono::steady_clock::now();
  const std::wstring waiting =
      L"[mic-audio] no default device available - waiting for one to appear...";
  ASSERT_TRUE(loop.log.WaitFor(waiting, 4));
  // Each pass waits 500 ms for a change: four lines take at least three waits.
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 1200ms);
  EXPECT_EQ(Audio().ClientsActivated(), 0);

  SimEndpointSpec mic{L"usb-mic", L"USB Mic", AudioFlow::Capture};
  mic.isDefault = true;
  mic.toneFrequency = 700.0;
  Audio().AddEndpoint(mic);
  ASSERT_TRUE(loop.log.WaitFor(L"[mic-audio] device: USB Mic"));
  ASSERT_TRUE(loop.WaitForChunks(1));
  loop.Stop();
  for (const std::wstring& line : loop.log.Lines())
    EXPECT_TRUE(line == waiting || line == L"[mic-audio] device: USB Mic") << line;
  EXPECT_EQ(loop.ring.reconnects.load(), 0u);
  EXPECT_NEAR(test::DominantFrequency(LeftFloats(*loop.Chunks().front().bytes, 0, 48000), 48000),
              700.0, 3.0);
}

TEST_F(AudioCaptureTest, AConfiguredEndpointThatIsGoneFallsBackOnEveryPass) {
  const std::wstring fallback =
      L"[desktop-audio] configured device unavailable (0x80070490) - falling back to system "
      L"default";
  CaptureLoop loop(AudioFlow::Render, L"usb-speakers");
  ASSERT_TRUE(loop.log.WaitFor(L"[desktop-audio] device: Speakers (Sim Audio)"));
  EXPECT_EQ(loop.log.Lines().front(), fallback);
  ASSERT_TRUE(CaptureLoop::WaitForPackets(5));

  // The configured endpoint comes back: its arrival is not watched, the default stays in use.
  SimEndpointSpec usb{L"usb-speakers", L"USB Speakers", AudioFlow::Render};
  const std::uint64_t sent = Audio().NotificationsSent();
  Audio().AddEndpoint(usb);
  ASSERT_TRUE(WaitUntil([&] { return Audio().NotificationsSent() > sent; }));
  ASSERT_TRUE(CaptureLoop::WaitForPackets(10));
  EXPECT_EQ(loop.log.Count(L"[desktop-audio] device changed"), 0);

  // A default change for the console role reconnects, and the configured id is tried first.
  Audio().SetDefaultEndpoint(AudioFlow::Render, AudioRole::Console, kHeadphones);
  ASSERT_TRUE(loop.log.WaitFor(L"[desktop-audio] device: USB Speakers"));
  EXPECT_EQ(loop.log.Count(fallback), 1);
  EXPECT_EQ(loop.log.Count(L"[desktop-audio] device changed - reconnecting (reconnect #1)..."), 1);

  // It goes again: every pass from now on falls back, to the new default. (When the removal
  // notice comes while the next pass is opening the default, that pass counts one more
  // reconnect and falls back once more.)
  const std::uint64_t before = Audio().NotificationsSent();
  Audio().RemoveEndpoint(L"usb-speakers");
  ASSERT_TRUE(loop.log.WaitFor(L"[desktop-audio] device: Headphones (Sim Audio)"));
  ASSERT_TRUE(WaitUntil([&] { return Audio().NotificationsSent() > before; }));
  ASSERT_TRUE(CaptureLoop::WaitForPackets(5));
  loop.Stop();
  EXPECT_EQ(loop.log.Count(L"[desktop-audio] device changed - reconnecting (reconnect #2)..."), 1);
  EXPECT_GE(loop.ring.reconnects.load(), 2u);
  // That late notice can also end a pass just before the stop, with no pass after it. And the
  // removal may reach the capture as a failing read before its notice: that pass ends in a
  // capture error, and the retry, which counts no reconnect, falls back as well.
  const std::vector<std::wstring> lines = loop.log.Lines();
  const bool endedOnReconnect = lines.back().rfind(L"[desktop-audio] device changed", 0) == 0;
  const int captureErrors = loop.log.Count(L"[desktop-audio] capture error");
  EXPECT_LE(captureErrors, 1);
  EXPECT_EQ(loop.log.Count(fallback), static_cast<int>(loop.ring.reconnects.load()) -
                                          (endedOnReconnect ? 1 : 0) + captureErrors);
  const auto lastDevice = std::find_if(lines.rbegin(), lines.rend(), [](const std::wstring& l) {
    return l.rfind(L"[desktop-audio] device: ", 0) == 0;
  });
  ASSERT_NE(lastDevice, lines.rend());
  EXPECT_EQ(*lastDevice, L"[desktop-audio] device: Headphones (Sim Audio)");
}

TEST_F(AudioCaptureTest, OnlyTheConsoleDefaultOfTheOwnFlowReconnects) {
  CaptureLoop loop(AudioFlow::Render, kHeadphones);
  ASSERT_TRUE(loop.log.WaitFor(L"[desktop-audio] device: Headphones (Sim Audio)"));
  ASSERT_TRUE(CaptureLoop::WaitForPackets(5));
  const std::uint64_t sent = Audio().NotificationsSent();
  Audio().SetDefaultEndpoint(AudioFlow::Render, AudioRole::Communications, kSpeakers);
  Audio().SetDefaultEndpoint(AudioFlow::Render, AudioRole::Multimedia, kSpeakers);
  Audio().SetDefaultEndpoint(AudioFlow::Capture, AudioRole::Console, kMic);
  Audio().SetEndpointState(kMic, platform::kDeviceStateDisabled);  // not the endpoint in use
  ASSERT_TRUE(WaitUntil([&] { return Audio().NotificationsSent() >= sent + 4; }));
  ASSERT_TRUE(CaptureLoop::WaitForPackets(10));
  EXPECT_EQ(loop.ring.reconnects.load(), 0u);
  EXPECT_EQ(Audio().ClientsActivated(), 1);

  // The console default changes (to the speakers): the configured headphones are opened again.
  Audio().SetDefaultEndpoint(AudioFlow::Render, AudioRole::Console, kSpeakers);
  ASSERT_TRUE(loop.log.WaitFor(L"[desktop-audio] device: Headphones (Sim Audio)", 2));
  loop.Stop();
  EXPECT_EQ(loop.ring.reconnects.load(), 1u);
  EXPECT_EQ(Audio().ClientsActivated(), 2);
  EXPECT_EQ(loop.log.Count(L"[desktop-audio] configured device unavailable"), 0);
}

TEST_F(AudioCaptureTest, ReconnectsAreCountedForEveryWayOutOfTheCapture) {
  CaptureLoop loop(AudioFlow::Capture);
  auto reconnect = [](unsigned n) {
    return L"[mic-audio] device changed - reconnecting (reconnect #" + std::to_wstring(n) + L")...";
  };
  ASSERT_TRUE(loop.log.WaitFor(L"[mic-audio] device: Microphone (Sim Audio)"));
  // A failed GetNextPacketSize, a failed GetBuffer, a state change of the endpoint in use.
  Audio().SetFailure(SimAudioStep::GetNextPacketSize, platform::AUDCLNT_E_SERVICE_NOT_RUNNING, 1);
  ASSERT_TRUE(loop.log.WaitFor(reconnect(1)));
  ASSERT_TRUE(loop.log.WaitFor(L"[mic-audio] device: Microphone (Sim Audio)", 2));
  ASSERT_TRUE(CaptureLoop::WaitForPackets(3));
  Audio().SetFailure(SimAudioStep::GetBuffer, AUDCLNT_E_DEVICE_INVALIDATED, 1);
  ASSERT_TRUE(loop.log.WaitFor(reconnect(2)));
  ASSERT_TRUE(loop.log.WaitFor(L"[mic-audio] device: Microphone (Sim Audio)", 3));
  ASSERT_TRUE(CaptureLoop::WaitForPackets(3));
  Audio().SetEndpointState(kMic, platform::kDeviceStateActive);
  ASSERT_TRUE(loop.log.WaitFor(reconnect(3)));
  ASSERT_TRUE(loop.log.WaitFor(L"[mic-audio] device: Microphone (Sim Audio)", 4));
  // Removed while in use: a reconnect, then the wait for a default.
  ASSERT_TRUE(CaptureLoop::WaitForPackets(3));
  Audio().RemoveEndpoint(kMic);
  ASSERT_TRUE(loop.log.WaitFor(reconnect(4)));
  ASSERT_TRUE(loop.log.WaitFor(L"[mic-audio] no default device available"));
  loop.Stop();
  EXPECT_EQ(loop.ring.reconnects.load(), 4u);
  EXPECT_EQ(loop.log.Count(L"[mic-audio] capture error"), 0);
  // The stop itself is no reconnect.
  EXPECT_EQ(loop.log.Count(L"[mic-audio] device changed"), 4);
}

TEST_F(AudioCaptureTest, FailedStepsOfOpeningAnEndpointAreRetriedWithoutAReconnect) {
  struct Case {
    SimAudioStep step;
    HRESULT hr;
    const wchar_t* line;
  };
  const Case cases[] = {
      {SimAudioStep::Activate, E_OUTOFMEMORY,
       L"[desktop-audio] capture error: 0x8007000E (Not enough memory resources are available "
       L"to complete this operation.) - retrying..."},
      {SimAudioStep::GetMixFormat, E_FAIL,
       L"[desktop-audio] capture error: 0x80004005 (Unspecified error) - retrying..."},
      {SimAudioStep::Initialize, E_INVALIDARG,
       L"[desktop-audio] capture error: 0x80070057 (The parameter is incorrect.) - retrying..."},
      {SimAudioStep::GetService, E_NOINTERFACE,
       L"[desktop-audio] capture error: 0x80004002 (No such interface supported) - retrying..."},
      {SimAudioStep::Start, AUDCLNT_E_DEVICE_INVALIDATED,
       L"[desktop-audio] capture error: 0x88890004 (The audio endpoint device has been "
       L"unplugged.) - retrying..."},
      {SimAudioStep::ReleaseBuffer, E_ACCESSDENIED,
       L"[desktop-audio] capture error: 0x80070005 (Access is denied.) - retrying..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.step));
    sim::ResetAll();
    Audio().SetFailure(c.step, c.hr, 2);
    CaptureLoop loop(AudioFlow::Render);
    ASSERT_TRUE(loop.log.WaitFor(L"[desktop-audio] device: Speakers (Sim Audio)", 3));
    ASSERT_TRUE(CaptureLoop::WaitForPackets(3));
    loop.Stop();
    EXPECT_EQ(loop.log.Count(c.line), 2);
    EXPECT_EQ(loop.ring.reconnects.load(), 0u);
    EXPECT_EQ(loop.log.Count(L"[desktop-audio] device changed"), 0);
    EXPECT_EQ(loop.log.Count(L"[desktop-audio] device: Speakers (Sim Audio)"), 3);
    EXPECT_EQ(Audio().RunningStreams(), 0);  // every opened stream was let go
  }
}

TEST_F(AudioCaptureTest, AConfiguredEndpointThatCannotBeActivatedIsRetriedWithoutFallback) {
  Audio().SetFailure(SimAudioStep::Activate, E_ACCESSDENIED, -1, kHeadphones);
  CaptureLoop loop(AudioFlow::Render, kHeadphones);
  ASSERT_TRUE(loop.log.WaitFor(L"[desktop-audio] capture error: 0x80070005", 3));
  loop.Stop();
  EXPECT_EQ(loop.log.Count(L"[desktop-audio] configured device unavailable"), 0);
  EXPECT_EQ(loop.log.Count(L"[desktop-audio] device: Speakers"), 0);
  EXPECT_EQ(Audio().ClientsActivated(), 0);
}

TEST_F(AudioCaptureTest, AnUnusableMixFormatIsACaptureErrorNotACrash) {
  // No channels: a block alignment of 0, which the chunk arithmetic divides by.
  EditEndpoint(kSpeakers, [](SimEndpointSpec& spec) { spec.channels = 0; });
  CaptureLoop loop(AudioFlow::Render);
  ASSERT_TRUE(loop.log.WaitFor(L"[desktop-audio] capture error: 0x88890008", 2));
  loop.Stop();
  EXPECT_TRUE(loop.ring.MixFormat().empty());
  EXPECT_EQ(loop.Chunks().size(), 0u);
}

TEST_F(AudioCaptureTest, ASoundServiceThatIsNotUpIsRetriedUntilItIs) {
  Audio().SetEnumeratorResult(platform::AUDCLNT_E_SERVICE_NOT_RUNNING);
  CaptureLoop loop(AudioFlow::Render);
  ASSERT_TRUE(loop.log.WaitFor(L"[desktop-audio] capture error: 0x88890010", 2));
  Audio().SetEnumeratorResult(S_OK);
  Audio().SetRegisterResult(E_OUTOFMEMORY);
  ASSERT_TRUE(loop.log.WaitFor(L"[desktop-audio] capture error: 0x8007000E", 1));
  Audio().SetRegisterResult(S_OK);
  ASSERT_TRUE(loop.WaitForChunks(1));
  EXPECT_EQ(Audio().RegisteredClients(), 1);
  loop.Stop();
  EXPECT_EQ(Audio().RegisteredClients(), 0);
  EXPECT_EQ(sim::System().OpenMmThreadTasks(), 0);
}

TEST_F(AudioCaptureTest, AStopEndsTheWaitAndTheErrorPause) {
  Audio().SetEndpoints({});
  {
    CaptureLoop loop(AudioFlow::Render);
    ASSERT_TRUE(loop.log.WaitFor(L"[desktop-audio] no default device available"));
  }  // joins
  sim::ResetAll();
  Audio().SetFailure(SimAudioStep::Activate, E_FAIL);
  {
    CaptureLoop loop(AudioFlow::Render);
    ASSERT_TRUE(loop.log.WaitFor(L"[desktop-audio] capture error"));
  }
  EXPECT_EQ(Audio().RegisteredClients(), 0);
}

// ---- the session's audio threads -----------------------------------------------------------

class SessionAudioTest : public testing::SimSessionTest {
 protected:
  bool WaitForChunks(AudioRing& ring, size_t count) {
    return WaitUntil([&] { return ring.Count() >= count; });
  }
  void SetSettings(bool desktopMuted, bool micMuted, std::wstring desktopId = {},
                   std::wstring micId = {}) {
    AudioSettings settings;
    settings.desktopMuted = desktopMuted;
    settings.micMuted = micMuted;
    settings.desktopDeviceId = std::move(desktopId);
    settings.micDeviceId = std::move(micId);
    session->SetAudioSettings(settings);
  }
};

TEST_F(SessionAudioTest, BothSourcesCaptureIntoTheirRingsUntilStop) {
  SetSettings(false, false, kHeadphones);
  ASSERT_TRUE(session->Start(testing::kWindow, false, 0, 0, 0, 0));
  EXPECT_TRUE(S().desktopAudioThread.joinable());
  EXPECT_TRUE(S().micAudioThread.joinable());
  ASSERT_TRUE(WaitForChunks(S().desktopRing, 1));
  ASSERT_TRUE(WaitForChunks(S().micRing, 1));
  EXPECT_EQ(log.Count(L"[desktop-audio] device: Headphones (Sim Audio)"), 1);
  EXPECT_EQ(log.Count(L"[mic-audio] device: Microphone (Sim Audio)"), 1);
  EXPECT_EQ(S().desktopRing.MixFormat().size(), 40u);
  const AudioChunk mic = S().micRing.Snapshot({INT64_MIN / 2, INT64_MAX / 2}).front();
  EXPECT_GE(mic.startTime, S().clipWindow.FloorTime());
  EXPECT_NEAR(test::DominantFrequency(LeftFloats(*mic.bytes, 0, 48000), 48000), 1000.0, 3.0);
  session->Stop();
  EXPECT_FALSE(S().desktopAudioThread.joinable());
  EXPECT_FALSE(S().micAudioThread.joinable());
  EXPECT_EQ(S().desktopRing.Count() + S().micRing.Count(), 0u);
  EXPECT_TRUE(S().desktopRing.MixFormat().empty());
  EXPECT_TRUE(S().micRing.MixFormat().empty());
  EXPECT_EQ(Audio().RegisteredClients(), 0);
  EXPECT_EQ(sim::System().OpenMmThreadTasks(), 0);
}

TEST_F(SessionAudioTest, AMutedSourceHasNoThreadUntilTheNextStart) {
  SetSettings(true, false);
  ASSERT_TRUE(session->Start(testing::kWindow, false, 0, 0, 0, 0));
  EXPECT_FALSE(S().desktopAudioThread.joinable());
  ASSERT_TRUE(WaitForChunks(S().micRing, 1));
  SetSettings(false, true);  // applies at the next start only
  EXPECT_EQ(S().desktopRing.Count(), 0u);
  EXPECT_TRUE(S().desktopRing.MixFormat().empty());
  EXPECT_EQ(log.Count(L"[desktop-audio]"), 0);
  EXPECT_EQ(Audio().InitializedClients().size(), 1u);
  session->Stop();

  log.Clear();
  ASSERT_TRUE(session->Start(testing::kWindow, false, 0, 0, 0, 0));
  EXPECT_TRUE(S().desktopAudioThread.joinable());
  EXPECT_FALSE(S().micAudioThread.joinable());
  ASSERT_TRUE(WaitForChunks(S().desktopRing, 1));
  EXPECT_TRUE(S().micRing.MixFormat().empty());
  session->Stop();
  EXPECT_EQ(log.Count(L"[mic-audio]"), 0);
}

TEST_F(SessionAudioTest, ReconnectNumbersStartAtOneWithEveryCapture) {
  SetSettings(false, true);
  for (int capture = 0; capture < 2; ++capture) {
    SCOPED_TRACE(capture);
    log.Clear();
    ASSERT_TRUE(session->Start(testing::kWindow, false, 0, 0, 0, 0));
    for (unsigned n = 1; n <= 3; ++n) {
      ASSERT_TRUE(log.WaitFor(L"[desktop-audio] device: ", static_cast<int>(n)));
      Audio().SetDefaultEndpoint(AudioFlow::Render, AudioRole::Console, kSpeakers);
      ASSERT_TRUE(log.WaitFor(L"[desktop-audio] device changed - reconnecting (reconnect #" +
                              std::to_wstring(n) + L")..."));
    }
    EXPECT_EQ(S().desktopRing.reconnects.load(), 3u);
    session->Stop();
    EXPECT_EQ(S().desktopRing.reconnects.load(), 0u);
  }
}

TEST_F(SessionAudioTest, AnAudioThreadThatCannotStartFailsTheStartAndJoinsTheOthers) {
  // Thread starts 6 and 7 are the desktop and microphone threads.
  for (int failAt : {6, 7}) {
    SCOPED_TRACE(failAt);
    log.Clear();
    S().failThreadStartAt = failAt;
    EXPECT_FALSE(session->Start(testing::kWindow, false, 0, 0, 0, 0));
    EXPECT_EQ(log.Count(L"Start() failed: 0x8007000E (thread creation failed"), 1);
    EXPECT_FALSE(session->IsCapturing());
    EXPECT_FALSE(S().desktopAudioThread.joinable());
    EXPECT_FALSE(S().micAudioThread.joinable());
    EXPECT_EQ(S().desktopRing.Count(), 0u);
    EXPECT_EQ(Audio().RegisteredClients(), 0);
  }
  S().failThreadStartAt = -1;
  ASSERT_TRUE(session->Start(testing::kWindow, false, 0, 0, 0, 0));
  session->Stop();
}

}  // namespace
}  // namespace tallowmarch
