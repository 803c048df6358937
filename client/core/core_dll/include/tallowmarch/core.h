/* The engine's C interface: an instant-replay recorder that keeps the last stretch of a window
 * or monitor in memory and saves it as an MP4 clip on request.
 *
 * Calling rules:
 *  - Nothing is thrown across this interface; every function returns normally.
 *  - Strings passed in are owned by the caller. Strings passed to callbacks are valid only for
 *    the duration of the call.
 *  - The log callback runs on whichever engine thread logs, with engine locks held: it must
 *    return promptly and must not call back into the engine.
 *  - Tallowmarch_GlobalInitialize and Tallowmarch_GlobalShutdown are called from one thread at
 *    a time, never concurrently with each other.
 *  - From Tallowmarch_GlobalInitialize on, the engine sets FFmpeg's process-wide log callback
 *    (av_log_set_callback): FFmpeg's warnings and errors reach the log callback as lines
 *    beginning "[FFMPEG] ", everything else FFmpeg logs is dropped, and nothing is written on
 *    standard error. A host that uses FFmpeg itself shares that callback. Shutdown and
 *    unloading the library put FFmpeg's default logger back (not one the host had set). */
#ifndef TALLOWMARCH_CORE_H
#define TALLOWMARCH_CORE_H

#include <stdbool.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TALLOWMARCH_API __attribute__((visibility("default")))

/* An opaque window handle; on X11 it carries the window id. Null is the invalid window. */
#ifndef TALLOWMARCH_HAVE_HWND
typedef struct HWND__* HWND;
#endif

/* Result codes of the capture exports. */
enum {
  TALLOWMARCH_OK = 0,
  TALLOWMARCH_ALREADY_CAPTURING = 1,
  TALLOWMARCH_NOT_CAPTURING = 2,
  TALLOWMARCH_INVALID_ARGUMENT = 3,
  TALLOWMARCH_OPERATION_FAILED = 4,
  TALLOWMARCH_SAVE_FAILED = 5,
  TALLOWMARCH_NOT_INITIALIZED = 6,
  TALLOWMARCH_NO_HARDWARE_ENCODER = 7
};

/* Result codes of Tallowmarch_VerifyUpdateArtifact. */
enum {
  TALLOWMARCH_ARTIFACT_VALID = 0,
  TALLOWMARCH_ARTIFACT_UNREADABLE = 1,
  TALLOWMARCH_ARTIFACT_BAD_ARGUMENT = 3,
  TALLOWMARCH_ARTIFACT_SIGNATURE_INVALID = 4
};

/* One log line, NUL-terminated, without a newline. */
typedef void (*TallowmarchLogCallback)(const wchar_t* line);
/* One audio endpoint: its id, its friendly name and whether it is the default one. */
typedef void (*TallowmarchAudioDeviceCallback)(const wchar_t* id, const wchar_t* name,
                                               bool isDefault);

TALLOWMARCH_API void Tallowmarch_SetLogCallback(TallowmarchLogCallback cb);
TALLOWMARCH_API int Tallowmarch_GlobalInitialize(void);
TALLOWMARCH_API void Tallowmarch_GlobalShutdown(void);
TALLOWMARCH_API const char* Tallowmarch_GetAppVersion(void);
TALLOWMARCH_API bool Tallowmarch_HasHardwareEncoder(void);
TALLOWMARCH_API void Tallowmarch_EnumerateAudioDevices(bool capture,
                                                       TallowmarchAudioDeviceCallback cb);
TALLOWMARCH_API void Tallowmarch_SetAudioSettings(float desktopVolume, float micVolume,
                                                  bool desktopMuted, bool micMuted,
                                                  const wchar_t* desktopDeviceId,
                                                  const wchar_t* micDeviceId);
TALLOWMARCH_API void Tallowmarch_SetCaptureBorderEnabled(bool enabled);
/* maxHeight, fps, bitrate and bufferSeconds: 0 or negative means the default (the source height,
 * 30 fps, 6000000 bit/s, 60 s). Larger values than a capture can serve are not refused but
 * clamped: fps to 240, bitrate to 100000000 bit/s, bufferSeconds to 600; a bitrate below
 * 1000 bit/s is raised to 1000. */
TALLOWMARCH_API int Tallowmarch_StartCapture(HWND target, bool captureMonitor, int maxHeight,
                                             int fps, int bitrate, int bufferSeconds);
TALLOWMARCH_API void Tallowmarch_StopCapture(void);
TALLOWMARCH_API bool Tallowmarch_IsCapturing(void);
TALLOWMARCH_API double Tallowmarch_GetMeasuredSustainableFps(void);
TALLOWMARCH_API bool Tallowmarch_GetSaveProgress(uint32_t* stage, uint32_t* done, uint32_t* total);
TALLOWMARCH_API int Tallowmarch_SaveClipNow(const wchar_t* outputDir, wchar_t* outPath,
                                            int outPathChars);
TALLOWMARCH_API int Tallowmarch_VerifyUpdateArtifact(const wchar_t* path, const uint8_t* signature,
                                                     int signatureLength, char* hexOut,
                                                     int hexOutChars);

#ifdef __cplusplus
}
#endif

#endif /* TALLOWMARCH_CORE_H */
