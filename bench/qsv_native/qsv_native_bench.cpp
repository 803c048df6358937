// What the engine itself spends per frame on the native QSV path, with a session that answers
// at once: the video processor's BGRA-to-NV12 blit, the copy into the shared slice, the keyed-
// mutex hand-overs, the encode call, and the split of the Annex-B packet into an MP4 sample and
// its muxing. The session returns canned packets of a 6 Mbit/s stream (an IDR frame with SPS
// and PPS first, then ~25 KB predicted frames), so no encoding time is in the numbers: on a real
// machine the SDK encodes on the GPU beside this.
//
// Usage: qsv_native_bench [frames=600] [repeats=5]

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "gpu_encode_context.h"
#include "gpu_setup.h"
#include "qsv_native_segment_encoder.h"
#include "sim_platform.h"

namespace {

using namespace tallowmarch;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSourceWidth = 1920, kSourceHeight = 1080, kFps = 60;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Annex-B: start code, header byte, then payload bytes that never form a start code.
std::vector<std::uint8_t> Unit(std::uint8_t header, std::size_t payload, std::uint32_t seed) {
  std::vector<std::uint8_t> out = {0, 0, 0, 1, header};
  for (std::size_t i = 0; i < payload; ++i) {
    seed = seed * 1664525u + 1013904223u;
    out.push_back(static_cast<std::uint8_t>(1 + (seed >> 24) % 255));
  }
  return out;
}

struct CannedSession {
  std::vector<std::uint8_t> idr, predicted;
  std::uint64_t calls = 0;

  static CannedSession& Of(mfxSession s) { return *reinterpret_cast<CannedSession*>(s); }
  static mfxStatus Encode(mfxSession s, mfxEncodeCtrl* control, mfxFrameSurface1* surface,
                          mfxBitstream* bitstream, mfxSyncPoint* syncPoint) {
    CannedSession& self = Of(s);
    *syncPoint = nullptr;
    if (surface == nullptr) return MFX_ERR_MORE_DATA;
    ++self.calls;
    const auto& packet = control != nullptr ? self.idr : self.predicted;
    std::memcpy(bitstream->Data, packet.data(), packet.size());
    bitstream->DataOffset = 0;
    bitstream->DataLength = static_cast<mfxU32>(packet.size());
    *syncPoint = reinterpret_cast<mfxSyncPoint>(std::uintptr_t{1});
    return MFX_ERR_NONE;
  }
  static mfxStatus Sync(mfxSession, mfxSyncPoint, mfxU32) { return MFX_ERR_NONE; }
  static mfxStatus Close(mfxSession) { return MFX_ERR_NONE; }
};

bool Install(GpuEncodeContext& context, CannedSession& session, std::uint32_t w, std::uint32_t h) {
  platform::TextureDesc slices;
  slices.width = w;
  slices.height = h;
  slices.arraySize = GpuEncodeContext::kQsvSlots;
  slices.format = platform::kFormatNv12;
  slices.miscFlags = platform::kResourceMiscSharedKeyedMutex;
  platform::TextureDesc target = slices;
  target.arraySize = 1;
  target.miscFlags = 0;
  target.bindFlags = platform::kBindRenderTarget;
  if (context.device->CreateTexture2D(slices, nullptr, context.qsvSharedTexture) != S_OK ||
      context.device->CreateTexture2D(target, nullptr, context.qsvRenderTarget) != S_OK ||
      context.qsvSharedTexture->QueryKeyedMutex(context.d3dKeyedMutex) != S_OK ||
      context.qsvSharedTexture->QueryKeyedMutex(context.qsvKeyedMutex) != S_OK) {
    return false;
  }
  context.qsvFrameInfo.FourCC = MFX_FOURCC_NV12;
  context.qsvFrameInfo.Width = static_cast<mfxU16>(w);
  context.qsvFrameInfo.Height = static_cast<mfxU16>(h);
  context.qsvFrameInfo.FrameRateExtN = kFps;
  context.qsvFrameInfo.FrameRateExtD = 1;
  context.qsvBitstream.assign(std::size_t{w} * h * 2, 0);
  context.qsvSession = reinterpret_cast<mfxSession>(&session);
  context.qsvFunctions = {&CannedSession::Encode, &CannedSession::Sync, &CannedSession::Close,
                          &CannedSession::Close};
  context.useNativeQsv = true;
  return true;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 600;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  sim::ResetAll();
  auto device = CreateD3D11Device(nullptr);

  // A moving gradient: the conversion's cost does not depend on the content much.
  std::vector<platform::TexturePtr> sources;
  for (int i = 0; i < 8; ++i) {
    std::vector<std::uint8_t> pixels(std::size_t{kSourceWidth} * kSourceHeight * 4);
    for (std::uint32_t y = 0; y < kSourceHeight; ++y) {
      for (std::uint32_t x = 0; x < kSourceWidth; ++x) {
        std::uint8_t* p = &pixels[(std::size_t{y} * kSourceWidth + x) * 4];
        p[0] = static_cast<std::uint8_t>(x + i * 16);
        p[1] = static_cast<std::uint8_t>(y + i * 8);
        p[2] = static_cast<std::uint8_t>((x ^ y) + i);
        p[3] = 255;
      }
    }
    platform::TextureDesc desc;
    desc.width = kSourceWidth;
    desc.height = kSourceHeight;
    desc.format = platform::kFormatB8G8R8A8Unorm;
    platform::SubresourceData data{pixels.data(), kSourceWidth * 4};
    platform::TexturePtr texture;
    if (device->CreateTexture2D(desc, &data, texture) != S_OK) return 1;
    sources.push_back(texture);
  }

  CannedSession session;
  session.idr = Unit(0x67, 12, 1);
  const auto pps = Unit(0x68, 4, 2);
  const auto slice = Unit(0x65, 90000, 3);
  session.idr.insert(session.idr.end(), pps.begin(), pps.end());
  session.idr.insert(session.idr.end(), slice.begin(), slice.end());
  session.predicted = Unit(0x41, 25000, 4);  // 6 Mbit/s at 30 fps

  std::printf("encode size | fps median (range) | CPU ms/frame median | Finish ms median\n");
  const std::uint32_t sizes[][2] = {{1920, 1080}, {1280, 720}};
  for (const auto& size : sizes) {
    GpuEncodeContext context(device, kSourceWidth, kSourceHeight, size[0], size[1], {},
                             [](const char*, std::uint32_t, std::uint32_t, std::uint32_t,
                                std::uint32_t) { return false; });
    if (!Install(context, session, size[0], size[1])) return 1;
    std::vector<double> fps, cpu, finish;
    for (int r = 0; r < repeats; ++r) {
      QsvNativeSegmentEncoder encoder(&context, size[0], size[1], kFps, 6000000);
      const double cpu0 = CpuSeconds();
      const auto t0 = Clock::now();
      for (int f = 0; f < frames; ++f) {
        encoder.EncodeFrame(sources[static_cast<std::size_t>(f) % sources.size()],
                            std::int64_t{f} * 10000000 / kFps, nullptr);
      }
      const auto t1 = Clock::now();
      const double cpu1 = CpuSeconds();
      const VideoSegment segment = encoder.Finish();
      const auto t2 = Clock::now();
      if (segment.frameCount != static_cast<std::uint32_t>(frames)) return 2;
      fps.push_back(frames / std::chrono::duration<double>(t1 - t0).count());
      cpu.push_back((cpu1 - cpu0) * 1000.0 / frames);
      finish.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    }
    std::printf("%ux%u | %.1f (%.1f-%.1f) | %.2f | %.2f\n", size[0], size[1], Median(fps),
                *std::min_element(fps.begin(), fps.end()),
                *std::max_element(fps.begin(), fps.end()), Median(cpu), Median(finish));
  }
  return 0;
}
