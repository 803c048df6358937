// The native QSV segment encoder: the Annex-B helpers, the muxing of real H.264 packets, the
// encode context's native routines against a fake session that encodes the submitted slices
// with libx264, and a capture on the sim whose contexts carry such a session.
#include "qsv_native_segment_encoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "capture/sim_capture.h"
#include "engine_clock.h"
#include "gpu/sim_gpu.h"
#include "gpu_setup.h"
#include "gpu_test_support.h"
#include "hresult_error.h"
#include "session_impl.h"
#include "sim_platform.h"
#include "tallowmarch_session.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace tallowmarch {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::Bt709Limited;
using testing::DemuxMp4;
using testing::FilledBgra;
using testing::LineLog;
using testing::MakeBgraTexture;
using testing::Rgb;

constexpr mfxStatus kBusy = MFX_WRN_DEVICE_BUSY;
constexpr mfxStatus kMoreData = MFX_ERR_MORE_DATA;

// ---- Annex-B helpers ---------------------------------------------------------------------------

std::vector<std::pair<std::uint8_t, Bytes>> Units(const Bytes& buffer) {
  std::vector<std::pair<std::uint8_t, Bytes>> out;
  for (const NalUnitSpan& u : SplitAnnexB(buffer.data(), buffer.size())) {
    out.emplace_back(u.type, Bytes(u.data, u.data + u.size));
  }
  return out;
}

TEST(AnnexBTest, ThreeAndFourByteStartCodesAreBothFound) {
  const Bytes buffer = {0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x68, 0xBB, 0, 0, 1, 0x65, 0xCC};
  EXPECT_EQ(FindAnnexBStartCode(buffer.data(), buffer.size(), 0), 0u);
  EXPECT_EQ(FindAnnexBStartCode(buffer.data(), buffer.size(), 1), 5u);
  EXPECT_EQ(FindAnnexBStartCode(buffer.data(), buffer.size(), 6), 6u);  // inside 00 00 00 01
  EXPECT_EQ(FindAnnexBStartCode(buffer.data(), buffer.size(), 7), 11u);
  EXPECT_EQ(FindAnnexBStartCode(buffer.data(), buffer.size(), 12), buffer.size());
  const auto units = Units(buffer);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0], (std::pair<std::uint8_t, Bytes>{7, {0x67, 0xAA}}));
  EXPECT_EQ(units[1], (std::pair<std::uint8_t, Bytes>{8, {0x68, 0xBB}}));
  EXPECT_EQ(units[2], (std::pair<std::uint8_t, Bytes>{5, {0x65, 0xCC}}));
}

TEST(AnnexBTest, BuffersWithoutStartCodesOrWithEmptyUnitsYieldNoUnits) {
  for (const Bytes& buffer : {Bytes{}, Bytes{0, 0}, Bytes{0x65, 1, 2, 3}, Bytes{0, 0, 2, 0x65}}) {
    EXPECT_EQ(FindAnnexBStartCode(buffer.data(), buffer.size(), 0), buffer.size());
    EXPECT_TRUE(SplitAnnexB(buffer.data(), buffer.size()).empty()) << buffer.size();
  }
  // Start codes with nothing (or only zeros) behind them.
  for (const Bytes& buffer : {Bytes{0, 0, 1}, Bytes{0, 0, 0, 1, 0, 0, 1}, Bytes{0, 0, 1, 0, 0}}) {
    EXPECT_TRUE(SplitAnnexB(buffer.data(), buffer.size()).empty()) << buffer.size();
  }
}

TEST(AnnexBTest, LeadingBytesAndZerosBeforeTheNextStartCodeAreNotPartOfAUnit) {
  const Bytes buffer = {0x09, 0x10, 0, 0, 1, 0x65, 0x11, 0x22, 0, 0, 0, 0, 0, 1, 0x41, 0x33, 0, 0};
  const auto units = Units(buffer);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].second, (Bytes{0x65, 0x11, 0x22}));
  EXPECT_EQ(units[1].second, (Bytes{0x41, 0x33}));  // trailing zeros of the buffer too
  EXPECT_EQ(units[1].first, 1);
}

TEST(AvcRecordTest, OneSpsAndOnePpsGiveTheExactRecord) {
  EXPECT_EQ(BuildAvcDecoderConfig({0x67, 0x42, 0xC0, 0x1F}, {0x68, 0xCE, 0x3C, 0x80}),
            (Bytes{0x01, 0x42, 0xC0, 0x1F, 0xFF, 0xE1, 0x00, 0x04, 0x67, 0x42, 0xC0, 0x1F, 0x01,
                   0x00, 0x04, 0x68, 0xCE, 0x3C, 0x80}));
  // Too short to carry profile, compatibility and level: Baseline 3.1 stands in.
  EXPECT_EQ(BuildAvcDecoderConfig({0x67, 0x4D}, {0x68}),
            (Bytes{0x01, 66, 0, 31, 0xFF, 0xE1, 0x00, 0x02, 0x67, 0x4D, 0x01, 0x00, 0x01, 0x68}));
}

TEST(AvcRecordTest, SamplesDropParameterSetsAndKeepEveryOtherUnit) {
  Bytes packet = {0, 0, 0, 1,    0x09, 0xF0,              // access-unit delimiter
                  0, 0, 0, 1,    0x67, 0x42, 0xC0, 0x1F,  // SPS
                  0, 0, 1, 0x68, 0xCE, 0x3C, 0x80,        // PPS
                  0, 0, 1};                               // IDR slice follows
  Bytes slice(1000, 0x5A);
  slice[0] = 0x65;
  packet.insert(packet.end(), slice.begin(), slice.end());
  const Bytes sample = AnnexBToLengthPrefixed(SplitAnnexB(packet.data(), packet.size()));
  ASSERT_EQ(sample.size(), 6u + 1004u);
  EXPECT_EQ(Bytes(sample.begin(), sample.begin() + 6), (Bytes{0, 0, 0, 2, 0x09, 0xF0}));
  EXPECT_EQ(Bytes(sample.begin() + 6, sample.begin() + 10), (Bytes{0x00, 0x00, 0x03, 0xE8}));
  EXPECT_EQ(Bytes(sample.begin() + 10, sample.end()), slice);

  // SPS, PPS and a 1000-byte IDR slice: exactly one 1004-byte sample.
  const Bytes bare(packet.begin() + 6, packet.end());
  const Bytes only = AnnexBToLengthPrefixed(SplitAnnexB(bare.data(), bare.size()));
  EXPECT_EQ(only.size(), 1004u);
  EXPECT_TRUE(AnnexBToLengthPrefixed(SplitAnnexB(bare.data(), 15)).empty());  // SPS + PPS only
}

// ---- libx264 as the session's encoder ----------------------------------------------------------

// Real H.264 in Annex-B form, as a hardware session gives it: headers in front of every IDR,
// no B-frames, one packet per frame at once.
class AnnexBEncoder {
 public:
  AnnexBEncoder(int width, int height, int fps) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) throw std::runtime_error("libx264 missing");
    context_.reset(avcodec_alloc_context3(codec));
    context_->width = width;
    context_->height = height;
    context_->time_base = AVRational{1, fps};
    context_->framerate = AVRational{fps, 1};
    context_->pix_fmt = AV_PIX_FMT_NV12;
    context_->gop_size = 100000;  // IDR frames only where asked for
    context_->max_b_frames = 0;
    av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
    av_opt_set(context_->priv_data, "forced-idr", "1", 0);
    if (avcodec_open2(context_.get(), codec, nullptr) < 0) throw std::runtime_error("x264 open");
    frame_.reset(av_frame_alloc());
    frame_->format = AV_PIX_FMT_NV12;
    frame_->width = width;
    frame_->height = height;
    if (av_frame_get_buffer(frame_.get(), 0) < 0) throw std::runtime_error("frame");
    packet_.reset(av_packet_alloc());
  }

  // `nv12` laid out with `pitch` for both planes.
  Bytes Encode(const std::uint8_t* nv12, std::size_t pitch, bool idr) {
    av_frame_make_writable(frame_.get());
    const int w = context_->width, h = context_->height;
    for (int r = 0; r < h; ++r)
      std::memcpy(frame_->data[0] + r * frame_->linesize[0], nv12 + r * pitch, w);
    for (int r = 0; r < h / 2; ++r) {
      std::memcpy(frame_->data[1] + r * frame_->linesize[1], nv12 + (h + r) * pitch, w);
    }
    frame_->pts = pts_++;
    frame_->pict_type = idr ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    Bytes out;
    if (avcodec_send_frame(context_.get(), frame_.get()) < 0) return out;
    while (avcodec_receive_packet(context_.get(), packet_.get()) == 0) {
      out.insert(out.end(), packet_->data, packet_->data + packet_->size);
      av_packet_unref(packet_.get());
    }
    return out;
  }

  Bytes EncodeGray(std::uint8_t luma, bool idr) {
    const int w = context_->width, h = context_->height;
    Bytes nv12(static_cast<std::size_t>(w) * h * 3 / 2, 128);
    std::fill(nv12.begin(), nv12.begin() + static_cast<std::ptrdiff_t>(w) * h, luma);
    return Encode(nv12.data(), static_cast<std::size_t>(w), idr);
  }

 private:
  ffmpeg::CodecContext context_;
  ffmpeg::Frame frame_;
  ffmpeg::Packet packet_;
  std::int64_t pts_ = 0;
};

// ---- a fake Intel Media SDK session ----------------------------------------------------------

// Stands in for the SDK's encode session behind the context's entry-point table. Each submitted
// surface is read from its slice of the shared texture (the engine holds the SDK side's keyed
// mutex for it during the call) and encoded with libx264; the answers are scripted. The
// engine calls it under the context's qsvMutex; the test reads its records afterwards.
class FakeQsvSession {
  template <typename F>
  auto Locked(F f) const {
    std::lock_guard lock(mutex_);
    return f();
  }

 public:
  struct Submit {
    bool control = false;
    mfxU16 frameType = 0;
    std::uintptr_t memId = 0;
    mfxU64 timeStamp = 0;
  };

  FakeQsvSession(int width, int height, int fps)
      : width_(width), height_(height), x264_(width, height, fps) {}

  // Opens the "session" on `context`: the shared NV12 array with its two keyed-mutex views,
  // the processor's NV12 target, the frame description, the bitstream and the entry points.
  void Install(GpuEncodeContext& context, mfxU32 frameRate = 30) {
    platform::TextureDesc slices;
    slices.width = static_cast<std::uint32_t>(width_);
    slices.height = static_cast<std::uint32_t>(height_);
    slices.arraySize = GpuEncodeContext::kQsvSlots;
    slices.format = platform::kFormatNv12;
    slices.miscFlags = platform::kResourceMiscSharedKeyedMutex;
    ASSERT_EQ(context.device->CreateTexture2D(slices, nullptr, context.qsvSharedTexture), S_OK);
    ASSERT_EQ(context.qsvSharedTexture->QueryKeyedMutex(context.d3dKeyedMutex), S_OK);
    ASSERT_EQ(context.qsvSharedTexture->QueryKeyedMutex(context.qsvKeyedMutex), S_OK);
    platform::TextureDesc target = slices;
    target.arraySize = 1;
    target.miscFlags = 0;
    target.bindFlags = platform::kBindRenderTarget;
    ASSERT_EQ(context.device->CreateTexture2D(target, nullptr, context.qsvRenderTarget), S_OK);
    platform::TextureDesc staging = target;
    staging.bindFlags = 0;
    staging.usage = platform::Usage::Staging;
    staging.cpuAccessFlags = platform::kCpuAccessRead;
    ASSERT_EQ(context.device->CreateTexture2D(staging, nullptr, staging_), S_OK);
    deviceContext_ = context.immediateContext;
    shared_ = context.qsvSharedTexture;

    context.qsvFrameInfo = mfxFrameInfo{};
    context.qsvFrameInfo.FourCC = MFX_FOURCC_NV12;
    context.qsvFrameInfo.Width = static_cast<mfxU16>(width_);
    context.qsvFrameInfo.Height = static_cast<mfxU16>(height_);
    context.qsvFrameInfo.FrameRateExtN = frameRate;
    context.qsvFrameInfo.FrameRateExtD = 1;
    context.qsvBitstream.assign(static_cast<std::size_t>(width_) * height_ * 2 + 4096, 0);
    context.qsvSession = reinterpret_cast<mfxSession>(this);
    context.qsvFunctions.EncodeFrameAsync = &FakeQsvSession::EncodeFrameAsync;
    context.qsvFunctions.SyncOperation = &FakeQsvSession::SyncOperation;
    context.qsvFunctions.ENCODE_Close = &FakeQsvSession::EncodeClose;
    context.qsvFunctions.Close = &FakeQsvSession::Close;
    context.useNativeQsv = true;
  }

  // Scripting.
  void AnswerBusy(int times) {
    Locked([&] { busyAnswers_ = times; });
  }
  void FailWith(mfxStatus status) {
    Locked([&] { failStatus_ = status; });
  }
  void HoldOutput(bool hold) {
    Locked([&] { hold_ = hold; });
  }
  void FailSync(mfxStatus status) {
    Locked([&] { syncStatus_ = status; });
  }

  // Records.
  std::vector<Submit> Submits() const {
    return Locked([&] { return submits_; });
  }
  int Calls() const {
    return Locked([&] { return calls_; });
  }
  int HeldSurfacesChanged() const {
    return Locked([&] { return heldSurfacesChanged_; });
  }
  std::vector<std::string> Closes() const {
    return Locked([&] { return closes_; });
  }

 private:
  struct Held {
    Bytes packet;
    const mfxFrameSurface1* surface;
    mfxU64 timeStamp;
  };

  static FakeQsvSession& Of(mfxSession session) {
    return *reinterpret_cast<FakeQsvSession*>(session);
  }

  static mfxStatus EncodeFrameAsync(mfxSession session, mfxEncodeCtrl* control,
                                    mfxFrameSurface1* surface, mfxBitstream* bitstream,
                                    mfxSyncPoint* syncPoint) {
    return Of(session).Encode(control, surface, bitstream, syncPoint);
  }
  static mfxStatus SyncOperation(mfxSession session, mfxSyncPoint, mfxU32 wait) {
    FakeQsvSession& self = Of(session);
    std::lock_guard lock(self.mutex_);
    EXPECT_EQ(wait, 5000u);
    return self.syncStatus_;
  }
  static mfxStatus EncodeClose(mfxSession session) {
    FakeQsvSession& self = Of(session);
    std::lock_guard lock(self.mutex_);
    self.closes_.push_back("ENCODE_Close");
    return MFX_ERR_NONE;
  }
  static mfxStatus Close(mfxSession session) {
    FakeQsvSession& self = Of(session);
    std::lock_guard lock(self.mutex_);
    self.closes_.push_back("Close");
    return MFX_ERR_NONE;
  }

  mfxStatus Encode(mfxEncodeCtrl* control, mfxFrameSurface1* surface, mfxBitstream* bitstream,
                   mfxSyncPoint* syncPoint) {
    std::lock_guard lock(mutex_);
    ++calls_;
    *syncPoint = nullptr;
    if (surface == nullptr) {  // drain
      for (const Held& h : held_) {
        if (h.surface->Data.TimeStamp != h.timeStamp) ++heldSurfacesChanged_;
      }
      if (held_.empty()) return kMoreData;
      const Bytes packet = std::move(held_.front().packet);
      held_.pop_front();
      return Output(packet, bitstream, syncPoint);
    }
    Submit s;
    s.control = control != nullptr;
    s.frameType = control != nullptr ? control->FrameType : 0;
    s.memId = reinterpret_cast<std::uintptr_t>(surface->Data.MemId);
    s.timeStamp = surface->Data.TimeStamp;
    if (busyAnswers_ > 0) {
      --busyAnswers_;
      return kBusy;
    }
    submits_.push_back(s);
    if (failStatus_ != MFX_ERR_NONE) return failStatus_;

    // Read the slice the frame allocator knows by this id.
    const std::uint32_t slice = static_cast<std::uint32_t>((s.memId - 2) / 2);
    deviceContext_->CopySubresourceRegion(staging_, 0, 0, 0, 0, shared_, slice, nullptr);
    platform::MappedSubresource mapped;
    if (deviceContext_->Map(staging_, 0, platform::kMapRead, 0, mapped) != S_OK)
      return MFX_ERR_UNKNOWN;
    const bool idr = (s.frameType & MFX_FRAMETYPE_IDR) != 0;
    Bytes packet =
        x264_.Encode(static_cast<const std::uint8_t*>(mapped.data), mapped.rowPitch, idr);
    deviceContext_->Unmap(staging_, 0);
    if (hold_) {
      held_.push_back({std::move(packet), surface, surface->Data.TimeStamp});
      return kMoreData;
    }
    return Output(packet, bitstream, syncPoint);
  }

  mfxStatus Output(const Bytes& packet, mfxBitstream* bitstream, mfxSyncPoint* syncPoint) {
    if (packet.size() + 16 > bitstream->MaxLength) return MFX_ERR_NOT_ENOUGH_BUFFER;
    // Not at offset 0, so that a reader that ignores DataOffset fails.
    bitstream->DataOffset = 16;
    std::memcpy(bitstream->Data + 16, packet.data(), packet.size());
    bitstream->DataLength = static_cast<mfxU32>(packet.size());
    *syncPoint = reinterpret_cast<mfxSyncPoint>(std::uintptr_t{1});
    return MFX_ERR_NONE;
  }

  const int width_, height_;
  mutable std::mutex mutex_;  // guards everything below
  AnnexBEncoder x264_;
  platform::TexturePtr staging_, shared_;
  std::shared_ptr<platform::GpuContext> deviceContext_;
  int busyAnswers_ = 0;
  mfxStatus failStatus_ = MFX_ERR_NONE;
  mfxStatus syncStatus_ = MFX_ERR_NONE;
  bool hold_ = false;
  std::deque<Held> held_;
  std::vector<Submit> submits_;
  int calls_ = 0;
  int heldSurfacesChanged_ = 0;
  std::vector<std::string> closes_;
};

// The SDK side's view of the keyed mutex, failing its next acquire on request.
class FailingKeyedMutex : public platform::KeyedMutex {
 public:
  explicit FailingKeyedMutex(std::shared_ptr<platform::KeyedMutex> real) : real_(std::move(real)) {}
  HRESULT AcquireSync(std::uint64_t key, std::uint32_t ms) override {
    if (failNext.exchange(false)) return E_FAIL;
    return real_->AcquireSync(key, ms);
  }
  HRESULT ReleaseSync(std::uint64_t key) override { return real_->ReleaseSync(key); }
  std::atomic<bool> failNext{false};  // written by the test

 private:
  std::shared_ptr<platform::KeyedMutex> real_;
};

// ---- encoder and context against the fake session ----------------------------------------------

constexpr std::uint32_t kWidth = 160, kHeight = 96, kFps = 30;

class QsvNativeEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    av_log_set_level(AV_LOG_FATAL);  // no encoder banners
    sim::ResetAll();
    device = CreateD3D11Device(nullptr);
    auto none = [](const char*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
      return false;  // the native path needs no FFmpeg encoder
    };
    context = std::make_unique<GpuEncodeContext>(device, kWidth, kHeight, kWidth, kHeight,
                                                 log.Sink(), none);
    fake = std::make_unique<FakeQsvSession>(kWidth, kHeight, kFps);
    fake->Install(*context);
  }
  void TearDown() override {
    context.reset();  // closes the session before the fake goes
    fake.reset();
    sim::ResetAll();
  }

  std::unique_ptr<QsvNativeSegmentEncoder> MakeEncoder() {
    return std::make_unique<QsvNativeSegmentEncoder>(context.get(), kWidth, kHeight, kFps, 6000000);
  }
  platform::TexturePtr Gray(std::uint8_t level) {
    return MakeBgraTexture(*device, kWidth, kHeight,
                           FilledBgra(kWidth, kHeight, Rgb{level, level, level}));
  }

  LineLog log;
  std::shared_ptr<platform::GpuDevice> device;
  std::unique_ptr<GpuEncodeContext> context;
  std::unique_ptr<FakeQsvSession> fake;
};

TEST_F(QsvNativeEncoderTest, FramesBecomeAnMp4SegmentThatDemuxesAndDecodes) {
  auto encoder = MakeEncoder();
  const std::uint8_t levels[] = {40, 90, 140, 190, 230, 60};
  const std::int64_t start = NowHns();
  std::int64_t t = start;
  for (std::uint8_t level : levels) {
    EXPECT_TRUE(encoder->EncodeFrame(Gray(level), t, nullptr));
    t += 333333;
  }
  const VideoSegment segment = encoder->Finish();
  EXPECT_EQ(segment.frameCount, 6u);
  EXPECT_EQ(segment.startTime, start);
  EXPECT_FALSE(segment.reencodeAtSave);
  EXPECT_GT(segment.durationSeconds, 0.0);
  ASSERT_TRUE(segment.bytes);

  const auto video = DemuxMp4(*segment.bytes, true);
  ASSERT_TRUE(video.opened);
  EXPECT_EQ(video.codec, AV_CODEC_ID_H264);
  EXPECT_EQ(video.width, static_cast<int>(kWidth));
  EXPECT_EQ(video.height, static_cast<int>(kHeight));
  ASSERT_EQ(video.pts.size(), 6u);
  const std::int64_t interval = video.timeBase.den / (video.timeBase.num * std::int64_t{kFps});
  for (std::size_t n = 0; n < video.pts.size(); ++n) {
    EXPECT_EQ(video.pts[n], static_cast<std::int64_t>(n) * interval) << n;
  }
  // The IDR frame is the segment's one sync sample; the last frame has its full length.
  EXPECT_EQ(video.key, (std::vector<bool>{true, false, false, false, false, false}));
  EXPECT_EQ(video.duration, 6 * interval);
  ASSERT_EQ(video.pictures.size(), 6u);
  for (std::size_t n = 0; n < 6; ++n) {
    const double expected = Bt709Limited(Rgb{levels[n], levels[n], levels[n]}).y;
    EXPECT_NEAR(video.pictures[n].At(kWidth / 2, kHeight / 2).y, expected, 4.0) << n;
  }
}

TEST_F(QsvNativeEncoderTest, SurfacesCarryTheirSliceAndA90KilohertzClockAcrossSegments) {
  context->qsvFrameInfo.FrameRateExtN = 0;  // 30 is assumed
  auto first = MakeEncoder();
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(first->EncodeFrame(Gray(100), i, nullptr));
  first->Finish();
  context->qsvFrameInfo.FrameRateExtN = 25;
  auto second = MakeEncoder();
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(second->EncodeFrame(Gray(100), 100 + i, nullptr));
  const VideoSegment segment = second->Finish();

  const auto submits = fake->Submits();
  ASSERT_EQ(submits.size(), 7u);
  const std::uintptr_t memIds[] = {2, 4, 6, 8, 2, 4, 6};
  const mfxU64 stamps[] = {0, 3000, 6000, 9000, 12000, 5 * 90000 / 25, 6 * 90000 / 25};
  for (std::size_t i = 0; i < submits.size(); ++i) {
    EXPECT_EQ(submits[i].memId, memIds[i]) << i;
    EXPECT_EQ(submits[i].timeStamp, stamps[i]) << i;
  }
  // Every segment opens with an IDR request; the other frames carry no control.
  for (std::size_t i = 0; i < submits.size(); ++i) {
    const bool opens = i == 0 || i == 5;
    EXPECT_EQ(submits[i].control, opens) << i;
    if (opens) {
      EXPECT_EQ(submits[i].frameType, 0xC1) << i;
    }
  }
  // The MP4 timestamps restart at 0 in the second segment.
  const auto video = DemuxMp4(*segment.bytes, true);
  ASSERT_EQ(video.pts.size(), 2u);
  EXPECT_EQ(video.pts[0], 0);
  EXPECT_TRUE(video.key[0]);
  EXPECT_EQ(video.pictures.size(), 2u);
}

TEST_F(QsvNativeEncoderTest, AFailedStatusIsLoggedAndPassesTheIdrRequestOn) {
  auto first = MakeEncoder();
  fake->FailWith(static_cast<mfxStatus>(-17));
  EXPECT_FALSE(first->EncodeFrame(Gray(50), 1000, nullptr));
  EXPECT_EQ(log.CountStartingWith(L"[DIAG-QSV-NATIVE-ENCODE-FAIL] encSt=-17"), 1);
  EXPECT_TRUE(first->FirstFramePending());
  const VideoSegment empty = first->Finish();
  EXPECT_EQ(empty.frameCount, 0u);  // no header, no trailer: the finalizer discards it
  EXPECT_TRUE(empty.bytes->empty());

  // The next segment's first frame still asks for an IDR frame; within it the start time is
  // that of the first frame the session took, not of the one it refused.
  fake->FailWith(MFX_ERR_NONE);
  auto second = MakeEncoder();
  fake->FailWith(MFX_ERR_DEVICE_FAILED);
  EXPECT_FALSE(second->EncodeFrame(Gray(50), 2000, nullptr));
  fake->FailWith(MFX_ERR_NONE);
  EXPECT_TRUE(second->EncodeFrame(Gray(50), 3000, nullptr));
  EXPECT_FALSE(second->FirstFramePending());
  EXPECT_TRUE(second->EncodeFrame(Gray(50), 4000, nullptr));
  const VideoSegment segment = second->Finish();
  EXPECT_EQ(segment.startTime, 3000);
  EXPECT_EQ(segment.frameCount, 2u);
  EXPECT_EQ(log.CountStartingWith(L"[DIAG-QSV-NATIVE-ENCODE-FAIL] encSt="), 2);

  const auto submits = fake->Submits();
  ASSERT_EQ(submits.size(), 4u);
  EXPECT_EQ(submits[0].frameType, 0xC1);
  EXPECT_EQ(submits[1].frameType, 0xC1);
  EXPECT_EQ(submits[2].frameType, 0xC1);
  EXPECT_FALSE(submits[3].control);
}

TEST_F(QsvNativeEncoderTest, ABusyDeviceIsRetriedAndGivenUpWithoutALine) {
  auto encoder = MakeEncoder();
  fake->AnswerBusy(3);
  EXPECT_TRUE(encoder->EncodeFrame(Gray(80), 1, nullptr));
  EXPECT_EQ(fake->Calls(), 4);

  // Busy for good: dropped after the bounded retry (more than 200 ms at 2-ms steps).
  fake->AnswerBusy(std::numeric_limits<int>::max());
  EXPECT_FALSE(encoder->EncodeFrame(Gray(80), 2, nullptr));
  EXPECT_GT(fake->Calls(), 4 + 10);
  EXPECT_EQ(log.CountStartingWith(L"[DIAG-QSV-NATIVE-ENCODE-FAIL]"), 0);
  fake->AnswerBusy(0);
  EXPECT_TRUE(encoder->EncodeFrame(Gray(80), 3, nullptr));
  EXPECT_EQ(encoder->Finish().frameCount, 2u);
}

TEST_F(QsvNativeEncoderTest, FramesTakenWithoutOutputComeOutOfTheDrain) {
  auto encoder = MakeEncoder();
  fake->HoldOutput(true);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(encoder->EncodeFrame(Gray(120), 10 + i, nullptr));
  EXPECT_FALSE(encoder->FirstFramePending());  // -10 counts as taken
  EXPECT_EQ(encoder->FrameCount(), 0u);
  EXPECT_FALSE(encoder->HeaderWritten());

  const VideoSegment segment = encoder->Finish();
  EXPECT_EQ(segment.frameCount, 3u);
  EXPECT_EQ(segment.startTime, 10);
  // The session could still read the surface records of the held frames.
  EXPECT_EQ(fake->HeldSurfacesChanged(), 0);
  const auto video = DemuxMp4(*segment.bytes, true);
  EXPECT_EQ(video.pts.size(), 3u);
  EXPECT_EQ(video.pictures.size(), 3u);
}

TEST_F(QsvNativeEncoderTest, AFailedWaitOrKeyedMutexDropsTheFrame) {
  auto encoder = MakeEncoder();
  fake->FailSync(MFX_ERR_ABORTED);
  EXPECT_FALSE(encoder->EncodeFrame(Gray(30), 1, nullptr));
  fake->FailSync(MFX_ERR_NONE);
  // The lost output was the IDR frame: the request stands, or the segment could never be muxed.
  EXPECT_TRUE(encoder->FirstFramePending());

  // The engine's side cannot take the texture: the session is not called.
  const int calls = fake->Calls();
  sim::Gpu().Faults().Fail(platform::GpuCall::AcquireSync, E_FAIL, 1);
  EXPECT_FALSE(encoder->EncodeFrame(Gray(30), 2, nullptr));
  EXPECT_EQ(fake->Calls(), calls);

  // The SDK's side cannot take it: dropped, and the texture is handed back so that the next
  // frame does not wait for ever.
  auto sdkSide = std::make_shared<FailingKeyedMutex>(context->qsvKeyedMutex);
  context->qsvKeyedMutex = sdkSide;
  sdkSide->failNext = true;
  EXPECT_FALSE(encoder->EncodeFrame(Gray(30), 3, nullptr));
  EXPECT_EQ(fake->Calls(), calls);
  EXPECT_TRUE(encoder->EncodeFrame(Gray(30), 4, nullptr));
  EXPECT_EQ(fake->Calls(), calls + 1);
  EXPECT_EQ(log.CountStartingWith(L"[DIAG-QSV-NATIVE-ENCODE-FAIL]"), 0);
  const auto submits = fake->Submits();
  ASSERT_EQ(submits.size(), 2u);
  EXPECT_EQ(submits[1].frameType, 0xC1);
  const VideoSegment segment = encoder->Finish();
  EXPECT_EQ(segment.frameCount, 1u);
  EXPECT_EQ(segment.startTime, 4);
  EXPECT_EQ(DemuxMp4(*segment.bytes, true).pictures.size(), 1u);
}

TEST_F(QsvNativeEncoderTest, AFailedBlitRaises) {
  auto encoder = MakeEncoder();
  sim::Gpu().Faults().Fail(platform::GpuCall::VideoProcessorBlt, E_OUTOFMEMORY, 1);
  try {
    encoder->EncodeFrame(Gray(30), 1, nullptr);
    ADD_FAILURE() << "no error";
  } catch (const hresult_error& e) {
    EXPECT_EQ(e.code(), E_OUTOFMEMORY);
  }
  EXPECT_EQ(fake->Calls(), 0);
  EXPECT_TRUE(encoder->EncodeFrame(Gray(30), 2, nullptr));
}

TEST_F(QsvNativeEncoderTest, PacketsBeforeTheParameterSetsAreDroppedAndPtsCountWrittenPackets) {
  AnnexBEncoder x264(kWidth, kHeight, kFps);
  std::vector<Bytes> packets;
  for (int i = 0; i < 5; ++i)
    packets.push_back(x264.EncodeGray(static_cast<std::uint8_t>(60 + 20 * i), i == 0));
  auto encoder = MakeEncoder();
  EXPECT_FALSE(encoder->WritePacket(packets[1].data(), packets[1].size()));  // no SPS/PPS
  EXPECT_FALSE(encoder->HeaderWritten());
  for (const Bytes& p : packets) EXPECT_TRUE(encoder->WritePacket(p.data(), p.size()));
  EXPECT_EQ(encoder->FrameCount(), 5u);
  // Parameter sets alone make no sample.
  Bytes headers;
  for (const NalUnitSpan& unit : SplitAnnexB(packets[0].data(), packets[0].size())) {
    if (unit.type != kNalTypeSps && unit.type != kNalTypePps) continue;
    headers.insert(headers.end(), {0, 0, 0, 1});
    headers.insert(headers.end(), unit.data, unit.data + unit.size);
  }
  ASSERT_FALSE(headers.empty());
  EXPECT_TRUE(encoder->WritePacket(headers.data(), headers.size()));
  EXPECT_EQ(encoder->FrameCount(), 5u);

  const auto video = DemuxMp4(*encoder->Finish().bytes, true);
  ASSERT_EQ(video.pts.size(), 5u);
  const std::int64_t interval = video.timeBase.den / (video.timeBase.num * std::int64_t{kFps});
  for (std::size_t n = 0; n < 5; ++n)
    EXPECT_EQ(video.pts[n], static_cast<std::int64_t>(n) * interval);
  EXPECT_EQ(video.pictures.size(), 5u);
}

TEST_F(QsvNativeEncoderTest, TheFactoryBuildsTheNativeEncoderOnlyForASession) {
  auto native = CreateSegmentEncoder(context.get(), kWidth, kHeight, kFps, 6000000);
  EXPECT_NE(dynamic_cast<QsvNativeSegmentEncoder*>(native.get()), nullptr);
  context->useNativeQsv = false;
  // Without a session the FFmpeg encoder is built, which needs an encoder name this context
  // does not have.
  try {
    CreateSegmentEncoder(context.get(), kWidth, kHeight, kFps, 6000000);
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "No FFmpeg encoder available (fallback chain exhausted)");
  }
  EXPECT_THROW(QsvNativeSegmentEncoder(nullptr, kWidth, kHeight, kFps, 0), std::runtime_error);
}

TEST_F(QsvNativeEncoderTest, TheContextClosesTheEncoderThenTheSessionThenUnloadsTheModule) {
  FakeQsvSession* session = fake.get();
  std::vector<std::string> closedBeforeUnload;
  bool unloaded = false;
  context->qsvModule = std::shared_ptr<void>(session, [&](void*) {
    closedBeforeUnload = session->Closes();
    unloaded = true;
  });
  context.reset();
  EXPECT_TRUE(unloaded);
  EXPECT_EQ(closedBeforeUnload, (std::vector<std::string>{"ENCODE_Close", "Close"}));
}

// ---- through the capture pipeline
// ------------------------------------------------------------------

bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class QsvNativePipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    av_log_set_level(AV_LOG_FATAL);
    sim::ResetAll();
    session = std::make_unique<TallowmarchSession>();
    session->SetLogCallback(log.Sink());
  }
  void TearDown() override {
    session.reset();  // every context, and with it every fake session's use, ends here
    SetEncodeContextTestHook({});
    sim::ResetAll();
    fakes.clear();
  }
  TallowmarchSession::Impl& S() { return session->State(); }

  LineLog log;
  std::unique_ptr<TallowmarchSession> session;
  std::mutex fakesMutex;  // guards fakes: the hook runs on Start's thread
  std::vector<std::unique_ptr<FakeQsvSession>> fakes;
};

TEST_F(QsvNativePipelineTest, ACaptureFillsTheRingWithNativeSegments) {
  SetEncodeContextTestHook([this](GpuEncodeContext& context) {
    platform::VideoProcessorContentDesc desc;
    context.processorEnumerator->GetContentDesc(desc);
    auto fake = std::make_unique<FakeQsvSession>(static_cast<int>(desc.outputWidth),
                                                 static_cast<int>(desc.outputHeight), 30);
    fake->Install(context);
    std::lock_guard lock(fakesMutex);
    fakes.push_back(std::move(fake));
  });
  sim::Capture().SetSceneRate(30.0);
  const HWND window = reinterpret_cast<HWND>(std::uintptr_t{0x1001});  // the scene's window
  ASSERT_TRUE(session->Start(window, false, 360, 30, 0, 0));
  ASSERT_TRUE(WaitUntil([&] { return S().videoRing.Count() >= 2; }, std::chrono::seconds(30)));
  const auto segments = S().videoRing.Snapshot(
      {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()});
  session->Stop();

  ASSERT_GE(segments.size(), 2u);
  std::int64_t lastStart = 0;
  for (const VideoSegment& segment : segments) {
    EXPECT_GT(segment.frameCount, 0u);
    EXPECT_GT(segment.startTime, lastStart);
    lastStart = segment.startTime;
    const auto video = DemuxMp4(*segment.bytes, true);
    ASSERT_TRUE(video.opened);
    ASSERT_EQ(video.pts.size(), segment.frameCount);
    EXPECT_EQ(video.pts.front(), 0);
    EXPECT_TRUE(video.key.front());
    EXPECT_EQ(video.pictures.size(), video.pts.size());
  }
  std::lock_guard lock(fakesMutex);
  ASSERT_EQ(fakes.size(), 1u);
  EXPECT_GE(fakes[0]->Submits().size(), segments.size());
  // Stop released the context, which closed the session.
  EXPECT_EQ(fakes[0]->Closes(), (std::vector<std::string>{"ENCODE_Close", "Close"}));
}

}  // namespace
}  // namespace tallowmarch
