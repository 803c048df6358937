// A host that returns from main while two of its threads are inside the engine's exports: one
// saves clips, one asks for the capture's status without pause. The tests run it (under the
// sanitizers) to show that the engine's teardown at process exit waits for them rather than
// freeing the session under them.
//
// Usage: tallowmarch_exit_race_host <clip folder>
// It captures the simulated scene, starts saving, and returns from main once the save is mixing
// the sound. Exit code 0 when it got that far; the sanitizers end it otherwise when they find
// a fault.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <thread>

#include "tallowmarch/core.h"

namespace {

std::atomic<bool> g_mixing{false};  // the save has begun to mix the sound
// A plain array: exit destroys nothing of it while the saving thread still reads it.
wchar_t g_folder[4096];

// Called until the very end of the process: it touches nothing that exit destroys.
void OnLogLine(const wchar_t* line) {
  static constexpr wchar_t kMixing[] = L"[DIAG-SAVE-MEM] stage=audio-concat";
  if (std::wcsncmp(line, kMixing, std::wcslen(kMixing)) != 0 || g_mixing.exchange(true)) return;
  // Holds the save (and the engine's log) a moment, so that main's return meets it mid-way:
  // whatever exit tears down, the save goes on using it right after.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

}  // namespace

int main(int argc, char** argv) {
  using namespace std::chrono_literals;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <clip folder>\n", argv[0]);
    return 2;
  }
  if (std::mbstowcs(g_folder, argv[1], std::size(g_folder) - 1) == static_cast<size_t>(-1)) {
    return 2;
  }

  Tallowmarch_SetLogCallback(&OnLogLine);
  if (Tallowmarch_GlobalInitialize() != TALLOWMARCH_OK) return 3;
  const HWND window = reinterpret_cast<HWND>(std::uintptr_t{0x1001});  // the simulated window
  if (Tallowmarch_StartCapture(window, false, 0, 30, 0, 0) != TALLOWMARCH_OK) return 4;
  std::this_thread::sleep_for(4500ms);  // two finished segments and sound chunks

  std::thread([] {
    for (;;) {
      std::uint32_t stage = 0, done = 0, total = 0;
      Tallowmarch_IsCapturing();
      Tallowmarch_GetMeasuredSustainableFps();
      Tallowmarch_GetSaveProgress(&stage, &done, &total);
    }
  }).detach();
  std::thread([] {
    for (;;) Tallowmarch_SaveClipNow(g_folder, nullptr, 0);
  }).detach();

  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!g_mixing.load()) {
    if (std::chrono::steady_clock::now() > deadline) return 5;
    std::this_thread::sleep_for(1ms);
  }
  std::fputs("returning from main\n", stderr);
  return 0;
}
