#include "frame_intake.h"

#include <chrono>

#include "engine_clock.h"
#include "gpu_setup.h"
#include "hresult_error.h"
#include "session_impl.h"

namespace tallowmarch {

namespace {

using SteadyClock = std::chrono::steady_clock;

double Milliseconds(SteadyClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}
double Seconds(SteadyClock::duration d) {
  return std::chrono::duration<double>(d).count();
}
double NowSeconds() {
  return static_cast<double>(NowHns()) / 10000000.0;
}

// Share of the frame interval that must have gone by since the last accepted frame.
constexpr double kRateGateShare = 0.75;

// Closes the frame on every way out of the handler.
struct FrameCloser {
  platform::CaptureFrame& frame;
  ~FrameCloser() { frame.Close(); }
};

// One hand-over into the mailbox; the caller notifies the encoder thread after it.
void HandOver(TallowmarchSession::Impl& s, bool fromHandler) {
  std::lock_guard lock(s.pipelineMutex);
  s.frameTimestamp.store(NowHns());
  if (fromHandler) s.hasFrame.store(true);
  s.framesSubmitted.fetch_add(1);
  if (s.framePending.exchange(true)) s.framesCoalesced.fetch_add(1);
}

}  // namespace

void OnFrameArrived(TallowmarchSession* session, platform::CaptureFramePool& sender) {
  TallowmarchSession::Impl& s = session->State();
  std::shared_ptr<platform::CaptureFrame> frame;
  // A failing TryGetNextFrame leaves the handler: the layer fails this event call, nothing else.
  ThrowIfFailed(sender.TryGetNextFrame(frame));
  if (!frame) return;
  FrameCloser closer{*frame};
  if (s.stopRequested.load()) return;  // dropped silently

  const SteadyClock::time_point arrival = SteadyClock::now();
  if (s.haveArrival) {
    const double gap = Milliseconds(arrival - s.lastArrivalTime);
    if (gap > 100.0)
      s.LogFormatted(L"[DIAG-ARRIVAL-GAP] %fms since last WGC frame arrival t=%f", gap,
                     NowSeconds());
  }
  s.lastArrivalTime = arrival;
  s.haveArrival = true;

  const SteadyClock::time_point callbackStart = SteadyClock::now();
  try {
    platform::TexturePtr texture = TextureFromSurface(*frame);
    platform::TextureDesc desc{};
    texture->GetDesc(desc);
    if (desc.width != s.sourceWidth || desc.height != s.sourceHeight)
      s.LogFormatted(L"[DIAG-SIZE-MISMATCH] frame is %ux%u but pipeline expects %ux%u t=%f",
                     desc.width, desc.height, s.sourceWidth, s.sourceHeight, NowSeconds());

    const SteadyClock::time_point gate = SteadyClock::now();
    // A source drawing at exactly the capture rate arrives with jitter: a frame a little early
    // must still pass, or a third of its frames would be lost. Three quarters of the interval
    // still halves a source twice as fast.
    const double minimumGap = kRateGateShare / static_cast<double>(s.fps);
    // The first picture of a capture always passes: a still source delivers no second one,
    // and until one picture is in, the frame tick has nothing to repeat.
    if (s.hasFrame.load() && Seconds(gate - s.lastAcceptedTime.load()) < minimumGap)
      return;  // no duration line

    // Issued outside pipelineMutex; the immediate context serialises it with the encoder
    // thread's GPU work and runs both in issue order.
    s.encodeContext->immediateContext->CopyResource(s.sharedCaptureTexture, texture);
    HandOver(s, true);
    s.lastAcceptedTime.store(gate);
    s.pipelineCv.notify_one();
  } catch (const hresult_error& e) {
    s.LogFormatted(L"Frame copy failed: 0x%08X", static_cast<unsigned>(e.code()));
  }

  const double duration = Milliseconds(SteadyClock::now() - callbackStart);
  if (duration > 2.0) s.LogFormatted(L"[DIAG-CALLBACK-DURATION] %fms", duration);
}

void OnCaptureItemClosed(TallowmarchSession* session, platform::CaptureItem&) {
  session->State().LogFormatted(
      L"[DIAG-ITEM-CLOSED] GraphicsCaptureItem.Closed fired mid-session - capture target became "
      L"invalid (window closed, or a display/monitor topology change) t=%f",
      NowSeconds());
}

void FrameTickThread(TallowmarchSession* session) {
  TallowmarchSession::Impl& s = session->State();
  const double interval = 1.0 / static_cast<double>(s.fps);
  const auto sleep = std::chrono::duration<double>(interval);
  // A source drawing at the capture rate is let in up to a quarter interval early, and it comes
  // as often that much late: a repeat handed over before its frame would put one frame more
  // than the rate into the segment. So the picture counts as standing still only once the frame
  // is later than that.
  const double stillAfter = (2.0 - kRateGateShare) * interval;
  // The ticks keep to a fixed schedule: waking the encoder thread hands it this thread's core
  // for about as long as it takes to encode a still picture (1-2 ms at 1080p), and sleeping a
  // whole interval after that would lower a still screen's rate to about 29 frames a second.
  const auto period = std::chrono::duration_cast<SteadyClock::duration>(sleep);
  SteadyClock::time_point due = SteadyClock::now();
  while (!s.stopRequested.load()) {
    due += period;
    const SteadyClock::time_point woke = SteadyClock::now();
    // A tick late by more than an interval (a stalled machine) starts a new schedule instead
    // of catching up with a burst.
    if (woke > due + period) due = woke + period;
    if (s.SleepUnlessStopped(due - woke)) return;
    const SteadyClock::time_point now = SteadyClock::now();
    if (s.hasFrame.load() && Seconds(now - s.lastAcceptedTime.load()) >= stillAfter) {
      HandOver(s, false);
      s.pipelineCv.notify_one();
    }
  }
}

}  // namespace tallowmarch
