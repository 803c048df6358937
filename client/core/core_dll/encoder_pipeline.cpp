#include "encoder_pipeline.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "engine_clock.h"
#include "hresult_error.h"
#include "platform.h"
#include "session_impl.h"
#include "system/system.h"

namespace tallowmarch {

namespace {

using SteadyClock = std::chrono::steady_clock;
using EncoderPtr = TallowmarchSession::Impl::EncoderPtr;

constexpr double kBackoffScale[4] = {1.0, 0.85, 0.66, 0.5};
constexpr auto kBackoffPeriod = std::chrono::duration<double>(2.0);
// Longest time a spare build waits for the rotation posted just before its request. A rotation
// takes a few milliseconds; the bound keeps a stuck encoder thread from delaying the spare.
constexpr auto kRotationWait = std::chrono::milliseconds(250);

double Milliseconds(SteadyClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The slot of the thinner grid of `rate` frames a second that frame slot `slot` falls into.
std::int64_t ThinnedSlot(std::int64_t slot, std::uint32_t rate, std::uint32_t fps) {
  return slot * rate / std::max<std::uint32_t>(fps, 1);
}

EncoderPtr BuildEncoder(TallowmarchSession::Impl& s) {
  return CreateSegmentEncoder(s.encodeContext.get(), s.encodeWidth, s.encodeHeight, s.fps,
                              s.bitrate);
}

// One encoder-thread pass after its wake: the rotation (when due), then the frame.
void EncoderPass(TallowmarchSession::Impl& s, bool rotationDue) {
  if (rotationDue) {
    const SteadyClock::time_point rotationStart = SteadyClock::now();
    EncoderPtr next;
    std::uint32_t segmentFps = 0;
    {
      std::lock_guard lock(s.spareMutex);
      next = std::move(s.spareEncoder);
      segmentFps = s.spareFps;
    }
    const bool usedSpare = static_cast<bool>(next);
    if (!usedSpare) {
      next = BuildEncoder(s);  // an error here leaves the old encoder current
      segmentFps = 0;
    }
    const SteadyClock::time_point swapStart = SteadyClock::now();
    EncoderPtr retired = std::move(s.currentEncoder);
    s.currentEncoder = std::move(next);
    s.fpsOverride.store(segmentFps);
    s.lastEncodedSlot = -1;
    const SteadyClock::time_point swapEnd = SteadyClock::now();
    if (retired) {
      retired->DrainPending();  // an error here loses the retired segment
      // Its codec and textures go now, before the new encoder allocates its own on this thread
      // with its first frame: the heap then reuses them instead of holding both.
      retired->Retire();
      {
        std::lock_guard lock(s.finalizeMutex);
        s.finalizeQueue.push(std::move(retired));
      }
      s.finalizeCv.notify_one();
    }
    const double construct = Milliseconds(swapStart - rotationStart);
    const double swap = Milliseconds(swapEnd - swapStart);
    if (!usedSpare || construct > 20.0 || swap > 20.0)
      s.LogFormatted(L"[ROTATION-TIMING] usedSpare=%d construct=%fms swap=%fms", usedSpare ? 1 : 0,
                     construct, swap);
  }

  // The flag, the time and the slot are taken together: a producer changes them together, and
  // a frame read apart from its flag could be encoded twice.
  std::int64_t timestamp = 0;
  std::int64_t slot = 0;
  {
    std::lock_guard lock(s.pipelineMutex);
    if (!s.framePending.exchange(false)) return;
    timestamp = s.frameTimestamp.load();
    slot = s.frameSlot.load();
  }
  const SteadyClock::time_point frameTime = SteadyClock::now();
  // Thinning keeps the frames whose slots open a new slot of the thinner grid: exactly
  // overrideFps of every fps slots when frames come at the capture rate.
  const std::uint32_t overrideFps = s.fpsOverride.load();
  if (overrideFps > 0 && s.lastEncodedSlot >= 0 &&
      ThinnedSlot(slot, overrideFps, s.fps) <= ThinnedSlot(s.lastEncodedSlot, overrideFps, s.fps))
    return;                       // thinned: not an attempt
  if (!s.currentEncoder) return;  // a failed rotation at start-up left none (cannot happen)
  const bool accepted =
      s.currentEncoder->EncodeFrame(s.sharedCaptureTexture, timestamp, &s.framePending);
  s.encodeAttempts.fetch_add(1);
  if (!accepted) s.encodeDrops.fetch_add(1);
  s.lastEncodedSlot = slot;
  const double handOver = Milliseconds(SteadyClock::now() - frameTime);
  if (handOver > 30.0) s.LogFormatted(L"[WRITEFRAME-TIMING] %fms", handOver);
}

}  // namespace

int NextBackoffTier(double dropRate, int oldTier) {
  if (dropRate > 0.15 && oldTier < 3) return std::min(3, oldTier + (dropRate > 0.375 ? 2 : 1));
  if (dropRate < 0.05 && oldTier >= 1) return oldTier - 1;
  return oldTier;
}

std::uint32_t BackoffRequestedFps(int tier, std::uint32_t fps) {
  if (tier <= 0) return 0;
  const double scaled = static_cast<double>(fps) * kBackoffScale[std::min(tier, 3)];
  return std::max<std::uint32_t>(10, static_cast<std::uint32_t>(scaled));
}

void EncoderThread(TallowmarchSession* session) {
  TallowmarchSession::Impl& s = session->State();
  for (;;) {
    bool rotationDue = false;
    {
      std::unique_lock lock(s.pipelineMutex);
      s.pipelineCv.wait(lock, [&] {
        return s.framePending.load() || !s.rotationRequests.empty() || s.stopRequested.load();
      });
      if (s.stopRequested.load()) return;
      if (!s.rotationRequests.empty()) {
        s.rotationRequests.pop();
        rotationDue = true;
      }
    }
    try {
      EncoderPass(s, rotationDue);
    } catch (const hresult_error& e) {
      s.LogFormatted(L"Encoder thread error: 0x%08X", static_cast<unsigned>(e.code()));
    } catch (const std::exception& e) {
      // Runtime errors of the encoder layer (an encoder that cannot be opened) and allocation
      // failures: logged, and the capture goes on.
      s.LogFormatted(L"Encoder thread error: %s", e.what());
    }
    if (rotationDue) {  // also after a failed rotation: the builder must not wait for it
      {
        std::lock_guard lock(s.spareBuildMutex);
        s.rotationOutstanding = false;
      }
      s.spareBuildCv.notify_one();
    }
  }
}

void BackoffControllerThread(TallowmarchSession* session) {
  TallowmarchSession::Impl& s = session->State();
  while (!s.stopRequested.load()) {
    const std::uint64_t attempts = s.encodeAttempts.exchange(0);
    const std::uint64_t drops = s.encodeDrops.exchange(0);
    const double rate =
        attempts == 0 ? 0.0 : static_cast<double>(drops) / static_cast<double>(attempts);
    const int oldTier = s.backoffTier.load();
    const int newTier = NextBackoffTier(rate, oldTier);
    if (newTier != oldTier) {
      s.backoffTier.store(newTier);
      s.LogFormatted(L"[DIAG-BACKOFF] dropRate=%f tier %d -> %d", rate, oldTier, newTier);
    }
    const std::uint32_t requested = BackoffRequestedFps(newTier, s.fps);
    {
      std::lock_guard lock(s.spareBuildMutex);
      if (!s.spareBuilding) {
        s.rebuildRequested = true;
        s.requestedSpareFps = requested;
        s.spareBuildCv.notify_one();
      }  // else the builder is busy: this period's request is dropped
    }
    if (s.SleepUnlessStopped(kBackoffPeriod)) return;
    {
      std::lock_guard lock(s.spareBuildMutex);
      s.rotationOutstanding = true;
    }
    {
      std::lock_guard lock(s.pipelineMutex);
      s.rotationRequests.push(1);
    }
    s.pipelineCv.notify_one();
  }
}

void SpareEncoderBuilderThread(TallowmarchSession* session) {
  TallowmarchSession::Impl& s = session->State();
  for (;;) {
    std::uint32_t rate = 0;
    {
      std::unique_lock lock(s.spareBuildMutex);
      s.spareBuildCv.wait(lock, [&] { return s.rebuildRequested || s.stopRequested.load(); });
      if (s.stopRequested.load() && !s.rebuildRequested) return;
      s.rebuildRequested = false;
      s.spareBuilding = true;
      rate = s.requestedSpareFps;
      // The request comes right after a rotation was posted. Opening the spare while that
      // rotation's retired encoder still holds its picture buffers would keep three encoders'
      // buffers resident at once; once it is closed, the spare reuses its memory.
      s.spareBuildCv.wait_for(lock, kRotationWait,
                              [&] { return !s.rotationOutstanding || s.stopRequested.load(); });
    }
    const SteadyClock::time_point buildStart = SteadyClock::now();
    try {
      EncoderPtr spare = BuildEncoder(s);  // always at the capture's rate
      EncoderPtr replaced;                 // a spare not taken yet dies outside the lock
      {
        std::lock_guard lock(s.spareMutex);
        replaced = std::move(s.spareEncoder);
        s.spareEncoder = std::move(spare);
        s.spareFps = rate;
      }
    } catch (const hresult_error& e) {
      s.LogFormatted(L"[DIAG-SPARE-BUILD-FAIL] 0x%08X", static_cast<unsigned>(e.code()));
    } catch (const std::exception& e) {
      s.LogFormatted(L"[DIAG-SPARE-BUILD-FAIL] %s", e.what());
    }
    const double took = Milliseconds(SteadyClock::now() - buildStart);
    if (took > 500.0) s.LogFormatted(L"[DIAG-SPARE-BUILD-SLOW] %fms", took);
    {
      std::lock_guard lock(s.spareBuildMutex);
      s.spareBuilding = false;
    }
    if (s.stopRequested.load()) return;
  }
}

void FinalizeThread(TallowmarchSession* session) {
  TallowmarchSession::Impl& s = session->State();
  for (;;) {
    EncoderPtr encoder;
    {
      std::unique_lock lock(s.finalizeMutex);
      s.finalizeCv.wait(lock, [&] { return !s.finalizeQueue.empty() || s.stopRequested.load(); });
      if (s.finalizeQueue.empty()) return;  // stopped, and everything queued is finished
      encoder = std::move(s.finalizeQueue.front());
      s.finalizeQueue.pop();
    }
    if (!encoder) continue;
    try {
      VideoSegment segment = encoder->Finish();
      if (segment.frameCount > 0) {
        s.videoRing.PushAndTrim(std::move(segment), s.clipWindow);
      } else {
        s.LogFormatted(
            L"[DIAG-EMPTY-SEGMENT] segment finalized with 0 frames - skipped, not added to ring "
            L"t=%f",
            static_cast<double>(NowHns()) / 10000000.0);
      }
    } catch (const hresult_error& e) {
      s.LogFormatted(L"Finalize thread error: 0x%08X", static_cast<unsigned>(e.code()));
    } catch (const std::exception& e) {
      s.LogFormatted(L"Finalize thread error: %s", e.what());
    }
    // A retired encoder frees tens of megabytes (x264 picture buffers, textures) every two
    // seconds; the heap would keep them resident between the ring's long-lived segments.
    encoder.reset();
    platform::System().ReleaseFreedMemory();
  }
}

}  // namespace tallowmarch
