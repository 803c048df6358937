// The CPU-backed device through the layer interface, on the sim layer (same device code as
// linux, plus faults): textures, the queue's order and references, maps, device loss, the
// video processor's conversion.

#include "gpu/cpu_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <thread>

#include "gpu/linux_gpu.h"
#include "gpu/sim_gpu.h"
#include "gpu_test_support.h"
#include "sim_platform.h"

namespace tallowmarch::platform {
namespace {

using testing::Bt709Limited;
using testing::FilledBgra;
using testing::Rgb;

class CpuDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ResetAll();
    ASSERT_EQ(sim::Gpu().CreateDevice(nullptr, DriverType::Hardware, kCreateDeviceBgraSupport,
                                      nullptr, 0, kSdkVersion, device, nullptr),
              S_OK);
    context = device->GetImmediateContext();
  }
  void TearDown() override { sim::ResetAll(); }

  TexturePtr Create(const TextureDesc& desc, const SubresourceData* data = nullptr) {
    TexturePtr texture;
    EXPECT_EQ(device->CreateTexture2D(desc, data, texture), S_OK);
    return texture;
  }

  TextureDesc BgraStaging(std::uint32_t w, std::uint32_t h) {
    TextureDesc desc = testing::BgraDesc(w, h);
    desc.usage = Usage::Staging;
    desc.cpuAccessFlags = kCpuAccessRead;
    return desc;
  }

  // First pixel of a BGRA staging texture, after waiting for the queue.
  std::uint32_t FirstPixel(const TexturePtr& staging) {
    MappedSubresource m;
    EXPECT_EQ(context->Map(staging, 0, kMapRead, 0, m), S_OK);
    std::uint32_t value = 0;
    std::memcpy(&value, m.data, 4);
    context->Unmap(staging, 0);
    return value;
  }

  std::shared_ptr<GpuDevice> device;
  std::shared_ptr<GpuContext> context;
};

TEST_F(CpuDeviceTest, TextureCreationFollowsDirect3DRules) {
  TexturePtr texture;
  TextureDesc nv12;
  nv12.format = kFormatNv12;
  nv12.bindFlags = kBindRenderTarget;
  for (auto [w, h] : {std::pair{63u, 64u}, {64u, 63u}, {1u, 1u}}) {
    nv12.width = w;
    nv12.height = h;
    EXPECT_EQ(device->CreateTexture2D(nv12, nullptr, texture), E_INVALIDARG) << w << "x" << h;
    EXPECT_EQ(texture, nullptr);
  }
  nv12.width = 64;
  nv12.height = 64;
  EXPECT_EQ(device->CreateTexture2D(nv12, nullptr, texture), S_OK);
  // Odd BGRA is fine.
  EXPECT_EQ(device->CreateTexture2D(testing::BgraDesc(63, 17), nullptr, texture), S_OK);
  TextureDesc desc;
  texture->GetDesc(desc);
  EXPECT_EQ(desc.width, 63u);
  EXPECT_EQ(desc.format, kFormatB8G8R8A8Unorm);

  TextureDesc bad = testing::BgraDesc(16, 16);
  bad.usage = Usage::Staging;  // staging without CPU access
  EXPECT_EQ(device->CreateTexture2D(bad, nullptr, texture), E_INVALIDARG);
  bad = BgraStaging(16, 16);
  bad.bindFlags = kBindRenderTarget;  // staging cannot be bound
  EXPECT_EQ(device->CreateTexture2D(bad, nullptr, texture), E_INVALIDARG);
  bad = testing::BgraDesc(16, 16);
  bad.format = 28;  // R8G8B8A8: not offered
  EXPECT_EQ(device->CreateTexture2D(bad, nullptr, texture), E_INVALIDARG);
  bad = testing::BgraDesc(0, 16);
  EXPECT_EQ(device->CreateTexture2D(bad, nullptr, texture), E_INVALIDARG);

  sim::Gpu().Faults().Fail(GpuCall::CreateTexture2D, E_OUTOFMEMORY, 1);
  EXPECT_EQ(device->CreateTexture2D(testing::BgraDesc(16, 16), nullptr, texture), E_OUTOFMEMORY);
  EXPECT_EQ(device->CreateTexture2D(testing::BgraDesc(16, 16), nullptr, texture), S_OK);
}

TEST_F(CpuDeviceTest, CommandsRunInIssueOrderAndHoldTheirTextures) {
  // A slow queue, so that everything below is issued before anything runs.
  sim::Gpu().Faults().SetCommandDelay(std::chrono::milliseconds(20));
  TexturePtr source = Create(testing::BgraDesc(8, 8));
  TexturePtr first = Create(BgraStaging(8, 8));
  TexturePtr second = Create(BgraStaging(8, 8));
  TexturePtr third = Create(BgraStaging(8, 8));
  const auto red = FilledBgra(8, 8, {255, 0, 0});
  const auto blue = FilledBgra(8, 8, {0, 0, 255});
  context->UpdateSubresource(source, 0, red.data(), 8 * 4);
  context->CopyResource(first, source);
  context->UpdateSubresource(source, 0, blue.data(), 8 * 4);
  context->CopyResource(second, source);
  {
    // Dropped right after the copy is issued, as a captured frame is.
    const auto green = FilledBgra(8, 8, {0, 255, 0});
    TexturePtr transient = Create(testing::BgraDesc(8, 8));
    context->UpdateSubresource(transient, 0, green.data(), 8 * 4);
    context->CopyResource(third, transient);
  }
  EXPECT_EQ(FirstPixel(first), 0xFFFF0000u);  // A R G B as a little-endian BGRA word
  EXPECT_EQ(FirstPixel(second), 0xFF0000FFu);
  EXPECT_EQ(FirstPixel(third), 0xFF00FF00u);
}

TEST_F(CpuDeviceTest, ProducersThatOutrunTheQueueWaitInsteadOfQueueingWithoutEnd) {
  // A slow GPU and a producer that copies a fresh captured frame each time, as the frame-arrived
  // handler does: the queue holds every frame it has not copied yet, and must not hold them all.
  sim::Gpu().Faults().SetCommandDelay(std::chrono::milliseconds(5));
  const TexturePtr shared = Create(testing::BgraDesc(8, 8));
  std::vector<std::weak_ptr<GpuTexture>> frames;
  std::size_t mostHeld = 0;
  for (int i = 0; i < 48; ++i) {
    TexturePtr frame = Create(testing::BgraDesc(8, 8));
    frames.push_back(frame);
    context->CopyResource(shared, frame);
    frame.reset();
    mostHeld = std::max<std::size_t>(
        mostHeld,
        std::count_if(frames.begin(), frames.end(), [](const auto& f) { return !f.expired(); }));
  }
  EXPECT_LE(mostHeld, 20u);  // unbounded, nearly all 48 would wait in the queue
  context->WaitIdle();
  for (const auto& f : frames) EXPECT_TRUE(f.expired());
}

TEST_F(CpuDeviceTest, CopiesBetweenUnlikeTexturesDoNothing) {
  const auto white = FilledBgra(8, 8, {255, 255, 255});
  SubresourceData data{white.data(), 8 * 4};
  TexturePtr source = Create(testing::BgraDesc(8, 8), &data);
  TexturePtr smaller = Create(BgraStaging(4, 4));
  context->CopyResource(smaller, source);
  context->CopyResource(source, source);
  EXPECT_EQ(FirstPixel(smaller), 0u);  // new textures are zero
  TexturePtr same = Create(BgraStaging(8, 8));
  context->CopyResource(same, source);
  EXPECT_EQ(FirstPixel(same), 0xFFFFFFFFu);
}

TEST_F(CpuDeviceTest, ACopyKeepsItsBytesWhicheverSideIsWrittenAfterIt) {
  // Copies share memory until one side is written: every write must leave the other side as
  // the copy made it, whether the write is an upload, a copy into it or a CPU mapping.
  const auto red = FilledBgra(8, 8, {255, 0, 0});
  const auto blue = FilledBgra(8, 8, {0, 0, 255});
  const auto green = FilledBgra(8, 8, {0, 255, 0});
  TexturePtr source = Create(testing::BgraDesc(8, 8));
  TexturePtr copy = Create(testing::BgraDesc(8, 8));
  TexturePtr readback = Create(BgraStaging(8, 8));
  auto read = [&](const TexturePtr& t) {
    context->CopyResource(readback, t);
    return FirstPixel(readback);
  };
  context->UpdateSubresource(source, 0, red.data(), 8 * 4);
  context->CopyResource(copy, source);
  context->UpdateSubresource(source, 0, blue.data(), 8 * 4);  // the source is written
  EXPECT_EQ(read(copy), 0xFFFF0000u);
  EXPECT_EQ(read(source), 0xFF0000FFu);
  context->UpdateSubresource(copy, 0, green.data(), 8 * 4);  // the copy is written
  EXPECT_EQ(read(source), 0xFF0000FFu);
  EXPECT_EQ(read(copy), 0xFF00FF00u);

  // A CPU write into a staging texture whose bytes a copy shares.
  TextureDesc writable = BgraStaging(8, 8);
  writable.cpuAccessFlags = kCpuAccessRead | kCpuAccessWrite;
  TexturePtr cpu = Create(writable);
  context->CopyResource(cpu, source);
  context->CopyResource(copy, cpu);
  MappedSubresource m;
  ASSERT_EQ(context->Map(cpu, 0, kMapWrite, 0, m), S_OK);
  std::memcpy(m.data, green.data(), 4);
  context->Unmap(cpu, 0);
  EXPECT_EQ(read(copy), 0xFF0000FFu);
  EXPECT_EQ(read(cpu), 0xFF00FF00u);

  // Bytes kept from a read mapping stay as they were after the Unmap, while the texture is
  // copied into again.
  context->CopyResource(readback, source);
  ASSERT_EQ(context->Map(readback, 0, kMapRead, 0, m), S_OK);
  const std::shared_ptr<const void> kept = m.keepAlive;
  const void* keptBytes = m.data;
  context->Unmap(readback, 0);
  ASSERT_NE(kept, nullptr);
  context->CopyResource(readback, cpu);
  EXPECT_EQ(FirstPixel(readback), 0xFF00FF00u);
  std::uint32_t first = 0;
  std::memcpy(&first, keptBytes, 4);
  EXPECT_EQ(first, 0xFF0000FFu);
}

TEST_F(CpuDeviceTest, SpareBlocksGoWhenIdleOrOnceTheirSizeIsOutOfUse) {
  auto& cpu = static_cast<CpuDevice&>(*device);
  const TexturePtr other = Create(BgraStaging(32, 32));  // in use throughout
  FirstPixel(other);
  std::vector<TexturePtr> textures(4);
  for (TexturePtr& t : textures) FirstPixel(t = Create(BgraStaging(64, 64)));
  textures.resize(1);  // three spares, kept while the size is in use
  EXPECT_EQ(cpu.HeldMemory().blocks, 5u);
  std::this_thread::sleep_for(std::chrono::milliseconds(5500));
  FirstPixel(Create(BgraStaging(64, 64)));  // one given back again: the idle ones go
  EXPECT_EQ(cpu.HeldMemory().blocks, 3u);
  textures.clear();  // out of use: its spares wait until a block of another size is mapped
  EXPECT_EQ(cpu.HeldMemory().blocks, 3u);
  FirstPixel(Create(BgraStaging(16, 16)));
  EXPECT_EQ(cpu.HeldMemory().blocks, 2u);
}

TEST_F(CpuDeviceTest, MapAnswersStillDrawingUntilTheWritesHaveRun) {
  TexturePtr source = Create(testing::BgraDesc(16, 16));
  TexturePtr staging = Create(BgraStaging(16, 16));
  MappedSubresource m;
  // Only staging textures with CPU read access map for reading.
  EXPECT_EQ(context->Map(source, 0, kMapRead, 0, m), E_INVALIDARG);
  EXPECT_EQ(context->Map(staging, 1, kMapRead, 0, m), E_INVALIDARG);
  EXPECT_EQ(context->Map(staging, 0, kMapWrite, 0, m), E_INVALIDARG);

  sim::Gpu().Faults().SetCommandDelay(std::chrono::milliseconds(100));
  context->CopyResource(staging, source);
  EXPECT_EQ(context->Map(staging, 0, kMapRead, kMapFlagDoNotWait, m), DXGI_ERROR_WAS_STILL_DRAWING);
  EXPECT_EQ(m.data, nullptr);
  context->WaitIdle();
  sim::Gpu().Faults().SetCommandDelay(std::chrono::microseconds(0));
  ASSERT_EQ(context->Map(staging, 0, kMapRead, kMapFlagDoNotWait, m), S_OK);
  EXPECT_NE(m.data, nullptr);
  EXPECT_GE(m.rowPitch, 16u * 4);
  MappedSubresource again;
  EXPECT_TRUE(FAILED(context->Map(staging, 0, kMapRead, 0, again)));  // already mapped
  context->Unmap(staging, 0);

  // Scripted answers: exactly N, then the real state.
  sim::Gpu().Faults().AddStillDrawingAnswers(2);
  EXPECT_EQ(context->Map(staging, 0, kMapRead, kMapFlagDoNotWait, m), DXGI_ERROR_WAS_STILL_DRAWING);
  EXPECT_EQ(context->Map(staging, 0, kMapRead, kMapFlagDoNotWait, m), DXGI_ERROR_WAS_STILL_DRAWING);
  EXPECT_EQ(context->Map(staging, 0, kMapRead, kMapFlagDoNotWait, m), S_OK);
  context->Unmap(staging, 0);
}

TEST_F(CpuDeviceTest, ALostDeviceStaysLostAndNewDevicesWork) {
  TexturePtr staging = Create(BgraStaging(16, 16));
  EXPECT_EQ(device->GetDeviceRemovedReason(), S_OK);
  sim::Gpu().RemoveDevices(DXGI_ERROR_DEVICE_HUNG);
  EXPECT_EQ(device->GetDeviceRemovedReason(), DXGI_ERROR_DEVICE_HUNG);
  sim::Gpu().RemoveDevices(DXGI_ERROR_DEVICE_RESET);  // the first reason stays
  EXPECT_EQ(device->GetDeviceRemovedReason(), DXGI_ERROR_DEVICE_HUNG);
  TexturePtr texture;
  EXPECT_EQ(device->CreateTexture2D(testing::BgraDesc(8, 8), nullptr, texture),
            DXGI_ERROR_DEVICE_HUNG);
  MappedSubresource m;
  EXPECT_EQ(context->Map(staging, 0, kMapRead, kMapFlagDoNotWait, m), DXGI_ERROR_DEVICE_REMOVED);

  std::shared_ptr<GpuDevice> fresh;
  ASSERT_EQ(sim::Gpu().CreateDevice(nullptr, DriverType::Hardware, 0, nullptr, 0, kSdkVersion,
                                    fresh, nullptr),
            S_OK);
  EXPECT_EQ(fresh->GetDeviceRemovedReason(), S_OK);
  EXPECT_EQ(sim::Gpu().DevicesCreated(), 2);
}

TEST_F(CpuDeviceTest, DeviceCreationChecksItsArguments) {
  std::shared_ptr<GpuFactory> factory;
  ASSERT_EQ(sim::Gpu().CreateFactory(factory), S_OK);
  std::shared_ptr<GpuAdapter> adapter;
  ASSERT_EQ(factory->EnumAdapters1(0, adapter), S_OK);
  std::shared_ptr<GpuDevice> out;
  std::uint32_t level = 0;
  EXPECT_EQ(sim::Gpu().CreateDevice(adapter, DriverType::Hardware, 0, nullptr, 0, kSdkVersion, out,
                                    nullptr),
            E_INVALIDARG);
  EXPECT_EQ(sim::Gpu().CreateDevice(nullptr, DriverType::Unknown, 0, nullptr, 0, kSdkVersion, out,
                                    nullptr),
            E_INVALIDARG);
  EXPECT_EQ(sim::Gpu().CreateDevice(adapter, DriverType::Unknown, 0, nullptr, 0, kSdkVersion, out,
                                    &level),
            S_OK);
  EXPECT_EQ(level, kFeatureLevel11_0);

  // linux: one hardware adapter, "CPU video", whose outputs come from the display layer.
  LinuxGpu gpu;
  ASSERT_EQ(gpu.CreateFactory(factory), S_OK);
  ASSERT_EQ(factory->EnumAdapters1(0, adapter), S_OK);
  AdapterDesc desc;
  ASSERT_EQ(adapter->GetDesc1(desc), S_OK);
  EXPECT_EQ(desc.description, L"CPU video");
  EXPECT_EQ(desc.flags & kAdapterFlagSoftware, 0u);
  std::shared_ptr<GpuOutput> output;
  EXPECT_EQ(adapter->EnumOutputs(0, output), DXGI_ERROR_NOT_FOUND);
  EXPECT_EQ(factory->EnumAdapters1(1, adapter), DXGI_ERROR_NOT_FOUND);
  gpu.SetOutputProvider([] {
    OutputDesc o;
    o.monitor = SimMonitorHandle(7);
    return std::vector<OutputDesc>{o};
  });
  ASSERT_EQ(gpu.CreateFactory(factory), S_OK);
  ASSERT_EQ(factory->EnumAdapters1(0, adapter), S_OK);
  ASSERT_EQ(adapter->EnumOutputs(0, output), S_OK);
  OutputDesc o;
  ASSERT_EQ(output->GetDesc(o), S_OK);
  EXPECT_EQ(o.monitor, SimMonitorHandle(7));
  EXPECT_EQ(gpu.CreateDevice(adapter, DriverType::Unknown, kCreateDeviceBgraSupport, nullptr, 0,
                             kSdkVersion, out, nullptr),
            S_OK);
}

class VideoProcessorTest : public CpuDeviceTest {
 protected:
  void Build(std::uint32_t inW, std::uint32_t inH, std::uint32_t outW, std::uint32_t outH) {
    ASSERT_EQ(device->QueryVideoDevice(video), S_OK);
    ASSERT_EQ(context->QueryVideoContext(videoContext), S_OK);
    VideoProcessorContentDesc content;
    content.inputWidth = inW;
    content.inputHeight = inH;
    content.outputWidth = outW;
    content.outputHeight = outH;
    ASSERT_EQ(video->CreateVideoProcessorEnumerator(content, enumerator), S_OK);
    ASSERT_EQ(video->CreateVideoProcessor(enumerator, 0, processor), S_OK);
    VideoColorSpace in;
    in.nominalRange = kNominalRange0_255;
    videoContext->VideoProcessorSetStreamColorSpace(processor, 0, in);
    VideoColorSpace out;
    out.ycbcrMatrix = 1;
    out.nominalRange = kNominalRange16_235;
    videoContext->VideoProcessorSetOutputColorSpace(processor, out);
    TextureDesc target;
    target.width = outW;
    target.height = outH;
    target.format = kFormatNv12;
    target.bindFlags = kBindRenderTarget;
    nv12 = Create(target);
    staging = Create(testing::Nv12StagingDesc(outW, outH));
  }

  HRESULT Blit(const TexturePtr& source) {
    std::shared_ptr<VideoProcessorInputView> in;
    std::shared_ptr<VideoProcessorOutputView> out;
    HRESULT hr = video->CreateVideoProcessorInputView(source, enumerator, {}, in);
    if (FAILED(hr)) return hr;
    hr = video->CreateVideoProcessorOutputView(nv12, enumerator, {}, out);
    if (FAILED(hr)) return hr;
    VideoProcessorStream stream;
    stream.enable = true;
    stream.inputSurface = in;
    hr = videoContext->VideoProcessorBlt(processor, out, 0, 1, &stream);
    context->CopyResource(staging, nv12);
    return hr;
  }

  // Y, Cb, Cr of one pixel of the staging copy.
  testing::Yuv Sample(std::uint32_t x, std::uint32_t y) {
    MappedSubresource m;
    EXPECT_EQ(context->Map(staging, 0, kMapRead, 0, m), S_OK);
    TextureDesc d;
    staging->GetDesc(d);
    const auto* p = static_cast<const std::uint8_t*>(m.data);
    const std::uint8_t* chroma = p + std::size_t{m.rowPitch} * d.height;
    testing::Yuv v{static_cast<double>(p[std::size_t{y} * m.rowPitch + x]),
                   static_cast<double>(chroma[std::size_t{y / 2} * m.rowPitch + (x / 2) * 2]),
                   static_cast<double>(chroma[std::size_t{y / 2} * m.rowPitch + (x / 2) * 2 + 1])};
    context->Unmap(staging, 0);
    return v;
  }

  std::shared_ptr<VideoDevice> video;
  std::shared_ptr<VideoContext> videoContext;
  std::shared_ptr<VideoProcessorEnumerator> enumerator;
  std::shared_ptr<VideoProcessor> processor;
  TexturePtr nv12, staging;
};

TEST_F(VideoProcessorTest, ConvertsFullRangeRgbToBt709LimitedNv12) {
  Build(64, 32, 64, 32);
  for (Rgb c : {Rgb{255, 255, 255}, Rgb{0, 0, 0}, Rgb{255, 0, 0}, Rgb{0, 255, 0}, Rgb{0, 0, 255},
                Rgb{180, 90, 30}}) {
    const auto pixels = FilledBgra(64, 32, c);
    const TexturePtr source = testing::MakeBgraTexture(*device, 64, 32, pixels);
    ASSERT_EQ(Blit(source), S_OK);
    const auto expected = Bt709Limited(c);
    const auto got = Sample(10, 10);
    EXPECT_NEAR(got.y, expected.y, 1.5) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    EXPECT_NEAR(got.u, expected.u, 1.5) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    EXPECT_NEAR(got.v, expected.v, 1.5) << int(c.r) << "," << int(c.g) << "," << int(c.b);
  }
}

TEST_F(VideoProcessorTest, AtEqualSizesEveryColumnConvertsWithoutResampling) {
  // Sharp screen content across a whole 1080p row: 8-pixel stripes of alternating colours.
  const std::uint32_t w = 1920, h = 16;
  Build(w, h, w, h);
  const Rgb stripe[2] = {{250, 20, 60}, {10, 200, 240}};
  std::vector<std::uint8_t> pixels(std::size_t{w} * h * 4);
  for (std::size_t i = 0; i < std::size_t{w} * h; ++i) {
    const Rgb c = stripe[(i % w) / 8 % 2];
    pixels[i * 4] = c.b;
    pixels[i * 4 + 1] = c.g;
    pixels[i * 4 + 2] = c.r;
    pixels[i * 4 + 3] = 255;
  }
  ASSERT_EQ(Blit(testing::MakeBgraTexture(*device, w, h, pixels)), S_OK);
  MappedSubresource m;
  ASSERT_EQ(context->Map(staging, 0, kMapRead, 0, m), S_OK);
  const auto* luma = static_cast<const std::uint8_t*>(m.data) + std::size_t{m.rowPitch} * 4;
  const auto* chroma = static_cast<const std::uint8_t*>(m.data) + std::size_t{m.rowPitch} * (h + 2);
  int wrong = 0;
  for (std::uint32_t x = 0; x < w; ++x) {
    // Stripes are 8 wide and start on even columns: both pixels of a chroma pair match.
    const auto expected = Bt709Limited(stripe[x / 8 % 2]);
    if (std::abs(luma[x] - expected.y) > 1.5) ++wrong;
    if (x % 2 == 0 &&
        (std::abs(chroma[x] - expected.u) > 1.5 || std::abs(chroma[x + 1] - expected.v) > 1.5)) {
      ++wrong;
    }
  }
  context->Unmap(staging, 0);
  EXPECT_EQ(wrong, 0);
}

TEST_F(VideoProcessorTest, AnOddWidthSourceConvertsUpToItsLastColumn) {
  // Captured windows have any size; the last column pair must not lose its colour.
  for (auto [inW, inH, outW, outH] : {std::array<std::uint32_t, 4>{65, 33, 64, 32},
                                      std::array<std::uint32_t, 4>{131, 75, 64, 32}}) {
    Build(inW, inH, outW, outH);
    const Rgb c{50, 100, 200};
    ASSERT_EQ(Blit(testing::MakeBgraTexture(*device, inW, inH, FilledBgra(inW, inH, c))), S_OK);
    const auto expected = Bt709Limited(c);
    for (std::uint32_t x = 0; x < outW; ++x) {
      const auto got = Sample(x, 10);
      EXPECT_NEAR(got.y, expected.y, 1.5) << inW << "x" << inH << " column " << x;
      EXPECT_NEAR(got.u, expected.u, 1.5) << inW << "x" << inH << " column " << x;
      EXPECT_NEAR(got.v, expected.v, 1.5) << inW << "x" << inH << " column " << x;
    }
  }
}

TEST_F(VideoProcessorTest, ScalesTheWholeInputOntoTheWholeOutput) {
  Build(400, 200, 200, 100);
  // Four quadrants of different colours; the scaled picture keeps them in place.
  std::vector<std::uint8_t> pixels(400 * 200 * 4);
  const Rgb quadrant[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
  for (std::uint32_t y = 0; y < 200; ++y) {
    for (std::uint32_t x = 0; x < 400; ++x) {
      const Rgb c = quadrant[(y >= 100 ? 2 : 0) + (x >= 200 ? 1 : 0)];
      std::uint8_t* p = &pixels[(std::size_t{y} * 400 + x) * 4];
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
      p[3] = 255;
    }
  }
  ASSERT_EQ(Blit(testing::MakeBgraTexture(*device, 400, 200, pixels)), S_OK);
  const std::pair<std::uint32_t, std::uint32_t> centres[4] = {
      {50, 24}, {150, 24}, {50, 74}, {150, 74}};
  for (int i = 0; i < 4; ++i) {
    const auto expected = Bt709Limited(quadrant[i]);
    EXPECT_NEAR(Sample(centres[i].first, centres[i].second).y, expected.y, 1.5) << i;
  }
}

TEST_F(VideoProcessorTest, AConversionIsRedoneOnceItsInputOrItsOutputWasWritten) {
  // A repeated blit of an unchanged input may be skipped; after any write to the input (an
  // upload, a copy into it, a discarding CPU map) or to the output it must convert again.
  Build(16, 16, 16, 16);
  const Rgb colours[] = {{255, 0, 0}, {0, 0, 255}, {0, 255, 0}, {200, 200, 40}};
  auto expectColour = [&](Rgb c, const char* step) {
    const auto expected = Bt709Limited(c);
    const auto got = Sample(3, 3);
    EXPECT_NEAR(got.y, expected.y, 1.5) << step;
    EXPECT_NEAR(got.u, expected.u, 1.5) << step;
  };
  TexturePtr source = Create(testing::BgraDesc(16, 16));
  context->UpdateSubresource(source, 0, FilledBgra(16, 16, colours[0]).data(), 16 * 4);
  ASSERT_EQ(Blit(source), S_OK);
  expectColour(colours[0], "first");
  ASSERT_EQ(Blit(source), S_OK);  // unchanged: same picture
  expectColour(colours[0], "again");

  context->UpdateSubresource(source, 0, FilledBgra(16, 16, colours[1]).data(), 16 * 4);
  ASSERT_EQ(Blit(source), S_OK);
  expectColour(colours[1], "after an upload into the input");

  const TexturePtr other =
      testing::MakeBgraTexture(*device, 16, 16, FilledBgra(16, 16, colours[2]));
  context->CopyResource(source, other);
  ASSERT_EQ(Blit(source), S_OK);
  expectColour(colours[2], "after a copy into the input");

  // The output overwritten by a copy: the same input converts again.
  TextureDesc target;
  nv12->GetDesc(target);
  TexturePtr blank = Create(target);
  context->CopyResource(nv12, blank);
  ASSERT_EQ(Blit(source), S_OK);
  expectColour(colours[2], "after a write to the output");

  // A dynamic input rewritten through discarding maps, as the capture writes its surfaces.
  TextureDesc dynamic = testing::BgraDesc(16, 16);
  dynamic.usage = Usage::Dynamic;
  dynamic.bindFlags = kBindShaderResource;
  dynamic.cpuAccessFlags = kCpuAccessWrite;
  TexturePtr surface = Create(dynamic);
  for (Rgb c : {colours[3], colours[0]}) {
    MappedSubresource m;
    ASSERT_EQ(context->Map(surface, 0, kMapWriteDiscard, 0, m), S_OK);
    const auto pixels = FilledBgra(16, 16, c);
    for (std::uint32_t y = 0; y < 16; ++y)
      std::memcpy(static_cast<std::uint8_t*>(m.data) + std::size_t{y} * m.rowPitch,
                  pixels.data() + std::size_t{y} * 16 * 4, 16 * 4);
    context->Unmap(surface, 0);
    ASSERT_EQ(Blit(surface), S_OK);
    expectColour(c, "after a discarding map of the input");
  }
}

TEST_F(VideoProcessorTest, ViewsAndBlitsRefuseWrongSurfaces) {
  Build(64, 32, 64, 32);
  std::shared_ptr<VideoProcessorInputView> in;
  std::shared_ptr<VideoProcessorOutputView> out;
  EXPECT_EQ(video->CreateVideoProcessorInputView(nv12, enumerator, {}, in), E_INVALIDARG);
  EXPECT_EQ(video->CreateVideoProcessorOutputView(staging, enumerator, {}, out), E_INVALIDARG);
  TexturePtr bgra = Create(testing::BgraDesc(64, 32));
  EXPECT_EQ(video->CreateVideoProcessorOutputView(bgra, enumerator, {}, out), E_INVALIDARG);

  std::uint32_t flags = 0;
  EXPECT_EQ(enumerator->CheckVideoProcessorFormat(kFormatNv12, flags), S_OK);
  EXPECT_NE(flags & kVideoProcessorFormatSupportOutput, 0u);
  sim::Gpu().Faults().SetNv12SupportFlags(kVideoProcessorFormatSupportInput);
  EXPECT_EQ(enumerator->CheckVideoProcessorFormat(kFormatNv12, flags), S_OK);
  EXPECT_EQ(flags & kVideoProcessorFormatSupportOutput, 0u);

  sim::Gpu().Faults().Fail(GpuCall::VideoProcessorBlt, E_FAIL, 1);
  EXPECT_EQ(Blit(bgra), E_FAIL);
  EXPECT_EQ(Blit(bgra), S_OK);
}

TEST_F(CpuDeviceTest, TwoThreadsShareTheImmediateContext) {
  // The frame-arrived handler and the encoder thread both issue work on the one context.
  const auto grey = FilledBgra(32, 32, {100, 100, 100});
  TexturePtr captured = Create(testing::BgraDesc(32, 32));
  TexturePtr shared = Create(testing::BgraDesc(32, 32));
  std::thread producer([&] {
    for (int i = 0; i < 200; ++i) {
      context->UpdateSubresource(captured, 0, grey.data(), 32 * 4);
      context->CopyResource(shared, captured);
      std::this_thread::yield();
    }
  });
  TexturePtr staging = Create(BgraStaging(32, 32));
  for (int i = 0; i < 200; ++i) {
    context->CopyResource(staging, shared);
    MappedSubresource m;
    HRESULT hr;
    do {
      hr = context->Map(staging, 0, kMapRead, kMapFlagDoNotWait, m);
    } while (hr == DXGI_ERROR_WAS_STILL_DRAWING);
    EXPECT_EQ(hr, S_OK);
    if (FAILED(hr)) break;
    const std::uint8_t first = static_cast<const std::uint8_t*>(m.data)[0];
    EXPECT_TRUE(first == 0 || first == 100);
    context->Unmap(staging, 0);
  }
  producer.join();
  context->CopyResource(staging, shared);
  EXPECT_EQ(FirstPixel(staging), 0xFF646464u);
}

// A texture array shared with a keyed mutex, as the native encoder hands frames to its session.
TEST_F(CpuDeviceTest, TextureArraysTakeCopiesIntoOneSlice) {
  TextureDesc array = testing::BgraDesc(8, 4);
  array.arraySize = 4;
  const TexturePtr slices = Create(array);
  TexturePtr refused;
  TextureDesc staged = BgraStaging(8, 4);
  staged.arraySize = 2;  // arrays are offered for default usage only
  EXPECT_EQ(device->CreateTexture2D(staged, nullptr, refused), E_INVALIDARG);
  array.arraySize = 17;
  EXPECT_EQ(device->CreateTexture2D(array, nullptr, refused), E_INVALIDARG);

  const auto red = FilledBgra(8, 4, Rgb{200, 0, 0});
  const auto blue = FilledBgra(8, 4, Rgb{0, 0, 150});
  SubresourceData redData{red.data(), 32}, blueData{blue.data(), 32};
  const TexturePtr redSource = Create(testing::BgraDesc(8, 4), &redData);
  const TexturePtr blueSource = Create(testing::BgraDesc(8, 4), &blueData);
  context->CopySubresourceRegion(slices, 2, 0, 0, 0, redSource, 0, nullptr);
  context->CopySubresourceRegion(slices, 3, 0, 0, 0, blueSource, 0, nullptr);
  // Outside the array, off the origin or a partial box: nothing is copied.
  context->CopySubresourceRegion(slices, 4, 0, 0, 0, redSource, 0, nullptr);
  context->CopySubresourceRegion(slices, 0, 1, 0, 0, redSource, 0, nullptr);
  const Box half{0, 0, 0, 4, 4, 1};
  context->CopySubresourceRegion(slices, 1, 0, 0, 0, redSource, 0, &half);

  const TexturePtr staging = Create(BgraStaging(8, 4));
  const std::uint32_t expected[] = {0u, 0u, 0xFFC80000u, 0xFF000096u};
  for (std::uint32_t slice = 0; slice < 4; ++slice) {
    context->CopySubresourceRegion(staging, 0, 0, 0, 0, slices, slice, nullptr);
    EXPECT_EQ(FirstPixel(staging), expected[slice]) << "slice " << slice;
  }
}

TEST_F(CpuDeviceTest, AKeyedMutexIsHandedOnByKeyBetweenItsViews) {
  TexturePtr plain = Create(testing::BgraDesc(8, 4));
  std::shared_ptr<KeyedMutex> none;
  EXPECT_EQ(plain->QueryKeyedMutex(none), E_NOINTERFACE);

  TextureDesc desc = testing::BgraDesc(8, 4);
  desc.miscFlags = kResourceMiscSharedKeyedMutex;
  const TexturePtr shared = Create(desc);
  std::shared_ptr<KeyedMutex> engine, sdk;
  ASSERT_EQ(shared->QueryKeyedMutex(engine), S_OK);
  ASSERT_EQ(shared->QueryKeyedMutex(sdk), S_OK);

  // Released with key 0 at creation: key 1 is not there yet, and only the holder releases.
  EXPECT_EQ(sdk->AcquireSync(1, 0), kWaitTimeout);
  EXPECT_EQ(sdk->ReleaseSync(0), E_FAIL);
  ASSERT_EQ(engine->AcquireSync(0, kInfinite), S_OK);
  EXPECT_EQ(engine->AcquireSync(0, 10), kWaitTimeout);  // held: not even its holder gets it
  EXPECT_EQ(sdk->ReleaseSync(1), E_FAIL);

  // The other side waits for key 1 on its own thread and sees what was copied before release.
  const auto green = FilledBgra(8, 4, Rgb{0, 180, 0});
  SubresourceData data{green.data(), 32};
  const TexturePtr source = Create(testing::BgraDesc(8, 4), &data);
  const TexturePtr staging = Create(BgraStaging(8, 4));
  std::uint32_t seen = 0;
  std::thread other([&] {
    EXPECT_EQ(sdk->AcquireSync(1, kInfinite), S_OK);
    context->CopyResource(staging, shared);
    seen = FirstPixel(staging);
    EXPECT_EQ(sdk->ReleaseSync(0), S_OK);
  });
  context->CopyResource(shared, source);
  EXPECT_EQ(engine->ReleaseSync(1), S_OK);
  other.join();
  EXPECT_EQ(seen, 0xFF00B400u);
  EXPECT_EQ(engine->AcquireSync(0, 0), S_OK);  // handed back with key 0
  EXPECT_EQ(engine->ReleaseSync(0), S_OK);

  sim::Gpu().Faults().Fail(GpuCall::AcquireSync, E_FAIL, 1);
  EXPECT_EQ(engine->AcquireSync(0, kInfinite), E_FAIL);
  EXPECT_EQ(engine->AcquireSync(0, kInfinite), S_OK);
  EXPECT_EQ(engine->ReleaseSync(0), S_OK);
}

}  // namespace
}  // namespace tallowmarch::platform
