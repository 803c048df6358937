// The capture session: one per loaded engine, owned by the exported layer. It holds everything
// a capture needs in its private state and offers start, stop, save and the status and
// settings operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "audio_settings.h"
#include "common/win_types.h"
#include "engine_log.h"

namespace tallowmarch {

struct EncodeSize {
  std::uint32_t width = 0, height = 0;
};

// The encoded size of a source: with a maximum height below the source height, that height
// rounded down to even and the width following the aspect ratio (rounded to nearest, then down
// to even); otherwise the source size. Either way the result is made even and at least 2, as the
// NV12 surfaces and the H.264 encoders need (an odd source loses its last row or column to a
// slight scale).
EncodeSize ComputeEncodeSize(std::uint32_t sourceWidth, std::uint32_t sourceHeight,
                             std::uint32_t maxHeight);

class TallowmarchSession {
 public:
  struct Impl;

  TallowmarchSession();
  ~TallowmarchSession();  // stops a running capture first
  TallowmarchSession(const TallowmarchSession&) = delete;
  TallowmarchSession& operator=(const TallowmarchSession&) = delete;

  // Start a capture of `target` (or of the monitor that shows it). 0 means: no height limit,
  // 30 fps, 6000000 bit/s, 60 seconds; more than 240 fps, 100000000 bit/s or 600 seconds is
  // clamped to that, and less than 1000 bit/s raised to it. True when the capture runs. Never
  // throws.
  bool Start(HWND target, bool captureMonitor, unsigned maxHeight, unsigned fps, unsigned bitrate,
             unsigned bufferSeconds);
  // Wakes and joins every capture thread and discards everything buffered. Never throws.
  void Stop();
  // Writes the buffered clip window as one MP4 clip into `outputDir`; on success `outPath`
  // receives its full path.
  bool SaveClipNow(const std::wstring& outputDir, std::wstring& outPath);

  // The exported layer's lifecycle and session locks, which the watchdog's restart takes (in
  // that order) around its stop and start, so that a restart never overlaps a stop, start, save
  // or shutdown of the exports. Set once, before the first start.
  void SetInterfaceLocks(std::mutex* lifecycle, std::mutex* session);
  // Ends a pending or running watchdog restart and waits for its thread; later restarts do
  // nothing. Call without the interface locks held (the restart may be waiting for them) before
  // the session is destroyed; the destructor calls it too.
  void CancelRestart();

  bool IsCapturing() const { return capturing.load(); }
  static bool HasHardwareEncoder();
  double GetMeasuredSustainableFps() const;
  // Stage first (acquire), then total and done; all three pointers must be valid. True while
  // a save runs.
  bool GetSaveProgress(std::uint32_t* stage, std::uint32_t* done, std::uint32_t* total) const;
  void SetAudioSettings(const AudioSettings& settings);
  void SetLogCallback(LogSink sink);
  // Applied at the next start; a running capture keeps its border.
  void SetCaptureBorderEnabled(bool enabled);

  static void EnumerateAudioEndpoints(
      bool capture,
      const std::function<void(const std::wstring& id, const std::wstring& name, bool isDefault)>&
          callback);

  Impl& State() { return *impl; }
  const Impl& State() const { return *impl; }

 private:
  // Stop's steps from the stop flag to the cleared rings: also what a start that cannot start
  // its threads undoes.
  void TearDown();

  std::unique_ptr<Impl> impl;
  std::atomic<bool> capturing{false};  // true from the end of a start to the end of its stop
};

}  // namespace tallowmarch
