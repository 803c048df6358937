// The in-memory MP4 file behind a segment encoder: the "mp4" muxer on custom I/O writes a
// growing byte vector and seeks back in it to complete the index with the trailer; Finish hands
// the vector out as the segment. Both segment encoders keep the vector and the position
// themselves and pass them in from their callbacks.
#pragma once

#include <cstdint>
#include <vector>

#include "clip_window.h"
#include "ffmpeg_handles.h"

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

inline constexpr int kMemoryIoBufferSize = 32768;

// An "mp4" muxer writing through custom I/O: a 32768-byte buffer, an I/O context with the
// encoder as opaque and its write and seek callbacks (no read), and the output context that
// uses it. Raises std::runtime_error when an allocation fails; what was made is freed by the
// handles.
void OpenMemoryMp4Muxer(void* opaque, int (*write)(void*, std::uint8_t*, int),
                        std::int64_t (*seek)(void*, std::int64_t, int), ffmpeg::IoContext& io,
                        ffmpeg::OutputFormat& muxer);

// The finished file as a segment: the bytes move out (left empty) at their exact size, and the
// duration runs from the first frame up to now.
VideoSegment HandOutSegment(std::vector<std::uint8_t>& bytes, std::uint32_t frameCount,
                            std::int64_t firstTimestamp, bool reencodeAtSave);

}  // namespace tallowmarch
