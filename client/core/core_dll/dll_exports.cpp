// The engine's exported C interface and the global state behind it.
//
// Lock order: g_lifecycleMutex, then g_sessionMutex (stop, shutdown and save take both, start
// and the queries only the second). For logging: the session's log lock, then g_logMutex;
// FFmpeg's lines take g_logMutex alone.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>

#include "dll_exports.h"
#include "engine_log.h"
#include "media/media.h"
#include "platform.h"
#include "session_impl.h"
#include "system/system.h"
#include "tallowmarch/core.h"
#include "tallowmarch_session.h"
#include "update_verification.h"

namespace {

using tallowmarch::TallowmarchSession;

// Declared before the session holder, so that they outlive it: its destructor takes them, and
// the session's stop logs through g_logMutex.
std::mutex g_sessionMutex;    // guards g_session and every call into the session by an export
std::mutex g_lifecycleMutex;  // held for the whole of stop, shutdown and save
std::mutex g_logMutex;        // guards g_hostLogCallback and each call of it

// Set once the process tears the session down. Exports called after it turn away at once
// instead of queueing for the locks: a host thread that calls them in a loop would otherwise
// take the lock back each time before the waking teardown gets it.
std::atomic<bool> g_exiting{false};

// The session of the process. At process exit (or unload) another host thread may still be
// inside an export: the holder takes the interface locks like a shutdown, so a running save
// finishes first and later calls find no session, instead of using one that is being freed.
struct SessionHolder {
  std::unique_ptr<TallowmarchSession> session;
  ~SessionHolder() {
    g_exiting.store(true);
    std::lock_guard lifecycle(g_lifecycleMutex);
    std::lock_guard lock(g_sessionMutex);
    if (!session) return;
    // Safe with the locks held: a restart waiting for them polls and gives up when cancelled,
    // and one that held them has finished.
    session->CancelRestart();
    session->Stop();
    session.reset();
    // FFmpeg outlives this library when the host unloads it.
    tallowmarch::RestoreFfmpegLog();
  }
};
SessionHolder g_holder;
std::unique_ptr<TallowmarchSession>& g_session = g_holder.session;  // guarded by g_sessionMutex
// Plain flag: initialise and shutdown are never called concurrently with each other.
bool g_globalInitialized = false;
TallowmarchLogCallback g_hostLogCallback = nullptr;  // guarded by g_logMutex

// Set while this thread runs the host's callback, that is while it holds g_logMutex.
thread_local bool t_inHostCallback = false;

// The session's log sink, and FFmpeg's. Lines of the session itself arrive with its log lock
// held; FFmpeg's come from any thread, its own workers included.
void ForwardLogToHost(const std::wstring& line) {
  // A host whose callback uses FFmpeg would make FFmpeg's lines come back here on a thread that
  // holds g_logMutex already: they are dropped rather than deadlock.
  if (t_inHostCallback) return;
  std::lock_guard lock(g_logMutex);
  if (g_hostLogCallback == nullptr) return;
  t_inHostCallback = true;
  g_hostLogCallback(line.c_str());
  t_inHostCallback = false;
}

// The project version (root CMakeLists.txt), the same that names the library file.
constexpr char kAppVersion[] = TALLOWMARCH_APP_VERSION;

}  // namespace

tallowmarch::TallowmarchSession* tallowmarch::ExportedSessionForTesting() {
  return g_session.get();
}

extern "C" {

TALLOWMARCH_API void Tallowmarch_SetLogCallback(TallowmarchLogCallback cb) {
  std::lock_guard lock(g_logMutex);
  g_hostLogCallback = cb;
}

TALLOWMARCH_API int Tallowmarch_GlobalInitialize(void) {
  using namespace tallowmarch::platform;
  if (g_globalInitialized) return TALLOWMARCH_OK;
  const HRESULT apartment = System().JoinMultithreadedApartment();
  if (FAILED(apartment) && apartment != RPC_E_CHANGED_MODE) return TALLOWMARCH_NOT_INITIALIZED;
  if (FAILED(Media().Startup(kMfVersion, kMfStartupFull))) return TALLOWMARCH_NOT_INITIALIZED;
  try {
    std::lock_guard lock(g_sessionMutex);
    g_session = std::make_unique<TallowmarchSession>();
    g_session->SetLogCallback(&ForwardLogToHost);
    g_session->SetInterfaceLocks(&g_lifecycleMutex, &g_sessionMutex);
    // FFmpeg's warnings and errors join the engine's log; nothing goes to standard error.
    tallowmarch::RouteFfmpegLog(&ForwardLogToHost);
    g_globalInitialized = true;
  } catch (const std::exception&) {
    // Out of memory: nothing crosses the interface. Media Foundation stays started, like
    // every step before the failing one.
    return TALLOWMARCH_NOT_INITIALIZED;
  }
  return TALLOWMARCH_OK;
}

TALLOWMARCH_API void Tallowmarch_GlobalShutdown(void) {
  // A watchdog restart takes the two locks below: cancel and join it before taking them. Only
  // initialise and shutdown replace g_session, and never concurrently, so it is read safely.
  if (g_session) g_session->CancelRestart();
  {
    std::lock_guard lifecycle(g_lifecycleMutex);
    std::lock_guard lock(g_sessionMutex);
    if (g_session) {
      g_session->Stop();
      g_session.reset();
    }
  }
  tallowmarch::RestoreFfmpegLog();
  if (g_globalInitialized) {
    tallowmarch::platform::Media().Shutdown();
    g_globalInitialized = false;
  }
  tallowmarch::platform::System().ReleaseFreedMemory();  // as after a stop
}

TALLOWMARCH_API const char* Tallowmarch_GetAppVersion(void) {
  return kAppVersion;
}

TALLOWMARCH_API bool Tallowmarch_HasHardwareEncoder(void) {
  return TallowmarchSession::HasHardwareEncoder();
}

TALLOWMARCH_API void Tallowmarch_EnumerateAudioDevices(bool capture,
                                                       TallowmarchAudioDeviceCallback cb) {
  if (cb == nullptr) return;
  // ForwardAudioDevice: holds the host's callback by value.
  auto forward = [cb](const std::wstring& id, const std::wstring& name, bool isDefault) {
    cb(id.c_str(), name.c_str(), isDefault);
  };
  try {
    TallowmarchSession::EnumerateAudioEndpoints(capture, forward);
  } catch (const std::exception&) {
    // Out of memory while copying names: the listing ends early.
  }
}

TALLOWMARCH_API void Tallowmarch_SetAudioSettings(float desktopVolume, float micVolume,
                                                  bool desktopMuted, bool micMuted,
                                                  const wchar_t* desktopDeviceId,
                                                  const wchar_t* micDeviceId) {
  if (g_exiting.load()) return;
  std::lock_guard lock(g_sessionMutex);
  if (!g_session) return;  // not remembered for a later session
  try {
    tallowmarch::AudioSettings settings;
    settings.desktopVolume = desktopVolume;
    settings.micVolume = micVolume;
    settings.desktopMuted = desktopMuted;
    settings.micMuted = micMuted;
    settings.desktopDeviceId = desktopDeviceId != nullptr ? desktopDeviceId : L"";
    settings.micDeviceId = micDeviceId != nullptr ? micDeviceId : L"";
    g_session->SetAudioSettings(settings);
  } catch (const std::exception&) {
    // Out of memory: the settings stay as they were.
  }
}

TALLOWMARCH_API void Tallowmarch_SetCaptureBorderEnabled(bool enabled) {
  if (g_exiting.load()) return;
  std::lock_guard lock(g_sessionMutex);
  if (g_session) g_session->SetCaptureBorderEnabled(enabled);
}

TALLOWMARCH_API int Tallowmarch_StartCapture(HWND target, bool captureMonitor, int maxHeight,
                                             int fps, int bitrate, int bufferSeconds) {
  if (g_exiting.load()) return TALLOWMARCH_NOT_INITIALIZED;
  std::lock_guard lock(g_sessionMutex);
  if (!g_session) return TALLOWMARCH_NOT_INITIALIZED;
  if (target == nullptr) return TALLOWMARCH_INVALID_ARGUMENT;
  if (g_session->IsCapturing()) return TALLOWMARCH_ALREADY_CAPTURING;
  if (!TallowmarchSession::HasHardwareEncoder()) return TALLOWMARCH_NO_HARDWARE_ENCODER;
  auto orDefault = [](int value) { return value > 0 ? static_cast<unsigned>(value) : 0u; };
  // Start never throws; it reports every failure through its result and the log.
  return g_session->Start(target, captureMonitor, orDefault(maxHeight), orDefault(fps),
                          orDefault(bitrate), orDefault(bufferSeconds))
             ? TALLOWMARCH_OK
             : TALLOWMARCH_OPERATION_FAILED;
}

TALLOWMARCH_API void Tallowmarch_StopCapture(void) {
  if (g_exiting.load()) return;
  {
    std::lock_guard lifecycle(g_lifecycleMutex);
    std::lock_guard lock(g_sessionMutex);
    if (g_session) g_session->Stop();
  }
  // The stopped capture's segments, chunks and encoders were freed; the heap would keep their
  // pages. Trimmed without the interface locks, which other calls may be waiting for.
  tallowmarch::platform::System().ReleaseFreedMemory();
}

TALLOWMARCH_API bool Tallowmarch_IsCapturing(void) {
  if (g_exiting.load()) return false;
  std::lock_guard lock(g_sessionMutex);
  return g_session && g_session->IsCapturing();
}

TALLOWMARCH_API double Tallowmarch_GetMeasuredSustainableFps(void) {
  if (g_exiting.load()) return 0.0;
  std::lock_guard lock(g_sessionMutex);
  if (!g_session || !g_session->IsCapturing()) return 0.0;
  return g_session->GetMeasuredSustainableFps();
}

TALLOWMARCH_API bool Tallowmarch_GetSaveProgress(uint32_t* stage, uint32_t* done, uint32_t* total) {
  uint32_t s = 0, d = 0, t = 0;
  bool running = false;
  if (!g_exiting.load()) {
    std::lock_guard lock(g_sessionMutex);
    if (g_session) running = g_session->GetSaveProgress(&s, &d, &t);
  }
  if (stage != nullptr) *stage = s;
  if (done != nullptr) *done = d;
  if (total != nullptr) *total = t;
  return running;
}

TALLOWMARCH_API int Tallowmarch_SaveClipNow(const wchar_t* outputDir, wchar_t* outPath,
                                            int outPathChars) {
  if (outputDir == nullptr || g_exiting.load()) return TALLOWMARCH_NOT_INITIALIZED;
  try {
    // Held to the end: stop, shutdown and a second save wait for this one.
    std::lock_guard lifecycle(g_lifecycleMutex);
    TallowmarchSession* session = nullptr;
    {
      std::lock_guard lock(g_sessionMutex);
      if (!g_session) return TALLOWMARCH_NOT_INITIALIZED;
      if (!g_session->IsCapturing()) return TALLOWMARCH_NOT_CAPTURING;
      session = g_session.get();
    }
    // The session lock is released while the clip is written, so status queries, settings and
    // the log keep working; the lifecycle lock keeps the session alive.
    std::wstring path;
    if (!session->SaveClipNow(outputDir, path)) return TALLOWMARCH_SAVE_FAILED;
    if (outPath != nullptr && outPathChars >= 1) {
      const size_t room = static_cast<size_t>(outPathChars) - 1;
      const size_t n = std::min(room, path.size());
      std::wmemcpy(outPath, path.c_str(), n);
      outPath[n] = L'\0';
    }
    return TALLOWMARCH_OK;
  } catch (const std::exception&) {
    return TALLOWMARCH_SAVE_FAILED;  // out of memory for the folder or path strings
  }
}

TALLOWMARCH_API int Tallowmarch_VerifyUpdateArtifact(const wchar_t* path, const uint8_t* signature,
                                                     int signatureLength, char* hexOut,
                                                     int hexOutChars) {
  if (path == nullptr) return TALLOWMARCH_ARTIFACT_BAD_ARGUMENT;
  const size_t sigLength = signatureLength < 0 ? 0 : static_cast<size_t>(signatureLength);
  const size_t hexChars = hexOutChars < 0 ? 0 : static_cast<size_t>(hexOutChars);
  int result;
  try {
    result = tallowmarch::update::VerifyArtifactFile(path, signature, sigLength, hexOut, hexChars);
  } catch (const std::exception&) {
    return TALLOWMARCH_ARTIFACT_UNREADABLE;  // out of memory for the path or the read buffer
  }
  return (result >= 0 && result <= 4) ? result : TALLOWMARCH_ARTIFACT_SIGNATURE_INVALID;
}

}  // extern "C"
