#include "gpu/linux_gpu.h"

#include "gpu/cpu_device.h"
#include "gpu/gpu_topology.h"

namespace tallowmarch::platform {

HRESULT LinuxGpu::CreateFactory(std::shared_ptr<GpuFactory>& out) {
  OutputProvider provider;
  {
    std::lock_guard lock(mutex_);
    provider = provider_;
  }
  AdapterSpec adapter;
  adapter.desc.description = L"CPU video";
  adapter.desc.flags = 0;  // a hardware adapter: the engine skips software ones
  if (provider) {
    for (OutputDesc& output : provider()) adapter.outputs.push_back({std::move(output)});
  }
  out = CreateTopologyFactory({std::move(adapter)});
  return S_OK;
}

HRESULT LinuxGpu::CreateDevice(const std::shared_ptr<GpuAdapter>& adapter, DriverType driverType,
                               std::uint32_t, const std::uint32_t* featureLevels,
                               std::uint32_t featureLevelCount, std::uint32_t sdkVersion,
                               std::shared_ptr<GpuDevice>& out, std::uint32_t* chosenLevel) {
  out.reset();
  if ((adapter != nullptr) != (driverType == DriverType::Unknown)) return E_INVALIDARG;
  if (sdkVersion != kSdkVersion || (featureLevels == nullptr && featureLevelCount != 0)) {
    return E_INVALIDARG;
  }
  out = CpuDevice::Create(nullptr);
  if (chosenLevel != nullptr) *chosenLevel = kFeatureLevel11_0;
  return S_OK;
}

void LinuxGpu::SetOutputProvider(OutputProvider provider) {
  std::lock_guard lock(mutex_);
  provider_ = std::move(provider);
}

}  // namespace tallowmarch::platform
