// Adapters and outputs described as data: the DXGI factory of both layers lists them. The sim
// fills in every failure field; linux uses the defaults (nothing fails).
#pragma once

#include <memory>
#include <vector>

#include "common/export.h"
#include "gpu/gpu.h"

namespace tallowmarch::platform {

struct OutputSpec {
  OutputDesc desc;
  HRESULT enumResult = S_OK;  // EnumOutputs at this index answers this failure
  HRESULT descResult = S_OK;  // GetDesc answers this failure
};

struct AdapterSpec {
  AdapterDesc desc;
  HRESULT enumResult = S_OK;  // EnumAdapters1 at this index answers this failure
  HRESULT descResult = S_OK;  // GetDesc1 answers this failure ("unreadable description")
  std::vector<OutputSpec> outputs;
};

// A factory over a snapshot of `adapters`: later changes of the caller's list do not show.
TM_EXPORT std::shared_ptr<GpuFactory> CreateTopologyFactory(std::vector<AdapterSpec> adapters);

// The adapter's description as it was listed, or null when `adapter` did not come from a
// topology factory.
TM_EXPORT const AdapterSpec* TopologyAdapterSpec(const std::shared_ptr<GpuAdapter>& adapter);

}  // namespace tallowmarch::platform
