#include "gpu_setup.h"

#include <vector>

#include "capture/capture.h"
#include "hresult_error.h"
#include "media/media.h"
#include "platform.h"

namespace tallowmarch {

namespace {
constexpr const wchar_t* kAdapterFallbackLine =
    L"Couldn't find which adapter owns the capture target's monitor - falling back to the first "
    L"available adapter. Capture/encode may fail if this isn't the same adapter actually driving "
    L"that display.";
}  // namespace

std::shared_ptr<platform::GpuAdapter> FindAdapterForMonitor(HMONITOR monitor, const LogSink& sink) {
  std::shared_ptr<platform::GpuFactory> factory;
  ThrowIfFailed(platform::Gpu().CreateFactory(factory));

  std::shared_ptr<platform::GpuAdapter> fallback;
  for (std::uint32_t i = 0;; ++i) {
    std::shared_ptr<platform::GpuAdapter> adapter;
    const HRESULT hr = factory->EnumAdapters1(i, adapter);
    if (hr == DXGI_ERROR_NOT_FOUND) break;
    ThrowIfFailed(hr);

    platform::AdapterDesc desc;
    if (FAILED(adapter->GetDesc1(desc))) continue;
    if ((desc.flags & platform::kAdapterFlagSoftware) != 0) continue;
    if (!fallback) fallback = adapter;

    for (std::uint32_t j = 0;; ++j) {
      std::shared_ptr<platform::GpuOutput> output;
      const HRESULT outputResult = adapter->EnumOutputs(j, output);
      if (outputResult == DXGI_ERROR_NOT_FOUND) break;
      if (FAILED(outputResult)) continue;  // only this index is skipped
      platform::OutputDesc outputDesc;
      if (SUCCEEDED(output->GetDesc(outputDesc)) && outputDesc.monitor == monitor) {
        return adapter;
      }
    }
  }
  if (fallback) LogF(sink, L"%ls", kAdapterFallbackLine);
  return fallback;
}

std::shared_ptr<platform::GpuDevice> CreateD3D11Device(
    const std::shared_ptr<platform::GpuAdapter>& adapter) {
  std::shared_ptr<platform::GpuDevice> device;
  std::uint32_t chosenLevel = 0;  // received, not used
  ThrowIfFailed(platform::Gpu().CreateDevice(
      adapter, adapter ? platform::DriverType::Unknown : platform::DriverType::Hardware,
      platform::kCreateDeviceBgraSupport, nullptr, 0, platform::kSdkVersion, device, &chosenLevel));
  return device;
}

bool HasHardwareH264Encoder() {
  std::vector<platform::EncoderActivation> encoders;
  const HRESULT hr =
      platform::Media().EnumHardwareH264Encoders(platform::kMftEnumHardwareSorted, encoders);
  return SUCCEEDED(hr) && !encoders.empty();
}

bool IsHardwareEncoderD3D11Aware() {
  std::vector<platform::EncoderActivation> encoders;
  const HRESULT hr =
      platform::Media().EnumHardwareH264Encoders(platform::kMftEnumHardwareSorted, encoders);
  if (FAILED(hr)) return false;
  bool aware = false;
  for (const platform::EncoderActivation& encoder : encoders) {
    const std::uint32_t value = SUCCEEDED(encoder.d3d11AwareResult) ? encoder.d3d11Aware : 0;
    if (value != 0) aware = true;
  }
  return aware;
}

}  // namespace tallowmarch

namespace tallowmarch {

std::shared_ptr<platform::Direct3DDevice> CreateDirect3DDevice(
    const std::shared_ptr<platform::GpuDevice>& device) {
  std::shared_ptr<platform::Direct3DDevice> out;
  ThrowIfFailed(platform::Capture().CreateDirect3DDevice(device, out));
  return out;
}

std::shared_ptr<platform::CaptureItem> CreateItemForWindow(HWND window) {
  std::shared_ptr<platform::CaptureItem> item;
  ThrowIfFailed(platform::Capture().CreateItemForWindow(window, item));
  return item;
}

std::shared_ptr<platform::CaptureItem> CreateItemForMonitor(HMONITOR monitor) {
  std::shared_ptr<platform::CaptureItem> item;
  ThrowIfFailed(platform::Capture().CreateItemForMonitor(monitor, item));
  return item;
}

platform::TexturePtr TextureFromSurface(platform::CaptureFrame& frame) {
  std::shared_ptr<platform::Direct3DSurface> surface;
  ThrowIfFailed(frame.Surface(surface));
  platform::TexturePtr texture;
  ThrowIfFailed(surface->GetTexture(texture));
  return texture;
}

}  // namespace tallowmarch
