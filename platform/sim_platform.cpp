#include "sim_platform.h"

#include "audio/linux_audio.h"
#include "audio/sim_audio.h"
#include "capture/linux_capture.h"
#include "capture/sim_capture.h"
#include "gpu/linux_gpu.h"
#include "gpu/sim_gpu.h"
#include "media/sim_media.h"
#include "system/sim_system.h"

namespace tallowmarch {
namespace {

// Built on first use, so the platform is ready for code that runs while the library is still
// being loaded, and never destroyed, so that a session torn down at unload (after other
// statics are gone) still finds its layers.
struct SimLayers {
  platform::SimSystem system;
  platform::SimMedia media;
  platform::SimAudio audio;
  platform::SimGpu gpu;
  platform::SimCapture capture;
  platform::LinuxGpu realGpu;  // the real display's topology, for UseRealDisplay
  platform::Platform installed;

  SimLayers() {
    realGpu.SetOutputProvider([] { return platform::LinuxCaptureLayer().Outputs(); });
    Install();
  }
  void Install() {
    installed.system = &system;
    installed.media = &media;
    installed.audio = &audio;
    installed.gpu = &gpu;
    installed.capture = &capture;
  }
};

SimLayers& State() {
  static SimLayers* const layers = new SimLayers;
  return *layers;
}

}  // namespace

platform::Platform& platform::CurrentPlatform() {
  return State().installed;
}

platform::SimSystem& sim::System() {
  return State().system;
}
platform::SimMedia& sim::Media() {
  return State().media;
}
platform::SimAudio& sim::Audio() {
  return State().audio;
}
platform::SimGpu& sim::Gpu() {
  return State().gpu;
}
platform::SimCapture& sim::Capture() {
  return State().capture;
}
platform::Platform& sim::Layers() {
  return State().installed;
}

void sim::UseRealDisplay() {
  SimLayers& layers = State();
  layers.installed.gpu = &layers.realGpu;
  layers.installed.capture = &platform::LinuxCaptureLayer();
}

void sim::UseRealSound() {
  State().installed.audio = &platform::LinuxAudioLayer();
}

void sim::ResetAll() {
  SimLayers& layers = State();
  layers.system.Reset();
  layers.media.Reset();
  layers.audio.Reset();
  layers.gpu.Reset();
  layers.capture.Reset();
  layers.Install();
}

}  // namespace tallowmarch
