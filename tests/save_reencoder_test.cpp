// The save-time re-encoder's placement of decoded frames on the clip time line and its errors.
#include "save_reencoder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "save_test_support.h"

namespace tallowmarch {
namespace {

// A re-encoder (libx264, 64x48 at 30 fps) writing into an MP4 file.
struct Reencode {
  std::string path = test::MakeTempFolder("tm_reencode") + "/r.mp4";
  ffmpeg::OutputFormat output;
  std::unique_ptr<SaveReencoder> encoder;
  std::vector<std::wstring> lines;

  Reencode() {
    AVFormatContext* raw = nullptr;
    avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr);
    output.reset(raw);
    AVStream* stream = avformat_new_stream(output.get(), nullptr);
    encoder = std::make_unique<SaveReencoder>(
        "libx264", [this](const std::wstring& l) { lines.push_back(l); }, output.get(), 0, 64, 48,
        30, 1000000);
    encoder->ExportStreamParameters(stream);
    EXPECT_GE(avio_open2(&output->pb, path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), 0);
    EXPECT_GE(avformat_write_header(output.get(), nullptr), 0);
  }
  ~Reencode() {
    if (output->pb != nullptr) avio_closep(&output->pb);  // a test that ended before Finish
    std::remove(path.c_str());
  }
  test::ClipReadback Finish() {
    encoder->Flush();
    av_write_trailer(output.get());
    avio_closep(&output->pb);
    return test::ReadClip(path);
  }
};

ffmpeg::Frame Picture(AVPixelFormat format, int width, int height, std::int64_t pts) {
  ffmpeg::Frame frame(av_frame_alloc());
  frame->format = format;
  frame->width = width;
  frame->height = height;
  frame->pts = pts;
  av_frame_get_buffer(frame.get(), 0);
  for (int plane = 0; plane < 4 && frame->data[plane] != nullptr; ++plane) {
    const int rows = plane == 0 ? height : (height + 1) / 2;  // 4:2:0 chroma planes
    std::memset(frame->data[plane], 100, static_cast<size_t>(frame->linesize[plane]) * rows);
  }
  return frame;
}

TEST(SaveReencoder, FramesKeepTheirTimesAndOnlyACollidingOneMovesAcrossSegments) {
  Reencode r;
  EXPECT_EQ(r.lines,
            std::vector<std::wstring>{
                L"[DIAG-SAVE-QUALITY] mode=CURRENT (veryfast, VBR, no-B, GOP=2s) @ 1000kbps"});
  const AVRational ms{1, 1000};
  std::int64_t videoEnd = 0;
  {
    // Segment at clip time 0: frames at 0 ms and 10 ms, closer than one frame interval.
    std::int64_t firstPts = AV_NOPTS_VALUE;
    r.encoder->EncodeDecodedFrame(Picture(AV_PIX_FMT_YUV420P, 64, 48, 500).get(), ms, 0, firstPts,
                                  videoEnd);
    r.encoder->EncodeDecodedFrame(Picture(AV_PIX_FMT_NV12, 64, 48, 510).get(), ms, 0, firstPts,
                                  videoEnd);
    EXPECT_EQ(firstPts, 500);
    EXPECT_EQ(videoEnd, 100000);  // the latest frame's start, 10 ms
  }
  {
    // The next segment claims clip time 0 again and has no pts: it moves on by one tick.
    std::int64_t firstPts = AV_NOPTS_VALUE;
    r.encoder->EncodeDecodedFrame(Picture(AV_PIX_FMT_NV12, 64, 48, AV_NOPTS_VALUE).get(), ms, 0,
                                  firstPts, videoEnd);
    EXPECT_EQ(firstPts, 0);
  }
  const test::ClipReadback clip = r.Finish();
  EXPECT_EQ(clip.videoFrames, 3);
  ASSERT_EQ(clip.videoPts.size(), 3u);
  EXPECT_NEAR(clip.videoPts[1] * clip.videoTimeBase, 0.010, 1e-6);
  EXPECT_NEAR(clip.videoPts[2] * clip.videoTimeBase, 0.010 + 1.0 / 90000, 1e-6);
}

TEST(SaveReencoder, RefusesDecodedFormatsItDoesNotKnowAndMissingEncoders) {
  Reencode r;
  std::int64_t firstPts = AV_NOPTS_VALUE, videoEnd = 0;
  try {
    r.encoder->EncodeDecodedFrame(Picture(AV_PIX_FMT_RGB24, 64, 48, 0).get(), {1, 30}, 0, firstPts,
                                  videoEnd);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "save-time transcode: unexpected decoded pixel format " +
                                         std::to_string(static_cast<int>(AV_PIX_FMT_RGB24)));
  }
  try {
    SaveReencoder missing("no_such_encoder", {}, r.output.get(), 0, 64, 48, 30, 1000000);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "save-time re-encoder: encoder not found");
  }
}

}  // namespace
}  // namespace tallowmarch
