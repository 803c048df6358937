// The encoder pipeline of a capture: four threads that turn handed-over frames into ~2-second
// MP4 segments in the segment ring.
//
// EncoderThread feeds each pending frame to the current segment encoder and performs the
// rotations; BackoffControllerThread measures the drop rate every 2 seconds, moves the back-off
// tier, requests a spare encoder at the start of a period and a rotation at its end;
// SpareEncoderBuilderThread builds that spare ahead of time; FinalizeThread finishes retired
// encoders, pushes their segments into the ring and gives the freed memory back to the system.
//
// Hand-overs: the mailbox and rotation requests under pipelineMutex, spare requests under
// spareBuildMutex, the finished spare under spareMutex, retired encoders under finalizeMutex.
// No thread holds two of them at once; encoders are built, fed, drained and finished with none
// held. The threads catch every error of the encoder layer, log it and go on.
#pragma once

#include <cstdint>

#include "tallowmarch_session.h"

namespace tallowmarch {

void EncoderThread(TallowmarchSession* session);
void BackoffControllerThread(TallowmarchSession* session);
void SpareEncoderBuilderThread(TallowmarchSession* session);
void FinalizeThread(TallowmarchSession* session);

// The tier after a period with `dropRate` at `oldTier` (0..3).
int NextBackoffTier(double dropRate, int oldTier);
// The frame rate a tier thins to at capture rate `fps`; 0 (no thinning) for tier 0.
std::uint32_t BackoffRequestedFps(int tier, std::uint32_t fps);

}  // namespace tallowmarch
