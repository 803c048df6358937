// How well picture and sound stay together in a recording of the flash-and-tone scene, for our
// engine and for the ffmpeg tool, recording the same scene at the same time.
//
// A private Xvfb (320x240) and a private PulseAudio server (a null sink as the default) are
// started; the scene (tallowmarch_flash_tone_scene) shows its flashing window there and plays
// its tone into the sink. The engine of the simulation library, with the real display and sound
// server under it, records the scene's window through the exports (microphone muted) and saves
// its clip; meanwhile the ffmpeg tool records the screen (x11grab) and the sink's monitor
// (-f pulse), with -copyts so that both inputs keep their own clocks' timestamps (without it
// each input is moved to start at zero on its own and the offset means nothing); it writes
// Matroska, which keeps such large timestamps. Each file is measured as the suite's test
// measures it: per flash, the offset of its tone (positive: the sound comes later).
//
// Usage: av_sync_bench [--seconds N] [--seed S] [--no-tool] [--pairs] [--keep]
//   --seconds  length of the measured recording (default 60)
//   --no-tool  record with our engine only
//   --pairs    print every flash, its tone and their offset
//   --keep     keep the recorded files (their paths are printed)
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "av_sync_analysis.h"
#include "export_test_log.h"
#include "flash_tone_scene.h"
#include "pulse_test_support.h"
#include "save_test_support.h"
#include "sim_platform.h"
#include "tallowmarch/core.h"
#include "x11_test_support.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using tallowmarch::test::AvSyncAnalysis;

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find(' ', start), text.size());
    if (end > start) words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

void Report(const char* who, const AvSyncAnalysis& a, bool pairs) {
  if (!a.opened) {
    std::printf("%-7s not measured: %s\n", who, a.error.c_str());
    return;
  }
  const tallowmarch::test::OffsetSummary s = tallowmarch::test::SummariseOffsets(a.pairs);
  std::printf(
      "%-7s %3d pairs over %5.1f s: median %+7.1f ms, min %+7.1f, max %+7.1f, spread %6.1f ms; "
      "unpaired: %zu flashes, %zu tones; sound missing %.2f s\n",
      who, s.count, a.MeasuredSeconds(), s.medianMs, s.minMs, s.maxMs, s.SpreadMs(),
      a.lonelyFlashes.size(), a.lonelyTones.size(), a.pilotMissingSeconds);
  if (pairs) std::printf("%s", tallowmarch::test::DescribeAvSync(a).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  unsigned seed = 1;
  bool tool = true, pairs = false, keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else if (option == "--seed" && i + 1 < argc) {
      seed = static_cast<unsigned>(std::atoi(argv[++i]));
    } else if (option == "--no-tool") {
      tool = false;
    } else if (option == "--pairs") {
      pairs = true;
    } else if (option == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: %s [--seconds N] [--seed S] [--no-tool] [--pairs] [--keep]\n",
                   argv[0]);
      return 2;
    }
  }
  av_log_set_level(AV_LOG_FATAL);

  tallowmarch::test::XvfbServer display;
  tallowmarch::test::PulseServer sound;
  if (!display.Start("320x240x24") || !sound.Start()) {
    std::fprintf(stderr, "cannot start Xvfb or PulseAudio\n");
    return 1;
  }
  const std::string folder = tallowmarch::test::MakeTempFolder("tm_av_sync_bench");
  tallowmarch::test::FlashToneScene scene;
  if (!scene.Start(TALLOWMARCH_FLASH_TONE_SCENE, display.Display(), sound.Address(),
                   folder + "/scene.log")) {
    std::fprintf(stderr, "the scene did not start:\n%s", scene.Output().c_str());
    return 1;
  }
  std::printf(
      "av_sync_bench: %d s of the flash-and-tone scene (seed %u) on Xvfb %s 320x240 and "
      "PulseAudio\n",
      seconds, seed, display.Display().c_str());
  std::fflush(stdout);

  // The tool: screen and the default sink's monitor, each input on its own thread queue.
  const std::string toolClip = folder + "/ffmpeg.mkv";
  pid_t toolPid = -1;
  if (tool) {
    // -fragment_size: 20 ms pieces (s16 stereo) rather than the server's default of about 2 s,
    // over which the tool's timestamps would be estimated.
    const std::string command =
        "ffmpeg -nostdin -v error -thread_queue_size 1024 -f x11grab -framerate 30 -video_size "
        "320x240 -draw_mouse 0 -i " +
        display.Display() + " -thread_queue_size 1024 -f pulse -fragment_size 3840 -i " +
        tallowmarch::test::kSpeakers +
        ".monitor -copyts -c:v libx264 -preset ultrafast -tune zerolatency -pix_fmt yuv420p "
        "-c:a aac -y " +
        toolClip;
    std::printf("tool: %s\n", command.c_str());
    toolPid = tallowmarch::test::Spawn(Words(command), {"PULSE_SERVER=" + sound.Address()},
                                       folder + "/ffmpeg.log");
  }

  // Ours: the scene's window, at 30 fps, a ring long enough for the whole recording.
  setenv("DISPLAY", display.Display().c_str(), 1);
  setenv("PULSE_SERVER", sound.Address().c_str(), 1);
  tallowmarch::sim::ResetAll();
  tallowmarch::sim::UseRealDisplay();
  tallowmarch::sim::UseRealSound();
  Tallowmarch_SetLogCallback(&tallowmarch::test::CollectLine);
  Tallowmarch_GlobalInitialize();
  Tallowmarch_SetAudioSettings(1.0f, 1.0f, false, true, nullptr, nullptr);
  const HWND window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(scene.Window()));
  const int started = Tallowmarch_StartCapture(window, false, 0, 30, 0, seconds + 10);
  if (started != TALLOWMARCH_OK) {
    std::fprintf(stderr, "the capture did not start (%d)\n", started);
    tallowmarch::test::PrintLines();
    return 1;
  }
  // The clip holds finished 2-s segments only: record a little longer than is measured.
  const tallowmarch::test::SavedClip ours = tallowmarch::test::RecordSaveAndShutDown(
      std::chrono::seconds(seconds + 3), "tm_av_sync_bench_clip");
  tallowmarch::sim::ResetAll();
  if (toolPid > 0) {
    ::kill(toolPid, SIGINT);  // the tool finishes its file on an interrupt
    int status = 0;
    waitpid(toolPid, &status, 0);
  }
  scene.Stop();
  // The scene's own account (how late it drew, whether its sound ran dry) follows its window id.
  const std::string sceneReport = scene.Output();
  const std::size_t ready = sceneReport.find("ready\n");
  std::printf("scene: %s", ready != std::string::npos ? sceneReport.c_str() + ready + 6 : "\n");

  if (ours.result != TALLOWMARCH_OK) {
    std::printf("ours    not saved (%d)\n", ours.result);
    tallowmarch::test::PrintLines();
  } else {
    Report("ours", tallowmarch::test::AnalyseAvSync(ours.path), pairs);
  }
  if (tool) Report("ffmpeg", tallowmarch::test::AnalyseAvSync(toolClip), pairs);
  if (keep) {
    std::printf("files: %s %s\n", ours.path.c_str(), tool ? toolClip.c_str() : "");
  } else {
    std::filesystem::remove_all(ours.folder);
    std::filesystem::remove_all(folder);
  }
  return 0;
}
