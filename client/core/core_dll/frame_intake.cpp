#include "frame_intake.h"

#include <algorithm>
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
double NowSeconds() {
  return static_cast<double>(NowHns()) / 10000000.0;
}

constexpr std::int64_t kHnsPerSecond = 10000000;

// Division rounding toward minus infinity (slots before the origin are negative).
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Closes the frame on every way out of the handler.
struct FrameCloser {
  platform::CaptureFrame& frame;
  ~FrameCloser() { frame.Close(); }
};

// One hand-over of a frame for `slot` into the mailbox; false when that slot or a later one has
// had its frame. The caller notifies the encoder thread after a hand-over.
bool HandOver(TallowmarchSession::Impl& s, std::int64_t slot, bool fromHandler) {
  std::lock_guard lock(s.pipelineMutex);
  if (slot <= s.frameSlot.load()) return false;
  s.frameSlot.store(slot);
  s.frameTimestamp.store(FrameSlotTime(slot, s.frameGridOrigin.load(), s.fps));
  if (fromHandler) s.hasFrame.store(true);
  s.framesSubmitted.fetch_add(1);
  if (s.framePending.exchange(true)) s.framesCoalesced.fetch_add(1);
  return true;
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
  const std::int64_t arrivedAt = NowHns();  // the frame's capture time on the engine clock
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

    // One frame per slot: a frame whose slot already has one is refused (no duration line).
    const std::int64_t slot = FrameSlotAt(arrivedAt, s.frameGridOrigin.load(), s.fps);
    if (slot <= s.frameSlot.load()) return;

    // Issued outside pipelineMutex; the immediate context serialises it with the encoder
    // thread's GPU work and runs both in issue order.
    s.encodeContext->immediateContext->CopyResource(s.sharedCaptureTexture, texture);
    // The tick may have filled the slot meanwhile; the copy then only freshens its picture.
    if (HandOver(s, slot, true)) s.pipelineCv.notify_one();
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
  const std::int64_t origin = s.frameGridOrigin.load();
  const std::uint32_t fps = s.fps;
  // The tick wakes at each grid point, half an interval after the slot before it has closed: a
  // frame that came late in that slot is in by then, and a repeat never takes a slot from a
  // frame still to come.
  std::int64_t next = FrameSlotAt(NowHns(), origin, fps) + 1;
  while (!s.stopRequested.load()) {
    const std::int64_t wait = FrameSlotTime(next, origin, fps) - NowHns();
    if (wait > 0 && s.SleepUnlessStopped(std::chrono::nanoseconds(wait * 100))) return;
    const std::int64_t current = FrameSlotAt(NowHns(), origin, fps);
    if (current < next) continue;  // woken early
    if (s.hasFrame.load() && HandOver(s, current - 1, false)) s.pipelineCv.notify_one();
    // A tick late by more than an interval (a stalled machine) carries on from now instead of
    // catching up with a burst.
    next = current + 1;
  }
}

std::int64_t FrameSlotAt(std::int64_t time, std::int64_t origin, std::uint32_t fps) {
  fps = std::max<std::uint32_t>(fps, 1);
  // Whole seconds and the rest apart, so that long captures cannot overflow.
  const std::int64_t since = time - origin;
  const std::int64_t seconds = FloorDiv(since, kHnsPerSecond);
  const std::int64_t rest = since - seconds * kHnsPerSecond;
  return seconds * fps + (rest * fps + kHnsPerSecond / 2) / kHnsPerSecond;
}

std::int64_t FrameSlotTime(std::int64_t slot, std::int64_t origin, std::uint32_t fps) {
  fps = std::max<std::uint32_t>(fps, 1);
  const std::int64_t seconds = FloorDiv(slot, fps);
  const std::int64_t rest = slot - seconds * fps;
  return origin + seconds * kHnsPerSecond + rest * kHnsPerSecond / fps;
}

}  // namespace tallowmarch
