#include "gpu/sim_gpu.h"

namespace tallowmarch::platform {

HMONITOR SimMonitorHandle(std::uintptr_t number) {
  return reinterpret_cast<HMONITOR>(number);
}

SimGpu::SimGpu() : faults_(std::make_shared<GpuFaults>()) {
  Reset();
}

std::vector<AdapterSpec> SimGpu::DefaultTopology() {
  AdapterSpec adapter;
  adapter.desc.description = L"Sim GPU";
  adapter.desc.vendorId = 0x1414;
  OutputSpec output;
  output.desc.deviceName = L"\\\\.\\DISPLAY1";
  output.desc.desktopCoordinates = {0, 0, 1920, 1080};
  output.desc.monitor = SimMonitorHandle(1);
  adapter.outputs.push_back(output);
  return {adapter};
}

HRESULT SimGpu::CreateFactory(std::shared_ptr<GpuFactory>& out) {
  out.reset();
  const HRESULT hr = faults_->Check(GpuCall::CreateFactory);
  if (FAILED(hr)) return hr;
  std::lock_guard lock(mutex_);
  out = CreateTopologyFactory(topology_);
  return S_OK;
}

HRESULT SimGpu::CreateDevice(const std::shared_ptr<GpuAdapter>& adapter, DriverType driverType,
                             std::uint32_t flags, const std::uint32_t* featureLevels,
                             std::uint32_t featureLevelCount, std::uint32_t sdkVersion,
                             std::shared_ptr<GpuDevice>& out, std::uint32_t* chosenLevel) {
  out.reset();
  SimDeviceRequest request;
  request.hadAdapter = adapter != nullptr;
  if (const AdapterSpec* spec = TopologyAdapterSpec(adapter)) {
    request.adapterDescription = spec->desc.description;
  }
  request.driverType = driverType;
  request.flags = flags;
  request.featureLevelsGiven = featureLevels != nullptr;
  request.featureLevelCount = featureLevelCount;
  request.sdkVersion = sdkVersion;
  {
    std::lock_guard lock(mutex_);
    lastRequest_ = request;
  }
  const HRESULT hr = faults_->Check(GpuCall::CreateDevice);
  if (FAILED(hr)) return hr;
  if ((adapter != nullptr) != (driverType == DriverType::Unknown)) return E_INVALIDARG;
  if (sdkVersion != kSdkVersion || (featureLevels == nullptr && featureLevelCount != 0)) {
    return E_INVALIDARG;
  }
  std::shared_ptr<CpuDevice> device = CpuDevice::Create(faults_);
  {
    std::lock_guard lock(mutex_);
    ++devicesCreated_;
    std::erase_if(devices_, [](const std::weak_ptr<CpuDevice>& d) { return d.expired(); });
    devices_.push_back(device);
  }
  if (chosenLevel != nullptr) *chosenLevel = kFeatureLevel11_0;
  out = std::move(device);
  return S_OK;
}

void SimGpu::SetTopology(std::vector<AdapterSpec> adapters) {
  std::lock_guard lock(mutex_);
  topology_ = std::move(adapters);
}

std::vector<AdapterSpec> SimGpu::Topology() const {
  std::lock_guard lock(mutex_);
  return topology_;
}

void SimGpu::RemoveDevices(HRESULT reason) {
  std::vector<std::shared_ptr<CpuDevice>> live;
  {
    std::lock_guard lock(mutex_);
    for (const std::weak_ptr<CpuDevice>& d : devices_) {
      if (auto device = d.lock()) live.push_back(std::move(device));
    }
  }
  for (const auto& device : live) device->MarkRemoved(reason);
}

int SimGpu::DevicesCreated() const {
  std::lock_guard lock(mutex_);
  return devicesCreated_;
}

SimDeviceRequest SimGpu::LastDeviceRequest() const {
  std::lock_guard lock(mutex_);
  return lastRequest_;
}

void SimGpu::Reset() {
  faults_->Reset();
  std::lock_guard lock(mutex_);
  topology_ = DefaultTopology();
  devices_.clear();
  devicesCreated_ = 0;
  lastRequest_ = {};
}

}  // namespace tallowmarch::platform
