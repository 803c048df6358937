// A capture of the simulated scene saved through the C exports of the simulation library, and
// the clip read back with FFmpeg.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/sim_capture.h"
#include "export_test_log.h"
#include "save_test_support.h"
#include "sim_platform.h"
#include "tallowmarch/core.h"

namespace {

using namespace std::chrono_literals;

using tallowmarch::test::CollectLine;
using tallowmarch::test::CountLines;

extern "C" char** environ;

const HWND kWindow = reinterpret_cast<HWND>(std::uintptr_t{0x1001});  // the sim's 1280x720 window
constexpr std::uint32_t kSceneBgra = 0xFF3060C0u;

// The scene's colour after the BT.709 limited-range conversion of the encode path.
tallowmarch::test::Yuv ExpectedYuv(std::uint32_t bgra) {
  const double r = (bgra >> 16) & 0xFF, g = (bgra >> 8) & 0xFF, b = bgra & 0xFF;
  const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  return {static_cast<std::uint8_t>(16 + y * 219 / 255 + 0.5),
          static_cast<std::uint8_t>(128 + (b - y) / 1.8556 * 224 / 255 + 0.5),
          static_cast<std::uint8_t>(128 + (r - y) / 1.5748 * 224 / 255 + 0.5)};
}

TEST(ClipSaveThroughExports, ASevenSecondCaptureSavesAReadableClipOfTheScene) {
  tallowmarch::sim::ResetAll();
  tallowmarch::sim::Capture().SetScenePattern(tallowmarch::platform::SimScenePattern::Solid,
                                              kSceneBgra);
  tallowmarch::sim::Capture().SetSceneRate(30.0);
  Tallowmarch_SetLogCallback(&CollectLine);
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  ASSERT_EQ(Tallowmarch_StartCapture(kWindow, false, 0, 30, 0, 0), TALLOWMARCH_OK);
  // The capture's length is the input here (the exports show no segment count): 8 s, so that
  // three 2-second segments are finished whatever the scheduling.
  std::this_thread::sleep_for(8s);

  const std::string folder = tallowmarch::test::MakeTempFolder("tm_clip_export") + "/clips";
  const std::wstring wideFolder(folder.begin(), folder.end());
  // A buffer of 10 characters receives the first 9 of the path.
  wchar_t shortPath[10];
  ASSERT_EQ(Tallowmarch_SaveClipNow(wideFolder.c_str(), shortPath, 10), TALLOWMARCH_OK);
  EXPECT_EQ(std::wstring(shortPath), wideFolder.substr(0, 9));
  // No buffer: still saved.
  EXPECT_EQ(Tallowmarch_SaveClipNow(wideFolder.c_str(), nullptr, 0), TALLOWMARCH_OK);
  wchar_t path[512];
  ASSERT_EQ(Tallowmarch_SaveClipNow(wideFolder.c_str(), path, 512), TALLOWMARCH_OK);
  std::uint32_t stage = 9, done = 9, total = 9;
  EXPECT_FALSE(Tallowmarch_GetSaveProgress(&stage, &done, &total));
  EXPECT_EQ(stage + done + total, 0u);
  Tallowmarch_StopCapture();
  EXPECT_EQ(Tallowmarch_SaveClipNow(wideFolder.c_str(), path, 512), TALLOWMARCH_NOT_CAPTURING);
  Tallowmarch_GlobalShutdown();
  Tallowmarch_SetLogCallback(nullptr);

  // Three clips, none overwritten.
  EXPECT_EQ(tallowmarch::test::ListFolder(folder).size(), 3u);
  const std::wstring widePath(path);
  const tallowmarch::test::ClipReadback clip =
      tallowmarch::test::ReadClip(std::string(widePath.begin(), widePath.end()));
  ASSERT_TRUE(clip.opened);
  EXPECT_EQ(clip.streams, 2);  // the simulated endpoints' sound follows the video
  EXPECT_EQ(clip.videoIndex, 0);
  EXPECT_EQ(clip.videoCodec, "h264");
  EXPECT_EQ(clip.width, 1280);
  EXPECT_EQ(clip.height, 720);
  // The finished segments from the capture start: 6 s or more, at 30 fps.
  EXPECT_GE(clip.videoEndSeconds, 5.5);
  EXPECT_LE(clip.videoEndSeconds, 12.0);
  // Every frame decodes; at most 30 a second (fewer when the pipeline backs off on a slow
  // build).
  EXPECT_EQ(static_cast<size_t>(clip.videoFrames), clip.videoPts.size());
  EXPECT_GE(clip.videoFrames, 60);
  EXPECT_LE(clip.videoFrames, clip.videoEndSeconds * 30.0 + 2.0);
  ASSERT_FALSE(clip.frameCentres.empty());
  const tallowmarch::test::Yuv expected = ExpectedYuv(kSceneBgra);
  const tallowmarch::test::Yuv& centre = clip.frameCentres[clip.frameCentres.size() / 2];
  EXPECT_NEAR(centre.y, expected.y, 4);
  EXPECT_NEAR(centre.u, expected.u, 4);
  EXPECT_NEAR(centre.v, expected.v, 4);

  std::filesystem::remove_all(std::filesystem::path(folder).parent_path());
  EXPECT_EQ(CountLines(L"Saved clip: ~"), 3);
  EXPECT_EQ(CountLines(L"SaveClipNow() failed"), 0);
}

// Waits until `done` holds or `timeout` passes; true when it holds.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

// Starts a capture of the simulated scene with the log collected, and waits until a segment is
// finished (the exports show no ring: the capture's length is the input).
void StartCaptureWithASegment(void (*logCallback)(const wchar_t*) = &CollectLine) {
  tallowmarch::sim::ResetAll();
  tallowmarch::test::ClearLines();
  Tallowmarch_SetLogCallback(logCallback);
  ASSERT_EQ(Tallowmarch_GlobalInitialize(), TALLOWMARCH_OK);
  ASSERT_EQ(Tallowmarch_StartCapture(kWindow, false, 0, 30, 0, 0), TALLOWMARCH_OK);
  std::this_thread::sleep_for(4500ms);
}

void ShutDown() {
  Tallowmarch_StopCapture();
  Tallowmarch_GlobalShutdown();
  Tallowmarch_SetLogCallback(nullptr);
}

// A folder with a small tmpfs mounted on it: a disk that fills up.
class SmallDisk {
 public:
  explicit SmallDisk(const char* size) : folder_(tallowmarch::test::MakeTempFolder("tm_disk")) {
    const std::string options = std::string("size=") + size;
    mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    std::filesystem::remove_all(folder_);
  }
  bool Mounted() const { return mounted_; }
  const std::string& Folder() const { return folder_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

TEST(ClipSaveThroughExports, AFullDiskFailsTheSaveAndLeavesNoFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root; not run as root";
  SmallDisk disk("16k");
  if (!disk.Mounted()) GTEST_SKIP() << "this system refuses to mount a tmpfs";
  StartCaptureWithASegment();
  wchar_t path[512] = L"untouched";
  EXPECT_EQ(Tallowmarch_SaveClipNow(Wide(disk.Folder()).c_str(), path, 512),
            TALLOWMARCH_SAVE_FAILED);
  EXPECT_EQ(std::wstring(path), L"untouched");
  ShutDown();
  EXPECT_EQ(CountLines(L"SaveClipNow() failed: "), 1);
  EXPECT_EQ(CountLines(L"Saved clip: ~"), 0);
  EXPECT_TRUE(tallowmarch::test::ListFolder(disk.Folder()).empty());
}

std::mutex g_removeMutex;  // guards g_removeAtHeader
std::string g_removeAtHeader;

// Collects the line; at the save's header stage removes the clip's folder with the open file.
void RemoveFolderAtHeader(const wchar_t* line) {
  CollectLine(line);
  if (std::wstring(line).rfind(L"[DIAG-SAVE-MEM] stage=header ", 0) != 0) return;
  std::lock_guard lock(g_removeMutex);
  if (!g_removeAtHeader.empty()) std::filesystem::remove_all(g_removeAtHeader);
  g_removeAtHeader.clear();
}

TEST(ClipSaveThroughExports, AClipIsAlwaysALocalFileThatIsStillThereWhenReported) {
  const std::string base = tallowmarch::test::MakeTempFolder("tm_clip_names");
  StartCaptureWithASegment(&RemoveFolderAtHeader);

  // Folder names that FFmpeg would read as URLs are folders (relative to the current one).
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(base);
  for (const std::wstring folder : {L"rel:dir", L"pipe:", L"http:", L"file:x"}) {
    wchar_t path[512] = {};
    ASSERT_EQ(Tallowmarch_SaveClipNow(folder.c_str(), path, 512), TALLOWMARCH_OK);
    const std::wstring saved(path);
    EXPECT_EQ(saved.rfind(folder + L"/clip_", 0), 0u);
    const std::string local = base + "/" + std::string(saved.begin(), saved.end());
    EXPECT_TRUE(tallowmarch::test::ReadClip(local).opened) << local;
  }
  std::filesystem::current_path(previous);

  // The folder goes while the clip is written: no path may be reported for it.
  const std::string doomed = base + "/doomed";
  {
    std::lock_guard lock(g_removeMutex);
    g_removeAtHeader = doomed;
  }
  wchar_t path[512] = L"untouched";
  EXPECT_EQ(Tallowmarch_SaveClipNow(Wide(doomed).c_str(), path, 512), TALLOWMARCH_SAVE_FAILED);
  EXPECT_EQ(std::wstring(path), L"untouched");
  EXPECT_FALSE(std::filesystem::exists(doomed));
  ShutDown();
  EXPECT_EQ(CountLines(L"Saved clip: ~"), 4);
  EXPECT_EQ(CountLines(L"SaveClipNow() failed: "), 1);
  std::filesystem::remove_all(base);
}

// Holds the save at a chosen stage line (in the host's log callback, on the save's thread)
// until the test lets it go.
struct SaveGate {
  std::mutex mutex;  // guards every field
  std::condition_variable cv;
  std::wstring holdAt;  // the stage line to stop at; empty: none
  bool held = false;
  bool release = false;
  int holds = 0;  // how many times a save was held
};
SaveGate g_gate;

void GatedLine(const wchar_t* line) {
  CollectLine(line);
  std::unique_lock lock(g_gate.mutex);
  if (g_gate.holdAt.empty() || std::wstring(line).rfind(g_gate.holdAt, 0) != 0) return;
  g_gate.held = true;
  ++g_gate.holds;
  g_gate.cv.notify_all();
  g_gate.cv.wait(lock, [] { return g_gate.release; });
  g_gate.held = g_gate.release = false;
}

// Lets a held save go on to the next `stage` (none when empty); true when it is held there.
bool MoveSaveTo(const std::wstring& stage) {
  std::unique_lock lock(g_gate.mutex);
  g_gate.holdAt = stage.empty() ? L"" : L"[DIAG-SAVE-MEM] stage=" + stage + L" ";
  const int before = g_gate.holds;
  if (g_gate.held) {
    g_gate.release = true;
    g_gate.cv.notify_all();
  }
  if (stage.empty()) return true;
  return g_gate.cv.wait_for(lock, 60s, [&] { return g_gate.holds > before; });
}

// Runs `call` on its own thread; Answered() tells whether it has returned.
class Call {
 public:
  explicit Call(std::function<void()> call)
      : thread_([this, call] {
          call();
          done_.store(true);
        }) {}
  ~Call() { thread_.join(); }
  bool Answered(std::chrono::milliseconds within) const {
    return WaitUntil([this] { return done_.load(); }, within);
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

struct Progress {
  bool running = false;
  std::uint32_t stage = 0, done = 0, total = 0;
};
Progress ReadProgress() {
  Progress p;
  p.running = Tallowmarch_GetSaveProgress(&p.stage, &p.done, &p.total);
  return p;
}

TEST(ClipSaveThroughExports, WhileASaveRunsTheStatusAnswersAndTheLifecycleWaits) {
  StartCaptureWithASegment(&GatedLine);
  const std::string folder = tallowmarch::test::MakeTempFolder("tm_clip_gate");
  const std::wstring wideFolder = Wide(folder);
  {
    std::lock_guard lock(g_gate.mutex);
    g_gate.holdAt = L"[DIAG-SAVE-MEM] stage=header ";
  }
  std::mutex orderMutex;  // guards order
  std::vector<std::string> order;
  auto note = [&](const char* what) {
    std::lock_guard lock(orderMutex);
    order.push_back(what);
  };
  int firstResult = -1, secondResult = -1;
  auto first = std::make_unique<Call>([&] {
    firstResult = Tallowmarch_SaveClipNow(wideFolder.c_str(), nullptr, 0);
    note("save");
  });
  {
    std::unique_lock lock(g_gate.mutex);
    ASSERT_TRUE(g_gate.cv.wait_for(lock, 60s, [] { return g_gate.held; }));
  }

  // Held after its header: the status and settings exports answer, and a start finds the
  // capture running.
  bool capturing = false;
  int started = -1;
  Progress atHeader;
  {
    Call status([&] {
      capturing = Tallowmarch_IsCapturing();
      Tallowmarch_GetMeasuredSustainableFps();
      atHeader = ReadProgress();
      started = Tallowmarch_StartCapture(kWindow, false, 0, 30, 0, 0);
      Tallowmarch_SetAudioSettings(0.5f, 0.5f, false, false, nullptr, nullptr);
      Tallowmarch_SetCaptureBorderEnabled(false);
    });
    EXPECT_TRUE(status.Answered(20s));
    if (!status.Answered(0ms)) MoveSaveTo(L"");  // let everything unwind
  }
  EXPECT_TRUE(capturing);
  EXPECT_EQ(started, TALLOWMARCH_ALREADY_CAPTURING);
  EXPECT_TRUE(atHeader.running);
  EXPECT_EQ(atHeader.stage, 1u);

  // A stop, a second save and a shutdown wait for it through its later stages.
  auto stop = std::make_unique<Call>([&] {
    Tallowmarch_StopCapture();
    note("stop");
  });
  auto second = std::make_unique<Call>([&] {
    secondResult = Tallowmarch_SaveClipNow(wideFolder.c_str(), nullptr, 0);
    note("second save");
  });
  auto shutdown = std::make_unique<Call>([&] {
    Tallowmarch_GlobalShutdown();
    note("shutdown");
  });
  Progress atSegment, atFlush;
  ASSERT_TRUE(MoveSaveTo(L"segment-00"));
  {
    Call status([&] { atSegment = ReadProgress(); });
    EXPECT_TRUE(status.Answered(20s));
  }
  ASSERT_TRUE(MoveSaveTo(L"flush"));
  {
    Call status([&] {
      atFlush = ReadProgress();
      capturing = Tallowmarch_IsCapturing();
    });
    EXPECT_TRUE(status.Answered(20s));
  }
  // Still running for all three, a while after they were called.
  EXPECT_FALSE(stop->Answered(300ms));
  EXPECT_FALSE(second->Answered(0ms));
  EXPECT_FALSE(shutdown->Answered(0ms));
  EXPECT_TRUE(capturing);
  MoveSaveTo(L"");
  first.reset();
  stop.reset();
  second.reset();
  shutdown.reset();
  Tallowmarch_SetLogCallback(nullptr);

  EXPECT_TRUE(atSegment.running);
  EXPECT_EQ(atSegment.stage, 3u);
  EXPECT_EQ(atSegment.done, 1u);
  EXPECT_GE(atSegment.total, 1u);
  EXPECT_TRUE(atFlush.running);
  EXPECT_EQ(atFlush.stage, 4u);
  EXPECT_EQ(firstResult, TALLOWMARCH_OK);
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0], "save");
  // The second save ran after the first, or found the capture stopped or the session gone.
  EXPECT_TRUE(secondResult == TALLOWMARCH_OK || secondResult == TALLOWMARCH_NOT_CAPTURING ||
              secondResult == TALLOWMARCH_NOT_INITIALIZED)
      << secondResult;
  std::filesystem::remove_all(folder);
}

// The host returns from main while one of its threads saves (mixing the sound) and another
// asks for the status: the process ends cleanly, which under the sanitizers means nothing used
// the session after it was freed.
TEST(ClipSaveThroughExports, AHostMayReturnFromMainWhileItsThreadsAreInsideExports) {
  const std::string folder = tallowmarch::test::MakeTempFolder("tm_exit_race");
  const std::string errors = folder + "/stderr.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string clips = folder + "/clips";
  char* argv[] = {const_cast<char*>(TALLOWMARCH_EXIT_RACE_HOST), const_cast<char*>(clips.c_str()),
                  nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, TALLOWMARCH_EXIT_RACE_HOST, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  // A host that hangs at exit (its teardown waiting on itself) is ended after a deadline.
  int status = 0;
  const bool ended = WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 120s);
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(ended) << "the host did not end";
  std::ifstream in(errors);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << text;
  EXPECT_NE(text.find("returning from main"), std::string::npos) << text;
  EXPECT_EQ(text.find("Sanitizer"), std::string::npos) << text;
  std::filesystem::remove_all(folder);
}

}  // namespace
