// Frame intake: where captured pictures enter the live pipeline.
//
// The clip's time line is a grid of 1/fps from the capture's start: slot k is the interval
// centred on origin + k/fps, takes at most one frame and stamps it with that centre, so that
// every frame lies within half an interval of its capture time and the segments' timestamps
// are whole frame intervals apart.
//
// OnFrameArrived runs on the capture layer's thread for every FrameArrived event: it lets a
// frame through when its slot has none yet (so a source at the capture rate keeps every frame
// whatever its jitter inside the slot, and a faster one is thinned to the rate), copies it on
// the GPU into sharedCaptureTexture and puts it into the one-slot mailbox for the encoder
// thread (a frame still waiting there is replaced and counted as coalesced). FrameTickThread
// wakes at every grid point and repeats the last picture into the slot that has just closed
// when no frame came for it, because the capture delivers frames only on change.
// OnCaptureItemClosed only logs: the capture goes on.
#pragma once

#include <cstdint>

#include "capture/capture.h"
#include "tallowmarch_session.h"

namespace tallowmarch {

void OnFrameArrived(TallowmarchSession* session, platform::CaptureFramePool& sender);
// May run while the session is idle: the registration outlives Stop until the next Start.
void OnCaptureItemClosed(TallowmarchSession* session, platform::CaptureItem& sender);
void FrameTickThread(TallowmarchSession* session);

// The slot of the grid whose interval holds `time` (all times NowHns ticks).
std::int64_t FrameSlotAt(std::int64_t time, std::int64_t origin, std::uint32_t fps);
// The time a frame of `slot` is stamped with.
std::int64_t FrameSlotTime(std::int64_t slot, std::int64_t origin, std::uint32_t fps);

}  // namespace tallowmarch
