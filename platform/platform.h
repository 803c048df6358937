// The process-wide platform object: one pointer per layer. The engine reaches every operating
// system service through it and never knows which implementation runs underneath.
//
// Which implementation is installed is decided by what is linked: the product library links
// linux_platform.cpp, the simulation library and the unit tests link sim_platform.cpp. The sim
// control surface may swap single layers (say, the real X11 capture under a simulated encoder
// listing), but only while no capture runs and no engine thread uses the layer.
#pragma once

namespace tallowmarch::platform {

class SystemLayer;
class MediaLayer;
class AudioLayer;
class GpuLayer;
class CaptureLayer;

struct Platform {
  SystemLayer* system = nullptr;
  MediaLayer* media = nullptr;
  AudioLayer* audio = nullptr;
  GpuLayer* gpu = nullptr;
  CaptureLayer* capture = nullptr;
};

// Defined by the linked variant; valid for the whole life of the process.
Platform& CurrentPlatform();

inline SystemLayer& System() {
  return *CurrentPlatform().system;
}
inline MediaLayer& Media() {
  return *CurrentPlatform().media;
}
inline AudioLayer& Audio() {
  return *CurrentPlatform().audio;
}
inline GpuLayer& Gpu() {
  return *CurrentPlatform().gpu;
}
inline CaptureLayer& Capture() {
  return *CurrentPlatform().capture;
}

}  // namespace tallowmarch::platform
