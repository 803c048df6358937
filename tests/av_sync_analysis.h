// Measures how well picture and sound of a recorded clip stay together, on the flash-and-tone
// scene (tallowmarch_flash_tone_scene): the picture flashes white while a 1 kHz tone plays, and
// a quiet 300 Hz pilot plays all the time. A saved file is demuxed and decoded with FFmpeg; the
// flash onsets come from the picture's brightness, the tone onsets from the 1 kHz strength of
// the sound, both on the container's timestamps, as a player would present them.
#pragma once

#include <string>
#include <vector>

namespace tallowmarch::test {

// One flash and the tone that belongs to it, in seconds of the clip's timeline.
struct FlashTonePair {
  double flashSeconds = 0.0;
  double toneSeconds = 0.0;
  // Positive: the tone is heard after the flash is seen.
  double OffsetMs() const { return (toneSeconds - flashSeconds) * 1000.0; }
};

struct AvSyncAnalysis {
  bool opened = false;
  std::string error;  // why the file could not be measured, when it could not

  // Where each stream has content: first to last decoded picture, and where the pilot is heard
  // (sound the recorder filled in with silence has none).
  double videoStart = 0.0, videoEnd = 0.0;
  double pilotStart = 0.0, pilotEnd = 0.0;
  // Time within [pilotStart, pilotEnd] in which the pilot is missing (dropouts).
  double pilotMissingSeconds = 0.0;

  // The median offset of the pairs. Pairs are found by following the offset from flash to
  // flash, so that a recorder whose offset is large, or drifts, is still measured rather than
  // reported as unpaired.
  double typicalShiftSeconds = 0.0;
  // The stretch of the picture's timeline in which both streams are measured: onsets outside it
  // may have lost their partner to the clip's ends.
  double measuredFrom = 0.0, measuredTo = 0.0;

  std::vector<double> flashes;  // every onset found, seconds
  std::vector<double> tones;
  std::vector<FlashTonePair> pairs;   // inside the measured stretch, in time order
  std::vector<double> lonelyFlashes;  // inside it, without a tone
  std::vector<double> lonelyTones;    // inside it, without a flash

  double MeasuredSeconds() const {
    return measuredTo > measuredFrom ? measuredTo - measuredFrom : 0;
  }
};

AvSyncAnalysis AnalyseAvSync(const std::string& path);

struct OffsetSummary {
  int count = 0;
  double medianMs = 0.0, minMs = 0.0, maxMs = 0.0;
  double SpreadMs() const { return maxMs - minMs; }
};
OffsetSummary SummariseOffsets(const std::vector<FlashTonePair>& pairs);

// Every pair and unpaired onset, one a line, for a failure message or a benchmark's record.
std::string DescribeAvSync(const AvSyncAnalysis& analysis);

}  // namespace tallowmarch::test
