// CPU cost of an idle loopback capture on the PulseAudio layer: the default render endpoint is
// recorded for N seconds and read the way the engine's capture loop reads it (one packet per
// pass, a 10-ms sleep when none is pending). Reports the process's CPU time (our thread, the
// layer's main-loop thread and its notification thread) per second of capture.
//
// Needs a reachable PulseAudio server (PULSE_SERVER or the user's own).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "audio/linux_audio.h"

using namespace tallowmarch::platform;

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  std::unique_ptr<AudioEndpointEnumerator> enumerator;
  if (LinuxAudioLayer().CreateEndpointEnumerator(enumerator) != S_OK) {
    std::fprintf(stderr, "no PulseAudio server\n");
    return 1;
  }
  std::shared_ptr<AudioEndpoint> endpoint;
  std::unique_ptr<AudioClient> client;
  std::vector<std::uint8_t> mix;
  std::unique_ptr<AudioCaptureClient> capture;
  if (enumerator->GetDefaultAudioEndpoint(AudioFlow::Render, AudioRole::Console, endpoint) !=
          S_OK ||
      endpoint->ActivateAudioClient(client) != S_OK || client->GetMixFormat(mix) != S_OK ||
      client->Initialize(AudioShareMode::Shared, AUDCLNT_STREAMFLAGS_LOOPBACK, 10000000, 0,
                         reinterpret_cast<const WAVEFORMATEX*>(mix.data())) != S_OK ||
      client->GetCaptureClient(capture) != S_OK || client->Start() != S_OK) {
    std::fprintf(stderr, "cannot open the loopback capture\n");
    return 1;
  }
  const double cpuStart = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  std::uint64_t packets = 0, frames = 0;
  while (std::chrono::steady_clock::now() < end) {
    std::uint32_t size = 0;
    if (capture->GetNextPacketSize(size) != S_OK) return 1;
    if (size == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    const std::uint8_t* data = nullptr;
    std::uint32_t n = 0, flags = 0;
    std::uint64_t position = 0, qpc = 0;
    if (capture->GetBuffer(data, n, flags, position, qpc) != S_OK) return 1;
    capture->ReleaseBuffer(n);
    ++packets;
    frames += n;
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = CpuSeconds() - cpuStart;
  client->Stop();
  std::printf(
      "seconds %.1f packets %llu frames %llu (%.0f frames/s) cpu %.3f s = %.2f%% of one core\n",
      wall, static_cast<unsigned long long>(packets), static_cast<unsigned long long>(frames),
      static_cast<double>(frames) / wall, cpu, 100.0 * cpu / wall);
  return 0;
}
