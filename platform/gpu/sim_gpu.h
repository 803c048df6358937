// The simulated GPU layer: the same CPU-backed device as linux, on a configurable topology
// (adapters with a software flag, unreadable descriptions, failing indices; outputs with their
// monitor handles), with scripted faults: failing calls, "still drawing" answers, a slow queue
// and device removal.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/export.h"
#include "gpu/cpu_device.h"
#include "gpu/gpu.h"
#include "gpu/gpu_topology.h"

namespace tallowmarch::platform {

// Monitor handles of the sim are the numbers 1..N.
TM_EXPORT HMONITOR SimMonitorHandle(std::uintptr_t number);

// What the last CreateDevice call was given.
struct SimDeviceRequest {
  bool hadAdapter = false;
  std::wstring adapterDescription;  // as listed (empty without an adapter)
  DriverType driverType = DriverType::Unknown;
  std::uint32_t flags = 0;
  std::uint32_t featureLevelCount = 0;
  bool featureLevelsGiven = false;
  std::uint32_t sdkVersion = 0;
};

class TM_EXPORT SimGpu : public GpuLayer {
 public:
  SimGpu();

  HRESULT CreateFactory(std::shared_ptr<GpuFactory>& out) override;
  HRESULT CreateDevice(const std::shared_ptr<GpuAdapter>& adapter, DriverType driverType,
                       std::uint32_t flags, const std::uint32_t* featureLevels,
                       std::uint32_t featureLevelCount, std::uint32_t sdkVersion,
                       std::shared_ptr<GpuDevice>& out, std::uint32_t* chosenLevel) override;

  // One hardware adapter "Sim GPU" with one 1920x1080 output on monitor 1.
  static std::vector<AdapterSpec> DefaultTopology();
  // Seen by factories created from now on.
  void SetTopology(std::vector<AdapterSpec> adapters);
  std::vector<AdapterSpec> Topology() const;

  GpuFaults& Faults() { return *faults_; }
  // Loses every device created so far (new devices work).
  void RemoveDevices(HRESULT reason);

  int DevicesCreated() const;
  SimDeviceRequest LastDeviceRequest() const;

  void Reset();

 private:
  std::shared_ptr<GpuFaults> faults_;
  mutable std::mutex mutex_;  // guards every field below
  std::vector<AdapterSpec> topology_;
  std::vector<std::weak_ptr<CpuDevice>> devices_;
  int devicesCreated_ = 0;
  SimDeviceRequest lastRequest_;
};

}  // namespace tallowmarch::platform
