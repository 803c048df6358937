// Media Foundation's part in the engine: start-up and shut-down, and the listing of hardware
// H.264 encoders with the Direct3D 11 awareness each declares.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/win_types.h"

namespace tallowmarch::platform {

inline constexpr std::uint32_t kMfVersion = 0x20070;           // MF_VERSION
inline constexpr std::uint32_t kMfStartupFull = 0;             // MFSTARTUP_FULL
inline constexpr std::uint32_t kMftEnumHardwareSorted = 0x44;  // HARDWARE | SORTANDFILTER

// One listed encoder transform (an activation object: nothing is opened).
struct EncoderActivation {
  std::string name;
  // Outcome of reading the UINT32 attribute MF_SA_D3D11_AWARE: a failed result means the
  // attribute is missing or unreadable.
  HRESULT d3d11AwareResult = E_FAIL;
  std::uint32_t d3d11Aware = 0;
};

class MediaLayer {
 public:
  virtual ~MediaLayer() = default;

  virtual HRESULT Startup(std::uint32_t version, std::uint32_t flags) = 0;
  virtual HRESULT Shutdown() = 0;

  // The video-encoder enumeration for H.264 output with the given MFT_ENUM flags. On failure
  // `out` is left empty.
  virtual HRESULT EnumHardwareH264Encoders(std::uint32_t flags,
                                           std::vector<EncoderActivation>& out) = 0;
};

}  // namespace tallowmarch::platform
