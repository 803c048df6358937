// The in-memory file behind a segment encoder's custom I/O: the "mp4" muxer writes a growing
// byte vector and seeks back in it to complete the index with the trailer. Both segment
// encoders keep the vector and the position themselves and pass them in from their callbacks.
#pragma once

#include <cstdint>
#include <vector>

namespace tallowmarch {

// Writes `size` bytes at `position`, growing `bytes` (a gap left by a seek beyond the end is
// zero-filled), and moves `position` past them. Returns `size`, or a negative AVERROR when the
// size is negative or memory runs out (nothing may unwind through FFmpeg's C frames).
int MemoryIoWrite(std::vector<std::uint8_t>& bytes, std::int64_t& position,
                  const std::uint8_t* data, int size);

// AVSEEK_SIZE answers the size and leaves `position`; whence 0, 1, 2 (from the start, the
// position, the end) move `position` to the target and answer it. A negative target or another
// whence answers -1 and leaves `position`.
std::int64_t MemoryIoSeek(const std::vector<std::uint8_t>& bytes, std::int64_t& position,
                          std::int64_t offset, int whence);

}  // namespace tallowmarch
