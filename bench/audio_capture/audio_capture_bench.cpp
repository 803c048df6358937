// What the audio capture threads cost: CPU time per second of capture of the two loops (desktop
// loopback and microphone) on the simulated sound devices, with sound and on an idle loopback,
// and how long a stop takes to be noticed while capturing, waiting for an endpoint and pausing
// after an error.
//
// Usage: audio_capture_bench [seconds per run, default 10]
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "audio/sim_audio.h"
#include "audio_capture.h"
#include "sim_platform.h"

namespace {

using namespace std::chrono_literals;
using tallowmarch::AudioRing;
using tallowmarch::ClipWindow;
using tallowmarch::platform::AudioFlow;

double ThreadCpuSeconds(std::thread& thread) {
  clockid_t clock;
  if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0) return -1.0;
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Loop {
  explicit Loop(AudioFlow flow) {
    window.MarkFloorNow();
    thread = std::thread([this, flow] {
      tallowmarch::RunAudioCapture(flow, ring, window, stop,
                                   flow == AudioFlow::Render ? L"desktop-audio" : L"mic-audio",
                                   tallowmarch::LogSink(), L"");
    });
  }
  // Milliseconds from setting the flag to the end of the join.
  double StopAndJoin() {
    const auto begin = std::chrono::steady_clock::now();
    stop.store(true);
    thread.join();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
        .count();
  }
  AudioRing ring;
  ClipWindow window{60.0};
  std::atomic<bool> stop{false};
  std::thread thread;
};

void CpuRun(const char* label, double seconds, bool idleLoopback) {
  tallowmarch::sim::ResetAll();
  if (idleLoopback) {
    auto specs = tallowmarch::sim::Audio().Endpoints();
    for (auto& spec : specs) spec.idle = true;
    tallowmarch::sim::Audio().SetEndpoints(specs);
  }
  Loop desktop(AudioFlow::Render), mic(AudioFlow::Capture);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double desktopCpu = ThreadCpuSeconds(desktop.thread);
  const double micCpu = ThreadCpuSeconds(mic.thread);
  const size_t chunks = desktop.ring.Count() + mic.ring.Count();
  const size_t bytes = desktop.ring.TotalBytes() + mic.ring.TotalBytes();
  desktop.StopAndJoin();
  mic.StopAndJoin();
  std::printf("%-28s desktop %.3f ms CPU/s, mic %.3f ms CPU/s, %zu chunks, %.1f MB buffered\n",
              label, desktopCpu * 1000.0 / seconds, micCpu * 1000.0 / seconds, chunks,
              static_cast<double>(bytes) / 1048576.0);
}

void StopRun(const char* label, int runs, void (*script)()) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    tallowmarch::sim::ResetAll();
    script();
    Loop loop(AudioFlow::Render);
    // A moment into the state, at a different phase of the 500-ms waits each run.
    std::this_thread::sleep_for(std::chrono::milliseconds(300 + 37 * i));
    ms.push_back(loop.StopAndJoin());
  }
  double max = 0.0, sum = 0.0;
  for (double v : ms) {
    sum += v;
    max = v > max ? v : max;
  }
  std::printf("%-28s stop noticed after %.1f ms mean, %.1f ms max (%d runs)\n", label, sum / runs,
              max, runs);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  CpuRun("tones, 10-ms packets:", seconds, false);
  CpuRun("idle loopback and mic:", seconds, true);
  StopRun("capturing:", 10, [] {});
  StopRun("waiting for an endpoint:", 10, [] { tallowmarch::sim::Audio().SetEndpoints({}); });
  StopRun("pausing after an error:", 10, [] {
    tallowmarch::sim::Audio().SetFailure(tallowmarch::platform::SimAudioStep::Activate, E_FAIL);
  });
  return 0;
}
