#include "media/sim_media.h"

namespace tallowmarch::platform {

SimMedia::SimMedia() {
  Reset();
}

HRESULT SimMedia::Startup(std::uint32_t version, std::uint32_t) {
  std::lock_guard lock(mutex_);
  ++startupCalls_;
  lastStartupVersion_ = version;
  return startupResult_;
}

HRESULT SimMedia::Shutdown() {
  std::lock_guard lock(mutex_);
  ++shutdownCalls_;
  return S_OK;
}

HRESULT SimMedia::EnumHardwareH264Encoders(std::uint32_t, std::vector<EncoderActivation>& out) {
  std::lock_guard lock(mutex_);
  ++enumerationCalls_;
  out.clear();
  if (FAILED(enumerationResult_)) return enumerationResult_;
  out = encoders_;
  return S_OK;
}

void SimMedia::SetHardwareEncoders(std::vector<EncoderActivation> encoders) {
  std::lock_guard lock(mutex_);
  encoders_ = std::move(encoders);
}

void SimMedia::SetStartupResult(HRESULT hr) {
  std::lock_guard lock(mutex_);
  startupResult_ = hr;
}

void SimMedia::SetEnumerationResult(HRESULT hr) {
  std::lock_guard lock(mutex_);
  enumerationResult_ = hr;
}

void SimMedia::Reset() {
  std::lock_guard lock(mutex_);
  encoders_ = {{"Sim H.264 Encoder MFT", E_FAIL, 0}};
  startupResult_ = S_OK;
  enumerationResult_ = S_OK;
  startupCalls_ = shutdownCalls_ = enumerationCalls_ = 0;
  lastStartupVersion_ = 0;
}

int SimMedia::StartupCalls() const {
  std::lock_guard lock(mutex_);
  return startupCalls_;
}

int SimMedia::ShutdownCalls() const {
  std::lock_guard lock(mutex_);
  return shutdownCalls_;
}

int SimMedia::EnumerationCalls() const {
  std::lock_guard lock(mutex_);
  return enumerationCalls_;
}

std::uint32_t SimMedia::LastStartupVersion() const {
  std::lock_guard lock(mutex_);
  return lastStartupVersion_;
}

}  // namespace tallowmarch::platform
