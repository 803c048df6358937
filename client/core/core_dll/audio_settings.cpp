#include "audio_settings.h"

#include <cmath>

namespace tallowmarch {
namespace {
// Below the range gives the lower bound, above it the upper one (infinities included). NaN is
// silence: a NaN gain would make every mixed sample NaN, which the AAC encoder refuses.
float Clamp(float value, float low, float high) {
  if (std::isnan(value)) return 0.0f;
  if (value < low) return low;
  if (value > high) return high;
  return value;
}
}  // namespace

float DesktopGain(const AudioSettings& settings) {
  return settings.desktopMuted ? 0.0f : Clamp(settings.desktopVolume, 0.0f, 1.0f);
}

float MicGain(const AudioSettings& settings) {
  return settings.micMuted ? 0.0f : Clamp(settings.micVolume, 0.0f, 2.0f);
}

}  // namespace tallowmarch
