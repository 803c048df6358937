// A private PulseAudio server for tests of the linux audio layer: started in a folder of its own
// with pulseaudio, driven with pactl, killed at the end.
#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace tallowmarch::test {

using namespace std::chrono_literals;

inline constexpr std::uint32_t kRate = 48000;
inline constexpr char kSpeakers[] = "tm_speakers";  // the default sink, 48 kHz stereo
inline constexpr char kHeadset[] = "tm_headset";    // 44.1 kHz mono
inline constexpr char kMic[] = "tm_mic";            // a sine source
inline constexpr double kMicHz = 440.0;
inline constexpr double kToneAmplitude = 0.5;  // module-sine's level

// pulseaudio and pactl are both on the PATH.
bool PulseToolsInstalled();

// Starts `args` with `extraEnv` added to ours, its output appended to `outputFile`; returns its
// pid (or -1).
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
            const std::string& outputFile);

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A private PulseAudio server in a folder of its own: two null sinks (speakers, the default,
// and a headset) and a sine source as the microphone.
class PulseServer {
 public:
  PulseServer() {
    char pattern[] = "/tmp/tm-pulse-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  ~PulseServer() {
    Kill();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string Address() const { return "unix:" + dir_ + "/pulse/native"; }

  bool Start() {
    pid_ = Spawn(
        {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--system=false",
         "--log-target=stderr", "-L", "module-native-protocol-unix auth-anonymous=1", "-L",
         std::string("module-null-sink sink_name=") + kSpeakers +
             " rate=48000 channels=2 sink_properties=device.description=Speakers",
         "-L",
         std::string("module-null-sink sink_name=") + kHeadset +
             " rate=44100 channels=1 sink_properties=device.description=Headset",
         "-L", std::string("module-sine-source source_name=") + kMic + " rate=48000 frequency=440"},
        {"XDG_RUNTIME_DIR=" + dir_, "HOME=" + dir_}, dir_ + "/server.log");
    if (pid_ <= 0) return false;
    // Ready once its socket accepts connections.
    const std::string socketPath = dir_ + "/pulse/native";
    return WaitFor([&] {
      const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
      const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
      close(fd);
      return ok;
    });
  }

  // Freezes or thaws the server: it keeps its socket but answers nothing.
  void Pause(bool paused) {
    if (pid_ > 0) ::kill(pid_, paused ? SIGSTOP : SIGCONT);
  }

  void Kill() {
    if (pid_ > 0) Reap(pid_, true);
    pid_ = -1;
  }

  // Runs pactl against this server; returns its output (empty on failure).
  std::string Pactl(const std::vector<std::string>& args) {
    std::vector<std::string> all{"pactl"};
    all.insert(all.end(), args.begin(), args.end());
    const std::string out = dir_ + "/pactl.out";
    std::filesystem::remove(out);
    const pid_t pid = Spawn(all, {"PULSE_SERVER=" + Address()}, out);
    if (pid <= 0 || !Reap(pid, false)) return {};
    std::ifstream in(out);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }

  // Plays a sine of `hz` at kToneAmplitude into `sink` from inside the server (module-sine),
  // so that no client's scheduling can leave gaps in it; it plays until the server ends.
  bool PlayTone(const std::string& sink, int hz) {
    return !Pactl({"load-module", "module-sine", "sink=" + sink, "frequency=" + std::to_string(hz)})
                .empty();
  }

 private:
  static bool Reap(pid_t pid, bool kill) {
    if (kill) ::kill(pid, SIGKILL);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  std::string dir_;
  pid_t pid_ = -1;
};

}  // namespace tallowmarch::test
