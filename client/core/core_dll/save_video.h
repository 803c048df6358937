// The video side of a clip save: segments demuxed in place from memory, then either copied
// into the clip unchanged (remux) or decoded and encoded again as one continuous stream
// (re-encode), each placed on the clip's time line (100-ns ticks from the clip start).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "clip_window.h"
#include "ffmpeg_handles.h"

namespace tallowmarch {

// FFmpeg read and seek callbacks over one segment's bytes; `opaque` is the reader.
struct MemoryReader {
  const std::vector<std::uint8_t>* bytes = nullptr;  // not owned; the segment keeps it alive
  std::uint64_t position = 0;

  static int Read(void* opaque, std::uint8_t* buffer, int size);
  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence);
};

// A segment whose bytes do not open as an MP4 with a video stream. A save leaves such a segment
// out (with a line) and writes the rest.
class SegmentOpenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One segment opened for demuxing through a MemoryReader and a 32768-byte I/O buffer. The
// failure texts are those of the operation that opens it, raised as SegmentOpenError. Not
// movable: the I/O context points at the reader.
class SegmentDemuxer {
 public:
  struct Errors {
    const char* open;
    // Null: no stream-information pass. Copying packets needs only what the MP4 header holds
    // (codec parameters, time base); the pass would decode 7 frames of every segment to guess
    // the H.264 reorder delay, which costs more than the whole copy.
    const char* streamInfo;
    const char* noVideo;
  };

  SegmentDemuxer(const VideoSegment& segment, const Errors& errors);
  SegmentDemuxer(const SegmentDemuxer&) = delete;
  SegmentDemuxer& operator=(const SegmentDemuxer&) = delete;

  AVFormatContext* Context() const { return demuxer_.get(); }
  int VideoIndex() const { return videoIndex_; }
  AVStream* VideoStream() const { return demuxer_->streams[videoIndex_]; }

 private:
  SharedBytes keepAlive_;
  MemoryReader reader_;
  ffmpeg::IoContext io_;
  ffmpeg::InputFormat demuxer_;  // closed before the I/O context it reads through
  int videoIndex_ = -1;
};

// The time in `timeBase` at which the save writes a packet whose own time on the clip's time
// line is `clipTime` (100-ns ticks): that time, or, when it would not come after `lastWritten`
// (the stream's previous packet; AV_NOPTS_VALUE before the first), the least time that does.
// Only the colliding packet moves: the packets after it keep their own times.
std::int64_t PlacePacket(std::int64_t clipTime, AVRational timeBase, std::int64_t lastWritten);

// Copies one segment's video packets into stream `streamIndex` of the clip, each at its own
// time on the clip's time line (PlacePacket), and raises `videoEnd` to the latest packet time
// written. `lastWritten` carries the stream's last timestamp from segment to segment.
void RemuxSegment(const VideoSegment& segment, AVFormatContext* output, int streamIndex,
                  std::int64_t clipStart, std::int64_t& videoEnd, std::int64_t& lastWritten);

}  // namespace tallowmarch
