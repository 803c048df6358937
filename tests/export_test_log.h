// What tests that drive the C exports share: the engine's log collected through the host
// callback (a plain function, as a host passes it), starting a capture and saving its clip as a
// host does, and the strength of a tone in decoded sound.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "save_test_support.h"
#include "tallowmarch/core.h"

namespace tallowmarch::test {

inline std::mutex g_exportLogMutex;  // guards g_exportLog (engine threads log)
inline std::vector<std::wstring> g_exportLog;

// The log callback to hand to Tallowmarch_SetLogCallback.
inline void CollectLine(const wchar_t* line) {
  std::lock_guard lock(g_exportLogMutex);
  g_exportLog.emplace_back(line);
}

// Lines that begin with `prefix`.
inline int CountLines(const std::wstring& prefix) {
  std::lock_guard lock(g_exportLogMutex);
  int n = 0;
  for (const std::wstring& l : g_exportLog) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

inline void ClearLines() {
  std::lock_guard lock(g_exportLogMutex);
  g_exportLog.clear();
}

// The log on standard error, for the record of a failed case.
inline void PrintLines() {
  std::lock_guard lock(g_exportLogMutex);
  for (const std::wstring& l : g_exportLog) std::fprintf(stderr, "log: %ls\n", l.c_str());
}

// Initialises the engine with its log collected, sets the sound settings and starts a 30 fps
// capture of `window`. Returns the start's result (initialise failing gives its own).
inline int InitialiseAndStart(HWND window, float desktopVolume, float micVolume, bool micMuted,
                              int bufferSeconds = 0) {
  Tallowmarch_SetLogCallback(&CollectLine);
  const int initialised = Tallowmarch_GlobalInitialize();
  if (initialised != TALLOWMARCH_OK) return initialised;
  Tallowmarch_SetAudioSettings(desktopVolume, micVolume, false, micMuted, nullptr, nullptr);
  return Tallowmarch_StartCapture(window, false, 0, 30, 0, bufferSeconds);
}

struct SavedClip {
  int result = -1;     // Tallowmarch_SaveClipNow's
  std::string folder;  // a new temporary folder; the caller removes it
  std::string path;    // the clip, when saved
};

// Lets the capture run for `duration` (its length is the test's input: the exports show no
// ring), saves the clip, then stops, shuts down and detaches the log.
inline SavedClip RecordSaveAndShutDown(std::chrono::milliseconds duration,
                                       const std::string& folderStem) {
  std::this_thread::sleep_for(duration);
  SavedClip clip;
  clip.folder = MakeTempFolder(folderStem);
  const std::wstring wideFolder(clip.folder.begin(), clip.folder.end());
  wchar_t path[512] = {};
  clip.result = Tallowmarch_SaveClipNow(wideFolder.c_str(), path, 512);
  Tallowmarch_StopCapture();
  Tallowmarch_GlobalShutdown();
  Tallowmarch_SetLogCallback(nullptr);
  const std::wstring widePath(path);
  clip.path.assign(widePath.begin(), widePath.end());
  return clip;
}

// The amplitude of the `frequency` component of `samples` (one DFT bin; a whole number of
// cycles over the stretch makes it exact for a pure tone).
inline double ToneAmplitude(const std::vector<float>& samples, double frequency, int rate) {
  double re = 0.0, im = 0.0;
  for (std::size_t n = 0; n < samples.size(); ++n) {
    const double phase = 2.0 * std::numbers::pi * frequency * static_cast<double>(n) / rate;
    re += samples[n] * std::cos(phase);
    im += samples[n] * std::sin(phase);
  }
  return 2.0 * std::sqrt(re * re + im * im) / static_cast<double>(samples.size());
}

}  // namespace tallowmarch::test
