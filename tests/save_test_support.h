// Helpers for the clip-save tests: in-memory MP4 segments made with libx264, PCM tones in any
// device format with their wave-format bytes, and a reader that decodes a saved clip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/wave_format.h"

namespace tallowmarch::test {

struct Yuv {
  std::uint8_t y, u, v;
};

// A complete MP4 of `frames` frames of one colour, H.264 (libx264, no B-frames), time base
// 1/fps, pts 0..frames-1.
std::vector<std::uint8_t> MakeSegmentMp4(int width, int height, int fps, int frames, Yuv colour);
// A complete MP4 holding only an AAC stream of silence.
std::vector<std::uint8_t> MakeAudioOnlyMp4();

// Wave-format bytes: plain WAVEFORMATEX (18 bytes) or WAVEFORMATEXTENSIBLE (40 bytes).
std::vector<std::uint8_t> WaveFormatBytes(std::uint16_t tag, int channels, int rate, int bits,
                                          bool extensible = false, std::uint32_t mask = 0,
                                          int validBits = 0);
// A sine of `frequency` Hz at `amplitude` (full scale 1.0) on every channel, `seconds` long,
// in the format given by `format` (integer PCM 8/16/24/32 bits or float 32).
std::vector<std::uint8_t> MakeTone(const std::vector<std::uint8_t>& format, double seconds,
                                   double frequency, double amplitude);

// The frequency of the strongest component between 20 Hz and 8 kHz (10 Hz steps, then refined
// to 1 Hz) and the RMS of mono samples.
double DominantFrequency(const std::vector<float>& samples, int rate);
double Rms(const std::vector<float>& samples);
// One channel of interleaved stereo.
std::vector<float> Channel(const std::vector<float>& interleaved, int channel);

struct ClipReadback {
  bool opened = false;
  int streams = 0;
  int videoIndex = -1, audioIndex = -1;
  std::string videoCodec, audioCodec;
  int width = 0, height = 0;
  int sampleRate = 0, channels = 0;
  double durationSeconds = 0.0;        // of the container
  double videoEndSeconds = 0.0;        // last video frame's start
  double audioSeconds = 0.0;           // decoded audio length
  int videoFrames = 0;                 // decoded
  std::vector<std::int64_t> videoPts;  // in the stream's time base, decode order
  double videoTimeBase = 0.0;
  std::vector<Yuv> frameCentres;  // the centre pixel of every decoded frame
  bool reordered = false;         // some packet's pts differs from its dts (B-frames)
  int gopFrames = 0;              // frames from the first key frame to the second (0: one)
  std::vector<float> audio;       // decoded interleaved stereo at the stream's rate
};

ClipReadback ReadClip(const std::string& path);

// A fresh empty folder under the system's temporary folder.
std::string MakeTempFolder(const std::string& stem);
std::vector<std::string> ListFolder(const std::string& path);

}  // namespace tallowmarch::test
