// Finding the adapter that drives the target's monitor and creating the device on it, over the
// sim's scripted topologies.

#include "gpu_setup.h"

#include <gtest/gtest.h>

#include "gpu/sim_gpu.h"
#include "gpu_test_support.h"
#include "hresult_error.h"
#include "sim_platform.h"

namespace tallowmarch {
namespace {

using platform::AdapterSpec;
using platform::OutputSpec;
using platform::SimMonitorHandle;

constexpr const wchar_t* kFallbackLine =
    L"Couldn't find which adapter owns the capture target's monitor - falling back to the first "
    L"available adapter. Capture/encode may fail if this isn't the same adapter actually driving "
    L"that display.";

OutputSpec Output(std::uintptr_t monitor) {
  OutputSpec o;
  o.desc.monitor = SimMonitorHandle(monitor);
  return o;
}

AdapterSpec Adapter(const wchar_t* name, std::vector<OutputSpec> outputs, bool software = false) {
  AdapterSpec a;
  a.desc.description = name;
  a.desc.flags = software ? platform::kAdapterFlagSoftware : 0;
  a.outputs = std::move(outputs);
  return a;
}

std::wstring NameOf(const std::shared_ptr<platform::GpuAdapter>& adapter) {
  platform::AdapterDesc desc;
  if (!adapter || FAILED(adapter->GetDesc1(desc))) return L"(none)";
  return desc.description;
}

class FindAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::ResetAll(); }
  void TearDown() override { sim::ResetAll(); }

  std::wstring Find(std::vector<AdapterSpec> topology, std::uintptr_t monitor) {
    sim::Gpu().SetTopology(std::move(topology));
    return NameOf(FindAdapterForMonitor(SimMonitorHandle(monitor), log.Sink()));
  }

  testing::LineLog log;
};

TEST_F(FindAdapterTest, TheAdapterDrivingTheMonitorWinsWithoutALine) {
  const std::vector<AdapterSpec> two = {Adapter(L"first", {Output(1)}),
                                        Adapter(L"second", {Output(2), Output(3)})};
  EXPECT_EQ(Find(two, 3), L"second");
  EXPECT_EQ(Find(two, 1), L"first");
  EXPECT_TRUE(log.Lines().empty());
  // Enumeration order decides between two adapters listing the same monitor.
  EXPECT_EQ(Find({Adapter(L"a", {Output(5)}), Adapter(L"b", {Output(5)})}, 5), L"a");
}

TEST_F(FindAdapterTest, AnUnlistedMonitorFallsBackToTheFirstHardwareAdapterOnce) {
  EXPECT_EQ(Find({Adapter(L"soft", {Output(9)}, true), Adapter(L"hw1", {Output(1)}),
                  Adapter(L"hw2", {Output(2)})},
                 9),
            L"hw1");
  EXPECT_EQ(log.Lines(), std::vector<std::wstring>{kFallbackLine});
}

TEST_F(FindAdapterTest, OnlySoftwareOrNoAdaptersGiveNothingAndNoLine) {
  EXPECT_EQ(Find({Adapter(L"soft", {Output(1)}, true)}, 1), L"(none)");
  EXPECT_EQ(Find({}, 1), L"(none)");
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(FindAdapterTest, UnreadableAdaptersAndFailingOutputsAreSkipped) {
  AdapterSpec unreadable = Adapter(L"unreadable", {Output(1)});
  unreadable.descResult = E_FAIL;
  // The unreadable adapter is neither searched nor a fallback.
  EXPECT_EQ(Find({unreadable, Adapter(L"hw", {})}, 1), L"hw");
  EXPECT_EQ(log.Lines(), std::vector<std::wstring>{kFallbackLine});
  log.Clear();

  OutputSpec failing = Output(2);
  failing.enumResult = E_FAIL;
  OutputSpec undescribed = Output(2);
  undescribed.descResult = E_FAIL;
  // Index 0 fails to enumerate and index 1 to describe; index 2 is still tried.
  EXPECT_EQ(Find({Adapter(L"first", {}), Adapter(L"second", {failing, undescribed, Output(2)})}, 2),
            L"second");
  EXPECT_TRUE(log.Lines().empty());
  // With only broken outputs listing it, the monitor is not found.
  EXPECT_EQ(Find({Adapter(L"first", {}), Adapter(L"second", {failing, undescribed})}, 2), L"first");
  EXPECT_EQ(log.Lines(), std::vector<std::wstring>{kFallbackLine});
}

TEST_F(FindAdapterTest, FactoryAndAdapterEnumerationFailuresRaise) {
  sim::Gpu().Faults().Fail(platform::GpuCall::CreateFactory, E_OUTOFMEMORY, 1);
  try {
    FindAdapterForMonitor(SimMonitorHandle(1), log.Sink());
    FAIL() << "no error raised";
  } catch (const hresult_error& e) {
    EXPECT_EQ(e.code(), E_OUTOFMEMORY);
  }
  AdapterSpec broken = Adapter(L"broken", {Output(1)});
  broken.enumResult = DXGI_ERROR_DRIVER_INTERNAL_ERROR;
  sim::Gpu().SetTopology({Adapter(L"hw", {}), broken});
  try {
    FindAdapterForMonitor(SimMonitorHandle(1), log.Sink());
    FAIL() << "no error raised";
  } catch (const hresult_error& e) {
    EXPECT_EQ(e.code(), DXGI_ERROR_DRIVER_INTERNAL_ERROR);
  }
  EXPECT_TRUE(log.Lines().empty());
}

TEST(CreateDeviceTest, AsksForBgraSupportOnTheAdapterOrTheDefaultHardware) {
  sim::ResetAll();
  auto device = CreateD3D11Device(nullptr);
  ASSERT_NE(device, nullptr);
  auto request = sim::Gpu().LastDeviceRequest();
  EXPECT_FALSE(request.hadAdapter);
  EXPECT_EQ(request.driverType, platform::DriverType::Hardware);
  EXPECT_EQ(request.flags, platform::kCreateDeviceBgraSupport);
  EXPECT_FALSE(request.featureLevelsGiven);
  EXPECT_EQ(request.featureLevelCount, 0u);
  EXPECT_EQ(request.sdkVersion, 7u);

  auto adapter = FindAdapterForMonitor(SimMonitorHandle(1), {});
  ASSERT_NE(adapter, nullptr);
  device = CreateD3D11Device(adapter);
  request = sim::Gpu().LastDeviceRequest();
  EXPECT_TRUE(request.hadAdapter);
  EXPECT_EQ(request.adapterDescription, L"Sim GPU");
  EXPECT_EQ(request.driverType, platform::DriverType::Unknown);

  sim::Gpu().Faults().Fail(platform::GpuCall::CreateDevice, DXGI_ERROR_UNSUPPORTED, 1);
  try {
    CreateD3D11Device(adapter);
    FAIL() << "no error raised";
  } catch (const hresult_error& e) {
    EXPECT_EQ(e.code(), DXGI_ERROR_UNSUPPORTED);
  }
  sim::ResetAll();
}

}  // namespace
}  // namespace tallowmarch
