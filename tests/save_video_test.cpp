// Segments demuxed from memory and copied into a clip on its time line.
#include "save_video.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "save_test_support.h"

namespace tallowmarch {
namespace {

TEST(MemoryReader, ReadsAndSeeksWithinItsBytes) {
  const std::vector<std::uint8_t> bytes{1, 2, 3, 4, 5};
  MemoryReader reader{&bytes, 0};
  std::uint8_t buffer[8] = {};
  EXPECT_EQ(MemoryReader::Read(&reader, buffer, 3), 3);
  EXPECT_EQ(buffer[2], 3);
  EXPECT_EQ(MemoryReader::Read(&reader, buffer, 8), 2);
  EXPECT_EQ(buffer[0], 4);
  EXPECT_EQ(MemoryReader::Read(&reader, buffer, 8), AVERROR_EOF);

  struct SeekCase {
    std::int64_t offset;
    int whence;
    std::int64_t result;
    std::uint64_t positionAfter;
  };
  const SeekCase cases[] = {
      {0, AVSEEK_SIZE, 5, 5},  // the size; the position stays
      {1, SEEK_SET, 1, 1},
      {2, SEEK_CUR, 3, 3},
      {-1, SEEK_END, 4, 4},
      {-10, SEEK_CUR, -1, 4},  // negative: refused, unmoved
      {1, SEEK_SET | AVSEEK_FORCE, -1, 4},
      {7, 99, -1, 4},
      {9, SEEK_SET, 9, 9},  // past the end is accepted; reads then report the end
  };
  reader.position = 5;
  for (const SeekCase& c : cases) {
    EXPECT_EQ(MemoryReader::Seek(&reader, c.offset, c.whence), c.result)
        << c.offset << " " << c.whence;
    EXPECT_EQ(reader.position, c.positionAfter);
  }
  EXPECT_EQ(MemoryReader::Read(&reader, buffer, 1), AVERROR_EOF);
}

TEST(SegmentDemuxer, RaisesTheOperationsTextsForBadSegments) {
  const SegmentDemuxer::Errors errors{"open", "info", "novideo"};
  VideoSegment garbage{std::make_shared<std::vector<std::uint8_t>>(1000, 7)};
  EXPECT_THROW(
      {
        try {
          SegmentDemuxer d(garbage, errors);
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "open");
          throw;
        }
      },
      std::runtime_error);
  VideoSegment empty{};
  EXPECT_THROW(SegmentDemuxer(empty, errors), std::runtime_error);
  VideoSegment audioOnly{std::make_shared<std::vector<std::uint8_t>>(test::MakeAudioOnlyMp4())};
  try {
    SegmentDemuxer d(audioOnly, errors);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "novideo");
  }
}

TEST(RemuxSegment, PlacesSegmentsOnTheClipTimeLine) {
  const std::string path = test::MakeTempFolder("tm_remux") + "/r.mp4";
  const std::int64_t clipStart = 1'000'000'000;
  std::vector<VideoSegment> segments;
  // The first began 0.5 s before the clip start: it lands at 0. The second at its own offset.
  segments.push_back({std::make_shared<std::vector<std::uint8_t>>(
                          test::MakeSegmentMp4(64, 48, 10, 20, {80, 90, 100})),
                      2.0, 20, clipStart - 5'000'000, false});
  segments.push_back({std::make_shared<std::vector<std::uint8_t>>(
                          test::MakeSegmentMp4(64, 48, 10, 20, {150, 90, 100})),
                      2.0, 20, clipStart + 25'000'000, false});

  AVFormatContext* raw = nullptr;
  avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr);
  ffmpeg::OutputFormat output(raw);
  AVStream* stream = avformat_new_stream(output.get(), nullptr);
  {
    SegmentDemuxer probe(segments[0], {"a", "b", "c"});
    avcodec_parameters_copy(stream->codecpar, probe.VideoStream()->codecpar);
    stream->time_base = probe.VideoStream()->time_base;
  }
  ASSERT_GE(avio_open2(&output->pb, path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), 0);
  ASSERT_GE(avformat_write_header(output.get(), nullptr), 0);
  std::int64_t videoEnd = 0, lastWritten = AV_NOPTS_VALUE;
  RemuxSegment(segments[0], output.get(), 0, clipStart, videoEnd, lastWritten);
  EXPECT_EQ(videoEnd, 19'000'000);  // the last frame's start, 1.9 s
  RemuxSegment(segments[1], output.get(), 0, clipStart, videoEnd, lastWritten);
  EXPECT_EQ(videoEnd, 25'000'000 + 19'000'000);
  av_write_trailer(output.get());
  avio_closep(&output->pb);

  const test::ClipReadback clip = test::ReadClip(path);
  ASSERT_TRUE(clip.opened);
  EXPECT_EQ(clip.videoFrames, 40);
  ASSERT_EQ(clip.videoPts.size(), 40u);
  EXPECT_NEAR(clip.videoPts[0] * clip.videoTimeBase, 0.0, 1e-6);
  EXPECT_NEAR(clip.videoPts[20] * clip.videoTimeBase, 2.5, 1e-3);
  EXPECT_NEAR(clip.videoEndSeconds, 4.4, 1e-3);
  EXPECT_NEAR(clip.frameCentres[0].y, 80, 3);
  EXPECT_NEAR(clip.frameCentres[39].y, 150, 3);
  std::remove(path.c_str());
}

// Two 2-second segments of 60 frames at 30 fps, the second beginning `secondStart` after the
// first, remuxed into one file and read back.
test::ClipReadback RemuxTwoSegments(std::int64_t secondStart) {
  const std::string path = test::MakeTempFolder("tm_remux") + "/o.mp4";
  const std::int64_t clipStart = 1'000'000'000;
  const VideoSegment first{std::make_shared<std::vector<std::uint8_t>>(
                               test::MakeSegmentMp4(64, 48, 30, 60, {80, 90, 100})),
                           2.0, 60, clipStart, false};
  const VideoSegment second{std::make_shared<std::vector<std::uint8_t>>(
                                test::MakeSegmentMp4(64, 48, 30, 60, {150, 90, 100})),
                            2.0, 60, clipStart + secondStart, false};
  AVFormatContext* raw = nullptr;
  avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr);
  ffmpeg::OutputFormat output(raw);
  AVStream* stream = avformat_new_stream(output.get(), nullptr);
  {
    SegmentDemuxer probe(first, {"a", nullptr, "c"});
    avcodec_parameters_copy(stream->codecpar, probe.VideoStream()->codecpar);
    stream->time_base = probe.VideoStream()->time_base;
  }
  if (avio_open2(&output->pb, path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr) < 0 ||
      avformat_write_header(output.get(), nullptr) < 0)
    return {};
  std::int64_t videoEnd = 0, lastWritten = AV_NOPTS_VALUE;
  RemuxSegment(first, output.get(), 0, clipStart, videoEnd, lastWritten);
  RemuxSegment(second, output.get(), 0, clipStart, videoEnd, lastWritten);
  av_write_trailer(output.get());
  avio_closep(&output->pb);
  test::ClipReadback clip = test::ReadClip(path);
  std::remove(path.c_str());
  return clip;
}

TEST(RemuxSegment, OnlyPacketsThatWouldCollideMoveAndByOneTickEach) {
  // The second segment claims to begin 0.5 s before the first one's last frame (1.967 s), or
  // a hair after it (less than one tick of the output). The packets that would not come after
  // the last one written follow it one tick apart; every later packet keeps its own time, and
  // every frame of both is written and decodes.
  for (const std::int64_t secondStart : {15'000'000LL, 19'666'700LL}) {
    SCOPED_TRACE(secondStart);
    const test::ClipReadback clip = RemuxTwoSegments(secondStart);
    ASSERT_TRUE(clip.opened);
    EXPECT_EQ(clip.videoFrames, 120);
    ASSERT_EQ(clip.videoPts.size(), 120u);
    EXPECT_EQ(clip.videoPts[60], clip.videoPts[59] + 1);
    EXPECT_NEAR(clip.frameCentres[60].y, 150, 3);
    EXPECT_NEAR(clip.videoPts[119] * clip.videoTimeBase, secondStart / 1e7 + 59.0 / 30, 1e-3);
  }
}

}  // namespace
}  // namespace tallowmarch
