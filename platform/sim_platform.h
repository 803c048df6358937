// Control surface of the simulated platform: tests and the demo script the simulation through
// it (display topology, windows, scene, audio endpoints, hardware-encoder list, faults). It is
// not part of the engine's C interface; the simulation library exports it beside that.
#pragma once

#include "common/export.h"
#include "platform.h"

namespace tallowmarch::platform {
class SimSystem;
class SimMedia;
class SimAudio;
class SimGpu;
class SimCapture;
}  // namespace tallowmarch::platform

namespace tallowmarch::sim {

TM_EXPORT platform::SimSystem& System();
TM_EXPORT platform::SimMedia& Media();
TM_EXPORT platform::SimAudio& Audio();
TM_EXPORT platform::SimGpu& Gpu();
TM_EXPORT platform::SimCapture& Capture();

// The layers the engine sees. Swapping a layer (for the real one of linux, say) is allowed
// only while no capture runs.
TM_EXPORT platform::Platform& Layers();

// Puts the real display under the engine: the X11 capture layer on $DISPLAY and the linux GPU
// topology (one adapter whose outputs are the X11 monitors). The simulated system, media
// (hardware-encoder listing) and audio layers stay, so the whole engine runs on a real display
// on a machine without a hardware H.264 encoder. Only while no capture runs; ResetAll() puts
// the simulated layers back.
TM_EXPORT void UseRealDisplay();

// Puts the real sound devices under the engine: the PulseAudio layer. The other layers stay as
// they are. Only while no capture runs; ResetAll() puts the simulated sound devices back.
TM_EXPORT void UseRealSound();

// Puts every simulated layer back to its defaults and re-installs the simulated layers.
TM_EXPORT void ResetAll();

}  // namespace tallowmarch::sim
