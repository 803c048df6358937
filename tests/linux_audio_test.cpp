// The PulseAudio audio layer against a private PulseAudio server that each test starts (and
// may kill): listing, loopback and microphone capture of real tones, notifications, a server
// that goes away, and no server at all.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "audio/linux_audio.h"
#include "audio/linux_audio_capture.h"
#include "audio/linux_audio_connection.h"
#include "pulse_test_support.h"

namespace tallowmarch::platform {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using test::kHeadset;
using test::kMic;
using test::kMicHz;
using test::kRate;
using test::kSpeakers;
using test::PulseServer;
using test::WaitFor;

class LinuxAudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::PulseToolsInstalled()) {
      GTEST_SKIP() << "pulseaudio or pactl is not installed";
    }
    ASSERT_TRUE(server_.Start());
    setenv("PULSE_SERVER", server_.Address().c_str(), 1);
    layer_ = MakePulseAudioLayer();
    ASSERT_EQ(layer_->CreateEndpointEnumerator(enumerator_), S_OK);
  }

  std::shared_ptr<AudioEndpoint> Device(const char* name) {
    std::shared_ptr<AudioEndpoint> endpoint;
    EXPECT_EQ(enumerator_->GetDevice(Widen(name), endpoint), S_OK) << name;
    return endpoint;
  }

  static std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

  PulseServer server_;
  std::unique_ptr<AudioLayer> layer_;
  std::unique_ptr<AudioEndpointEnumerator> enumerator_;
};

struct Listed {
  std::wstring id;
  std::wstring name;
  std::uint32_t state = 0;
};

std::vector<Listed> List(AudioEndpointEnumerator& e, AudioFlow flow) {
  std::vector<Listed> out;
  std::unique_ptr<AudioEndpointCollection> collection;
  EXPECT_EQ(e.EnumAudioEndpoints(flow, kDeviceStateActive, collection), S_OK);
  if (!collection) return out;
  std::uint32_t count = 0;
  collection->GetCount(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::shared_ptr<AudioEndpoint> endpoint;
    EXPECT_EQ(collection->Item(i, endpoint), S_OK);
    Listed l;
    endpoint->GetId(l.id);
    endpoint->GetState(l.state);
    std::unique_ptr<AudioPropertyStore> store;
    PropertyValue value;
    EXPECT_EQ(endpoint->OpenPropertyStore(store), S_OK);
    EXPECT_EQ(store->GetFriendlyName(value), S_OK);
    EXPECT_EQ(value.type, PropertyValue::Type::WideString);
    l.name = value.text;
    out.push_back(l);
  }
  return out;
}

TEST_F(LinuxAudioTest, ListsSinksAndNonMonitorSourcesWithTheirDefaults) {
  const auto render = List(*enumerator_, AudioFlow::Render);
  ASSERT_EQ(render.size(), 2u);
  EXPECT_EQ(render[0].id, L"tm_speakers");
  EXPECT_EQ(render[0].name, L"Speakers");
  EXPECT_EQ(render[0].state, kDeviceStateActive);
  EXPECT_EQ(render[1].id, L"tm_headset");
  EXPECT_EQ(render[1].name, L"Headset");

  // The sinks' monitors are not microphones.
  const auto capture = List(*enumerator_, AudioFlow::Capture);
  ASSERT_EQ(capture.size(), 1u);
  EXPECT_EQ(capture[0].id, L"tm_mic");

  for (AudioRole role : {AudioRole::Console, AudioRole::Multimedia, AudioRole::Communications}) {
    std::shared_ptr<AudioEndpoint> endpoint;
    std::wstring id;
    ASSERT_EQ(enumerator_->GetDefaultAudioEndpoint(AudioFlow::Render, role, endpoint), S_OK);
    endpoint->GetId(id);
    EXPECT_EQ(id, L"tm_speakers");
    ASSERT_EQ(enumerator_->GetDefaultAudioEndpoint(AudioFlow::Capture, role, endpoint), S_OK);
    endpoint->GetId(id);
    EXPECT_EQ(id, L"tm_mic");
  }
}

TEST_F(LinuxAudioTest, MissingIdsAndMonitorsAreNotFound) {
  std::shared_ptr<AudioEndpoint> endpoint;
  EXPECT_EQ(enumerator_->GetDevice(L"no_such_sink", endpoint), E_NOTFOUND);
  EXPECT_EQ(enumerator_->GetDevice(L"", endpoint), E_NOTFOUND);
  EXPECT_EQ(enumerator_->GetDevice(L"tm_speakers.monitor", endpoint), E_NOTFOUND);
  EXPECT_EQ(endpoint, nullptr);

  // Without a real source the server makes a monitor its default source: no microphone.
  server_.Pactl({"unload-module", "module-sine-source"});
  ASSERT_EQ(server_.Pactl({"list", "short", "sources"}).find(kMic), std::string::npos);
  EXPECT_EQ(enumerator_->GetDefaultAudioEndpoint(AudioFlow::Capture, AudioRole::Console, endpoint),
            E_NOTFOUND);
  EXPECT_TRUE(List(*enumerator_, AudioFlow::Capture).empty());
}

TEST_F(LinuxAudioTest, MixFormatIsFloatAtTheDeviceRateAndChannels) {
  std::unique_ptr<AudioClient> client;
  ASSERT_EQ(Device(kHeadset)->ActivateAudioClient(client), S_OK);
  std::vector<std::uint8_t> bytes;
  ASSERT_EQ(client->GetMixFormat(bytes), S_OK);
  ASSERT_EQ(bytes.size(), sizeof(WAVEFORMATEXTENSIBLE));
  WAVEFORMATEXTENSIBLE f;
  std::memcpy(&f, bytes.data(), sizeof f);
  EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(f.Format.nSamplesPerSec, 44100u);
  EXPECT_EQ(f.Format.nChannels, 1);
  EXPECT_EQ(f.Format.nBlockAlign, 4);
  EXPECT_EQ(f.Format.nAvgBytesPerSec, 44100u * 4);
  EXPECT_EQ(f.Format.wBitsPerSample, 32);
  EXPECT_EQ(f.Format.cbSize, 22);
  EXPECT_EQ(f.dwChannelMask, 0x4u);  // mono is the front centre speaker
  EXPECT_TRUE(f.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);

  ASSERT_EQ(Device(kSpeakers)->ActivateAudioClient(client), S_OK);
  ASSERT_EQ(client->GetMixFormat(bytes), S_OK);
  std::memcpy(&f, bytes.data(), sizeof f);
  EXPECT_EQ(f.Format.nSamplesPerSec, 48000u);
  EXPECT_EQ(f.Format.nChannels, 2);
  EXPECT_EQ(f.dwChannelMask, SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT);
}

TEST(PulseChannelMask, MapsPositionsToSpeakerBitsAndRejectsWhatHasNone) {
  pa_channel_map map;
  pa_channel_map_init_extend(&map, 6, PA_CHANNEL_MAP_WAVEEX);
  EXPECT_EQ(ChannelMaskFromMap(map), 0x3Fu);  // 5.1: FL FR FC LFE BL BR
  pa_channel_map_init_mono(&map);
  EXPECT_EQ(ChannelMaskFromMap(map), 0x4u);
  map.channels = 2;
  map.map[0] = map.map[1] = PA_CHANNEL_POSITION_FRONT_LEFT;  // the same speaker twice
  EXPECT_EQ(ChannelMaskFromMap(map), 0u);
  map.map[1] = PA_CHANNEL_POSITION_AUX0;
  EXPECT_EQ(ChannelMaskFromMap(map), 0u);
}

TEST_F(LinuxAudioTest, InitializeRejectsWrongEndpointsFormatsAndOrder) {
  std::unique_ptr<AudioClient> client;
  ASSERT_EQ(Device(kSpeakers)->ActivateAudioClient(client), S_OK);
  std::vector<std::uint8_t> mix;
  ASSERT_EQ(client->GetMixFormat(mix), S_OK);
  const auto* format = reinterpret_cast<const WAVEFORMATEX*>(mix.data());
  std::unique_ptr<AudioCaptureClient> capture;
  EXPECT_EQ(client->GetCaptureClient(capture), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);

  // A render endpoint is recorded through loopback only.
  EXPECT_EQ(client->Initialize(AudioShareMode::Shared, 0, 10000000, 0, format),
            AUDCLNT_E_WRONG_ENDPOINT_TYPE);
  // 16-bit PCM is not offered.
  WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 2, 48000, 48000 * 4, 4, 16, 0};
  EXPECT_EQ(
      client->Initialize(AudioShareMode::Shared, AUDCLNT_STREAMFLAGS_LOOPBACK, 10000000, 0, &pcm),
      AUDCLNT_E_UNSUPPORTED_FORMAT);
  WAVEFORMATEXTENSIBLE pcmEx;
  std::memcpy(&pcmEx, mix.data(), sizeof pcmEx);
  pcmEx.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  EXPECT_EQ(client->Initialize(AudioShareMode::Shared, AUDCLNT_STREAMFLAGS_LOOPBACK, 10000000, 0,
                               &pcmEx.Format),
            AUDCLNT_E_UNSUPPORTED_FORMAT);
  // A plain float format is fine; a second Initialize is not.
  WAVEFORMATEX plainFloat{WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 48000 * 8, 8, 32, 0};
  EXPECT_EQ(client->Initialize(AudioShareMode::Shared, AUDCLNT_STREAMFLAGS_LOOPBACK, 10000000, 0,
                               &plainFloat),
            S_OK);
  EXPECT_EQ(
      client->Initialize(AudioShareMode::Shared, AUDCLNT_STREAMFLAGS_LOOPBACK, 10000000, 0, format),
      AUDCLNT_E_ALREADY_INITIALIZED);

  // An absurd buffer duration is bounded, not wrapped around.
  std::unique_ptr<AudioClient> huge;
  ASSERT_EQ(Device(kSpeakers)->ActivateAudioClient(huge), S_OK);
  EXPECT_EQ(
      huge->Initialize(AudioShareMode::Shared, AUDCLNT_STREAMFLAGS_LOOPBACK, INT64_MAX, 0, format),
      S_OK);

  // A microphone has no loopback.
  std::unique_ptr<AudioClient> mic;
  ASSERT_EQ(Device(kMic)->ActivateAudioClient(mic), S_OK);
  ASSERT_EQ(mic->GetMixFormat(mix), S_OK);
  EXPECT_EQ(mic->Initialize(AudioShareMode::Shared, AUDCLNT_STREAMFLAGS_LOOPBACK, 10000000, 0,
                            reinterpret_cast<const WAVEFORMATEX*>(mix.data())),
            AUDCLNT_E_WRONG_ENDPOINT_TYPE);
}

// What a capture client delivered, read as the engine reads it.
struct Captured {
  std::vector<float> left;     // first channel, silence for holes and gaps
  std::uint64_t gaps = 0;      // frames the device positions jumped over
  std::size_t steadyFrom = 0;  // where the samples after the last gap begin
  std::uint64_t packets = 0;
  bool positionsWentBack = false;
  // How far the packets' time stamps strayed from their device positions, summed over every
  // pair of consecutive packets from 2 s into the stream on (the estimate of the stream's start
  // settles over the first block of a source that posts long ones), in 100-ns units.
  std::uint64_t stampWander = 0;
};

// Reads until `frames` frames followed the last gap or the deadline passed.
HRESULT ReadFrames(AudioCaptureClient& capture, std::uint16_t channels, std::size_t frames,
                   Captured& out) {
  bool seen = false;
  std::uint64_t expected = 0, lastPosition = 0, lastStamp = 0;
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (out.left.size() - out.steadyFrom < frames && std::chrono::steady_clock::now() < deadline) {
    std::uint32_t size = 0;
    HRESULT hr = capture.GetNextPacketSize(size);
    if (FAILED(hr)) return hr;
    if (size == 0) {
      std::this_thread::sleep_for(5ms);
      continue;
    }
    const std::uint8_t* data = nullptr;
    std::uint32_t n = 0, flags = 0;
    std::uint64_t position = 0, qpc = 0;
    hr = capture.GetBuffer(data, n, flags, position, qpc);
    if (FAILED(hr)) return hr;
    if (seen && position > expected) {
      out.gaps += position - expected;
      out.left.insert(out.left.end(), position - expected, 0.0f);
      out.steadyFrom = out.left.size();
    }
    if (seen && position < expected) out.positionsWentBack = true;
    if (seen && lastPosition >= 2 * kRate) {
      const auto byPosition =
          static_cast<std::int64_t>((position - lastPosition) * 10000000 / kRate);
      out.stampWander += static_cast<std::uint64_t>(
          std::llabs(static_cast<std::int64_t>(qpc - lastStamp) - byPosition));
    }
    lastPosition = position;
    lastStamp = qpc;
    seen = true;
    expected = position + n;
    for (std::uint32_t i = 0; i < n; ++i) {
      float v = 0;
      if (!(flags & AUDCLNT_BUFFERFLAGS_SILENT)) std::memcpy(&v, data + i * channels * 4, 4);
      out.left.push_back(v);
    }
    ++out.packets;
    hr = capture.ReleaseBuffer(n);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// Frequency from rising zero crossings and RMS level over the part that holds sound.
void Analyse(const std::vector<float>& samples, std::uint32_t rate, double& hz, double& rms) {
  std::size_t first = 0;
  while (first < samples.size() && std::fabs(samples[first]) < 1e-3) ++first;
  std::size_t last = samples.size();
  while (last > first && std::fabs(samples[last - 1]) < 1e-3) --last;
  hz = rms = 0;
  if (last - first < rate / 10) return;
  int crossings = 0;
  std::size_t firstCross = 0, lastCross = 0;
  double sum = 0;
  for (std::size_t i = first + 1; i < last; ++i) {
    sum += double{samples[i]} * samples[i];
    if (samples[i - 1] < 0 && samples[i] >= 0) {
      if (crossings == 0) firstCross = i;
      lastCross = i;
      ++crossings;
    }
  }
  if (crossings > 1)
    hz = (crossings - 1) * static_cast<double>(rate) / double(lastCross - firstCross);
  rms = std::sqrt(sum / double(last - first - 1));
}

struct OpenedCapture {
  std::unique_ptr<AudioClient> client;
  std::unique_ptr<AudioCaptureClient> capture;
  WAVEFORMATEXTENSIBLE format{};
};

OpenedCapture OpenCapture(AudioEndpoint& endpoint, std::uint32_t flags,
                          std::int64_t duration = 10000000) {
  OpenedCapture c;
  EXPECT_EQ(endpoint.ActivateAudioClient(c.client), S_OK);
  std::vector<std::uint8_t> mix;
  EXPECT_EQ(c.client->GetMixFormat(mix), S_OK);
  std::memcpy(&c.format, mix.data(), sizeof c.format);
  EXPECT_EQ(c.client->Initialize(AudioShareMode::Shared, flags, duration, 0, &c.format.Format),
            S_OK);
  EXPECT_EQ(c.client->GetCaptureClient(c.capture), S_OK);
  EXPECT_EQ(c.client->Start(), S_OK);
  return c;
}

TEST_F(LinuxAudioTest, LoopbackCapturesAToneThatPlaysIntoTheSink) {
  OpenedCapture c = OpenCapture(*Device(kSpeakers), AUDCLNT_STREAMFLAGS_LOOPBACK);
  ASSERT_NE(c.capture, nullptr);
  ASSERT_TRUE(server_.PlayTone(kSpeakers, 1000));
  Captured got;
  // Long enough to hold more than a second of the tone whenever the sink's monitor starts.
  ASSERT_EQ(ReadFrames(*c.capture, c.format.Format.nChannels, kRate * 2, got), S_OK);
  double hz = 0, rms = 0;
  Analyse(got.left, kRate, hz, rms);
  EXPECT_NEAR(hz, 1000.0, 5.0);
  EXPECT_NEAR(rms, test::kToneAmplitude / std::sqrt(2.0), 0.04);
  // Read promptly, so the device positions follow each other without gaps.
  EXPECT_EQ(got.gaps, 0u);
  EXPECT_FALSE(got.positionsWentBack);
  EXPECT_GT(got.packets, 20u);  // ~10-ms packets, not one big block
  EXPECT_EQ(c.client->Stop(), S_OK);
}

TEST_F(LinuxAudioTest, MicrophoneCapturesItsSource) {
  OpenedCapture c = OpenCapture(*Device(kMic), 0);
  ASSERT_NE(c.capture, nullptr);
  EXPECT_EQ(c.format.Format.nChannels, 1);
  Captured got;
  ASSERT_EQ(ReadFrames(*c.capture, 1, kRate / 2, got), S_OK);
  // The sine source starts with a burst that may overflow the buffer: measure after the gap.
  double hz = 0, rms = 0;
  Analyse(std::vector<float>(got.left.begin() + static_cast<std::ptrdiff_t>(got.steadyFrom),
                             got.left.end()),
          kRate, hz, rms);
  EXPECT_NEAR(hz, kMicHz, 3.0);
  EXPECT_GT(rms, 0.01);
}

TEST_F(LinuxAudioTest, ASourceThatPostsLongBlocksLosesNothingToAReaderOnTime) {
  // The sine source renders its sound in blocks as long as the latency its streams ask for
  // (2 s when nobody asks). Read as the engine reads, with its 1-s buffer, the stream must
  // lose nothing, and its packets must be stamped at the times their frames were recorded.
  OpenedCapture c = OpenCapture(*Device(kMic), 0);
  ASSERT_NE(c.capture, nullptr);
  Captured got;
  ASSERT_EQ(ReadFrames(*c.capture, 1, kRate * 5, got), S_OK);
  EXPECT_EQ(got.gaps, 0u);
  EXPECT_FALSE(got.positionsWentBack);
  EXPECT_GE(got.left.size(), kRate * 5);
  // A block's packets arrive together but were recorded one after the other: their stamps
  // follow their positions (the estimate of the stream's start may settle by a few ms).
  EXPECT_LT(got.stampWander, 500000u);
}

TEST_F(LinuxAudioTest, PacketsAreHandedOutOneAtATimeAndReleasedWhole) {
  OpenedCapture c = OpenCapture(*Device(kSpeakers), AUDCLNT_STREAMFLAGS_LOOPBACK);
  ASSERT_NE(c.capture, nullptr);
  std::uint32_t size = 0;
  ASSERT_TRUE(WaitFor([&] { return c.capture->GetNextPacketSize(size) == S_OK && size > 0; }));
  const std::uint8_t* data = nullptr;
  std::uint32_t frames = 0, flags = 0;
  std::uint64_t position = 0, qpc = 0;
  EXPECT_EQ(c.capture->ReleaseBuffer(0), AUDCLNT_E_OUT_OF_ORDER);
  ASSERT_EQ(c.capture->GetBuffer(data, frames, flags, position, qpc), S_OK);
  EXPECT_EQ(frames, size);
  EXPECT_EQ(position, 0u);  // the first packet of the stream
  EXPECT_GT(qpc, 0u);
  const std::vector<std::uint8_t> first(data, data + frames * 8);
  EXPECT_EQ(c.capture->GetBuffer(data, frames, flags, position, qpc), AUDCLNT_E_OUT_OF_ORDER);
  EXPECT_EQ(c.capture->ReleaseBuffer(size + 1), AUDCLNT_E_INVALID_SIZE);
  // Releasing none hands the same packet out again, with its data intact.
  EXPECT_EQ(c.capture->ReleaseBuffer(0), S_OK);
  ASSERT_EQ(c.capture->GetBuffer(data, frames, flags, position, qpc), S_OK);
  EXPECT_EQ(position, 0u);
  EXPECT_EQ(std::memcmp(first.data(), data, first.size()), 0);
  EXPECT_EQ(c.capture->ReleaseBuffer(frames), S_OK);
}

TEST_F(LinuxAudioTest, AReaderThatFallsBehindLosesTheOldestPacketsAsAPositionJump) {
  // A null sink renders silence when nothing plays: a steady 48 kHz stream of packets.
  // A 100-ms buffer that the reader leaves alone for much longer.
  OpenedCapture c = OpenCapture(*Device(kSpeakers), AUDCLNT_STREAMFLAGS_LOOPBACK, 1000000);
  ASSERT_NE(c.capture, nullptr);
  std::uint32_t size = 0;
  ASSERT_TRUE(WaitFor([&] { return c.capture->GetNextPacketSize(size) == S_OK && size > 0; }));
  const std::uint8_t* data = nullptr;
  std::uint32_t frames = 0, flags = 0;
  std::uint64_t position = 0, qpc = 0;
  ASSERT_EQ(c.capture->GetBuffer(data, frames, flags, position, qpc), S_OK);
  const std::vector<std::uint8_t> held(data, data + frames * 8);
  // The reader stays away for four buffers' worth (the time away is the input here, not a wait
  // for a condition). The held packet survives the overflow; what follows it is the newest.
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(std::memcmp(held.data(), data, held.size()), 0);
  ASSERT_EQ(c.capture->ReleaseBuffer(frames), S_OK);
  std::uint64_t expected = position + frames;
  std::uint64_t queued = 0;
  bool jumped = false;
  for (int i = 0; i < 1000 && !jumped && c.capture->GetNextPacketSize(size) == S_OK && size > 0;
       ++i) {
    ASSERT_EQ(c.capture->GetBuffer(data, frames, flags, position, qpc), S_OK);
    jumped = position > expected;
    EXPECT_GE(position, expected);
    queued += frames;
    expected = position + frames;
    ASSERT_EQ(c.capture->ReleaseBuffer(frames), S_OK);
  }
  EXPECT_TRUE(jumped);
  // More came in than the buffer holds, and what was kept is about one buffer (generous
  // tolerances: a loaded machine delivers in bigger bursts).
  EXPECT_GE(position - frames, kRate / 8);
  EXPECT_LE(queued, kRate / 10 + kRate / 20);
}

// Records every notification, for tests to wait on.
class RecordingClient : public AudioNotificationClient {
 public:
  HRESULT QueryInterface(const GUID&, void**) override { return E_NOINTERFACE; }
  std::uint32_t AddRef() override { return 1; }
  std::uint32_t Release() override { return 1; }
  HRESULT OnDeviceStateChanged(const std::wstring& id, std::uint32_t state) override {
    return Add(L"state " + id + L" " + std::to_wstring(state));
  }
  HRESULT OnDeviceAdded(const std::wstring& id) override { return Add(L"added " + id); }
  HRESULT OnDeviceRemoved(const std::wstring& id) override { return Add(L"removed " + id); }
  HRESULT OnDefaultDeviceChanged(AudioFlow flow, AudioRole role, const std::wstring& id) override {
    return Add(L"default " + std::to_wstring(static_cast<int>(flow)) + L" " +
               std::to_wstring(static_cast<int>(role)) + L" " + id);
  }
  HRESULT OnPropertyValueChanged(const std::wstring&) override { return S_OK; }

  bool WaitFor(const std::wstring& event) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] {
      return std::find(events_.begin(), events_.end(), event) != events_.end();
    });
  }
  std::vector<std::wstring> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::atomic<bool> slow{false};  // written by the test
  std::atomic<int> inside{0};     // written by the delivery thread

 private:
  HRESULT Add(std::wstring event) {
    ++inside;
    if (slow) std::this_thread::sleep_for(200ms);  // a callback that takes its time
    --inside;
    // Nothing of this object is touched after the lock is released: a waiter may end the test.
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
    return S_OK;
  }
  std::mutex mutex_;  // guards events_
  std::condition_variable changed_;
  std::vector<std::wstring> events_;
};

TEST_F(LinuxAudioTest, NotifiesEndpointsComingGoingAndANewDefault) {
  RecordingClient client;
  ASSERT_EQ(enumerator_->RegisterEndpointNotificationCallback(&client), S_OK);
  const std::string module =
      server_.Pactl({"load-module", "module-null-sink", "sink_name=tm_extra"});
  ASSERT_FALSE(module.empty());
  EXPECT_TRUE(client.WaitFor(L"added tm_extra"));

  ASSERT_EQ(server_.Pactl({"set-default-sink", "tm_extra"}), "");
  for (int role = 0; role < 3; ++role) {
    EXPECT_TRUE(client.WaitFor(L"default 0 " + std::to_wstring(role) + L" tm_extra"));
  }
  ASSERT_EQ(server_.Pactl({"unload-module", module}), "");
  EXPECT_TRUE(client.WaitFor(L"removed tm_extra"));
  EXPECT_TRUE(client.WaitFor(L"state tm_extra 4"));  // not present
  // The server picks another default once its default sink is gone.
  EXPECT_TRUE(client.WaitFor(L"default 0 0 tm_speakers") ||
              client.WaitFor(L"default 0 0 tm_headset"));

  for (const std::wstring& e : client.Events()) {
    EXPECT_EQ(e.find(L"monitor"), std::wstring::npos) << "monitors are not endpoints";
  }
  EXPECT_EQ(enumerator_->UnregisterEndpointNotificationCallback(&client), S_OK);
  EXPECT_EQ(enumerator_->UnregisterEndpointNotificationCallback(&client), E_NOTFOUND);
}

TEST_F(LinuxAudioTest, UnregisterWaitsForACallbackInProgress) {
  RecordingClient client;
  client.slow = true;
  ASSERT_EQ(enumerator_->RegisterEndpointNotificationCallback(&client), S_OK);
  ASSERT_FALSE(server_.Pactl({"load-module", "module-null-sink", "sink_name=tm_slow"}).empty());
  ASSERT_TRUE(WaitFor([&] { return client.inside.load() > 0; }));
  ASSERT_EQ(enumerator_->UnregisterEndpointNotificationCallback(&client), S_OK);
  EXPECT_EQ(client.inside.load(), 0);
}

// Unregisters itself from inside its first callback.
class SelfRemovingClient : public RecordingClient {
 public:
  AudioEndpointEnumerator* enumerator = nullptr;
  std::atomic<HRESULT> unregisterResult{E_FAIL};  // written by the delivery thread
  HRESULT OnDeviceAdded(const std::wstring& id) override {
    unregisterResult = enumerator->UnregisterEndpointNotificationCallback(this);
    return RecordingClient::OnDeviceAdded(id);
  }
};

TEST_F(LinuxAudioTest, AClientMayUnregisterFromInsideItsCallback) {
  SelfRemovingClient client;
  client.enumerator = enumerator_.get();
  ASSERT_EQ(enumerator_->RegisterEndpointNotificationCallback(&client), S_OK);
  ASSERT_FALSE(server_.Pactl({"load-module", "module-null-sink", "sink_name=tm_self"}).empty());
  ASSERT_TRUE(client.WaitFor(L"added tm_self"));
  EXPECT_EQ(client.unregisterResult.load(), S_OK);
  EXPECT_EQ(enumerator_->UnregisterEndpointNotificationCallback(&client), E_NOTFOUND);
}

TEST_F(LinuxAudioTest, RemovingTheDeviceInvalidatesItsCapture) {
  const std::string module = server_.Pactl({"load-module", "module-null-sink", "sink_name=tm_usb"});
  ASSERT_FALSE(module.empty());
  std::shared_ptr<AudioEndpoint> usb;
  ASSERT_TRUE(WaitFor([&] { return enumerator_->GetDevice(L"tm_usb", usb) == S_OK; }));
  OpenedCapture c = OpenCapture(*usb, AUDCLNT_STREAMFLAGS_LOOPBACK);
  ASSERT_NE(c.capture, nullptr);
  ASSERT_EQ(server_.Pactl({"unload-module", module}), "");
  std::uint32_t size = 0;
  EXPECT_TRUE(
      WaitFor([&] { return c.capture->GetNextPacketSize(size) == AUDCLNT_E_DEVICE_INVALIDATED; }));
  const std::uint8_t* data = nullptr;
  std::uint32_t frames = 0, flags = 0;
  std::uint64_t position = 0, qpc = 0;
  EXPECT_EQ(c.capture->GetBuffer(data, frames, flags, position, qpc), AUDCLNT_E_DEVICE_INVALIDATED);
  std::uint32_t state = 0;
  EXPECT_EQ(usb->GetState(state), S_OK);
  EXPECT_EQ(state, kDeviceStateNotPresent);
  // A client of the vanished endpoint cannot open it again.
  std::unique_ptr<AudioClient> again;
  ASSERT_EQ(usb->ActivateAudioClient(again), S_OK);
  std::vector<std::uint8_t> mix;
  EXPECT_EQ(again->GetMixFormat(mix), AUDCLNT_E_DEVICE_INVALIDATED);
}

TEST_F(LinuxAudioTest, ServerThatGoesAwayInvalidatesCaptureAndComesBackThroughTheSameEnumerator) {
  OpenedCapture c = OpenCapture(*Device(kMic), 0);
  ASSERT_NE(c.capture, nullptr);
  server_.Kill();
  std::uint32_t size = 0;
  EXPECT_TRUE(
      WaitFor([&] { return c.capture->GetNextPacketSize(size) == AUDCLNT_E_DEVICE_INVALIDATED; }));
  std::unique_ptr<AudioEndpointEnumerator> another;
  EXPECT_EQ(layer_->CreateEndpointEnumerator(another), AUDCLNT_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(another, nullptr);
  std::shared_ptr<AudioEndpoint> endpoint;
  EXPECT_EQ(enumerator_->GetDefaultAudioEndpoint(AudioFlow::Render, AudioRole::Console, endpoint),
            AUDCLNT_E_SERVICE_NOT_RUNNING);
  // The old clients keep failing cleanly after the layer reconnects.
  ASSERT_TRUE(server_.Start());
  ASSERT_EQ(enumerator_->GetDefaultAudioEndpoint(AudioFlow::Render, AudioRole::Console, endpoint),
            S_OK);
  EXPECT_EQ(c.capture->GetNextPacketSize(size), AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_EQ(c.client->Stop(), AUDCLNT_E_DEVICE_INVALIDATED);
  OpenedCapture fresh = OpenCapture(*Device(kMic), 0);
  ASSERT_NE(fresh.capture, nullptr);
  Captured got;
  EXPECT_EQ(ReadFrames(*fresh.capture, 1, kRate / 10, got), S_OK);
}

TEST_F(LinuxAudioTest, AServerThatStopsAnsweringFailsCallsInsteadOfHangingThem) {
  server_.Pause(true);
  std::shared_ptr<AudioEndpoint> endpoint;
  EXPECT_EQ(enumerator_->GetDefaultAudioEndpoint(AudioFlow::Render, AudioRole::Console, endpoint),
            AUDCLNT_E_SERVICE_NOT_RUNNING);
  // A second layer cannot even finish connecting.
  std::unique_ptr<AudioLayer> other = MakePulseAudioLayer();
  std::unique_ptr<AudioEndpointEnumerator> another;
  EXPECT_EQ(other->CreateEndpointEnumerator(another), AUDCLNT_E_SERVICE_NOT_RUNNING);
  server_.Pause(false);
  EXPECT_EQ(enumerator_->GetDefaultAudioEndpoint(AudioFlow::Render, AudioRole::Console, endpoint),
            S_OK);
}

TEST(LinuxAudioNoServer, EnumeratorCreationFailsWithServiceNotRunning) {
  char pattern[] = "/tmp/tm-nopulse-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  setenv("PULSE_SERVER", ("unix:" + dir + "/pulse/native").c_str(), 1);
  std::unique_ptr<AudioLayer> layer = MakePulseAudioLayer();
  std::unique_ptr<AudioEndpointEnumerator> enumerator;
  EXPECT_EQ(layer->CreateEndpointEnumerator(enumerator), AUDCLNT_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(enumerator, nullptr);
  // And again: a failed attempt leaves nothing behind that would hang the next.
  EXPECT_EQ(layer->CreateEndpointEnumerator(enumerator), AUDCLNT_E_SERVICE_NOT_RUNNING);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tallowmarch::platform
