// Frame intake: where captured pictures enter the live pipeline.
//
// OnFrameArrived runs on the capture layer's thread for every FrameArrived event: it lets a
// frame through once three quarters of the frame interval have gone by since the last one it
// let through (so a source at the capture rate keeps its frames despite jitter), copies it on
// the GPU into sharedCaptureTexture and puts it into the one-slot mailbox for the encoder
// thread (a frame still waiting there is replaced and counted as coalesced). FrameTickThread
// re-submits the last picture whenever no frame was accepted for one interval, because the capture
// delivers frames only on change. OnCaptureItemClosed only logs: the capture goes on.
#pragma once

#include "capture/capture.h"
#include "tallowmarch_session.h"

namespace tallowmarch {

void OnFrameArrived(TallowmarchSession* session, platform::CaptureFramePool& sender);
// May run while the session is idle: the registration outlives Stop until the next Start.
void OnCaptureItemClosed(TallowmarchSession* session, platform::CaptureItem& sender);
void FrameTickThread(TallowmarchSession* session);

}  // namespace tallowmarch
