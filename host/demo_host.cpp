// The demo host: loads the engine as a host application would (dlopen), routes its log to
// standard output, initialises it, lists the audio devices, prints the version and whether a
// hardware H.264 encoder is present, and shuts it down.
//
// Usage: tallowmarch_demo [--engine PATH]

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "tallowmarch/core.h"

namespace {

struct Engine {
  decltype(&Tallowmarch_SetLogCallback) setLogCallback = nullptr;
  decltype(&Tallowmarch_GlobalInitialize) globalInitialize = nullptr;
  decltype(&Tallowmarch_GlobalShutdown) globalShutdown = nullptr;
  decltype(&Tallowmarch_GetAppVersion) getAppVersion = nullptr;
  decltype(&Tallowmarch_HasHardwareEncoder) hasHardwareEncoder = nullptr;
  decltype(&Tallowmarch_EnumerateAudioDevices) enumerateAudioDevices = nullptr;
};

template <typename Fn>
bool Resolve(void* library, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(dlsym(library, name));
  if (out == nullptr) std::fprintf(stderr, "demo: the engine lacks %s\n", name);
  return out != nullptr;
}

void PrintLogLine(const wchar_t* line) { std::printf("[engine] %ls\n", line); }

void PrintDevice(const wchar_t* id, const wchar_t* name, bool isDefault) {
  std::printf("  %ls%s\n    id: %ls\n", name, isDefault ? "  (default)" : "", id);
}

}  // namespace

int main(int argc, char** argv) {
  const char* enginePath = TALLOWMARCH_DEFAULT_ENGINE;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--engine") == 0 && i + 1 < argc) {
      enginePath = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--engine PATH]\n", argv[0]);
      return 2;
    }
  }

  void* library = dlopen(enginePath, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "demo: cannot load the engine: %s\n", dlerror());
    return 1;
  }
  Engine engine;
  const bool resolved = Resolve(library, "Tallowmarch_SetLogCallback", engine.setLogCallback) &&
                        Resolve(library, "Tallowmarch_GlobalInitialize", engine.globalInitialize) &&
                        Resolve(library, "Tallowmarch_GlobalShutdown", engine.globalShutdown) &&
                        Resolve(library, "Tallowmarch_GetAppVersion", engine.getAppVersion) &&
                        Resolve(library, "Tallowmarch_HasHardwareEncoder",
                                engine.hasHardwareEncoder) &&
                        Resolve(library, "Tallowmarch_EnumerateAudioDevices",
                                engine.enumerateAudioDevices);
  if (!resolved) return 1;

  std::printf("engine: %s\n", enginePath);
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
  engine.globalShutdown();
  engine.setLogCallback(nullptr);
  dlclose(library);
  return 0;
}
