// The platform of the product library: every layer is the real one of this operating system.
#include "audio/linux_audio.h"
#include "capture/linux_capture.h"
#include "gpu/linux_gpu.h"
#include "media/linux_media.h"
#include "platform.h"
#include "system/linux_system.h"

namespace tallowmarch::platform {
namespace {

// Built on first use, so the platform is ready for code that runs while the library is still
// being loaded, and never destroyed, so that a session torn down at unload still finds its
// layers.
struct LinuxLayers {
  LinuxSystem system;
  LinuxMedia media;
  LinuxGpu gpu;
  Platform installed;

  LinuxLayers() {
    // The adapter's outputs are the display's monitors, with the capture layer's handles.
    gpu.SetOutputProvider([] { return LinuxCaptureLayer().Outputs(); });
    installed.system = &system;
    installed.media = &media;
    installed.audio = &LinuxAudioLayer();
    installed.gpu = &gpu;
    installed.capture = &LinuxCaptureLayer();
  }
};

}  // namespace

Platform& CurrentPlatform() {
  static LinuxLayers* const layers = new LinuxLayers;
  return layers->installed;
}

}  // namespace tallowmarch::platform
