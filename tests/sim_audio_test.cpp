// The simulated sound devices the audio capture tests stand on: real-time packets with
// counting positions, the shared-mode rules of a client, scripted failures, endpoint changes
// and their notifications on a thread of the simulation's own.
#include "audio/sim_audio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "capture_test_support.h"
#include "platform.h"
#include "sim_platform.h"
#include "system/sim_system.h"

namespace tallowmarch {
namespace {

using namespace std::chrono_literals;
using platform::AudioFlow;
using platform::AudioRole;
using platform::SimAudioStep;
using testing::WaitUntil;

struct OpenStream {
  std::unique_ptr<platform::AudioClient> client;
  std::unique_ptr<platform::AudioCaptureClient> capture;
  std::vector<std::uint8_t> format;
};

class SimAudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ResetAll();
    ASSERT_EQ(audio.CreateEndpointEnumerator(enumerator), S_OK);
  }
  void TearDown() override { sim::ResetAll(); }

  std::shared_ptr<platform::AudioEndpoint> Device(const std::wstring& id) {
    std::shared_ptr<platform::AudioEndpoint> device;
    EXPECT_EQ(enumerator->GetDevice(id, device), S_OK);
    return device;
  }
  // Activated, initialised with the mix format, capture client taken, started.
  OpenStream Open(const std::wstring& id, std::uint32_t flags) {
    OpenStream s;
    EXPECT_EQ(Device(id)->ActivateAudioClient(s.client), S_OK);
    EXPECT_EQ(s.client->GetMixFormat(s.format), S_OK);
    EXPECT_EQ(s.client->Initialize(platform::AudioShareMode::Shared, flags, 10000000, 0,
                                   reinterpret_cast<const WAVEFORMATEX*>(s.format.data())),
              S_OK);
    EXPECT_EQ(s.client->GetCaptureClient(s.capture), S_OK);
    EXPECT_EQ(s.client->Start(), S_OK);
    return s;
  }
  static bool WaitForPacket(platform::AudioCaptureClient& capture) {
    return WaitUntil([&] {
      std::uint32_t frames = 0;
      return SUCCEEDED(capture.GetNextPacketSize(frames)) && frames > 0;
    });
  }

  platform::SimAudio& audio = sim::Audio();
  std::unique_ptr<platform::AudioEndpointEnumerator> enumerator;
};

TEST_F(SimAudioTest, PacketsComeInRealTimeWithPositionsCountingFrames) {
  const auto started = std::chrono::steady_clock::now();
  OpenStream s = Open(L"sim-render-speakers", platform::AUDCLNT_STREAMFLAGS_LOOPBACK);
  std::uint64_t expected = 0;
  for (int packet = 0; packet < 20; ++packet) {
    ASSERT_TRUE(WaitForPacket(*s.capture));
    const std::uint8_t* data = nullptr;
    std::uint32_t frames = 0, flags = 9;
    std::uint64_t position = 0, qpc = 0;
    ASSERT_EQ(s.capture->GetBuffer(data, frames, flags, position, qpc), S_OK);
    EXPECT_EQ(frames, 480u);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(position, expected);
    expected += frames;
    // Never ahead of the clock: a packet exists only once its last frame has been played.
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LE(static_cast<double>(position + frames), seconds * 48000.0 + 1.0);
    // Taking it again before giving it back is out of order; so is giving back a wrong size.
    EXPECT_EQ(s.capture->GetBuffer(data, frames, flags, position, qpc),
              platform::AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(s.capture->ReleaseBuffer(479), platform::AUDCLNT_E_INVALID_SIZE);
    ASSERT_EQ(s.capture->GetBuffer(data, frames, flags, position, qpc),
              platform::AUDCLNT_E_OUT_OF_ORDER);
    ASSERT_EQ(s.capture->ReleaseBuffer(480), S_OK);
  }
  EXPECT_EQ(audio.PacketsDelivered(), 20u);
  EXPECT_EQ(audio.RunningStreams(), 1);
  s.client.reset();  // the capture client outlives it
  std::uint32_t frames = 0;
  EXPECT_EQ(s.capture->GetNextPacketSize(frames), S_OK);
  EXPECT_EQ(frames, 0u);
  EXPECT_EQ(audio.RunningStreams(), 0);
}

TEST_F(SimAudioTest, AReleasedPacketsBytesAreOverwritten) {
  OpenStream s = Open(L"sim-capture-mic", 0);
  ASSERT_TRUE(WaitForPacket(*s.capture));
  const std::uint8_t* data = nullptr;
  std::uint32_t frames = 0, flags = 0;
  std::uint64_t position = 0, qpc = 0;
  ASSERT_EQ(s.capture->GetBuffer(data, frames, flags, position, qpc), S_OK);
  float second;
  std::memcpy(&second, data + 8, 4);
  EXPECT_NE(second, 0.0f);  // the tone
  ASSERT_EQ(s.capture->ReleaseBuffer(frames), S_OK);
  for (size_t i = 0; i < frames * 8u; ++i) ASSERT_EQ(data[i], 0x7F) << i;
}

TEST_F(SimAudioTest, AReaderThatFallsBehindTheBufferLosesPacketsAndThePositionJumps) {
  OpenStream s = Open(L"sim-render-speakers", platform::AUDCLNT_STREAMFLAGS_LOOPBACK);
  sim::System().AdvanceClock(5'000'000'000);  // 5 s without a read
  ASSERT_TRUE(WaitForPacket(*s.capture));
  const std::uint8_t* data = nullptr;
  std::uint32_t frames = 0, flags = 0;
  std::uint64_t position = 0, qpc = 0;
  ASSERT_EQ(s.capture->GetBuffer(data, frames, flags, position, qpc), S_OK);
  // About 4 s lost; the 1-second buffer is kept.
  EXPECT_GE(position, 3u * 48000);
  EXPECT_LE(position, 5u * 48000);
  ASSERT_EQ(s.capture->ReleaseBuffer(frames), S_OK);
}

TEST_F(SimAudioTest, ASharedClientTakesOnlyTheMixFormatAndLoopbackOnlyOnRender) {
  std::unique_ptr<platform::AudioClient> client;
  ASSERT_EQ(Device(L"sim-capture-mic")->ActivateAudioClient(client), S_OK);
  std::unique_ptr<platform::AudioCaptureClient> capture;
  EXPECT_EQ(client->GetCaptureClient(capture), platform::AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->Start(), platform::AUDCLNT_E_NOT_INITIALIZED);
  std::vector<std::uint8_t> format;
  ASSERT_EQ(client->GetMixFormat(format), S_OK);
  auto* wave = reinterpret_cast<WAVEFORMATEX*>(format.data());
  EXPECT_EQ(client->Initialize(platform::AudioShareMode::Shared,
                               platform::AUDCLNT_STREAMFLAGS_LOOPBACK, 10000000, 0, wave),
            platform::AUDCLNT_E_WRONG_ENDPOINT_TYPE);
  wave->nSamplesPerSec = 44100;
  EXPECT_EQ(client->Initialize(platform::AudioShareMode::Shared, 0, 10000000, 0, wave),
            platform::AUDCLNT_E_UNSUPPORTED_FORMAT);
  wave->nSamplesPerSec = 48000;
  EXPECT_EQ(client->Initialize(platform::AudioShareMode::Shared, 0, 10000000, 0, wave), S_OK);
  EXPECT_EQ(client->Initialize(platform::AudioShareMode::Shared, 0, 10000000, 0, wave),
            platform::AUDCLNT_E_ALREADY_INITIALIZED);
  EXPECT_EQ(audio.InitializedClients().size(), 1u);
}

TEST_F(SimAudioTest, StepsFailOnceNTimesOrAlwaysForOneEndpointOrAll) {
  std::shared_ptr<platform::AudioEndpoint> speakers = Device(L"sim-render-speakers");
  std::shared_ptr<platform::AudioEndpoint> mic = Device(L"sim-capture-mic");
  std::unique_ptr<platform::AudioClient> client;
  audio.SetFailure(SimAudioStep::Activate, E_ACCESSDENIED, 2, L"sim-capture-mic");
  EXPECT_EQ(speakers->ActivateAudioClient(client), S_OK);
  EXPECT_EQ(mic->ActivateAudioClient(client), E_ACCESSDENIED);
  EXPECT_EQ(mic->ActivateAudioClient(client), E_ACCESSDENIED);
  EXPECT_EQ(mic->ActivateAudioClient(client), S_OK);
  audio.SetFailure(SimAudioStep::Activate, E_FAIL);  // always, any endpoint
  for (int i = 0; i < 3; ++i) EXPECT_EQ(speakers->ActivateAudioClient(client), E_FAIL);
  audio.SetFailure(SimAudioStep::Activate, S_OK);
  EXPECT_EQ(speakers->ActivateAudioClient(client), S_OK);
  EXPECT_EQ(audio.StepCalls(SimAudioStep::Activate), 8);
  EXPECT_EQ(audio.ClientsActivated(), 3);

  audio.SetFailure(SimAudioStep::GetDevice, E_OUTOFMEMORY, 1);
  std::shared_ptr<platform::AudioEndpoint> device;
  EXPECT_EQ(enumerator->GetDevice(L"sim-capture-mic", device), E_OUTOFMEMORY);
  EXPECT_EQ(enumerator->GetDevice(L"sim-capture-mic", device), S_OK);
  EXPECT_EQ(enumerator->GetDevice(L"no-such-endpoint", device), E_NOTFOUND);
}

// Records what it is told, on which thread; can hold a call until released.
class RecordingClient : public platform::AudioNotificationClient {
 public:
  HRESULT QueryInterface(const GUID&, void**) override { return E_NOINTERFACE; }
  std::uint32_t AddRef() override { return 1; }
  std::uint32_t Release() override { return 1; }
  HRESULT OnDeviceStateChanged(const std::wstring& id, std::uint32_t state) override {
    return Record(L"state " + id + L" " + std::to_wstring(state));
  }
  HRESULT OnDeviceAdded(const std::wstring& id) override { return Record(L"added " + id); }
  HRESULT OnDeviceRemoved(const std::wstring& id) override { return Record(L"removed " + id); }
  HRESULT OnDefaultDeviceChanged(AudioFlow flow, AudioRole role, const std::wstring& id) override {
    return Record(L"default " + std::to_wstring(static_cast<int>(flow)) + L"/" +
                  std::to_wstring(static_cast<int>(role)) + L" " + id);
  }
  HRESULT OnPropertyValueChanged(const std::wstring&) override { return S_OK; }

  std::vector<std::wstring> Calls() {
    std::lock_guard lock(mutex);
    return calls;
  }

  std::mutex mutex;  // guards calls and threads
  std::vector<std::wstring> calls;
  std::vector<std::thread::id> threads;
  std::atomic<bool> hold{false};      // written by the test
  std::atomic<bool> inCall{false};    // written by the callback
  std::atomic<bool> callDone{false};  // written by the callback

 private:
  HRESULT Record(std::wstring what) {
    inCall.store(true);
    while (hold.load()) std::this_thread::sleep_for(1ms);
    {
      std::lock_guard lock(mutex);
      calls.push_back(std::move(what));
      threads.push_back(std::this_thread::get_id());
    }
    callDone.store(true);
    return S_OK;
  }
};

TEST_F(SimAudioTest, ChangesAreAnnouncedOnTheSimulationsOwnThread) {
  RecordingClient client;
  ASSERT_EQ(enumerator->RegisterEndpointNotificationCallback(&client), S_OK);
  platform::SimEndpointSpec usb{L"usb", L"USB", AudioFlow::Capture};
  usb.isDefault = true;
  audio.AddEndpoint(usb);
  audio.SetEndpointState(L"sim-render-headphones", platform::kDeviceStateUnplugged);
  audio.SetDefaultEndpoint(AudioFlow::Render, AudioRole::Communications, L"sim-render-headphones");
  audio.RemoveEndpoint(L"usb");  // the default: the old microphone takes over
  ASSERT_TRUE(WaitUntil([&] { return audio.NotificationsSent() == 10; }));
  EXPECT_EQ(client.Calls(),
            (std::vector<std::wstring>{
                L"added usb", L"default 1/0 usb", L"default 1/1 usb", L"default 1/2 usb",
                L"state sim-render-headphones 8", L"default 0/2 sim-render-headphones",
                L"removed usb", L"default 1/0 sim-capture-mic", L"default 1/1 sim-capture-mic",
                L"default 1/2 sim-capture-mic"}));
  for (std::thread::id id : client.threads) EXPECT_NE(id, std::this_thread::get_id());

  std::shared_ptr<platform::AudioEndpoint> device;
  ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(AudioFlow::Capture, AudioRole::Console, device),
            S_OK);
  std::wstring id;
  device->GetId(id);
  EXPECT_EQ(id, L"sim-capture-mic");
  // The communications default is unplugged: none for that role; the console one is unchanged.
  EXPECT_EQ(
      enumerator->GetDefaultAudioEndpoint(AudioFlow::Render, AudioRole::Communications, device),
      E_NOTFOUND);
  ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(AudioFlow::Render, AudioRole::Console, device),
            S_OK);
  device->GetId(id);
  EXPECT_EQ(id, L"sim-render-speakers");
  EXPECT_EQ(enumerator->UnregisterEndpointNotificationCallback(&client), S_OK);
}

TEST_F(SimAudioTest, UnregisterWaitsForACallInProgressAndNoCallFollows) {
  RecordingClient client;
  ASSERT_EQ(enumerator->RegisterEndpointNotificationCallback(&client), S_OK);
  client.hold.store(true);
  audio.SetEndpointState(L"sim-capture-mic", platform::kDeviceStateDisabled);
  ASSERT_TRUE(WaitUntil([&] { return client.inCall.load(); }));
  std::thread releaser([&] {
    std::this_thread::sleep_for(100ms);
    client.hold.store(false);
  });
  EXPECT_EQ(enumerator->UnregisterEndpointNotificationCallback(&client), S_OK);
  EXPECT_TRUE(client.callDone.load());  // the call had ended before Unregister returned
  releaser.join();
  const std::uint64_t sent = audio.NotificationsSent();
  audio.SetEndpointState(L"sim-capture-mic", platform::kDeviceStateActive);
  ASSERT_TRUE(WaitUntil([&] { return audio.NotificationsSent() > sent; }));
  EXPECT_EQ(client.Calls().size(), 1u);
  EXPECT_EQ(enumerator->UnregisterEndpointNotificationCallback(&client), E_INVALIDARG);
}

TEST_F(SimAudioTest, ARemovedEndpointsStreamsAreInvalidated) {
  OpenStream s = Open(L"sim-render-speakers", platform::AUDCLNT_STREAMFLAGS_LOOPBACK);
  audio.RemoveEndpoint(L"sim-render-speakers");
  std::uint32_t frames = 0;
  EXPECT_EQ(s.capture->GetNextPacketSize(frames), AUDCLNT_E_DEVICE_INVALIDATED);
  // Put back under the same id, it is another device: the old stream stays invalid.
  audio.AddEndpoint({L"sim-render-speakers", L"Speakers (Sim Audio)", AudioFlow::Render});
  EXPECT_EQ(s.capture->GetNextPacketSize(frames), AUDCLNT_E_DEVICE_INVALIDATED);
  OpenStream again = Open(L"sim-render-speakers", platform::AUDCLNT_STREAMFLAGS_LOOPBACK);
  EXPECT_EQ(again.capture->GetNextPacketSize(frames), S_OK);
}

}  // namespace
}  // namespace tallowmarch
