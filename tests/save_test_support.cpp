#include "save_test_support.h"

#include <dirent.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>
#include <stdexcept>

#include "ffmpeg_handles.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace tallowmarch::test {
namespace {

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

// Muxes what `encode` sends into a temporary MP4 file and returns its bytes.
template <typename Fill>
std::vector<std::uint8_t> WriteMp4(AVCodecContext* codec, Fill fill) {
  char name[] = "/tmp/tm_segment_XXXXXX";
  const int fd = mkstemp(name);
  Require(fd >= 0, "mkstemp");
  close(fd);
  AVFormatContext* raw = nullptr;
  Require(avformat_alloc_output_context2(&raw, nullptr, "mp4", name) >= 0, "output");
  ffmpeg::OutputFormat out(raw);
  AVStream* stream = avformat_new_stream(out.get(), nullptr);
  avcodec_parameters_from_context(stream->codecpar, codec);
  stream->time_base = codec->time_base;
  Require(avio_open(&out->pb, name, AVIO_FLAG_WRITE) >= 0, "avio_open");
  Require(avformat_write_header(out.get(), nullptr) >= 0, "header");
  ffmpeg::Packet packet(av_packet_alloc());
  auto drain = [&] {
    while (avcodec_receive_packet(codec, packet.get()) == 0) {
      av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
      packet->stream_index = 0;
      av_interleaved_write_frame(out.get(), packet.get());
    }
  };
  fill(drain);
  avcodec_send_frame(codec, nullptr);
  drain();
  av_write_trailer(out.get());
  avio_closep(&out->pb);
  std::vector<std::uint8_t> bytes = ReadFile(name);
  std::remove(name);
  return bytes;
}

void PutSample(std::uint8_t* at, int bits, bool isFloat, double value) {
  if (isFloat) {
    const float f = static_cast<float>(value);
    std::memcpy(at, &f, 4);
    return;
  }
  const double clamped = std::fmax(-1.0, std::fmin(1.0, value));
  switch (bits) {
    case 8:
      *at = static_cast<std::uint8_t>(std::lround(clamped * 127.0) + 128);
      break;
    case 16: {
      const auto v = static_cast<std::int16_t>(std::lround(clamped * 32767.0));
      std::memcpy(at, &v, 2);
      break;
    }
    case 24: {
      const auto v = static_cast<std::int32_t>(std::lround(clamped * 8388607.0));
      at[0] = v & 0xFF;
      at[1] = (v >> 8) & 0xFF;
      at[2] = (v >> 16) & 0xFF;
      break;
    }
    case 32: {
      const auto v = static_cast<std::int32_t>(std::llround(clamped * 2147483647.0));
      std::memcpy(at, &v, 4);
      break;
    }
  }
}

double Magnitude(const std::vector<float>& samples, int rate, double frequency) {
  // Goertzel.
  const double w = 2.0 * std::numbers::pi * frequency / rate;
  const double coeff = 2.0 * std::cos(w);
  double s1 = 0.0, s2 = 0.0;
  for (float x : samples) {
    const double s = x + coeff * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return std::sqrt(s1 * s1 + s2 * s2 - coeff * s1 * s2);
}

}  // namespace

std::vector<std::uint8_t> MakeSegmentMp4(int width, int height, int fps, int frames, Yuv colour) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  Require(codec != nullptr, "libx264");
  ffmpeg::CodecContext ctx(avcodec_alloc_context3(codec));
  ctx->width = width;
  ctx->height = height;
  ctx->time_base = AVRational{1, fps};
  ctx->framerate = AVRational{fps, 1};
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->gop_size = 2 * fps;
  ctx->max_b_frames = 0;
  ctx->bit_rate = 1000000;
  ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "preset", "ultrafast", 0);
  av_dict_set(&options, "tune", "zerolatency", 0);
  const int opened = avcodec_open2(ctx.get(), codec, &options);
  av_dict_free(&options);
  Require(opened >= 0, "open libx264");
  ffmpeg::Frame frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  av_frame_get_buffer(frame.get(), 0);
  return WriteMp4(ctx.get(), [&](auto drain) {
    for (int i = 0; i < frames; ++i) {
      av_frame_make_writable(frame.get());
      for (int y = 0; y < height; ++y)
        std::memset(frame->data[0] + y * frame->linesize[0], colour.y, width);
      for (int y = 0; y < height / 2; ++y) {
        std::memset(frame->data[1] + y * frame->linesize[1], colour.u, width / 2);
        std::memset(frame->data[2] + y * frame->linesize[2], colour.v, width / 2);
      }
      frame->pts = i;
      avcodec_send_frame(ctx.get(), frame.get());
      drain();
    }
  });
}

std::vector<std::uint8_t> MakeAudioOnlyMp4() {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  ffmpeg::CodecContext ctx(avcodec_alloc_context3(codec));
  ctx->sample_rate = 48000;
  ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&ctx->ch_layout, 2);
  ctx->time_base = AVRational{1, 48000};
  ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Require(avcodec_open2(ctx.get(), codec, nullptr) >= 0, "open aac");
  return WriteMp4(ctx.get(), [&](auto drain) {
    for (int i = 0; i < 20; ++i) {
      ffmpeg::Frame frame(av_frame_alloc());
      frame->format = AV_SAMPLE_FMT_FLTP;
      frame->sample_rate = 48000;
      av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
      frame->nb_samples = ctx->frame_size;
      av_frame_get_buffer(frame.get(), 0);
      av_samples_set_silence(frame->data, 0, frame->nb_samples, 2, AV_SAMPLE_FMT_FLTP);
      frame->pts = static_cast<std::int64_t>(i) * ctx->frame_size;
      avcodec_send_frame(ctx.get(), frame.get());
      drain();
    }
  });
}

std::vector<std::uint8_t> WaveFormatBytes(std::uint16_t tag, int channels, int rate, int bits,
                                          bool extensible, std::uint32_t mask, int validBits) {
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : tag;
  format.Format.nChannels = static_cast<std::uint16_t>(channels);
  format.Format.nSamplesPerSec = static_cast<std::uint32_t>(rate);
  format.Format.wBitsPerSample = static_cast<std::uint16_t>(bits);
  format.Format.nBlockAlign = static_cast<std::uint16_t>(channels * bits / 8);
  format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * static_cast<std::uint32_t>(rate);
  format.Format.cbSize = extensible ? 22 : 0;
  format.Samples.wValidBitsPerSample =
      static_cast<std::uint16_t>(validBits != 0 ? validBits : bits);
  format.dwChannelMask = mask;
  format.SubFormat =
      tag == WAVE_FORMAT_IEEE_FLOAT ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
  std::vector<std::uint8_t> bytes(extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX));
  std::memcpy(bytes.data(), &format, bytes.size());
  return bytes;
}

std::vector<std::uint8_t> MakeTone(const std::vector<std::uint8_t>& formatBytes, double seconds,
                                   double frequency, double amplitude) {
  WAVEFORMATEXTENSIBLE format{};
  std::memcpy(&format, formatBytes.data(), std::min(formatBytes.size(), sizeof format));
  const bool isFloat = format.Format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ||
                       (format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
                        format.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
  const int channels = format.Format.nChannels;
  const int rate = static_cast<int>(format.Format.nSamplesPerSec);
  const int bits = format.Format.wBitsPerSample;
  const int bytesPerSample = bits / 8;
  const auto frames = static_cast<size_t>(std::llround(seconds * rate));
  std::vector<std::uint8_t> pcm(frames * format.Format.nBlockAlign);
  for (size_t i = 0; i < frames; ++i) {
    const double value =
        amplitude * std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(i) / rate);
    for (int c = 0; c < channels; ++c) {
      PutSample(pcm.data() + i * format.Format.nBlockAlign + c * bytesPerSample, bits, isFloat,
                value);
    }
  }
  return pcm;
}

double DominantFrequency(const std::vector<float>& samples, int rate) {
  double best = 0.0, bestMagnitude = -1.0;
  for (double f = 20.0; f <= 8000.0; f += 10.0) {
    const double m = Magnitude(samples, rate, f);
    if (m > bestMagnitude) bestMagnitude = m, best = f;
  }
  const double coarse = best;
  for (double f = coarse - 10.0; f <= coarse + 10.0; f += 1.0) {
    const double m = Magnitude(samples, rate, f);
    if (m > bestMagnitude) bestMagnitude = m, best = f;
  }
  return best;
}

double Rms(const std::vector<float>& samples) {
  if (samples.empty()) return 0.0;
  double sum = 0.0;
  for (float x : samples) sum += static_cast<double>(x) * x;
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

std::vector<float> Channel(const std::vector<float>& interleaved, int channel) {
  std::vector<float> out;
  out.reserve(interleaved.size() / 2);
  for (size_t i = static_cast<size_t>(channel); i < interleaved.size(); i += 2) {
    out.push_back(interleaved[i]);
  }
  return out;
}

ClipReadback ReadClip(const std::string& path) {
  ClipReadback out;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return out;
  ffmpeg::InputFormat input(raw);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) return out;
  out.opened = true;
  out.streams = static_cast<int>(input->nb_streams);
  out.durationSeconds = input->duration > 0 ? input->duration / 1e6 : 0.0;
  ffmpeg::CodecContext video, audio;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVCodecParameters* par = input->streams[i]->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
    if (decoder == nullptr) continue;
    ffmpeg::CodecContext ctx(avcodec_alloc_context3(decoder));
    avcodec_parameters_to_context(ctx.get(), par);
    if (avcodec_open2(ctx.get(), decoder, nullptr) < 0) continue;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && out.videoIndex < 0) {
      out.videoIndex = static_cast<int>(i);
      out.videoCodec = avcodec_get_name(par->codec_id);
      out.width = par->width;
      out.height = par->height;
      out.videoTimeBase = av_q2d(input->streams[i]->time_base);
      video = std::move(ctx);
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && out.audioIndex < 0) {
      out.audioIndex = static_cast<int>(i);
      out.audioCodec = avcodec_get_name(par->codec_id);
      out.sampleRate = par->sample_rate;
      out.channels = par->ch_layout.nb_channels;
      audio = std::move(ctx);
    }
  }
  ffmpeg::Packet packet(av_packet_alloc());
  ffmpeg::Frame frame(av_frame_alloc());
  int keyFrames = 0, framesSinceKey = 0;
  auto takeVideo = [&] {
    while (avcodec_receive_frame(video.get(), frame.get()) == 0) {
      ++out.videoFrames;
      const int cx = frame->width / 2, cy = frame->height / 2;
      Yuv centre{frame->data[0][cy * frame->linesize[0] + cx], 0, 0};
      if (frame->format == AV_PIX_FMT_NV12) {
        centre.u = frame->data[1][(cy / 2) * frame->linesize[1] + (cx / 2) * 2];
        centre.v = frame->data[1][(cy / 2) * frame->linesize[1] + (cx / 2) * 2 + 1];
      } else {
        centre.u = frame->data[1][(cy / 2) * frame->linesize[1] + cx / 2];
        centre.v = frame->data[2][(cy / 2) * frame->linesize[2] + cx / 2];
      }
      out.frameCentres.push_back(centre);
      av_frame_unref(frame.get());
    }
  };
  auto takeAudio = [&] {
    while (avcodec_receive_frame(audio.get(), frame.get()) == 0) {
      const int channels = frame->ch_layout.nb_channels;
      for (int i = 0; i < frame->nb_samples; ++i) {
        for (int c = 0; c < 2; ++c) {
          const int from = std::min(c, channels - 1);
          out.audio.push_back(reinterpret_cast<const float*>(frame->extended_data[from])[i]);
        }
      }
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    if (packet->stream_index == out.videoIndex && video) {
      out.videoPts.push_back(packet->pts);
      if (packet->pts != packet->dts) out.reordered = true;
      if (packet->flags & AV_PKT_FLAG_KEY) {
        ++keyFrames;
        if (keyFrames == 2) out.gopFrames = framesSinceKey;
      }
      if (keyFrames == 1) ++framesSinceKey;
      out.videoEndSeconds = std::max(
          out.videoEndSeconds, packet->pts * av_q2d(input->streams[out.videoIndex]->time_base));
      if (avcodec_send_packet(video.get(), packet.get()) == 0) takeVideo();
    } else if (packet->stream_index == out.audioIndex && audio) {
      if (avcodec_send_packet(audio.get(), packet.get()) == 0) takeAudio();
    }
    av_packet_unref(packet.get());
  }
  if (video) {
    avcodec_send_packet(video.get(), nullptr);
    takeVideo();
  }
  if (audio) {
    avcodec_send_packet(audio.get(), nullptr);
    takeAudio();
    out.audioSeconds = out.sampleRate > 0 ? (out.audio.size() / 2.0) / out.sampleRate : 0.0;
  }
  return out;
}

std::string MakeTempFolder(const std::string& stem) {
  std::string pattern = "/tmp/" + stem + "_XXXXXX";
  Require(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  return pattern;
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

}  // namespace tallowmarch::test
