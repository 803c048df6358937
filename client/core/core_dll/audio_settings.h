// What the host chose for the two sound sources, and the gains derived from it.
#pragma once

#include <string>

namespace tallowmarch {

struct AudioSettings {
  float desktopVolume = 0.6f;
  float micVolume = 0.6f;
  bool desktopMuted = false;
  bool micMuted = false;
  std::wstring desktopDeviceId;  // empty: the system default render endpoint
  std::wstring micDeviceId;      // empty: the system default capture endpoint
};

// 0 when muted, else the volume clamped to [0, 1]. A NaN volume gives 0.
float DesktopGain(const AudioSettings& settings);
// 0 when muted, else the volume clamped to [0, 2]. A NaN volume gives 0.
float MicGain(const AudioSettings& settings);

}  // namespace tallowmarch
