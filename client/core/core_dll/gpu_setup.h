// Platform set-up steps of a capture that keep no state of their own: the hardware H.264
// encoder probes.
#pragma once

namespace tallowmarch {

// True when the hardware H.264 encoder listing succeeds with at least one encoder. Never
// raises; nothing is cached.
bool HasHardwareH264Encoder();
// True when any listed hardware H.264 encoder declares itself Direct3D 11 aware (a missing or
// unreadable attribute counts as not aware). Every encoder is examined. Never raises.
bool IsHardwareEncoderD3D11Aware();

}  // namespace tallowmarch
