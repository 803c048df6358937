// The audio layer on linux, on a PulseAudio server: sinks are render endpoints (their loopback
// is the sink's monitor source), sources other than monitors are capture endpoints.
#pragma once

#include <memory>

#include "audio/audio.h"
#include "common/export.h"

namespace tallowmarch::platform {

// The process's one PulseAudio audio layer. Built on first use and never destroyed; it reaches
// the server only when the engine first asks for something.
TM_EXPORT AudioLayer& LinuxAudioLayer();

// A layer of its own, with its own connection and notification thread: for tests that start
// and stop servers. Objects it hands out stay usable after it is destroyed.
TM_EXPORT std::unique_ptr<AudioLayer> MakePulseAudioLayer();

}  // namespace tallowmarch::platform
