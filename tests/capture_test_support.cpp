#include "capture_test_support.h"

#include <cstring>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
}

#include "ffmpeg_handles.h"

namespace tallowmarch::testing {

namespace {

struct Reader {
  const std::vector<std::uint8_t>* bytes;
  std::int64_t pos = 0;
};

int Read(void* opaque, std::uint8_t* buffer, int size) {
  auto* r = static_cast<Reader*>(opaque);
  const std::int64_t left = static_cast<std::int64_t>(r->bytes->size()) - r->pos;
  if (left <= 0) return AVERROR_EOF;
  const int n = static_cast<int>(std::min<std::int64_t>(left, size));
  std::memcpy(buffer, r->bytes->data() + r->pos, static_cast<size_t>(n));
  r->pos += n;
  return n;
}

std::int64_t Seek(void* opaque, std::int64_t offset, int whence) {
  auto* r = static_cast<Reader*>(opaque);
  const auto size = static_cast<std::int64_t>(r->bytes->size());
  if (whence == AVSEEK_SIZE) return size;
  std::int64_t target = offset;
  if ((whence & 3) == SEEK_CUR) target = r->pos + offset;
  if ((whence & 3) == SEEK_END) target = size + offset;
  if (target < 0) return -1;
  r->pos = target;
  return target;
}

}  // namespace

DemuxedVideo DemuxSegment(const std::vector<std::uint8_t>& bytes) {
  DemuxedVideo out;
  Reader reader{&bytes};
  auto* buffer = static_cast<unsigned char*>(av_malloc(4096));
  ffmpeg::IoContext io(avio_alloc_context(buffer, 4096, 0, &reader, Read, nullptr, Seek));
  AVFormatContext* raw = avformat_alloc_context();
  raw->pb = io.get();
  if (avformat_open_input(&raw, nullptr, nullptr, nullptr) < 0) return out;
  ffmpeg::InputFormat format(raw);
  if (avformat_find_stream_info(format.get(), nullptr) < 0) return out;
  if (format->nb_streams < 1) return out;
  AVStream* stream = format->streams[0];
  out.width = stream->codecpar->width;
  out.height = stream->codecpar->height;
  out.codec = avcodec_get_name(stream->codecpar->codec_id);
  out.timeBase = av_q2d(stream->time_base);
  ffmpeg::Packet packet(av_packet_alloc());
  bool first = true;
  while (av_read_frame(format.get(), packet.get()) >= 0) {
    if (packet->stream_index == 0) {
      if (first) out.firstIsKey = (packet->flags & AV_PKT_FLAG_KEY) != 0;
      first = false;
      out.pts.push_back(packet->pts);
    }
    av_packet_unref(packet.get());
  }
  out.ok = true;
  return out;
}

}  // namespace tallowmarch::testing
