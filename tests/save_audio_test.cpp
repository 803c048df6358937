// Save-time sound: the soft limiter, resampling of device formats to the mix format, mixing at
// the clip offset, and the AAC encoder's framing.
#include "save_audio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "hresult_error.h"
#include "save_test_support.h"

namespace tallowmarch {
namespace {

using test::MakeTone;
using test::WaveFormatBytes;

std::vector<float> Resample(const std::vector<std::uint8_t>& format,
                            const std::vector<std::uint8_t>& pcm) {
  return BytesToFloats(ResampleToMixFormat(pcm,
                                           reinterpret_cast<const WAVEFORMATEX*>(format.data()),
                                           static_cast<std::uint32_t>(format.size())));
}

WAVEFORMATEX Header(const std::vector<std::uint8_t>& format) {
  WAVEFORMATEX header;
  std::memcpy(&header, format.data(), sizeof header);
  return header;
}

// The middle second, away from the resampler's edges.
std::vector<float> Middle(const std::vector<float>& mono) {
  return {mono.begin() + 12000, mono.begin() + 60000};
}

TEST(SoftLimit, PassesQuietSamplesAndBendsLoudOnesBelowFullScale) {
  EXPECT_EQ(SoftLimit(0.5f), 0.5f);
  EXPECT_EQ(SoftLimit(0.8f), 0.8f);
  EXPECT_EQ(SoftLimit(-0.8f), -0.8f);
  EXPECT_NEAR(SoftLimit(0.81f), 0.80999, 1e-5);
  EXPECT_NEAR(SoftLimit(0.9f), 0.89242, 1e-5);
  EXPECT_NEAR(SoftLimit(1.0f), 0.95232, 1e-5);
  EXPECT_NEAR(SoftLimit(-1.0f), -0.95232, 1e-5);
  EXPECT_NEAR(SoftLimit(1.5f), 0.99964, 1e-5);
  EXPECT_EQ(SoftLimit(10.0f), 1.0f);
  // Single precision all the way: the same operations in float, bit for bit.
  const float k = 1.0f - 0.8f;
  EXPECT_EQ(SoftLimit(1.1f), 0.8f + k * std::tanh((1.1f - 0.8f) / k));
  EXPECT_NEAR(SoftLimit(1.1f), 0.981, 1e-3);
}

TEST(MixFormat, IsExtensibleStereoFloatAt48k) {
  const WAVEFORMATEXTENSIBLE f = MakeMixFormat();
  EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(f.Format.nChannels, 2);
  EXPECT_EQ(f.Format.nSamplesPerSec, 48000u);
  EXPECT_EQ(f.Format.nAvgBytesPerSec, 384000u);
  EXPECT_EQ(f.Format.nBlockAlign, 8);
  EXPECT_EQ(f.Format.wBitsPerSample, 32);
  EXPECT_EQ(f.Format.cbSize, 22);
  EXPECT_EQ(f.Samples.wValidBitsPerSample, 32);
  EXPECT_EQ(f.dwChannelMask, 3u);
  EXPECT_TRUE(f.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

TEST(Resampler, PiecesAreAboutATenthOfASecondInWholeBlocks) {
  EXPECT_EQ(ResamplerPieceBytes(Header(WaveFormatBytes(WAVE_FORMAT_PCM, 2, 44100, 16))), 17640u);
  EXPECT_EQ(ResamplerPieceBytes(Header(WaveFormatBytes(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32))),
            38400u);
  // 22050 Hz 24-bit mono: a tenth of 66150 is 6615, cut to 2205 whole blocks.
  EXPECT_EQ(ResamplerPieceBytes(Header(WaveFormatBytes(WAVE_FORMAT_PCM, 1, 22050, 24))), 6615u);
  // 11025 Hz 5.1 16-bit: 13230 bytes a tenth, 1102 blocks of 12.
  EXPECT_EQ(ResamplerPieceBytes(Header(WaveFormatBytes(WAVE_FORMAT_PCM, 6, 11025, 16))), 13224u);

  // Below 10 blocks per second nothing is fed: the source adds nothing.
  std::vector<std::uint8_t> slow = WaveFormatBytes(WAVE_FORMAT_PCM, 2, 44100, 16);
  WAVEFORMATEX header = Header(slow);
  header.nAvgBytesPerSec = 36;
  std::memcpy(slow.data(), &header, sizeof header);
  EXPECT_EQ(ResamplerPieceBytes(header), 0u);
  EXPECT_TRUE(Resample(slow, std::vector<std::uint8_t>(17640, 1)).empty());
}

struct ResampleCase {
  const char* name;
  std::vector<std::uint8_t> format;
  double amplitude;
};

TEST(Resampler, DeviceFormatsReach48kStereoWithTheirToneAndLength) {
  const std::vector<ResampleCase> cases = {
      {"44.1k s16 stereo", WaveFormatBytes(WAVE_FORMAT_PCM, 2, 44100, 16), 0.5},
      {"48k float stereo", WaveFormatBytes(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32), 0.5},
      {"96k s24 stereo", WaveFormatBytes(WAVE_FORMAT_PCM, 2, 96000, 24), 0.5},
      {"16k s16 mono", WaveFormatBytes(WAVE_FORMAT_PCM, 1, 16000, 16), 0.5},
      {"48k u8 stereo", WaveFormatBytes(WAVE_FORMAT_PCM, 2, 48000, 8), 0.5},
      {"44.1k s32 stereo", WaveFormatBytes(WAVE_FORMAT_PCM, 2, 44100, 32), 0.5},
      {"48k float ext stereo", WaveFormatBytes(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32, true, 0x3),
       0.5},
      {"44.1k s24-in-32 ext stereo", WaveFormatBytes(WAVE_FORMAT_PCM, 2, 44100, 32, true, 0x3, 24),
       0.5},
      {"48k float ext mono", WaveFormatBytes(WAVE_FORMAT_IEEE_FLOAT, 1, 48000, 32, true, 0x4), 0.5},
  };
  for (const ResampleCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<float> out = Resample(c.format, MakeTone(c.format, 1.5, 1000.0, c.amplitude));
    // 1.5 s at 48 kHz, give or take the resampler's rounding.
    EXPECT_NEAR(static_cast<double>(out.size() / 2), 72000.0, 4.0);
    for (int ch = 0; ch < 2; ++ch) {
      const std::vector<float> middle = Middle(test::Channel(out, ch));
      EXPECT_NEAR(test::DominantFrequency(middle, 48000), 1000.0, 2.0);
      // Mono is heard in both ears at its own level, stereo keeps its level.
      EXPECT_NEAR(test::Rms(middle), c.amplitude / std::sqrt(2.0), 0.01);
    }
  }
}

TEST(Resampler, FivePointOneIsDownmixedToStereoWithTheTone) {
  const auto format = WaveFormatBytes(WAVE_FORMAT_PCM, 6, 48000, 16, true, 0x3F);
  const std::vector<float> out = Resample(format, MakeTone(format, 1.5, 440.0, 0.3));
  EXPECT_NEAR(static_cast<double>(out.size() / 2), 72000.0, 4.0);
  for (int ch = 0; ch < 2; ++ch) {
    const std::vector<float> middle = Middle(test::Channel(out, ch));
    EXPECT_NEAR(test::DominantFrequency(middle, 48000), 440.0, 2.0);
    // Front, centre and surround of each side at -3 dB; peaks are the limiter's business.
    EXPECT_NEAR(test::Rms(middle), 0.3 * (1.0 + 2.0 * std::sqrt(0.5)) / std::sqrt(2.0), 0.02);
  }
  // A mask that does not match the channel count falls back to the count's default layout.
  const auto odd = WaveFormatBytes(WAVE_FORMAT_PCM, 6, 48000, 16, true, 0x3);
  EXPECT_NEAR(static_cast<double>(Resample(odd, MakeTone(odd, 0.5, 440.0, 0.3)).size() / 2),
              24000.0, 4.0);
}

TEST(Resampler, FormatsItCannotTakeRaiseTheSaveErrorWithTheReason) {
  auto expectRejected = [](std::vector<std::uint8_t> format, const char* reason) {
    SCOPED_TRACE(reason);
    try {
      Resample(format, std::vector<std::uint8_t>(4800, 0));
      ADD_FAILURE() << "accepted";
    } catch (const hresult_error& e) {
      EXPECT_EQ(static_cast<std::uint32_t>(e.code()), 0xC00D36B4u);
      EXPECT_NE(e.message().find("audio resampler: unsupported device format"), std::string::npos);
      EXPECT_NE(e.message().find(reason), std::string::npos) << e.message();
    }
  };
  auto zeroAlign = WaveFormatBytes(WAVE_FORMAT_PCM, 2, 48000, 16);
  zeroAlign[12] = zeroAlign[13] = 0;
  expectRejected(zeroAlign, "block alignment of 0");
  expectRejected(WaveFormatBytes(WAVE_FORMAT_PCM, 2, 48000, 12), "integer PCM of 12 bits");
  expectRejected(WaveFormatBytes(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 16), "float PCM of 16 bits");
  expectRejected(WaveFormatBytes(2 /* ADPCM */, 2, 48000, 16), "format tag 2");
  expectRejected(WaveFormatBytes(WAVE_FORMAT_PCM, 0, 48000, 16), "0 channels");
  expectRejected(WaveFormatBytes(WAVE_FORMAT_PCM, 2, 0, 16), "sample rate of 0");
  auto truncated = WaveFormatBytes(WAVE_FORMAT_PCM, 2, 48000, 16);
  truncated.resize(10);
  expectRejected(truncated, "format record of 10 bytes");
  auto shortExtensible = WaveFormatBytes(WAVE_FORMAT_PCM, 2, 48000, 16, true, 3);
  shortExtensible.resize(30);
  expectRejected(shortExtensible, "extensible format record of 30 bytes");
  auto badSubFormat = WaveFormatBytes(WAVE_FORMAT_PCM, 2, 48000, 16, true, 3);
  badSubFormat[24] = 0x55;
  expectRejected(badSubFormat, "sub-format");
  // Nothing to resample: nothing is checked or created.
  EXPECT_TRUE(Resample(zeroAlign, {}).empty());
}

TEST(AudioBytes, ConcatSkipsEmptyChunksAndFloatsDropATornTail) {
  EXPECT_EQ(BytesToFloats(std::vector<std::uint8_t>(10, 0)).size(), 2u);
  std::deque<AudioChunk> chunks(3);
  chunks[0].bytes = std::make_shared<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{1, 2});
  chunks[2].bytes = std::make_shared<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{3});
  EXPECT_EQ(ConcatChunks(chunks), (std::vector<std::uint8_t>{1, 2, 3}));
}

// A mix job over a buffer of `frames` frames starting at clip time `clipStart`.
struct MixFixture {
  std::vector<std::wstring> lines;
  SaveMemoryLog log{[this](const std::wstring& l) { lines.push_back(l); }, 0.0};
  std::int64_t clipStart = 100'000'000;
  std::uint64_t mixLength;
  std::vector<float> mix;
  AudioMixJob job{log, clipStart, mixLength, mix};

  explicit MixFixture(std::uint64_t frames) : mixLength(frames), mix(2 * frames, 0.0f) {}
};

// One chunk of constant float stereo at 48 kHz: bit-exact through the resampler.
std::deque<AudioChunk> ConstantChunk(std::int64_t start, double seconds, float left, float right) {
  const auto frames = static_cast<size_t>(seconds * 48000);
  auto bytes = std::make_shared<std::vector<std::uint8_t>>(frames * 8);
  for (size_t i = 0; i < frames; ++i) {
    std::memcpy(bytes->data() + 8 * i, &left, 4);
    std::memcpy(bytes->data() + 8 * i + 4, &right, 4);
  }
  return {AudioChunk{bytes, start, seconds}};
}

const std::vector<std::uint8_t> kFloatStereo =
    WaveFormatBytes(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32);

TEST(MixAudioSource, PlacesTheSourceAtItsOffsetFromTheClipStart) {
  {
    SCOPED_TRACE("starts 0.5 s before the clip: the first 24000 frames are dropped");
    MixFixture f(48000);
    auto chunks = ConstantChunk(f.clipStart - 5'000'000, 2.0, 0.25f, -0.25f);
    // Mark the frame that must land at mix frame 0.
    float marker = 0.75f;
    std::memcpy(chunks[0].bytes->data() + 24000 * 8, &marker, 4);
    MixAudioSource(f.job, chunks, kFloatStereo, 1.0f);
    EXPECT_EQ(f.mix[0], 0.75f);
    EXPECT_EQ(f.mix[1], -0.25f);
    EXPECT_EQ(f.mix[2 * 47999], 0.25f);  // runs past the end: the rest is not added
  }
  {
    SCOPED_TRACE("starts 1.25 s after the clip start: offset 60000 frames");
    MixFixture f(96000);
    MixAudioSource(f.job, ConstantChunk(f.clipStart, 2.0, 0.1f, 0.1f), kFloatStereo, 1.0f);
    MixAudioSource(f.job, ConstantChunk(f.clipStart + 12'500'000, 0.5, 0.5f, 0.5f), kFloatStereo,
                   0.5f);
    EXPECT_EQ(f.mix[2 * 59999], 0.1f);  // only the first source
    EXPECT_EQ(f.mix[2 * 60000], 0.1f + 0.25f);
    EXPECT_EQ(f.mix[2 * 83999 + 1], 0.1f + 0.25f);
    EXPECT_EQ(f.mix[2 * 84000], 0.1f);
  }
  {
    SCOPED_TRACE("two sources at the same instants add; the limiter brings 1.1 to ~0.981");
    MixFixture f(4800);
    MixAudioSource(f.job, ConstantChunk(f.clipStart, 0.1, 0.6f, 0.6f), kFloatStereo, 1.0f);
    MixAudioSource(f.job, ConstantChunk(f.clipStart, 0.1, 0.5f, 0.5f), kFloatStereo, 1.0f);
    EXPECT_FLOAT_EQ(f.mix[100], 1.1f);
    EXPECT_NEAR(SoftLimit(f.mix[100]), 0.981, 1e-3);
  }
}

TEST(MixAudioSource, LogsThreeStagesPerSourceAndNothingForAnEmptySource) {
  MixFixture f(4800);
  MixAudioSource(f.job, {}, kFloatStereo, 1.0f);
  MixAudioSource(f.job, ConstantChunk(f.clipStart, 0.1, 0.5f, 0.5f), {}, 1.0f);
  EXPECT_TRUE(f.lines.empty());
  EXPECT_EQ(f.mix[0], 0.0f);

  std::deque<AudioChunk> hollow(2);  // chunks that hold no bytes
  hollow[0].startTime = f.clipStart;
  MixAudioSource(f.job, hollow, kFloatStereo, 1.0f);
  ASSERT_EQ(f.lines.size(), 3u);
  EXPECT_EQ(f.lines[0].rfind(L"[DIAG-SAVE-MEM] stage=audio-concat", 0), 0u);
  EXPECT_NE(f.lines[0].find(L" rawBytes=0MB"), std::wstring::npos);
  EXPECT_NE(f.lines[1].find(L"stage=audio-resample"), std::wstring::npos);
  EXPECT_NE(f.lines[1].find(L" resampledBytes=0MB"), std::wstring::npos);
  EXPECT_NE(f.lines[2].find(L" floatBytes=0MB"), std::wstring::npos);

  f.lines.clear();
  MixAudioSource(f.job, ConstantChunk(f.clipStart, 4.0, 0.1f, 0.1f), kFloatStereo, 1.0f);
  ASSERT_EQ(f.lines.size(), 3u);
  EXPECT_NE(f.lines[0].find(L" rawBytes=1MB"), std::wstring::npos);  // 1.46 MiB, cut
}

// An MP4 muxer on a temporary file with one AAC stream.
struct AacFixture {
  std::string path = test::MakeTempFolder("tm_aac") + "/a.mp4";
  ffmpeg::OutputFormat output;
  std::unique_ptr<AacEncoder> encoder;

  AacFixture() {
    AVFormatContext* raw = nullptr;
    avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr);
    output.reset(raw);
    AVStream* stream = avformat_new_stream(output.get(), nullptr);
    encoder = std::make_unique<AacEncoder>(output.get(), 0);
    avcodec_parameters_from_context(stream->codecpar, encoder->CodecContext());
    stream->time_base = encoder->CodecContext()->time_base;
    EXPECT_GE(avio_open2(&output->pb, path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), 0);
    EXPECT_GE(avformat_write_header(output.get(), nullptr), 0);
  }
  void Close() {
    av_write_trailer(output.get());
    avio_closep(&output->pb);
  }
};

TEST(AacEncoder, EncodesWholeFramesThenOneShortFrameAtTheEnd) {
  AacFixture f;
  EXPECT_EQ(f.encoder->FrameSize(), 1024);
  const std::vector<float> tone = [] {
    std::vector<float> v(2 * 1500);
    for (size_t i = 0; i < 1500; ++i) v[2 * i] = v[2 * i + 1] = 0.3f * std::sin(0.1f * i);
    return v;
  }();
  f.encoder->Push(tone.data(), 1500);
  EXPECT_EQ(f.encoder->PendingFrames(), 476u);
  EXPECT_EQ(f.encoder->NextPts(), 1024);
  f.encoder->Flush();
  EXPECT_EQ(f.encoder->PendingFrames(), 0u);
  EXPECT_EQ(f.encoder->NextPts(), 1500);  // the short frame went out with pts 1024
  f.Close();
  const test::ClipReadback clip = test::ReadClip(f.path);
  EXPECT_EQ(clip.audioCodec, "aac");
  EXPECT_EQ(clip.sampleRate, 48000);
  EXPECT_EQ(clip.channels, 2);
  EXPECT_NEAR(clip.audioSeconds, 1500.0 / 48000.0, 1024.0 / 48000.0);
}

TEST(AacEncoder, AFrameTheEncoderRefusesFailsThePush) {
  AacFixture f;
  const std::vector<float> nan(2 * 3072, std::numeric_limits<float>::quiet_NaN());
  EXPECT_THROW(f.encoder->Push(nan.data(), 3072), std::runtime_error);
  f.Close();
}

TEST(AacEncoder, FlushWithNothingPushedSendsNoFrame) {
  AacFixture f;
  f.encoder->Flush();
  EXPECT_EQ(f.encoder->NextPts(), 0);
  f.Close();
  EXPECT_EQ(test::ReadClip(f.path).audio.size(), 0u);
}

}  // namespace
}  // namespace tallowmarch
