#include "gpu/gpu_topology.h"

namespace tallowmarch::platform {
namespace {

class TopologyOutput final : public GpuOutput {
 public:
  explicit TopologyOutput(OutputSpec spec) : spec_(std::move(spec)) {}
  HRESULT GetDesc(OutputDesc& out) override {
    if (FAILED(spec_.descResult)) return spec_.descResult;
    out = spec_.desc;
    return S_OK;
  }

 private:
  const OutputSpec spec_;
};

class TopologyAdapter final : public GpuAdapter {
 public:
  explicit TopologyAdapter(AdapterSpec spec) : spec(std::move(spec)) {}
  HRESULT GetDesc1(AdapterDesc& out) override {
    if (FAILED(spec.descResult)) return spec.descResult;
    out = spec.desc;
    return S_OK;
  }
  HRESULT EnumOutputs(std::uint32_t index, std::shared_ptr<GpuOutput>& out) override {
    out.reset();
    if (index >= spec.outputs.size()) return DXGI_ERROR_NOT_FOUND;
    const OutputSpec& output = spec.outputs[index];
    if (FAILED(output.enumResult)) return output.enumResult;
    out = std::make_shared<TopologyOutput>(output);
    return S_OK;
  }

  const AdapterSpec spec;
};

class TopologyFactory final : public GpuFactory {
 public:
  explicit TopologyFactory(std::vector<AdapterSpec> adapters) : adapters_(std::move(adapters)) {}
  HRESULT EnumAdapters1(std::uint32_t index, std::shared_ptr<GpuAdapter>& out) override {
    out.reset();
    if (index >= adapters_.size()) return DXGI_ERROR_NOT_FOUND;
    const AdapterSpec& adapter = adapters_[index];
    if (FAILED(adapter.enumResult)) return adapter.enumResult;
    out = std::make_shared<TopologyAdapter>(adapter);
    return S_OK;
  }

 private:
  const std::vector<AdapterSpec> adapters_;
};

}  // namespace

std::shared_ptr<GpuFactory> CreateTopologyFactory(std::vector<AdapterSpec> adapters) {
  return std::make_shared<TopologyFactory>(std::move(adapters));
}

const AdapterSpec* TopologyAdapterSpec(const std::shared_ptr<GpuAdapter>& adapter) {
  auto* a = dynamic_cast<TopologyAdapter*>(adapter.get());
  return a != nullptr ? &a->spec : nullptr;
}

}  // namespace tallowmarch::platform
