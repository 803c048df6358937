// The capture session: one per loaded engine, owned by the exported layer. It holds everything
// a capture needs in its private state and offers start, stop, save and the status and
// settings operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio_settings.h"
#include "common/win_types.h"
#include "engine_log.h"

namespace tallowmarch {

class TallowmarchSession {
 public:
  struct Impl;

  TallowmarchSession();
  ~TallowmarchSession();  // stops a running capture first
  TallowmarchSession(const TallowmarchSession&) = delete;
  TallowmarchSession& operator=(const TallowmarchSession&) = delete;

  void Stop();
  // Writes the buffered clip window as one MP4 clip into `outputDir`; on success `outPath`
  // receives its full path.
  bool SaveClipNow(const std::wstring& outputDir, std::wstring& outPath);

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
  std::unique_ptr<Impl> impl;
  std::atomic<bool> capturing{false};  // true from the end of a start to the end of its stop
};

}  // namespace tallowmarch
