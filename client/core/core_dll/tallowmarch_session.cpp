#include "tallowmarch_session.h"

#include "audio_endpoints.h"
#include "gpu_setup.h"
#include "session_impl.h"

namespace tallowmarch {

TallowmarchSession::TallowmarchSession() : impl(std::make_unique<Impl>()) {}

TallowmarchSession::~TallowmarchSession() { Stop(); }

void TallowmarchSession::Stop() {
  if (!capturing.load()) return;
}

bool TallowmarchSession::HasHardwareEncoder() { return HasHardwareH264Encoder(); }

double TallowmarchSession::GetMeasuredSustainableFps() const {
  const std::uint64_t submitted = impl->framesSubmitted.load();
  if (submitted < 30) return 0.0;  // too few frames to judge
  const std::uint64_t coalesced = impl->framesCoalesced.load();
  return impl->fps *
         (1.0 - static_cast<double>(coalesced) / static_cast<double>(submitted));
}

bool TallowmarchSession::GetSaveProgress(std::uint32_t* stage, std::uint32_t* done,
                                         std::uint32_t* total) const {
  *stage = impl->saveStage.load(std::memory_order_acquire);
  *total = impl->saveTotal.load(std::memory_order_relaxed);
  *done = impl->saveDone.load(std::memory_order_relaxed);
  return *stage != 0;
}

void TallowmarchSession::SetAudioSettings(const AudioSettings& settings) {
  std::lock_guard lock(impl->settingsMutex);
  impl->audioSettings = settings;
}

void TallowmarchSession::SetLogCallback(LogSink sink) {
  std::lock_guard lock(impl->logMutex);
  impl->logCallback = std::move(sink);
}

void TallowmarchSession::SetCaptureBorderEnabled(bool enabled) {
  impl->captureBorderEnabled.store(enabled);
}

void TallowmarchSession::EnumerateAudioEndpoints(
    bool capture,
    const std::function<void(const std::wstring&, const std::wstring&, bool)>& callback) {
  tallowmarch::EnumerateAudioEndpoints(capture, callback);
}

void TallowmarchSession::Impl::Log(const std::wstring& line) {
  std::lock_guard lock(logMutex);
  if (logCallback) logCallback(line);
}

LogSink TallowmarchSession::Impl::GetLogCallback() {
  std::lock_guard lock(logMutex);
  return logCallback;
}

void TallowmarchSession::Impl::SetSaveProgress(std::uint32_t stage, std::uint32_t done,
                                               std::uint32_t total) {
  saveTotal.store(total, std::memory_order_relaxed);
  saveDone.store(done, std::memory_order_relaxed);
  saveStage.store(stage, std::memory_order_release);
}

}  // namespace tallowmarch
