#include "clip_save.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <memory>
#include <stdexcept>
#include <thread>

#include "clip_output_file.h"
#include "common/wide_text.h"
#include "ffmpeg_handles.h"
#include "hresult_error.h"
#include "platform.h"
#include "save_audio.h"
#include "save_diagnostics.h"
#include "save_reencoder.h"
#include "save_video.h"

namespace tallowmarch {
namespace {

constexpr AVRational kHnsTimeBase{1, 10000000};
// Enough for any folder of clips of one second; past it the save fails rather than overwrite.
constexpr unsigned kMaxClipsPerSecond = 1000;

// Puts the progress back to 0, 0, 0 on every way out of a save.
class SaveProgressGuard {
 public:
  explicit SaveProgressGuard(TallowmarchSession::Impl& state) : state_(state) {}
  ~SaveProgressGuard() { state_.ResetSaveProgress(); }
  SaveProgressGuard(const SaveProgressGuard&) = delete;
  SaveProgressGuard& operator=(const SaveProgressGuard&) = delete;

 private:
  TallowmarchSession::Impl& state_;
};

// The first segment's video stream: its parameters and time base.
struct ProbedVideo {
  ffmpeg::CodecParameters parameters;
  AVRational timeBase{1, 1};
};

ProbedVideo ProbeFirstSegment(const VideoSegment& segment) {
  SegmentDemuxer input(segment, {"avformat_open_input failed probing first segment", nullptr,
                                 "no video stream in first segment"});
  ProbedVideo probed;
  probed.parameters.reset(avcodec_parameters_alloc());
  if (!probed.parameters) throw std::bad_alloc();
  if (avcodec_parameters_copy(probed.parameters.get(), input.VideoStream()->codecpar) < 0) {
    throw std::bad_alloc();
  }
  probed.timeBase = input.VideoStream()->time_base;
  return probed;
}

AVStream* NewStream(AVFormatContext* output) {
  AVStream* stream = avformat_new_stream(output, nullptr);
  if (stream == nullptr) throw std::runtime_error("avformat_new_stream failed");
  return stream;
}

std::wstring WidenBytes(const char* text) {
  std::wstring wide;
  for (const char* p = text; *p != '\0'; ++p)
    wide += static_cast<wchar_t>(static_cast<unsigned char>(*p));
  return wide;
}

// The guarded part of a save: from the probe to the trailer. Raises on failure.
struct ClipWriter {
  TallowmarchSession::Impl& state;
  SaveMemoryLog& memLog;
  const FormatSaveRingMemory& ringText;
  const ClipTimeRange clip;  // the clip's span on the engine clock; its start is time 0
  std::deque<VideoSegment>& segments;
  std::deque<AudioChunk>& desktop;
  std::deque<AudioChunk>& mic;
  const std::vector<std::uint8_t>& desktopFormat;
  const std::vector<std::uint8_t>& micFormat;
  const AudioSettings& settings;
  const std::wstring& path;
  ClipOutputFile& output;

  void Stage(const wchar_t* name) { LogSaveMemoryStage(memLog, name, ringText()); }

  void LogSkipped(const VideoSegment& segment, const SegmentOpenError& error) {
    state.LogFormatted(L"SaveClipNow: segment at t=%f cannot be opened - skipped (%s)",
                       static_cast<double>(segment.startTime) / 1e7, error.what());
  }

  // The first segment that opens; those before it are left out. Raises the probe's error when
  // none is left.
  ProbedVideo ProbeFirstOpenSegment() {
    for (;;) {
      try {
        return ProbeFirstSegment(segments.front());
      } catch (const SegmentOpenError& e) {
        if (segments.size() == 1) throw;
        LogSkipped(segments.front(), e);
        segments.pop_front();
      }
    }
  }

  void Run() {
    const std::int64_t clipStart = clip.start;
    ProbedVideo probed = ProbeFirstOpenSegment();
    std::int64_t videoTail = av_rescale_q(1, probed.timeBase, kHnsTimeBase);

    AVFormatContext* out = output.CreateMuxer();

    const bool reencode = std::any_of(segments.begin(), segments.end(),
                                      [](const VideoSegment& s) { return s.reencodeAtSave; });
    AVStream* videoStream = NewStream(out);
    const int videoIndex = videoStream->index;
    std::unique_ptr<SaveReencoder> reencoder;
    if (reencode) {
      if (!state.encodeContext) throw std::runtime_error("save-time re-encoder: no encode context");
      reencoder = std::make_unique<SaveReencoder>(
          *state.encodeContext, out, videoIndex, static_cast<int>(state.encodeWidth),
          static_cast<int>(state.encodeHeight), static_cast<int>(state.fps),
          static_cast<int>(state.bitrate));
      reencoder->ExportStreamParameters(videoStream);
      videoTail = 10000000 / std::max<std::int64_t>(state.fps, 1);
      state.Log(L"SaveClipNow: two-stage re-encode " + std::to_wstring(segments.size()) +
                L" segment(s) -> " + std::to_wstring(state.bitrate / 1000) + L"kbps");
    } else {
      if (avcodec_parameters_copy(videoStream->codecpar, probed.parameters.get()) < 0) {
        throw std::bad_alloc();
      }
      videoStream->time_base = probed.timeBase;
    }
    probed.parameters.reset();
    Stage(L"transcoder-init");

    const bool haveAudio = !desktop.empty() || !mic.empty();
    int audioIndex = -1;
    std::unique_ptr<AacEncoder> aac;
    if (haveAudio) {
      AVStream* audioStream = NewStream(out);
      audioIndex = audioStream->index;
      aac = std::make_unique<AacEncoder>(out, audioIndex);
      if (avcodec_parameters_from_context(audioStream->codecpar, aac->CodecContext()) < 0) {
        throw std::bad_alloc();
      }
      audioStream->time_base = aac->CodecContext()->time_base;
    }

    output.Open();
    output.WriteHeader();
    Stage(L"header");

    const double windowSeconds = static_cast<double>(clip.end - clip.start) / 1e7;
    const std::uint64_t mixLength =
        windowSeconds > 0 ? static_cast<std::uint64_t>(windowSeconds * 48000.0) : 0;
    std::vector<float> mix(mixLength * 2, 0.0f);
    Stage(L"mixed-alloc");
    AudioMixJob job{memLog, clipStart, mixLength, mix};

    state.SetSaveProgress(2, 0, 0);
    if (haveAudio) {
      MixAudioSource(job, desktop, desktopFormat, DesktopGain(settings));
      MixAudioSource(job, mic, micFormat, MicGain(settings));
      for (float& sample : mix) sample = SoftLimit(sample);
      desktop.clear();
      mic.clear();
      Stage(L"audio-released");
    }

    const size_t count = segments.size();
    const auto total = static_cast<std::uint32_t>(count);
    const std::uint64_t mixFrames = mix.size() / 2;
    std::int64_t videoEnd = 0;
    std::int64_t lastVideoTs = AV_NOPTS_VALUE;  // of the remuxed stream, across segments
    std::uint64_t pushedFrames = 0;
    state.SetSaveProgress(3, 0, total);
    for (size_t i = 0; i < count; ++i) {
      state.SetSaveProgress(3, static_cast<std::uint32_t>(i + 1), total);
      try {
        if (reencode) {
          TranscodeSegment(*reencoder, segments[i], clipStart, videoEnd);
        } else {
          RemuxSegment(segments[i], out, videoIndex, clipStart, videoEnd, lastVideoTs);
        }
      } catch (const SegmentOpenError& e) {
        LogSkipped(segments[i], e);  // the clip is made of the segments that open
      }
      segments[i].bytes.reset();
      output.CheckWrites();
      if (i % 10 == 0 || i + 1 == count) {
        wchar_t name[32];
        std::swprintf(name, 32, L"segment-%02zu", i);
        Stage(name);
      }
      if (haveAudio && pushedFrames < mixFrames) {
        const double t = static_cast<double>(videoEnd) / 1e7;
        const std::uint64_t target =
            t <= 0 ? 0 : std::min(mixFrames, static_cast<std::uint64_t>(t * 48000.0));
        if (target > pushedFrames) {
          aac->Push(mix.data() + pushedFrames * 2, target - pushedFrames);
          pushedFrames = target;
        }
      }
    }

    state.SetSaveProgress(4, 0, 0);
    if (reencoder) reencoder->Flush();
    if (aac) aac->Flush();
    Stage(L"flush");

    const double videoSeconds = static_cast<double>(videoEnd + videoTail) / 1e7;
    const double audioSeconds = static_cast<double>(pushedFrames) / 48000.0;
    output.Finish();
    Stage(L"trailer");

    state.Log(L"Saved clip: ~" + std::to_wstring(static_cast<std::int32_t>(videoSeconds)) +
              L"s video, ~" + std::to_wstring(static_cast<std::int32_t>(audioSeconds)) +
              L"s audio -> " + path);
  }
};

}  // namespace

std::wstring ClipFileName(const platform::LocalTime& time, unsigned sequence) {
  wchar_t name[64];
  std::swprintf(name, 64, L"clip_%04u-%02u-%02u_%02u-%02u-%02u", time.year, time.month, time.day,
                time.hour, time.minute, time.second);
  std::wstring out = name;
  if (sequence > 1) out += L"_" + std::to_wstring(sequence);
  return out + L".mp4";
}

std::wstring ClipFolderPrefix(const std::wstring& outputDir) {
  std::wstring folder = outputDir;
  if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'/';
  return folder;
}

std::wstring ChooseClipPath(const std::wstring& outputDir, const platform::LocalTime& time,
                            bool& reserved) {
  const std::wstring folder = ClipFolderPrefix(outputDir);
  reserved = false;
  for (unsigned sequence = 1; sequence <= kMaxClipsPerSecond; ++sequence) {
    std::wstring path = folder + ClipFileName(time, sequence);
    switch (platform::System().CreateNewFile(path)) {
      case platform::NewFileResult::kCreated:
        reserved = true;
        return path;
      case platform::NewFileResult::kExists:
        continue;
      case platform::NewFileResult::kFailed:
        return path;  // the folder takes no file; opening it reports that
    }
  }
  throw std::runtime_error("no free clip file name for this second");
}

bool WriteClip(TallowmarchSession::Impl& state, const std::wstring& outputDir,
               std::wstring& outPath) {
  LogSink forward = [&state](const std::wstring& line) { state.Log(line); };
  SaveMonitorStop monitorStop;
  std::thread monitor;
  SaveMonitorStopGuard monitorGuard(&monitorStop, &monitor);
  monitor = std::thread(SaveMemoryMonitorThread, SaveMonitorTask{&monitorStop, forward});

  SaveMemoryLog memLog{forward, 0.0};
  LogSaveMemoryStage(memLog, L"entry", L"");

  SaveProgressGuard progressGuard(state);
  state.SetSaveProgress(1, 0, 0);

  const ClipTimeRange window = state.clipWindow.Window();
  std::deque<VideoSegment> segments = state.videoRing.Snapshot(window);
  // A window shorter than a segment can fall between two segments' ends: a save still holds
  // the newest one.
  if (segments.empty()) segments = state.videoRing.Newest();
  // The clip's time line starts where its first segment does when that segment began before
  // the window: a segment can only be copied whole, and moving it to the window start would put
  // its picture behind the sound and on top of the next segment's first frames.
  ClipTimeRange clip = window;
  if (!segments.empty()) clip.start = std::min(window.start, segments.front().startTime);
  // With the sound still being gathered: the last moments before the save are why it was made.
  std::deque<AudioChunk> desktop = state.desktopRing.SnapshotUpToNow(clip);
  std::deque<AudioChunk> mic = state.micRing.SnapshotUpToNow(clip);
  // The formats belong with the chunks just taken, so they are copied now, not after the
  // header: a device reopened meanwhile may have changed them.
  const std::vector<std::uint8_t> desktopFormat = state.desktopRing.MixFormat();
  const std::vector<std::uint8_t> micFormat = state.micRing.MixFormat();
  const FormatSaveRingMemory ringText(segments, desktop, mic, state.videoRing, state.desktopRing,
                                      state.micRing);
  LogSaveMemoryStage(memLog, L"snapshot", ringText());

  if (segments.empty()) {
    state.Log(L"Nothing buffered yet - save ignored.");
    return false;
  }

  AudioSettings settings;
  {
    std::lock_guard lock(state.settingsMutex);
    settings = state.audioSettings;
  }
  platform::System().CreateDirectory(outputDir);  // an existing folder is fine
  bool reserved = false;
  const std::wstring path =
      ChooseClipPath(outputDir, platform::System().CurrentLocalTime(), reserved);
  ClipOutputFile output(path, reserved);  // removes the reserved file unless the clip is whole
  std::wstring failure;
  try {
    ClipWriter{state, memLog,        ringText,  clip,     segments, desktop,
               mic,   desktopFormat, micFormat, settings, path,     output}
        .Run();
  } catch (const hresult_error& e) {
    failure =
        L"SaveClipNow() failed: " + FormatHresult(e.code()) + L" (" + Widen(e.message()) + L")";
  } catch (const std::exception& e) {
    failure = L"SaveClipNow() failed: " + WidenBytes(e.what());
  }
  if (!failure.empty()) {
    state.Log(failure);
    return false;
  }
  outPath = path;
  return true;
}

bool TallowmarchSession::SaveClipNow(const std::wstring& outputDir, std::wstring& outPath) {
  Impl& state = *impl;
  if (!capturing.load()) {
    state.Log(L"SaveClipNow() called while not running - ignored.");
    return false;
  }
  try {
    return WriteClip(state, outputDir, outPath);
  } catch (const std::exception& e) {
    // Before the guarded part: no memory for the snapshots or the path, no monitor thread.
    state.Log(L"SaveClipNow() failed: " + WidenBytes(e.what()));
    return false;
  }
}

}  // namespace tallowmarch
