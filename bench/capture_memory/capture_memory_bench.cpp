// What the engine keeps resident while a captured window changes size, and what a capture leaves
// behind once stopped. A private Xvfb (1920x1080) and a private PulseAudio server (a tone on the
// default sink, a sine source as the microphone) are started; the engine of the simulation
// library, with the real display and sound server under it, is driven through the exports as a
// host drives it, both sound sources recorded.
//
// Part 1, resizes: a window is captured at 30 fps (encoded at its starting size) while it takes
// `sizes` sizes, one every 100 ms, with new content each time; then the capture is stopped.
// Part 2, a long capture: the whole 1920x1080 screen with moving content (30 changes a second)
// at 30 fps and 1080 lines for `minutes`, with a save every 30 s (each clip deleted at once);
// then the capture is stopped.
//
// Printed at each step: the process's resident memory (VmRSS, and its anonymous, file and shared
// parts) and the minor page faults so far, the texture blocks the engine's device maps (its
// shareable "tm-texture" objects, from /proc/self/maps) and those that the X server still maps
// (from the server's /proc/<pid>/maps); while capturing, also the engine's last "[DIAG-REC-MEM]"
// line (the rings' megabytes).
//
// After the long capture's stop it lists the mappings that still hold 1 MB or more ("#" lines).
//
// Usage: capture_memory_bench [--sizes N] [--minutes M]   (defaults 300 and 4; 0 skips a part)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pulse_test_support.h"
#include "sim_platform.h"
#include "tallowmarch/core.h"
#include "x11_test_support.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long FieldKb(const std::string& text, const char* name) {
  const std::size_t at = text.find(name);
  return at == std::string::npos ? 0 : std::atol(text.c_str() + at + std::strlen(name));
}

// Count and megabytes of the texture objects a process maps.
struct Textures {
  int count = 0;
  double mb = 0.0;
};

Textures TextureMappings(const std::string& pid) {
  Textures t;
  std::ifstream maps("/proc/" + pid + "/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.find("memfd:tm-texture") == std::string::npos) continue;
    const unsigned long start = std::strtoul(line.c_str(), nullptr, 16);
    const unsigned long end = std::strtoul(line.c_str() + line.find('-') + 1, nullptr, 16);
    ++t.count;
    t.mb += static_cast<double>(end - start) / 1048576.0;
  }
  return t;
}

std::mutex g_lineMutex;  // guards g_memoryLine
std::wstring g_memoryLine;

void OnLog(const wchar_t* line) {
  if (std::wcsncmp(line, L"[DIAG-REC-MEM]", 14) != 0) return;
  std::lock_guard lock(g_lineMutex);
  g_memoryLine = line;
}

struct Sample {
  double rss = 0, anon = 0, file = 0, shmem = 0;
  long faults = 0;  // minor page faults since the process began
  Textures ours, server;
};

Sample Measure(pid_t server) {
  std::ifstream status("/proc/self/status");
  const std::string s((std::istreambuf_iterator<char>(status)), std::istreambuf_iterator<char>());
  Sample m;
  m.rss = static_cast<double>(FieldKb(s, "\nVmRSS:")) / 1024.0;
  m.anon = static_cast<double>(FieldKb(s, "\nRssAnon:")) / 1024.0;
  m.file = static_cast<double>(FieldKb(s, "\nRssFile:")) / 1024.0;
  m.shmem = static_cast<double>(FieldKb(s, "\nRssShmem:")) / 1024.0;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  m.faults = usage.ru_minflt;
  m.ours = TextureMappings("self");
  m.server = TextureMappings(std::to_string(server));
  return m;
}

void Print(const char* what, const Sample& m) {
  std::printf(
      "%-34s rss %7.1f MB (anon %6.1f, file %5.1f, shmem %6.1f)  textures: ours %3d (%6.1f MB), "
      "X server %3d (%6.1f MB)  faults %ldk\n",
      what, m.rss, m.anon, m.file, m.shmem, m.ours.count, m.ours.mb, m.server.count, m.server.mb,
      m.faults / 1000);
  std::lock_guard lock(g_lineMutex);
  if (Tallowmarch_IsCapturing()) std::printf("    engine: %ls\n", g_memoryLine.c_str());
  std::fflush(stdout);
}

// Every mapping that holds 1 MB or more of resident memory ("#" lines), largest first.
void PrintLargeMappings() {
  std::ifstream smaps("/proc/self/smaps");
  std::vector<std::pair<long, std::string>> large;
  std::string line, mapping;
  while (std::getline(smaps, line)) {
    if (std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 16) {
      mapping = line;
    } else if (line.rfind("Rss:", 0) == 0 && std::atol(line.c_str() + 4) >= 1024) {
      large.emplace_back(std::atol(line.c_str() + 4), mapping);
    }
  }
  std::sort(large.rbegin(), large.rend());
  for (const auto& [kb, text] : large) std::printf("#  %6.1f MB  %s\n", kb / 1024.0, text.c_str());
}

HWND AsHwnd(xcb_window_t window) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}

bool Save(const std::string& folder) {
  const std::wstring wide(folder.begin(), folder.end());
  wchar_t path[1024] = {};
  if (Tallowmarch_SaveClipNow(wide.c_str(), path, 1024) != TALLOWMARCH_OK) return false;
  std::error_code ec;
  std::filesystem::remove(std::wstring(path), ec);
  return true;
}

void Resizes(tallowmarch::test::TestClient& client, pid_t server, int sizes) {
  const xcb_window_t window = client.CreateWindow(0, 0, 1280, 720, 0x406080);
  Print("before Start", Measure(server));
  if (Tallowmarch_StartCapture(AsHwnd(window), false, 0, 30, 0, 0) != TALLOWMARCH_OK) {
    std::fprintf(stderr, "capture_memory_bench: the start failed\n");
    std::exit(1);
  }
  std::this_thread::sleep_for(2s);
  Print("capturing, before the resizes", Measure(server));
  double peak = 0;
  for (int i = 1; i <= sizes; ++i) {
    // Sizes spread over 480x270 .. 1919x1079, none twice in a row.
    const auto width = static_cast<std::uint16_t>(480 + (i * 397) % 1440);
    const auto height = static_cast<std::uint16_t>(270 + (i * 211) % 810);
    client.Resize(window, width, height, 0x101010u * static_cast<std::uint32_t>(i % 15));
    std::this_thread::sleep_for(100ms);
    const Sample m = Measure(server);
    peak = std::max(peak, m.rss);
    if (i % 50 == 0) {
      char label[64];
      std::snprintf(label, sizeof label, "after %d sizes (peak %.1f MB)", i, peak);
      Print(label, m);
    }
  }
  std::this_thread::sleep_for(2s);
  Print("2 s after the last size", Measure(server));
  Tallowmarch_StopCapture();
  std::this_thread::sleep_for(1s);
  Print("1 s after Stop", Measure(server));
  client.Destroy(window);
}

void LongCapture(tallowmarch::test::TestClient& client, const std::string& display, pid_t server,
                 int minutes) {
  const xcb_window_t screen = client.CreateWindow(0, 0, 1920, 1080, 0x202020);
  Print("before Start (long capture)", Measure(server));
  if (Tallowmarch_StartCapture(AsHwnd(screen), true, 1080, 30, 0, 0) != TALLOWMARCH_OK) {
    std::fprintf(stderr, "capture_memory_bench: the start failed\n");
    std::exit(1);
  }
  // Moving content, drawn on a connection of its own.
  std::atomic<bool> stop{false};
  std::thread animator([&] {
    tallowmarch::test::TestClient painter(display);
    auto next = Clock::now();
    for (std::uint32_t step = 0; !stop.load(); ++step) {
      painter.FillRect(screen, 0, static_cast<std::int16_t>((step * 8) % 1080), 1920, 8,
                       0x203040u + (step * 0x010203u));
      painter.FillRect(screen, static_cast<std::int16_t>((step * 13) % 1800), 400, 120, 120,
                       0xE0E0E0u - (step * 0x030201u));
      next += 33ms;
      std::this_thread::sleep_until(next);
    }
  });
  const std::string folder = std::filesystem::temp_directory_path() / "tm_capture_memory_bench";
  std::filesystem::create_directories(folder);
  const auto start = Clock::now();
  int saves = 0, failed = 0;
  for (int half = 1; half <= minutes * 2; ++half) {
    std::this_thread::sleep_until(start + half * 30s);
    (Save(folder) ? saves : failed) += 1;
    char label[64];
    std::snprintf(label, sizeof label, "%d s, after save %d", half * 30, saves + failed);
    Print(label, Measure(server));
  }
  Tallowmarch_StopCapture();
  stop.store(true);
  animator.join();
  std::this_thread::sleep_for(1s);
  Print("1 s after Stop (long capture)", Measure(server));
  PrintLargeMappings();
  std::printf("saves: %d done, %d failed\n", saves, failed);
  std::filesystem::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
  int sizes = 300, minutes = 4;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--sizes") == 0) sizes = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--minutes") == 0) minutes = std::atoi(argv[i + 1]);
  }
  av_log_set_level(AV_LOG_FATAL);  // no encoder banners
  tallowmarch::test::XvfbServer display;
  tallowmarch::test::PulseServer sound;
  if (!display.Start("1920x1080x24") || !sound.Start() ||
      !sound.PlayTone(tallowmarch::test::kSpeakers, 1000) ||
      sound.Pactl({"set-default-source", tallowmarch::test::kMic}).size() > 0) {
    std::fprintf(stderr, "capture_memory_bench: cannot start Xvfb or PulseAudio\n");
    return 1;
  }
  setenv("DISPLAY", display.Display().c_str(), 1);
  setenv("PULSE_SERVER", sound.Address().c_str(), 1);
  tallowmarch::sim::UseRealDisplay();
  tallowmarch::sim::UseRealSound();
  Tallowmarch_SetLogCallback(&OnLog);
  if (Tallowmarch_GlobalInitialize() != TALLOWMARCH_OK) return 1;
  Tallowmarch_SetAudioSettings(0.6f, 0.6f, false, false, nullptr, nullptr);
  tallowmarch::test::TestClient client(display.Display());
  if (!client.Ok()) return 1;
  std::printf("capture_memory_bench: Xvfb %s 1920x1080, PulseAudio, both sound sources\n",
              display.Display().c_str());
  if (sizes > 0) Resizes(client, display.Pid(), sizes);
  if (minutes > 0) LongCapture(client, display.Display(), display.Pid(), minutes);
  Tallowmarch_GlobalShutdown();
  Print("after shutdown", Measure(display.Pid()));
  return 0;
}
