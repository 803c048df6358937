// The encode context's construction on the sim GPU: capability lines, failures of the platform
// steps, and the encoder choice with scripted and real probes.

#include "gpu_encode_context.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "gpu/sim_gpu.h"
#include "gpu_setup.h"
#include "gpu_test_support.h"
#include "hresult_error.h"
#include "media/sim_media.h"
#include "segment_encoder.h"
#include "sim_platform.h"

namespace tallowmarch {
namespace {

constexpr const wchar_t* kNotSupported =
    L"[CAPABILITY] Zero-copy GPU submission not supported on this encoder - using CPU "
    L"Map()/memcpy path.";
constexpr const wchar_t* kSupported =
    L"[CAPABILITY] Zero-copy GPU submission supported - using NV12 GPU-resident encoder path.";
constexpr const wchar_t* kNv12Fallback =
    L"[CAPABILITY] Encoder reports MF_SA_D3D11_AWARE but this GPU's video processor doesn't "
    L"support NV12 output - falling back to the CPU path.";
constexpr const wchar_t* kNoEncoder =
    L"[CAPABILITY] No FFmpeg encoder in the fallback chain opened successfully.";

// Answers true only for the names given; remembers every call.
struct ScriptedProbe {
  ScriptedProbe() = default;
  explicit ScriptedProbe(std::vector<std::string> names) : opens(std::move(names)) {}
  std::vector<std::string> opens;
  std::vector<std::string> asked;
  std::vector<std::uint32_t> fpsSeen, bitrateSeen;
  EncoderProbe Probe() {
    return [this](const char* name, std::uint32_t, std::uint32_t, std::uint32_t fps,
                  std::uint32_t bitrate) {
      asked.push_back(name);
      fpsSeen.push_back(fps);
      bitrateSeen.push_back(bitrate);
      return std::find(opens.begin(), opens.end(), name) != opens.end();
    };
  }
};

class GpuEncodeContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ResetAll();
    device = CreateD3D11Device(nullptr);
  }
  void TearDown() override { sim::ResetAll(); }

  std::unique_ptr<GpuEncodeContext> Build(const EncoderProbe& probe = ProbeFfmpegEncoder) {
    return std::make_unique<GpuEncodeContext>(device, 1920, 1080, 1280, 720, log.Sink(), probe);
  }

  void AwareEncoder() {
    sim::Media().SetHardwareEncoders({{"plain", E_FAIL, 0}, {"aware", S_OK, 1}});
  }

  testing::LineLog log;
  std::shared_ptr<platform::GpuDevice> device;
};

TEST_F(GpuEncodeContextTest, WithoutAwareEncoderTheCpuPathIsReportedAndAnEncoderChosen) {
  auto context = Build();
  EXPECT_FALSE(context->zeroCopy);
  EXPECT_FALSE(context->useNativeQsv);
  EXPECT_NE(context->immediateContext, nullptr);
  EXPECT_NE(context->videoContext, nullptr);
  EXPECT_NE(context->videoProcessor, nullptr);
  platform::VideoProcessorContentDesc content;
  context->processorEnumerator->GetContentDesc(content);
  EXPECT_EQ(content.inputWidth, 1920u);
  EXPECT_EQ(content.inputHeight, 1080u);
  EXPECT_EQ(content.outputWidth, 1280u);
  EXPECT_EQ(content.outputHeight, 720u);
  // Real probes: on a machine without hardware encoders (CI) only the software end opens.
  const std::string name = context->ffmpegEncoderName;
  EXPECT_NE(std::find(kFfmpegEncoderChain.begin(), kFfmpegEncoderChain.end(), name),
            kFfmpegEncoderChain.end());
  EXPECT_EQ(log.Lines(),
            (std::vector<std::wstring>{kNotSupported, L"[CAPABILITY] FFmpeg encoder selected: " +
                                                          std::wstring(name.begin(), name.end())}));
}

TEST_F(GpuEncodeContextTest, AnAwareEncoderNeedsNv12OutputFromTheProcessor) {
  AwareEncoder();
  ScriptedProbe probe({"libx264"});
  EXPECT_TRUE(Build(probe.Probe())->zeroCopy);
  EXPECT_EQ(log.Lines()[0], kSupported);

  log.Clear();
  sim::Gpu().Faults().SetNv12SupportFlags(platform::kVideoProcessorFormatSupportInput);
  EXPECT_FALSE(Build(probe.Probe())->zeroCopy);
  ASSERT_GE(log.Lines().size(), 2u);
  EXPECT_EQ(log.Lines()[0], kNv12Fallback);
  EXPECT_EQ(log.Lines()[1], kNotSupported);

  log.Clear();
  sim::Gpu().Faults().Fail(platform::GpuCall::CheckVideoProcessorFormat, E_FAIL, 1);
  EXPECT_FALSE(Build(probe.Probe())->zeroCopy);  // a failed check is no error
  EXPECT_EQ(log.Lines()[0], kNv12Fallback);
  EXPECT_EQ(log.Lines()[1], kNotSupported);
}

TEST_F(GpuEncodeContextTest, PlatformFailuresRaiseWithTheirCode) {
  for (auto call : {platform::GpuCall::QueryVideoDevice, platform::GpuCall::QueryVideoContext,
                    platform::GpuCall::CreateVideoProcessorEnumerator,
                    platform::GpuCall::CreateVideoProcessor}) {
    sim::Gpu().Faults().Fail(call, E_NOINTERFACE, 1);
    try {
      Build();
      ADD_FAILURE() << "no error for call " << static_cast<int>(call);
    } catch (const hresult_error& e) {
      EXPECT_EQ(e.code(), E_NOINTERFACE);
    }
  }
}

TEST_F(GpuEncodeContextTest, NothingOpensLeavesTheNameEmptyAndTheFirstEncoderFails) {
  ScriptedProbe probe;
  auto context = Build(probe.Probe());
  EXPECT_TRUE(context->ffmpegEncoderName.empty());
  EXPECT_EQ(probe.asked, (std::vector<std::string>{"h264_nvenc", "h264_qsv", "h264_amf",
                                                   "libopenh264", "libx264"}));
  EXPECT_EQ(log.Lines().back(), kNoEncoder);
  try {
    CreateSegmentEncoder(context.get(), 1280, 720, 60, 8000000);
    FAIL() << "no error raised";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "No FFmpeg encoder available (fallback chain exhausted)");
  }
}

TEST_F(GpuEncodeContextTest, TheFirstEncoderThatOpensIsChosenAtThirtyFpsAndSixMbit) {
  ScriptedProbe softwareOnly({"libx264"});
  EXPECT_EQ(Build(softwareOnly.Probe())->ffmpegEncoderName, "libx264");
  EXPECT_EQ(softwareOnly.asked.size(), 5u);
  for (auto fps : softwareOnly.fpsSeen) EXPECT_EQ(fps, 30u);
  for (auto rate : softwareOnly.bitrateSeen) EXPECT_EQ(rate, 6000000u);
  EXPECT_EQ(log.Lines().back(), L"[CAPABILITY] FFmpeg encoder selected: libx264");

  log.Clear();
  ScriptedProbe openh264({"libopenh264", "libx264"});
  EXPECT_EQ(Build(openh264.Probe())->ffmpegEncoderName, "libopenh264");
  EXPECT_EQ(openh264.asked.size(), 4u);
  EXPECT_EQ(log.Lines().back(), L"[CAPABILITY] FFmpeg encoder selected: libopenh264");

  ScriptedProbe qsv({"h264_qsv", "libx264"});
  EXPECT_EQ(SelectFfmpegEncoder(640, 480, 30, 1, {}, qsv.Probe()), "h264_qsv");
  EXPECT_EQ(qsv.asked, (std::vector<std::string>{"h264_nvenc", "h264_qsv"}));
}

TEST_F(GpuEncodeContextTest, AnEmptySinkChangesNothingButTheLines) {
  ScriptedProbe probe({"libx264"});
  GpuEncodeContext context(device, 640, 480, 640, 480, LogSink{}, probe.Probe());
  EXPECT_EQ(context.ffmpegEncoderName, "libx264");
  EXPECT_EQ(SelectFfmpegEncoder(640, 480, 30, 6000000, {}, ScriptedProbe{}.Probe()), "");
}

TEST(ProbeFfmpegEncoderTest, OpensOnlyEncodersThatExistAndAccept) {
  EXPECT_TRUE(ProbeFfmpegEncoder("libx264", 1280, 720, 30, 6000000));
  EXPECT_FALSE(ProbeFfmpegEncoder("no_such_encoder", 1280, 720, 30, 6000000));
}

}  // namespace
}  // namespace tallowmarch
