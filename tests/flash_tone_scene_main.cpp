// The flash-and-tone scene, for measuring whether a recording keeps picture and sound together.
// On $DISPLAY it shows a window, redrawn 30 times a second, that is dark and flashes white for
// 0.2 s at irregular intervals of 0.8 to 1.2 s; on the PulseAudio server's default sink it
// plays a quiet continuous 300 Hz pilot and, during every flash, a 1 kHz tone.
//
// Both follow one clock: the stream's playback time (pa_stream_get_time, the time of the sample
// the sink plays now). The sound is written as a function of the sample index, and each picture
// is drawn when the playback time reaches its tick, so a flash appears on the screen when the
// first sample of its tone reaches the sink. The ticks are whole frames of that clock (1600
// samples at 48 kHz), and every flash begins on a tick.
//
// Usage: tallowmarch_flash_tone_scene [--seconds N] [--seed S] [--size WxH]
// Prints "window <id>" and then "ready" once sound is playing; runs N seconds, or until SIGTERM.
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "x11_test_support.h"

namespace {

using namespace std::chrono_literals;

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kFps = 30;
constexpr long long kSamplesPerTick = kRate / kFps;
constexpr long long kFlashTicks = 6;  // 0.2 s
constexpr long long kFirstFlashTick = kFps;
constexpr int kMinGapTicks = 24, kMaxGapTicks = 36;  // 0.8 to 1.2 s from onset to onset
constexpr double kToneAmplitude = 0.5;
constexpr double kPilotAmplitude = 0.1;
constexpr std::uint32_t kDark = 0x202020;
constexpr std::uint32_t kWhite = 0xFFFFFF;

std::atomic<bool> g_stop{false};  // written by the signal handler

void OnSignal(int) {
  g_stop = true;
}

// When the flashes begin, in ticks of the playback clock. Made once before anything plays and
// only read afterwards, from the drawing thread and PulseAudio's thread alike.
class FlashSchedule {
 public:
  FlashSchedule(unsigned seed, long long lastTick) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> gap(kMinGapTicks, kMaxGapTicks);
    for (long long tick = kFirstFlashTick; tick <= lastTick; tick += gap(random))
      onsets_.push_back(tick);
  }

  bool Flashing(long long tick) const {
    const auto next = std::upper_bound(onsets_.begin(), onsets_.end(), tick);
    return next != onsets_.begin() && tick - *(next - 1) < kFlashTicks;
  }

 private:
  std::vector<long long> onsets_;
};

// The sound side: a playback stream on libpulse's threaded main loop.
struct Player {
  const FlashSchedule* schedule = nullptr;
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  long long written = 0;  // samples per channel written; touched only on the main loop's thread
  std::atomic<int> underruns{0};  // written on the main loop's thread
};

float SampleAt(const FlashSchedule& schedule, long long n) {
  // Phases from whole periods of samples, so that they stay exact however long the scene runs.
  constexpr long long kPilotPeriod = kRate / 300, kTonePeriod = kRate / 1000;
  double v = kPilotAmplitude * std::sin(2.0 * std::numbers::pi *
                                        static_cast<double>(n % kPilotPeriod) / kPilotPeriod);
  if (schedule.Flashing(n / kSamplesPerTick))
    v += kToneAmplitude *
         std::sin(2.0 * std::numbers::pi * static_cast<double>(n % kTonePeriod) / kTonePeriod);
  return static_cast<float>(v);
}

void OnWrite(pa_stream* stream, std::size_t bytes, void* userdata) {
  Player& player = *static_cast<Player*>(userdata);
  const std::size_t frames = bytes / (kChannels * sizeof(float));
  std::vector<float> buffer(frames * kChannels);
  for (std::size_t i = 0; i < frames; ++i) {
    const float v = SampleAt(*player.schedule, player.written + static_cast<long long>(i));
    for (int c = 0; c < kChannels; ++c) buffer[i * kChannels + c] = v;
  }
  pa_stream_write(stream, buffer.data(), frames * kChannels * sizeof(float), nullptr, 0,
                  PA_SEEK_RELATIVE);
  player.written += static_cast<long long>(frames);
}

void OnUnderflow(pa_stream*, void* userdata) {
  ++static_cast<Player*>(userdata)->underruns;
}

void OnContextState(pa_context*, void* userdata) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
}

void OnStreamState(pa_stream*, void* userdata) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
}

// Connects to the default server and starts playing on its default sink.
bool StartSound(Player& player) {
  player.loop = pa_threaded_mainloop_new();
  if (player.loop == nullptr) return false;
  player.context =
      pa_context_new(pa_threaded_mainloop_get_api(player.loop), "tallowmarch flash tone scene");
  pa_context_set_state_callback(player.context, &OnContextState, player.loop);
  pa_threaded_mainloop_lock(player.loop);
  bool ok = pa_context_connect(player.context, nullptr, PA_CONTEXT_NOFLAGS, nullptr) >= 0 &&
            pa_threaded_mainloop_start(player.loop) >= 0;
  while (ok) {
    const pa_context_state_t state = pa_context_get_state(player.context);
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) ok = false;
    if (ok) pa_threaded_mainloop_wait(player.loop);
  }
  if (ok) {
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, kRate, kChannels};
    player.stream = pa_stream_new(player.context, "flash tone", &format, nullptr);
    pa_stream_set_state_callback(player.stream, &OnStreamState, player.loop);
    pa_stream_set_write_callback(player.stream, &OnWrite, &player);
    pa_stream_set_underflow_callback(player.stream, &OnUnderflow, &player);
    // A short buffer keeps the sink's own latency short: it renders that far ahead of what it
    // plays, and its monitor hands the sound on when it renders it.
    pa_buffer_attr attr;
    std::memset(&attr, 0xFF, sizeof attr);
    attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(40'000, &format));
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    ok = pa_stream_connect_playback(player.stream, nullptr, &attr, flags, nullptr, nullptr) >= 0;
  }
  while (ok) {
    const pa_stream_state_t state = pa_stream_get_state(player.stream);
    if (state == PA_STREAM_READY) break;
    if (!PA_STREAM_IS_GOOD(state)) ok = false;
    if (ok) pa_threaded_mainloop_wait(player.loop);
  }
  pa_threaded_mainloop_unlock(player.loop);
  return ok;
}

void StopSound(Player& player) {
  if (player.loop == nullptr) return;
  pa_threaded_mainloop_stop(player.loop);
  if (player.stream != nullptr) {
    pa_stream_disconnect(player.stream);
    pa_stream_unref(player.stream);
  }
  if (player.context != nullptr) {
    pa_context_disconnect(player.context);
    pa_context_unref(player.context);
  }
  pa_threaded_mainloop_free(player.loop);
}

// The playback time in microseconds, once the stream plays, and how far the sink renders ahead
// of what it plays (as of the last timing update).
bool PlaybackTime(Player& player, pa_usec_t& usec, pa_usec_t& sinkLatency) {
  pa_threaded_mainloop_lock(player.loop);
  const bool ok = pa_stream_get_time(player.stream, &usec) == 0;
  const pa_timing_info* timing = pa_stream_get_timing_info(player.stream);
  sinkLatency = timing != nullptr ? timing->sink_usec : PA_USEC_INVALID;
  pa_threaded_mainloop_unlock(player.loop);
  return ok;
}

// Asks for fresh timing information: the time is interpolated from the last one, and the
// automatic updates come only every second or two once a stream runs.
void RequestTiming(Player& player) {
  pa_threaded_mainloop_lock(player.loop);
  if (pa_operation* op = pa_stream_update_timing_info(player.stream, nullptr, nullptr))
    pa_operation_unref(op);
  pa_threaded_mainloop_unlock(player.loop);
}

}  // namespace

int main(int argc, char** argv) {
  // A scene left behind by a test that died would draw and play for ever.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  // Ahead of other work on a busy machine where allowed (its threads inherit it), so that its
  // drawing stays on time and its sound does not run dry; without the right it runs as it is.
  setpriority(PRIO_PROCESS, 0, -10);
  double seconds = 0.0;  // 0: until a signal
  unsigned seed = 1;
  int width = 320, height = 240;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--seconds") {
      seconds = std::atof(argv[i + 1]);
    } else if (option == "--seed") {
      seed = static_cast<unsigned>(std::atoi(argv[i + 1]));
    } else if (option == "--size" && std::sscanf(argv[i + 1], "%dx%d", &width, &height) == 2) {
    } else {
      std::fprintf(stderr, "usage: %s [--seconds N] [--seed S] [--size WxH]\n", argv[0]);
      return 2;
    }
  }
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  const char* display = std::getenv("DISPLAY");
  tallowmarch::test::TestClient client(display != nullptr ? display : "");
  if (!client.Ok()) {
    std::fprintf(stderr, "flash tone scene: no display\n");
    return 1;
  }
  const xcb_window_t window = client.CreateWindow(0, 0, static_cast<std::uint16_t>(width),
                                                  static_cast<std::uint16_t>(height), kDark);

  const long long lastTick =
      static_cast<long long>((seconds > 0.0 ? seconds : 24.0 * 3600.0) * kFps) + kFps;
  const FlashSchedule schedule(seed, lastTick);
  Player player;
  player.schedule = &schedule;
  if (!StartSound(player)) {
    std::fprintf(stderr, "flash tone scene: no sound server\n");
    StopSound(player);
    return 1;
  }
  std::printf("window %u\n", static_cast<unsigned>(window));
  std::fflush(stdout);

  // A null sink that was idle renders a long block ahead when a stream starts (its monitor
  // hands that block on at once), and the playback time stands still until the block has
  // played. "ready" is printed once the sink renders only a little ahead and the clock has run
  // in step with the wall clock for half a second, so a recorder started then sees only the
  // steady state.
  bool announced = false;
  pa_usec_t steadyFrom = 0, previous = 0;
  auto steadyFromWall = std::chrono::steady_clock::now(), previousWall = steadyFromWall;
  auto timingRequested = steadyFromWall;
  // After "ready": pictures drawn, how many more than 10 ms after their tick, the worst delay,
  // and how often the clock left the wall clock's pace by more than 10 ms.
  long long drawn = 0, late = 0, jumps = 0;
  pa_usec_t worstLate = 0;
  long long tick = 0;
  while (!g_stop && tick <= lastTick) {
    pa_usec_t now = 0, sinkLatency = 0;
    const bool playing = PlaybackTime(player, now, sinkLatency) && now > 0;
    const auto wall = std::chrono::steady_clock::now();
    if (wall - timingRequested >= 200ms) {
      RequestTiming(player);
      timingRequested = wall;
    }
    if (!playing) {
      std::this_thread::sleep_for(2ms);
      continue;
    }
    const auto wallStep =
        std::chrono::duration_cast<std::chrono::microseconds>(wall - previousWall).count();
    const bool inStep = previous != 0 && std::llabs(static_cast<long long>(now - previous) -
                                                    static_cast<long long>(wallStep)) <= 10'000;
    previous = now;
    previousWall = wall;
    if (!inStep || sinkLatency > 50'000) {
      steadyFrom = now;
      steadyFromWall = wall;
      jumps += announced && !inStep ? 1 : 0;
    } else if (!announced && wall - steadyFromWall >= 500ms && now - steadyFrom >= 450'000) {
      std::printf("ready\n");
      std::fflush(stdout);
      announced = true;
    }
    const pa_usec_t due = static_cast<pa_usec_t>(tick) * 1'000'000 / kFps;
    if (now < due) {
      std::this_thread::sleep_for(
          std::chrono::microseconds(std::min<pa_usec_t>(due - now, 20'000)));
      continue;
    }
    // Late (the scene was not scheduled in time): draw what is due now and go on from there.
    const long long current = static_cast<long long>(now * kFps / 1'000'000);
    client.Fill(window, schedule.Flashing(current) ? kWhite : kDark);
    if (xcb_connection_has_error(client.Raw())) break;
    if (announced) {
      const pa_usec_t delay = now - static_cast<pa_usec_t>(current) * 1'000'000 / kFps;
      ++drawn;
      late += delay > 10'000 ? 1 : 0;
      worstLate = std::max(worstLate, delay);
    }
    tick = current + 1;
  }
  std::fprintf(stderr,
               "drawn %lld pictures, %lld more than 10 ms after their tick (worst %.1f ms); the "
               "playback clock jumped %lld times; the sound ran dry %d times\n",
               drawn, late, static_cast<double>(worstLate) / 1000.0, jumps,
               player.underruns.load());
  StopSound(player);
  return 0;
}
