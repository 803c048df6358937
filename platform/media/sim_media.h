// The simulated media layer: a scripted list of hardware encoders and scripted failures.
#pragma once

#include <mutex>

#include "common/export.h"
#include "media/media.h"

namespace tallowmarch::platform {

class TM_EXPORT SimMedia : public MediaLayer {
 public:
  SimMedia();

  HRESULT Startup(std::uint32_t version, std::uint32_t flags) override;
  HRESULT Shutdown() override;
  HRESULT EnumHardwareH264Encoders(std::uint32_t flags,
                                   std::vector<EncoderActivation>& out) override;

  // The encoders listed from now on (by default one encoder that is not Direct3D 11 aware).
  void SetHardwareEncoders(std::vector<EncoderActivation> encoders);
  void SetStartupResult(HRESULT hr);
  void SetEnumerationResult(HRESULT hr);
  void Reset();

  int StartupCalls() const;
  int ShutdownCalls() const;
  int EnumerationCalls() const;
  std::uint32_t LastStartupVersion() const;

 private:
  mutable std::mutex mutex_;  // guards every field below
  std::vector<EncoderActivation> encoders_;
  HRESULT startupResult_ = S_OK;
  HRESULT enumerationResult_ = S_OK;
  int startupCalls_ = 0;
  int shutdownCalls_ = 0;
  int enumerationCalls_ = 0;
  std::uint32_t lastStartupVersion_ = 0;
};

}  // namespace tallowmarch::platform
