#include "clip_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tallowmarch {
namespace {

constexpr std::int64_t kSecond = 10000000;

VideoSegment Segment(std::int64_t start, double seconds, size_t bytes = 0) {
  VideoSegment s;
  s.startTime = start;
  s.durationSeconds = seconds;
  if (bytes > 0) s.bytes = std::make_shared<std::vector<std::uint8_t>>(bytes);
  return s;
}

std::vector<std::int64_t> Starts(const std::deque<VideoSegment>& items) {
  std::vector<std::int64_t> out;
  for (const auto& item : items) out.push_back(item.startTime);
  return out;
}

TEST(ClipTime, SecondsToTicksTruncatesTowardZero) {
  EXPECT_EQ(SecondsToHns(1.99999999), 19999999);
  EXPECT_EQ(SecondsToHns(2.0), 2 * kSecond);
  EXPECT_EQ(SecondsToHns(-0.00000015), -1);
  EXPECT_EQ(Segment(100, 1.99999999).EndTime(), 100 + 19999999);
  AudioChunk chunk;
  chunk.startTime = 5;
  chunk.durationSeconds = 0.5;
  EXPECT_EQ(chunk.EndTime(), 5 + kSecond / 2);
}

TEST(ClipWindowTest, WindowNeverReachesBeforeTheFloor) {
  ClipWindow window(60.0);
  window.MarkFloorNow();
  const std::int64_t floor = window.FloorTime();
  const ClipTimeRange range = window.Window();
  // The capture is younger than the clip length: the window starts at the floor.
  EXPECT_EQ(range.start, floor);
  EXPECT_GE(range.end, floor);
  EXPECT_EQ(window.WindowStart(), floor);
}

TEST(ClipWindowTest, WindowIsTheLengthBeforeNowOnceTheCaptureIsOlder) {
  ClipWindow window(0.001);  // 1 ms
  window.MarkFloorNow();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const ClipTimeRange range = window.Window();
  EXPECT_EQ(range.end - range.start, SecondsToHns(0.001));
  EXPECT_GT(range.start, window.FloorTime());
}

// A window of length 0 floored at now: every item that ended before now is trimmable.
struct FutureWindow : ClipWindow {
  FutureWindow() : ClipWindow(0.0) { MarkFloorNow(); }
};

TEST(PieceRingTrim, EmptyRingKeepsThePushedItemWhateverItsTimes) {
  SegmentRing ring;
  FutureWindow window;
  ring.PushAndTrim(Segment(-1000 * kSecond, 2.0), window);
  EXPECT_EQ(ring.Count(), 1u);
}

TEST(PieceRingTrim, OldItemsGiveWayToTheNewestOneWhichIsAlwaysKept) {
  FutureWindow window;  // start = now
  {
    SegmentRing ring;
    ring.PushAndTrim(Segment(-100 * kSecond, 2.0), window);
    ring.PushAndTrim(Segment(-50 * kSecond, 2.0), window);
    EXPECT_EQ(Starts(ring.Snapshot({-1000 * kSecond, 1000 * kSecond})),
              std::vector<std::int64_t>{-50 * kSecond});
  }
  {
    SegmentRing ring;
    ring.PushAndTrim(Segment(-100 * kSecond, 2.0), window);
    // With one item the ring does not trim, so a second old one stays beside it...
    ring.PushAndTrim(Segment(-90 * kSecond, 2.0), window);
    ASSERT_EQ(ring.Count(), 1u);
  }
  {
    // ...two old items that ended before the window and a new one: only the new one stays,
    // even though it ended before the window start too.
    SegmentRing ring;
    ring.PushAndTrim(Segment(-100 * kSecond, 2.0), window);
    ring.PushAndTrim(Segment(-80 * kSecond, 2.0), window);
    ring.PushAndTrim(Segment(-60 * kSecond, 2.0), window);
    EXPECT_EQ(Starts(ring.Snapshot({-1000 * kSecond, 1000 * kSecond})),
              std::vector<std::int64_t>{-60 * kSecond});
  }
}

TEST(PieceRingTrim, OnlyTheFrontIsExamined) {
  ClipWindow window(5.0);
  window.MarkFloorNow();
  const std::int64_t now = NowHns();
  SegmentRing ring;
  // Front still reaches into the window; the old item behind it is not looked at.
  ring.PushAndTrim(Segment(now - 2 * kSecond, 4.0), window);
  ring.PushAndTrim(Segment(now - 900 * kSecond, 2.0), window);
  ring.PushAndTrim(Segment(now, 2.0), window);
  EXPECT_EQ(ring.Count(), 3u);
}

TEST(PieceRingTrim, WindowHoldsLengthOverSegmentDurationSegments) {
  // The 60 s / 2 s ring at a hundredth of the scale: 600 ms of 20 ms segments pushed in order.
  // The process clock must be older than the window, or the floor (0) would limit it.
  constexpr std::int64_t kStep = 200000;  // 20 ms
  while (NowHns() < 50 * kStep) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ClipWindow window(0.6);
  const std::int64_t now = NowHns();
  SegmentRing ring;
  for (int i = 0; i < 60; ++i) {
    // Segment i ends at now - (59 - i) steps.
    ring.PushAndTrim(Segment(now - (60 - i) * kStep, 0.02), window);
  }
  // Kept: those ending after the window start, now - 29 steps ... now (30 segments). The one
  // that ends at now - 30 steps is dropped, as the window start has moved past it since.
  EXPECT_EQ(ring.Count(), 30u);
  const auto kept = ring.Snapshot({0, now + kStep});
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(kept.front().EndTime(), now - 29 * kStep);
}

TEST(PieceRingSnapshot, OverlapMustHavePositiveLength) {
  SegmentRing ring;
  ClipWindow window(1e9);                               // never trims
  ring.PushAndTrim(Segment(0, 2.0), window);            // [0, 2 s)
  ring.PushAndTrim(Segment(2 * kSecond, 2.0), window);  // [2 s, 4 s)
  ring.PushAndTrim(Segment(4 * kSecond, 2.0), window);  // [4 s, 6 s)
  // A range that starts exactly where the first segment ends leaves it out; one that ends
  // exactly where the last begins leaves that out.
  EXPECT_EQ(Starts(ring.Snapshot({2 * kSecond, 4 * kSecond})),
            std::vector<std::int64_t>{2 * kSecond});
  // A segment that starts one tick before the range end is in.
  EXPECT_EQ(Starts(ring.Snapshot({2 * kSecond, 4 * kSecond + 1})),
            (std::vector<std::int64_t>{2 * kSecond, 4 * kSecond}));
  EXPECT_TRUE(ring.Snapshot({6 * kSecond, 8 * kSecond}).empty());
}

TEST(PieceRingSnapshot, SharesBytesAndOutlivesTheRing) {
  SegmentRing ring;
  ClipWindow window(1e9);
  ring.PushAndTrim(Segment(0, 2.0, 1000), window);
  std::deque<VideoSegment> snapshot = ring.Snapshot({0, kSecond});
  ASSERT_EQ(snapshot.size(), 1u);
  ring.Clear();
  EXPECT_EQ(ring.Count(), 0u);
  // The bytes are the ring's own vector, not a copy, and live on with the snapshot.
  ASSERT_TRUE(snapshot[0].bytes);
  EXPECT_EQ(snapshot[0].bytes.use_count(), 1);
  EXPECT_EQ(snapshot[0].bytes->size(), 1000u);
}

TEST(PieceRingSnapshot, CopiesPointToTheSameBytes) {
  SegmentRing ring;
  ClipWindow window(1e9);
  VideoSegment segment = Segment(0, 2.0, 64);
  const std::vector<std::uint8_t>* original = segment.bytes.get();
  ring.PushAndTrim(segment, window);
  EXPECT_EQ(ring.Snapshot({0, 1})[0].bytes.get(), original);
}

TEST(PieceRingBytes, ItemsWithoutBytesCountAsZero) {
  SegmentRing ring;
  ClipWindow window(1e9);
  ring.PushAndTrim(Segment(0, 2.0, 300), window);
  ring.PushAndTrim(Segment(2 * kSecond, 2.0), window);  // no bytes at all
  ring.PushAndTrim(Segment(4 * kSecond, 2.0, 200), window);
  EXPECT_EQ(ring.TotalBytes(), 500u);
}

TEST(AudioRingTest, ClearForgetsFormatAndReconnects) {
  AudioRing ring;
  ClipWindow window(1e9);
  ring.SetMixFormat(std::vector<std::uint8_t>(40, 7));
  ring.reconnects.store(3);
  AudioChunk chunk;
  chunk.durationSeconds = 2.0;
  chunk.bytes = std::make_shared<std::vector<std::uint8_t>>(16);
  ring.PushAndTrim(chunk, window);
  ring.Clear();
  EXPECT_TRUE(ring.MixFormat().empty());
  EXPECT_EQ(ring.reconnects.load(), 0u);
  EXPECT_TRUE(ring.Snapshot({-kSecond, 10 * kSecond}).empty());
  EXPECT_EQ(ring.TotalBytes(), 0u);
}

}  // namespace
}  // namespace tallowmarch
