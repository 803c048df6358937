// Desktop sound (loopback of a render endpoint) and microphone capture, each on a thread of its
// own: the thread joins the "Pro Audio" multimedia task, watches endpoint changes, opens the
// endpoint in shared mode, polls it for packets, fills time in which the device delivered
// nothing with silence and hands a chunk of PCM in the endpoint's mix format to the source's
// ring about every 2 seconds, each stamped with the time of its first frame and carrying its
// format. It survives a missing endpoint, default changes, removal and failed calls by opening
// the endpoint again (keeping what it gathered before), and ends only when the session's stop
// flag is set.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "audio/audio.h"
#include "clip_window.h"
#include "engine_log.h"

namespace tallowmarch {

class TallowmarchSession;

// Membership of the calling thread in a multimedia scheduling task for the guard's lifetime.
// A failure to join is silent: the thread then runs at its normal priority.
class MmcssScope {
 public:
  explicit MmcssScope(const std::wstring& taskName);
  ~MmcssScope();
  MmcssScope(const MmcssScope&) = delete;
  MmcssScope& operator=(const MmcssScope&) = delete;

 private:
  void* handle_ = nullptr;  // null when joining failed
};

// Endpoint notifications of one data flow, turned into a "changed" flag that the capture loop
// polls and waits on. Reference counted: made with a count of 1, deleted by the Release that
// drops the count to 0. The notification thread of the audio layer calls the On* operations;
// the capture loop calls the helpers.
class AudioDeviceNotifier final : public platform::AudioNotificationClient {
 public:
  explicit AudioDeviceNotifier(platform::AudioFlow dataFlow);

  HRESULT QueryInterface(const GUID& iid, void** out) override;
  std::uint32_t AddRef() override;
  std::uint32_t Release() override;
  HRESULT OnDeviceStateChanged(const std::wstring& id, std::uint32_t newState) override;
  HRESULT OnDeviceAdded(const std::wstring& id) override;
  HRESULT OnDeviceRemoved(const std::wstring& id) override;
  HRESULT OnDefaultDeviceChanged(platform::AudioFlow changedFlow, platform::AudioRole role,
                                 const std::wstring& id) override;
  HRESULT OnPropertyValueChanged(const std::wstring& id) override;

  // The endpoint whose removal or state change counts as a change.
  void SetTrackedDeviceId(const std::wstring& id);
  // Returns once `changed` is set or after `timeoutMs`; leaves `changed` as it is.
  void WaitForChange(std::uint32_t timeoutMs);
  // `changed`, cleared.
  bool TakeChanged();
  // Marks a change when `id` is the tracked endpoint (exact comparison; an empty tracked id
  // matches nothing).
  void MarkChangedIfTracked(const std::wstring& id);
  void MarkChanged();

 private:
  ~AudioDeviceNotifier() override = default;

  std::atomic<std::uint32_t> refCount{1};  // written by AddRef and Release, from any thread
  const platform::AudioFlow flow;
  std::mutex mutex;            // guards changed and trackedDeviceId; taken alone
  std::condition_variable cv;  // signals changed
  bool changed = false;
  std::wstring trackedDeviceId;
};

// What Start hands to each audio thread; the thread keeps its own copy.
struct AudioCaptureTask {
  TallowmarchSession* session = nullptr;
  LogSink log;            // a copy of the session's sink, taken at start
  std::wstring deviceId;  // the configured endpoint; empty: the system default
};

// The capture loop of one source. Returns only once it sees `stopRequested` set (within about
// 500 ms plus one call into the endpoint). `threadName` starts every log line.
void RunAudioCapture(platform::AudioFlow flow, AudioRing& ring, const ClipWindow& window,
                     const std::atomic<bool>& stopRequested, const std::wstring& threadName,
                     const LogSink& log, std::wstring configuredId);

// Thread bodies: loopback of a render endpoint into desktopRing ("desktop-audio"), a capture
// endpoint into micRing ("mic-audio").
void DesktopAudioThread(AudioCaptureTask task);
void MicAudioThread(AudioCaptureTask task);

}  // namespace tallowmarch
