#include "av_sync_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <optional>

#include "ffmpeg_handles.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace tallowmarch::test {
namespace {

using namespace tallowmarch::ffmpeg;

constexpr double kToneHz = 1000.0;
constexpr double kPilotHz = 300.0;
// An onset or an end counts once the level has stayed across the threshold this long: the
// flash and the tone last 200 ms, a codec's ringing much less.
constexpr double kHoldSeconds = 0.03;
// The flashes come 0.8 to 1.2 s apart: a partner is looked for within less than half of that.
constexpr double kPairWindowSeconds = 0.4;
// Sound timestamps closer than this to where the sound before them ends count as contiguous.
constexpr double kJumpSeconds = 0.005;
// Onsets this close to where either stream ends may have lost their partner to the cut.
constexpr double kEdgeSeconds = 0.45;

double Percentile(std::vector<float> values, double fraction) {
  if (values.empty()) return 0.0;
  const auto k = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
  return values[k];
}

// The amplitude of the `hz` component over the `window` samples that end at each sample (a
// sliding DFT bin; with a window of 10 ms both the tone and the pilot are whole bins, so one
// does not leak into the other).
std::vector<float> SlidingAmplitude(const std::vector<float>& x, double hz, int rate,
                                    std::size_t window) {
  std::vector<float> out(x.size());
  std::vector<double> ringRe(window, 0.0), ringIm(window, 0.0);
  double re = 0.0, im = 0.0;
  for (std::size_t n = 0; n < x.size(); ++n) {
    const double phase =
        2.0 * std::numbers::pi * std::fmod(hz * static_cast<double>(n), rate) / rate;
    const double r = x[n] * std::cos(phase), i = x[n] * std::sin(phase);
    const std::size_t slot = n % window;
    re += r - ringRe[slot];
    im += i - ringIm[slot];
    ringRe[slot] = r;
    ringIm[slot] = i;
    out[n] = static_cast<float>(2.0 * std::sqrt(re * re + im * im) / static_cast<double>(window));
  }
  return out;
}

// Where `level` rises above `threshold` and stays there for `hold` samples; a rise counts only
// after the level has stayed below for as long. Indices of the first sample above.
std::vector<std::size_t> Rises(const std::vector<float>& level, double threshold,
                               std::size_t hold) {
  std::vector<std::size_t> rises;
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  bool on = false;
  std::size_t runStart = kNone;  // where the level last crossed, while it stays across
  for (std::size_t n = 0; n < level.size(); ++n) {
    const bool above = level[n] > threshold;
    if (above != on) {
      if (runStart == kNone) runStart = n;
      if (n - runStart + 1 >= hold) {
        on = above;
        if (on) rises.push_back(runStart);
        runStart = kNone;
      }
    } else {
      runStart = kNone;
    }
  }
  return rises;
}

struct Decoder {
  CodecContext context;
  int stream = -1;
};

bool OpenDecoder(AVFormatContext* input, AVMediaType type, Decoder& decoder) {
  const AVCodec* codec = nullptr;
  decoder.stream = av_find_best_stream(input, type, -1, -1, &codec, 0);
  if (decoder.stream < 0 || codec == nullptr) return false;
  decoder.context.reset(avcodec_alloc_context3(codec));
  if (!decoder.context || avcodec_parameters_to_context(
                              decoder.context.get(), input->streams[decoder.stream]->codecpar) < 0)
    return false;
  decoder.context->pkt_timebase = input->streams[decoder.stream]->time_base;
  return avcodec_open2(decoder.context.get(), codec, nullptr) >= 0;
}

// The picture's brightness over time: the mean luma of the middle of each frame.
class BrightnessTrack {
 public:
  void Add(const AVFrame* frame, double seconds) {
    if (!sws_ || frame->width != width_ || frame->height != height_ || frame->format != format_) {
      width_ = frame->width;
      height_ = frame->height;
      format_ = frame->format;
      sws_.reset(sws_getContext(width_, height_, static_cast<AVPixelFormat>(format_), kSide, kSide,
                                AV_PIX_FMT_GRAY8, SWS_AREA, nullptr, nullptr, nullptr));
    }
    if (!sws_) return;
    std::uint8_t grey[kSide * kSide];
    std::uint8_t* planes[4] = {grey, nullptr, nullptr, nullptr};
    int strides[4] = {kSide, 0, 0, 0};
    sws_scale(sws_.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
    double sum = 0.0;
    for (int y = kSide / 4; y < 3 * kSide / 4; ++y)
      for (int x = kSide / 4; x < 3 * kSide / 4; ++x) sum += grey[y * kSide + x];
    times.push_back(seconds);
    luma.push_back(sum / (kSide * kSide / 4));
  }

  std::vector<double> times, luma;

 private:
  static constexpr int kSide = 32;
  Sws sws_;
  int width_ = 0, height_ = 0, format_ = -1;
};

// The sound as one channel on a timeline of its own. Frames follow each other as a player plays
// them; a frame whose timestamp is more than kJumpSeconds away from where the one before ends
// is put at its timestamp instead (a jump forward leaves silence, one back overwrites).
// Smaller differences are the container's rounding (Matroska keeps milliseconds) and would cut
// the waveform.
class SoundTrack {
 public:
  bool Add(const AVFrame* frame, std::optional<double> seconds) {
    if (rate == 0) rate = frame->sample_rate;
    if (frame->sample_rate != rate || frame->ch_layout.nb_channels <= 0) return false;
    const int channels = frame->ch_layout.nb_channels;
    if (!swr_ || channels != channels_ || frame->format != format_) {
      channels_ = channels;
      format_ = frame->format;
      SwrContext* raw = nullptr;
      AVChannelLayout layout{};  // FFmpeg 5.1 takes the layouts as non-const
      if (av_channel_layout_copy(&layout, &frame->ch_layout) < 0) return false;
      const int made = swr_alloc_set_opts2(&raw, &layout, AV_SAMPLE_FMT_FLTP, rate, &layout,
                                           static_cast<AVSampleFormat>(format_), rate, 0, nullptr);
      av_channel_layout_uninit(&layout);
      if (made < 0) return false;
      swr_.reset(raw);
      if (swr_init(swr_.get()) < 0) return false;
    }
    std::vector<std::vector<float>> planes(channels, std::vector<float>(frame->nb_samples));
    std::vector<std::uint8_t*> out;
    for (auto& p : planes) out.push_back(reinterpret_cast<std::uint8_t*>(p.data()));
    const int got =
        swr_convert(swr_.get(), out.data(), frame->nb_samples,
                    const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
    if (got < 0) return false;

    std::size_t at = samples.size();
    if (seconds) {
      if (samples.empty()) origin = *seconds;
      const long long index = std::llround((*seconds - origin) * rate);
      if (std::llabs(index - static_cast<long long>(at)) > std::llround(kJumpSeconds * rate))
        at = index < 0 ? 0 : static_cast<std::size_t>(index);
    }
    if (samples.size() < at + static_cast<std::size_t>(got))
      samples.resize(at + static_cast<std::size_t>(got), 0.0f);
    for (int n = 0; n < got; ++n) {
      float sum = 0.0f;
      for (int c = 0; c < channels; ++c) sum += planes[c][n];
      samples[at + n] = sum / static_cast<float>(channels);
    }
    return true;
  }

  int rate = 0;
  double origin = 0.0;  // the timestamp of samples[0]
  std::vector<float> samples;

 private:
  Swr swr_;
  int channels_ = 0, format_ = -1;
};

std::optional<double> FrameSeconds(const AVFrame* frame, AVRational timeBase) {
  if (frame->best_effort_timestamp == AV_NOPTS_VALUE) return std::nullopt;
  return static_cast<double>(frame->best_effort_timestamp) * av_q2d(timeBase);
}

bool Drain(AVFormatContext* input, Decoder& decoder, AVFrame* frame, BrightnessTrack& picture,
           SoundTrack& sound) {
  const AVRational timeBase = input->streams[decoder.stream]->time_base;
  while (avcodec_receive_frame(decoder.context.get(), frame) >= 0) {
    const std::optional<double> seconds = FrameSeconds(frame, timeBase);
    if (decoder.context->codec_type == AVMEDIA_TYPE_VIDEO) {
      if (seconds) picture.Add(frame, *seconds);
    } else if (!sound.Add(frame, seconds)) {
      av_frame_unref(frame);
      return false;
    }
    av_frame_unref(frame);
  }
  return true;
}

std::vector<double> FlashOnsets(const BrightnessTrack& picture) {
  std::vector<double> onsets;
  if (picture.luma.empty()) return onsets;
  const auto [lo, hi] = std::minmax_element(picture.luma.begin(), picture.luma.end());
  if (*hi - *lo < 50.0) return onsets;  // no flash at all
  const double threshold = (*lo + *hi) / 2.0;
  for (std::size_t i = 1; i < picture.luma.size(); ++i)
    if (picture.luma[i] >= threshold && picture.luma[i - 1] < threshold)
      onsets.push_back(picture.times[i]);
  return onsets;
}

// Pairs each flash with a tone (or none: -1), walking out from one anchor pair in both
// directions: each next flash takes the free tone nearest to where the offset of the pair before
// puts it, within kPairWindowSeconds, so an offset that drifts or jumps by less than that is
// followed. Of all anchors (every flash with every tone up to 1.5 s away), the one kept is the
// one whose pairing repeats the flashes' own irregular intervals most often: pairing each flash
// with its neighbour's tone would not.
std::vector<int> MatchTones(const std::vector<double>& flashes, const std::vector<double>& tones) {
  const int flashCount = static_cast<int>(flashes.size());
  auto pairFrom = [&](int anchorFlash, int anchorTone) {
    std::vector<int> toneOf(flashes.size(), -1);
    std::vector<bool> used(tones.size(), false);
    toneOf[anchorFlash] = anchorTone;
    used[anchorTone] = true;
    for (int step : {1, -1}) {
      double shift = tones[anchorTone] - flashes[anchorFlash];
      for (int i = anchorFlash + step; i >= 0 && i < flashCount; i += step) {
        int nearest = -1;
        for (int j = 0; j < static_cast<int>(tones.size()); ++j) {
          const double distance = std::abs(tones[j] - flashes[i] - shift);
          if (used[j] || distance > kPairWindowSeconds) continue;
          if (nearest < 0 || distance < std::abs(tones[nearest] - flashes[i] - shift)) nearest = j;
        }
        if (nearest < 0) continue;
        toneOf[i] = nearest;
        used[nearest] = true;
        shift = tones[nearest] - flashes[i];
      }
    }
    return toneOf;
  };
  auto score = [&](const std::vector<int>& toneOf) {
    int same = 0, paired = 0;
    for (int i = 0; i < flashCount; ++i) {
      paired += toneOf[i] >= 0 ? 1 : 0;
      if (i + 1 < flashCount && toneOf[i] >= 0 && toneOf[i + 1] >= 0 &&
          std::abs((tones[toneOf[i + 1]] - tones[toneOf[i]]) - (flashes[i + 1] - flashes[i])) <
              0.05)
        ++same;
    }
    return 1000 * same + paired;
  };
  std::vector<int> best(flashes.size(), -1);
  int bestScore = -1;
  double bestDistance = 0.0;
  for (int i = 0; i < flashCount; ++i) {
    for (int j = 0; j < static_cast<int>(tones.size()); ++j) {
      const double distance = std::abs(tones[j] - flashes[i]);
      if (distance > 1.5) continue;
      std::vector<int> toneOf = pairFrom(i, j);
      const int sc = score(toneOf);
      if (sc > bestScore || (sc == bestScore && distance < bestDistance)) {
        bestScore = sc;
        bestDistance = distance;
        best = std::move(toneOf);
      }
    }
  }
  return best;
}

}  // namespace

AvSyncAnalysis AnalyseAvSync(const std::string& path) {
  AvSyncAnalysis result;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
    result.error = "cannot open " + path;
    return result;
  }
  InputFormat input(raw);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) {
    result.error = "no stream information";
    return result;
  }
  Decoder video, audio;
  if (!OpenDecoder(input.get(), AVMEDIA_TYPE_VIDEO, video) ||
      !OpenDecoder(input.get(), AVMEDIA_TYPE_AUDIO, audio)) {
    result.error = "needs a video and an audio stream that decode";
    return result;
  }

  BrightnessTrack picture;
  SoundTrack sound;
  Packet packet(av_packet_alloc());
  Frame frame(av_frame_alloc());
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    Decoder* decoder = packet->stream_index == video.stream   ? &video
                       : packet->stream_index == audio.stream ? &audio
                                                              : nullptr;
    if (decoder != nullptr && avcodec_send_packet(decoder->context.get(), packet.get()) >= 0 &&
        !Drain(input.get(), *decoder, frame.get(), picture, sound)) {
      result.error = "sound in a changing format";
      return result;
    }
    av_packet_unref(packet.get());
  }
  for (Decoder* decoder : {&video, &audio}) {
    avcodec_send_packet(decoder->context.get(), nullptr);
    Drain(input.get(), *decoder, frame.get(), picture, sound);
  }
  if (picture.times.size() < 2 || sound.samples.empty()) {
    result.error = "too little picture or sound decoded";
    return result;
  }
  result.opened = true;

  // The picture's timestamps need not come in order of presentation from the decoder's output
  // either way; sort them with their brightness.
  {
    std::vector<std::size_t> order(picture.times.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return picture.times[a] < picture.times[b];
    });
    BrightnessTrack sorted;
    for (std::size_t i : order) {
      sorted.times.push_back(picture.times[i]);
      sorted.luma.push_back(picture.luma[i]);
    }
    picture.times = std::move(sorted.times);
    picture.luma = std::move(sorted.luma);
  }
  result.videoStart = picture.times.front();
  result.videoEnd = picture.times.back();
  result.flashes = FlashOnsets(picture);

  const int rate = sound.rate;
  const std::size_t window = static_cast<std::size_t>(rate / 100);  // 10 ms
  const auto hold = static_cast<std::size_t>(kHoldSeconds * rate);
  auto seconds = [&](double index) { return sound.origin + index / rate; };

  // The pilot: where it is heard is where the recorder has real sound.
  const std::vector<float> pilot = SlidingAmplitude(sound.samples, kPilotHz, rate, window);
  const double pilotThreshold = std::max(0.5 * Percentile(pilot, 0.5), 0.005);
  std::optional<std::size_t> first, last;
  for (std::size_t n = 0; n < pilot.size(); ++n) {
    if (pilot[n] > pilotThreshold) {
      if (!first) first = n;
      last = n;
    }
  }
  if (first) {
    // The window ends at the sample it is reported at: the level reaches half way half a
    // window after a change.
    result.pilotStart = seconds(static_cast<double>(*first) - window / 2.0);
    result.pilotEnd = seconds(static_cast<double>(*last) - window / 2.0);
    std::size_t missing = 0;
    for (std::size_t n = *first; n <= *last; ++n) missing += pilot[n] > pilotThreshold ? 0 : 1;
    result.pilotMissingSeconds = static_cast<double>(missing) / rate;
  }

  // The tone: it is on for about a fifth of the time, so the upper decile is its level.
  const std::vector<float> tone = SlidingAmplitude(sound.samples, kToneHz, rate, window);
  const double toneThreshold = std::max(0.5 * Percentile(tone, 0.9), 0.05);
  for (std::size_t rise : Rises(tone, toneThreshold, hold))
    result.tones.push_back(seconds(static_cast<double>(rise) - window / 2.0 + 1.0));

  const std::vector<int> toneOf = MatchTones(result.flashes, result.tones);
  std::vector<double> offsets;
  for (std::size_t i = 0; i < toneOf.size(); ++i)
    if (toneOf[i] >= 0) offsets.push_back(result.tones[toneOf[i]] - result.flashes[i]);
  if (!offsets.empty()) {
    std::sort(offsets.begin(), offsets.end());
    result.typicalShiftSeconds = offsets[offsets.size() / 2];
  }
  const double shift = result.typicalShiftSeconds;
  result.measuredFrom = std::max(result.videoStart, result.pilotStart - shift) + kEdgeSeconds;
  result.measuredTo = std::min(result.videoEnd, result.pilotEnd - shift) - kEdgeSeconds;
  auto inside = [&](double videoSeconds) {
    return videoSeconds >= result.measuredFrom && videoSeconds <= result.measuredTo;
  };
  std::vector<bool> used(result.tones.size(), false);
  for (std::size_t i = 0; i < toneOf.size(); ++i) {
    if (toneOf[i] >= 0) used[toneOf[i]] = true;
    if (!inside(result.flashes[i])) continue;
    if (toneOf[i] >= 0)
      result.pairs.push_back({result.flashes[i], result.tones[toneOf[i]]});
    else
      result.lonelyFlashes.push_back(result.flashes[i]);
  }
  for (std::size_t j = 0; j < result.tones.size(); ++j)
    if (!used[j] && inside(result.tones[j] - shift)) result.lonelyTones.push_back(result.tones[j]);
  return result;
}

OffsetSummary SummariseOffsets(const std::vector<FlashTonePair>& pairs) {
  OffsetSummary summary;
  std::vector<double> offsets;
  for (const FlashTonePair& p : pairs) offsets.push_back(p.OffsetMs());
  if (offsets.empty()) return summary;
  std::sort(offsets.begin(), offsets.end());
  summary.count = static_cast<int>(offsets.size());
  const std::size_t mid = offsets.size() / 2;
  summary.medianMs =
      offsets.size() % 2 == 1 ? offsets[mid] : (offsets[mid - 1] + offsets[mid]) / 2.0;
  summary.minMs = offsets.front();
  summary.maxMs = offsets.back();
  return summary;
}

std::string DescribeAvSync(const AvSyncAnalysis& a) {
  if (!a.opened) return "not measured: " + a.error + "\n";
  std::string text;
  char line[256];
  std::snprintf(line, sizeof line,
                "picture %.3f..%.3f s, pilot %.3f..%.3f s (missing %.3f s), typical shift "
                "%+.1f ms, measured %.3f..%.3f s; %zu flashes, %zu tones found\n",
                a.videoStart, a.videoEnd, a.pilotStart, a.pilotEnd, a.pilotMissingSeconds,
                a.typicalShiftSeconds * 1000.0, a.measuredFrom, a.measuredTo, a.flashes.size(),
                a.tones.size());
  text += line;
  for (const FlashTonePair& p : a.pairs) {
    std::snprintf(line, sizeof line, "flash %8.3f s  tone %8.3f s  offset %+7.1f ms\n",
                  p.flashSeconds, p.toneSeconds, p.OffsetMs());
    text += line;
  }
  for (double f : a.lonelyFlashes) {
    std::snprintf(line, sizeof line, "flash %8.3f s without a tone\n", f);
    text += line;
  }
  for (double t : a.lonelyTones) {
    std::snprintf(line, sizeof line, "tone %8.3f s without a flash\n", t);
    text += line;
  }
  return text;
}

}  // namespace tallowmarch::test
