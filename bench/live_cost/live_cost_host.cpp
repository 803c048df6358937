// The live path's cost as a user sees it: loads the engine as a host application does (dlopen of
// the simulation library, switched to the real display; sound muted, so that only the screen is
// recorded), starts a capture of the screen of $DISPLAY at 30 fps (at most 1080 lines, the
// default 6 Mbit/s) and prints "capturing" once Start returned. It then waits for a line on
// standard input: "save" saves the clip into the given folder and prints how many frames it
// holds and over how long; "stop" (or the end of input) stops without saving. The process's CPU
// time and memory are read from outside (/proc), by bench/live_cost/live_cost.py.
//
// Usage: live_cost_host [--engine PATH] [--folder DIR] [--fps N] [--max-height N]

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include <xcb/xcb.h>

#include "tallowmarch/core.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

struct Engine {
  decltype(&Tallowmarch_GlobalInitialize) globalInitialize = nullptr;
  decltype(&Tallowmarch_GlobalShutdown) globalShutdown = nullptr;
  decltype(&Tallowmarch_SetAudioSettings) setAudioSettings = nullptr;
  decltype(&Tallowmarch_StartCapture) startCapture = nullptr;
  decltype(&Tallowmarch_StopCapture) stopCapture = nullptr;
  decltype(&Tallowmarch_SaveClipNow) saveClipNow = nullptr;
  decltype(&Tallowmarch_GetMeasuredSustainableFps) sustainableFps = nullptr;
};

template <typename Fn>
bool Resolve(void* library, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(dlsym(library, name));
  if (out == nullptr) std::fprintf(stderr, "live_cost_host: the engine lacks %s\n", name);
  return out != nullptr;
}

std::uintptr_t DisplayRootWindow() {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  std::uintptr_t root = 0;
  if (xcb_connection_has_error(connection) == 0)
    root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  xcb_disconnect(connection);
  return root;
}

// Video frames of the clip and the time they span (first to last timestamp plus one frame).
bool CountFrames(const std::string& path, long& frames, double& seconds) {
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) return false;
  const int video = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (video < 0) {
    avformat_close_input(&input);
    return false;
  }
  const AVRational base = input->streams[video]->time_base;
  AVPacket* packet = av_packet_alloc();
  std::int64_t first = AV_NOPTS_VALUE, last = AV_NOPTS_VALUE, lastDuration = 0;
  frames = 0;
  while (av_read_frame(input, packet) >= 0) {
    if (packet->stream_index == video && packet->pts != AV_NOPTS_VALUE) {
      ++frames;
      if (first == AV_NOPTS_VALUE || packet->pts < first) first = packet->pts;
      if (last == AV_NOPTS_VALUE || packet->pts > last) {
        last = packet->pts;
        lastDuration = packet->duration;
      }
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&input);
  seconds = frames > 0 ? av_q2d(base) * static_cast<double>(last + lastDuration - first) : 0.0;
  return frames > 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* enginePath = TALLOWMARCH_DEFAULT_ENGINE;
  std::string folder = "/dev/shm";
  int fps = 30;
  int maxHeight = 1080;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--engine") == 0 && hasValue) {
      enginePath = argv[++i];
    } else if (std::strcmp(argv[i], "--folder") == 0 && hasValue) {
      folder = argv[++i];
    } else if (std::strcmp(argv[i], "--fps") == 0 && hasValue) {
      fps = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--max-height") == 0 && hasValue) {
      maxHeight = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--engine PATH] [--folder DIR] [--fps N] [--max-height N]\n",
                   argv[0]);
      return 2;
    }
  }
  const std::uintptr_t root = DisplayRootWindow();
  if (root == 0) {
    std::fprintf(stderr, "live_cost_host: no X display ($DISPLAY)\n");
    return 1;
  }
  void* library = dlopen(enginePath, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "live_cost_host: cannot load the engine: %s\n", dlerror());
    return 1;
  }
  Engine engine;
  if (!Resolve(library, "Tallowmarch_GlobalInitialize", engine.globalInitialize) ||
      !Resolve(library, "Tallowmarch_GlobalShutdown", engine.globalShutdown) ||
      !Resolve(library, "Tallowmarch_SetAudioSettings", engine.setAudioSettings) ||
      !Resolve(library, "Tallowmarch_StartCapture", engine.startCapture) ||
      !Resolve(library, "Tallowmarch_StopCapture", engine.stopCapture) ||
      !Resolve(library, "Tallowmarch_SaveClipNow", engine.saveClipNow) ||
      !Resolve(library, "Tallowmarch_GetMeasuredSustainableFps", engine.sustainableFps)) {
    return 1;
  }
  using UseRealLayer = void (*)();
  if (auto useRealDisplay = reinterpret_cast<UseRealLayer>(
          dlsym(library, "_ZN11tallowmarch3sim14UseRealDisplayEv"))) {
    useRealDisplay();
  }
  if (engine.globalInitialize() != TALLOWMARCH_OK) {
    std::fprintf(stderr, "live_cost_host: initialisation failed\n");
    return 1;
  }
  engine.setAudioSettings(1.0f, 1.0f, true, true, nullptr, nullptr);
  const int started = engine.startCapture(reinterpret_cast<HWND>(root), true, maxHeight, fps, 0, 0);
  if (started != TALLOWMARCH_OK) {
    std::fprintf(stderr, "live_cost_host: capture start failed with %d\n", started);
    return 1;
  }
  std::printf("capturing\n");
  std::fflush(stdout);

  int exitCode = 0;
  char line[64] = {};
  const bool save =
      std::fgets(line, sizeof line, stdin) != nullptr && std::strncmp(line, "save", 4) == 0;
  std::printf("sustainable fps: %.2f\n", engine.sustainableFps());
  if (save) {
    std::wstring wideFolder(folder.begin(), folder.end());
    wchar_t path[4096];
    const int saved = engine.saveClipNow(wideFolder.c_str(), path, 4096);
    if (saved != TALLOWMARCH_OK) {
      std::fprintf(stderr, "live_cost_host: the save failed with %d\n", saved);
      exitCode = 1;
    } else {
      char narrow[4 * 4096];
      std::wcstombs(narrow, path, sizeof narrow);
      long frames = 0;
      double seconds = 0.0;
      if (CountFrames(narrow, frames, seconds)) {
        std::printf("clip frames: %ld\nclip seconds: %.3f\n", frames, seconds);
      }
      std::remove(narrow);
    }
  }
  engine.stopCapture();
  std::fflush(stdout);
  engine.globalShutdown();
  dlclose(library);
  return exitCode;
}
