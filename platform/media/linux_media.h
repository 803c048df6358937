// The media layer on linux. Start-up and shut-down have nothing to set up. The hardware H.264
// encoders listed are the ones actually present: VA-API render nodes whose driver offers an
// H.264 encode entry point, and NVIDIA devices whose NVENC library loads. Nothing is encoded
// and no encoder is opened while listing.
#pragma once

#include <string>
#include <vector>

#include "common/export.h"
#include "media/media.h"

namespace tallowmarch::platform {

class TM_EXPORT LinuxMedia : public MediaLayer {
 public:
  HRESULT Startup(std::uint32_t version, std::uint32_t flags) override;
  HRESULT Shutdown() override;
  HRESULT EnumHardwareH264Encoders(std::uint32_t flags,
                                   std::vector<EncoderActivation>& out) override;
};

// The render nodes (/dev/dri/renderD*) whose VA-API driver lists an H.264 encode entry point,
// in name order. Empty when libva is not installed.
TM_EXPORT std::vector<std::string> ListVaapiH264EncodeNodes();
// True when an NVIDIA device node exists and the NVENC library can be loaded.
TM_EXPORT bool NvencPresent();

}  // namespace tallowmarch::platform
