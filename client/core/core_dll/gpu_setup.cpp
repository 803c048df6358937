#include "gpu_setup.h"

#include <vector>

#include "media/media.h"
#include "platform.h"

namespace tallowmarch {

bool HasHardwareH264Encoder() {
  std::vector<platform::EncoderActivation> encoders;
  const HRESULT hr =
      platform::Media().EnumHardwareH264Encoders(platform::kMftEnumHardwareSorted, encoders);
  return SUCCEEDED(hr) && !encoders.empty();
}

bool IsHardwareEncoderD3D11Aware() {
  std::vector<platform::EncoderActivation> encoders;
  const HRESULT hr =
      platform::Media().EnumHardwareH264Encoders(platform::kMftEnumHardwareSorted, encoders);
  if (FAILED(hr)) return false;
  bool aware = false;
  for (const platform::EncoderActivation& encoder : encoders) {
    const std::uint32_t value = SUCCEEDED(encoder.d3d11AwareResult) ? encoder.d3d11Aware : 0;
    if (value != 0) aware = true;
  }
  return aware;
}

}  // namespace tallowmarch
