#include "media/linux_media.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace tallowmarch::platform {
namespace {

// The few VA-API entry points and constants the probe needs, loaded at run time so that the
// engine runs on machines without libva.
using VADisplay = void*;
using VAStatus = int;
constexpr VAStatus kVaSuccess = 0;
constexpr int kVaProfileH264Main = 6;
constexpr int kVaProfileH264High = 7;
constexpr int kVaProfileH264ConstrainedBaseline = 13;
constexpr int kVaEntrypointEncSlice = 6;
constexpr int kVaEntrypointEncSliceLP = 8;

struct VaApi {
  void* va = nullptr;
  void* vaDrm = nullptr;
  VADisplay (*getDisplayDrm)(int) = nullptr;
  VAStatus (*initialize)(VADisplay, int*, int*) = nullptr;
  VAStatus (*terminate)(VADisplay) = nullptr;
  int (*maxNumEntrypoints)(VADisplay) = nullptr;
  VAStatus (*queryConfigEntrypoints)(VADisplay, int, int*, int*) = nullptr;

  bool Load() {
    va = dlopen("libva.so.2", RTLD_NOW | RTLD_LOCAL);
    vaDrm = dlopen("libva-drm.so.2", RTLD_NOW | RTLD_LOCAL);
    if (va == nullptr || vaDrm == nullptr) return false;
    getDisplayDrm = reinterpret_cast<decltype(getDisplayDrm)>(dlsym(vaDrm, "vaGetDisplayDRM"));
    initialize = reinterpret_cast<decltype(initialize)>(dlsym(va, "vaInitialize"));
    terminate = reinterpret_cast<decltype(terminate)>(dlsym(va, "vaTerminate"));
    maxNumEntrypoints =
        reinterpret_cast<decltype(maxNumEntrypoints)>(dlsym(va, "vaMaxNumEntrypoints"));
    queryConfigEntrypoints =
        reinterpret_cast<decltype(queryConfigEntrypoints)>(dlsym(va, "vaQueryConfigEntrypoints"));
    return getDisplayDrm && initialize && terminate && maxNumEntrypoints && queryConfigEntrypoints;
  }
  ~VaApi() {
    if (vaDrm != nullptr) dlclose(vaDrm);
    if (va != nullptr) dlclose(va);
  }
};

bool NodeEncodesH264(VaApi& api, const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  bool found = false;
  if (VADisplay display = api.getDisplayDrm(fd)) {
    int major = 0, minor = 0;
    if (api.initialize(display, &major, &minor) == kVaSuccess) {
      const int capacity = std::max(api.maxNumEntrypoints(display), 1);
      std::vector<int> entrypoints(static_cast<size_t>(capacity));
      for (int profile :
           {kVaProfileH264ConstrainedBaseline, kVaProfileH264Main, kVaProfileH264High}) {
        int count = 0;
        if (api.queryConfigEntrypoints(display, profile, entrypoints.data(), &count) !=
            kVaSuccess) {
          continue;
        }
        for (int i = 0; i < count && i < capacity; ++i) {
          if (entrypoints[i] == kVaEntrypointEncSlice || entrypoints[i] == kVaEntrypointEncSliceLP)
            found = true;
        }
      }
      api.terminate(display);
    }
  }
  close(fd);
  return found;
}

}  // namespace

std::vector<std::string> ListVaapiH264EncodeNodes() {
  std::vector<std::string> nodes;
  DIR* dir = opendir("/dev/dri");
  if (dir == nullptr) return nodes;
  while (const dirent* entry = readdir(dir)) {
    if (std::string(entry->d_name).rfind("renderD", 0) == 0)
      nodes.push_back(std::string("/dev/dri/") + entry->d_name);
  }
  closedir(dir);
  if (nodes.empty()) return nodes;
  std::sort(nodes.begin(), nodes.end());
  VaApi api;
  if (!api.Load()) return {};
  std::erase_if(nodes, [&](const std::string& node) { return !NodeEncodesH264(api, node); });
  return nodes;
}

bool NvencPresent() {
  if (access("/dev/nvidiactl", F_OK) != 0) return false;
  void* library = dlopen("libnvidia-encode.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return false;
  dlclose(library);
  return true;
}

HRESULT LinuxMedia::Startup(std::uint32_t, std::uint32_t) {
  return S_OK;
}

HRESULT LinuxMedia::Shutdown() {
  return S_OK;
}

HRESULT LinuxMedia::EnumHardwareH264Encoders(std::uint32_t, std::vector<EncoderActivation>& out) {
  out.clear();
  // Both kinds take GPU-resident surfaces on the systems they come from, so both declare
  // themselves Direct3D 11 aware the way their Windows transforms do.
  if (NvencPresent()) out.push_back({"NVIDIA H.264 Encoder (NVENC)", S_OK, 1});
  for (const std::string& node : ListVaapiH264EncodeNodes())
    out.push_back({"VA-API H.264 Encoder (" + node + ")", S_OK, 1});
  return S_OK;
}

}  // namespace tallowmarch::platform
