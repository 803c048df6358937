// The demo host: loads the engine as a host application would (dlopen), routes its log to
// standard output, initialises it, lists the audio devices, prints the version and whether a
// hardware H.264 encoder is present; then records for a few seconds, saves the buffered clip
// into a folder and prints its path with a one-line summary read back from the file with FFmpeg,
// and shuts the engine down.
//
// What it records: with an X display ($DISPLAY set and reachable), the real screen (the monitor
// of the root window, at most 1080 lines high): the simulation library is switched to the real
// display (its X11 capture layer and display topology, keeping its encoder listing, so that a
// machine without a hardware H.264 encoder records too); the product library given with
// --engine records the display as it is. Without a display, the simulated engine's window.
//
// Usage: tallowmarch_demo [--engine PATH] [--folder DIR] [--seconds N] [--window ID] [--quiet]
//   --folder   where the clip goes (default: the current folder)
//   --seconds  how long to record before saving (default 7)
//   --window   the window to record (default: the screen on a display, else 0x1001, the
//              simulated engine's window)
//   --quiet    engine log lines are not printed

#include <dlfcn.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>

#include <xcb/xcb.h>

#include "tallowmarch/core.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

struct Engine {
  decltype(&Tallowmarch_SetLogCallback) setLogCallback = nullptr;
  decltype(&Tallowmarch_GlobalInitialize) globalInitialize = nullptr;
  decltype(&Tallowmarch_GlobalShutdown) globalShutdown = nullptr;
  decltype(&Tallowmarch_GetAppVersion) getAppVersion = nullptr;
  decltype(&Tallowmarch_HasHardwareEncoder) hasHardwareEncoder = nullptr;
  decltype(&Tallowmarch_EnumerateAudioDevices) enumerateAudioDevices = nullptr;
  decltype(&Tallowmarch_StartCapture) startCapture = nullptr;
  decltype(&Tallowmarch_StopCapture) stopCapture = nullptr;
  decltype(&Tallowmarch_SaveClipNow) saveClipNow = nullptr;
};

template <typename Fn>
bool Resolve(void* library, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(dlsym(library, name));
  if (out == nullptr) std::fprintf(stderr, "demo: the engine lacks %s\n", name);
  return out != nullptr;
}

bool g_quiet = false;  // written before the engine starts, read by its threads afterwards

void PrintLogLine(const wchar_t* line) {
  if (!g_quiet) std::printf("[engine] %ls\n", line);
}

void PrintDevice(const wchar_t* id, const wchar_t* name, bool isDefault) {
  std::printf("  %ls%s\n    id: %ls\n", name, isDefault ? "  (default)" : "", id);
}

std::wstring Widen(const std::string& text) {
  std::wstring out(text.size() + 1, L'\0');
  const size_t n = std::mbstowcs(out.data(), text.c_str(), out.size());
  if (n == static_cast<size_t>(-1)) return std::wstring(text.begin(), text.end());
  out.resize(n);
  return out;
}

std::string Narrow(const std::wstring& text) {
  std::string out(text.size() * 4 + 1, '\0');
  const size_t n = std::wcstombs(out.data(), text.c_str(), out.size());
  if (n == static_cast<size_t>(-1)) return std::string(text.begin(), text.end());
  out.resize(n);
  return out;
}

// "6.97 s, 4.1 MB, h264 1280x720 30 fps + aac 48000 Hz stereo", read back with FFmpeg.
std::string DescribeClip(const std::string& path) {
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) return "unreadable";
  std::string summary;
  if (avformat_find_stream_info(input, nullptr) >= 0) {
    char text[160];
    std::snprintf(
        text, sizeof text, "%.2f s, %.1f MB",
        input->duration > 0 ? static_cast<double>(input->duration) / AV_TIME_BASE : 0.0,
        input->pb != nullptr ? static_cast<double>(avio_size(input->pb)) / 1048576.0 : 0.0);
    summary = text;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
      const AVStream* stream = input->streams[i];
      const AVCodecParameters* p = stream->codecpar;
      if (p->codec_type == AVMEDIA_TYPE_VIDEO) {
        std::snprintf(text, sizeof text, "%s %s %dx%d %.0f fps", i == 0 ? "," : " +",
                      avcodec_get_name(p->codec_id), p->width, p->height,
                      av_q2d(stream->avg_frame_rate));
      } else if (p->codec_type == AVMEDIA_TYPE_AUDIO) {
        std::snprintf(text, sizeof text, "%s %s %d Hz %s", i == 0 ? "," : " +",
                      avcodec_get_name(p->codec_id), p->sample_rate,
                      p->ch_layout.nb_channels == 2 ? "stereo" : "mono");
      } else {
        continue;
      }
      summary += text;
    }
  } else {
    summary = "no stream information";
  }
  avformat_close_input(&input);
  return summary;
}

// The root window of $DISPLAY, or 0 when there is no display to reach.
std::uintptr_t DisplayRootWindow() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return 0;
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  std::uintptr_t root = 0;
  if (xcb_connection_has_error(connection) == 0)
    root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  xcb_disconnect(connection);
  return root;
}

// Whether a PulseAudio server socket is there to talk to ($PULSE_SERVER as unix:PATH, or the
// user's runtime folder).
bool SoundServerReachable() {
  std::string socketPath;
  if (const char* server = std::getenv("PULSE_SERVER"); server != nullptr && *server != '\0') {
    socketPath = server;
    if (socketPath.rfind("unix:", 0) == 0) socketPath.erase(0, 5);
  } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr) {
    socketPath = std::string(runtime) + "/pulse/native";
  }
  struct stat info {};
  return !socketPath.empty() && stat(socketPath.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

int main(int argc, char** argv) {
  const char* enginePath = TALLOWMARCH_DEFAULT_ENGINE;
  std::string folder = ".";
  int seconds = 7;
  std::uintptr_t window = 0;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--engine") == 0 && hasValue) {
      enginePath = argv[++i];
    } else if (std::strcmp(argv[i], "--folder") == 0 && hasValue) {
      folder = argv[++i];
    } else if (std::strcmp(argv[i], "--seconds") == 0 && hasValue) {
      seconds = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--window") == 0 && hasValue) {
      window = std::strtoull(argv[++i], nullptr, 0);
    } else if (std::strcmp(argv[i], "--quiet") == 0) {
      g_quiet = true;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--engine PATH] [--folder DIR] [--seconds N] [--window ID] "
                   "[--quiet]\n",
                   argv[0]);
      return 2;
    }
  }
  std::setlocale(LC_ALL, "");  // paths in the user's encoding

  // A real display: record its screen, unless a window was named.
  const std::uintptr_t root = DisplayRootWindow();
  const bool captureScreen = root != 0 && window == 0;
  if (captureScreen) window = root;
  if (window == 0) window = 0x1001;

  void* library = dlopen(enginePath, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "demo: cannot load the engine: %s\n", dlerror());
    return 1;
  }
  Engine engine;
  const bool resolved =
      Resolve(library, "Tallowmarch_SetLogCallback", engine.setLogCallback) &&
      Resolve(library, "Tallowmarch_GlobalInitialize", engine.globalInitialize) &&
      Resolve(library, "Tallowmarch_GlobalShutdown", engine.globalShutdown) &&
      Resolve(library, "Tallowmarch_GetAppVersion", engine.getAppVersion) &&
      Resolve(library, "Tallowmarch_HasHardwareEncoder", engine.hasHardwareEncoder) &&
      Resolve(library, "Tallowmarch_EnumerateAudioDevices", engine.enumerateAudioDevices) &&
      Resolve(library, "Tallowmarch_StartCapture", engine.startCapture) &&
      Resolve(library, "Tallowmarch_StopCapture", engine.stopCapture) &&
      Resolve(library, "Tallowmarch_SaveClipNow", engine.saveClipNow);
  if (!resolved) return 1;

  bool realSound = false;
  if (root != 0) {
    // The simulation library records the real display (and, with a sound server, the real
    // sound) once switched to them; the product library has no such switch and needs none.
    using UseRealLayer = void (*)();
    if (auto useRealDisplay = reinterpret_cast<UseRealLayer>(
            dlsym(library, "_ZN11tallowmarch3sim14UseRealDisplayEv"))) {
      useRealDisplay();
    }
    if (auto useRealSound =
            reinterpret_cast<UseRealLayer>(dlsym(library, "_ZN11tallowmarch3sim12UseRealSoundEv"));
        useRealSound != nullptr && SoundServerReachable()) {
      useRealSound();
      realSound = true;
    }
  }
  std::printf("engine: %s\n", enginePath);
  if (root != 0) std::printf("display: %s\n", std::getenv("DISPLAY"));
  if (realSound) std::printf("sound: the PulseAudio server\n");
  std::printf("version: %s\n", engine.getAppVersion());
  engine.setLogCallback(&PrintLogLine);
  const int init = engine.globalInitialize();
  if (init != TALLOWMARCH_OK) {
    std::fprintf(stderr, "demo: initialisation failed with %d\n", init);
    return 1;
  }
  std::printf("hardware H.264 encoder: %s\n", engine.hasHardwareEncoder() ? "yes" : "no");
  std::printf("playback devices:\n");
  engine.enumerateAudioDevices(false, &PrintDevice);
  std::printf("microphones:\n");
  engine.enumerateAudioDevices(true, &PrintDevice);

  int exitCode = 0;
  const int started = engine.startCapture(reinterpret_cast<HWND>(window), captureScreen,
                                          captureScreen ? 1080 : 0, 30, 0, 0);
  if (started != TALLOWMARCH_OK) {
    std::fprintf(stderr, "demo: capture start failed with %d%s\n", started,
                 started == TALLOWMARCH_NO_HARDWARE_ENCODER
                     ? " (this engine needs a hardware H.264 encoder; the default simulation "
                       "library records without one)"
                     : "");
    exitCode = 1;
  } else {
    if (captureScreen) {
      std::printf("recording the screen for %d s...\n", seconds);
    } else {
      std::printf("recording window 0x%llx for %d s...\n", static_cast<unsigned long long>(window),
                  seconds);
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    wchar_t path[4096];
    const int saved = engine.saveClipNow(Widen(folder).c_str(), path, 4096);
    engine.stopCapture();
    if (saved != TALLOWMARCH_OK) {
      std::fprintf(stderr, "demo: the save failed with %d (see the engine's log)\n", saved);
      exitCode = 1;
    } else {
      const std::string narrowPath = Narrow(path);
      std::printf("clip: %s\n", narrowPath.c_str());
      std::printf("summary: %s\n", DescribeClip(narrowPath).c_str());
    }
  }
  engine.globalShutdown();
  engine.setLogCallback(nullptr);
  dlclose(library);
  return exitCode;
}
