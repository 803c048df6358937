// The GPU layer on linux: the CPU-backed device on one hardware adapter, "CPU video". Its
// outputs are the monitors of the display; until the X11 layer installs an output provider the
// adapter lists none, and every capture target falls back to it (it is the only adapter).
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "common/export.h"
#include "gpu/gpu.h"

namespace tallowmarch::platform {

class TM_EXPORT LinuxGpu : public GpuLayer {
 public:
  using OutputProvider = std::function<std::vector<OutputDesc>()>;

  HRESULT CreateFactory(std::shared_ptr<GpuFactory>& out) override;
  HRESULT CreateDevice(const std::shared_ptr<GpuAdapter>& adapter, DriverType driverType,
                       std::uint32_t flags, const std::uint32_t* featureLevels,
                       std::uint32_t featureLevelCount, std::uint32_t sdkVersion,
                       std::shared_ptr<GpuDevice>& out, std::uint32_t* chosenLevel) override;

  // The display layer lists its monitors through this (called at every factory creation).
  void SetOutputProvider(OutputProvider provider);

 private:
  std::mutex mutex_;  // guards provider_
  OutputProvider provider_;
};

}  // namespace tallowmarch::platform
