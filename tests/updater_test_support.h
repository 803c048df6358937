// Helpers of the updater tests: temporary folders, files, zip archives built with libzip or
// byte by byte (for archives no well-behaved writer makes), signatures made with the test key,
// and child processes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tallowmarch::test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A fresh folder under the system's temporary folder, removed with everything in it (after
// clearing any immutable flag a test set) when the object goes.
class TempDir {
 public:
  TempDir();
  // Under `base` instead of the system's temporary folder.
  explicit TempDir(const fs::path& base);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

void WriteFile(const fs::path& path, const std::string& content);
void WriteBytes(const fs::path& path, const Bytes& bytes);
std::string ReadFile(const fs::path& path);
Bytes ToBytes(const std::string& text);
// Every regular file and link under `root` with its contents (a link: "-> target"), except
// the install folder's lock file.
std::map<std::string, std::string> Snapshot(const fs::path& root);

// A zip made with libzip. `mode` is the Unix mode recorded for the entry (0: none recorded).
struct ZipItem {
  std::string name;
  std::string data;
  std::uint32_t mode = 0;
  bool directory = false;
};
Bytes MakeZip(const std::vector<ZipItem>& items);

// A zip written byte by byte: names with any bytes, sizes that lie, counts that lie.
struct RawEntry {
  RawEntry(std::string entryName, Bytes entryData, bool deflated = false,
           std::optional<std::uint32_t> declared = std::nullopt,
           std::optional<std::uint32_t> checksum = std::nullopt)
      : name(std::move(entryName)),
        data(std::move(entryData)),
        deflate(deflated),
        declaredSize(declared),
        crc(checksum) {}
  std::string name;  // raw bytes, NUL included
  Bytes data;        // the uncompressed data
  bool deflate = false;
  std::optional<std::uint32_t> declaredSize;  // uncompressed size written in the headers
  std::optional<std::uint32_t> crc;           // checksum written in the headers
  std::uint32_t externalAttributes = 0;
  std::uint8_t madeBy = 3;  // 3: Unix, 0: DOS
  bool encrypted = false;   // sets the encryption flag (the data is not really encrypted)
};
Bytes MakeRawZip(const std::vector<RawEntry>& entries,
                 std::optional<std::uint16_t> declaredCount = std::nullopt);

std::string Sha256Hex(const Bytes& bytes);
// A 64-byte Ed25519 signature over the SHA-256 digest of `bytes`, made with the test key.
Bytes SignWithTestKey(const Bytes& bytes);

// Whether the file system of `path` takes the immutable flag (chattr +i); as root that is the
// one permission an owner cannot simply ignore.
bool SetImmutable(const fs::path& path, bool immutable);

// A child process with its standard error (and output) in a file, or on `errorDescriptor`
// when that is given.
struct ChildProcess {
  pid_t pid = -1;
  fs::path errorFile;
};
ChildProcess Spawn(const std::vector<std::string>& argv,
                   const std::map<std::string, std::string>& extraEnvironment,
                   const fs::path& errorFile, int errorDescriptor = -1);
// The exit code, or -1 when the process did not end in time (it is then killed) or died of a
// signal.
int WaitExit(ChildProcess& child, std::chrono::milliseconds timeout);
void KillAndReap(ChildProcess& child);

// Polls `condition` every 10 ms until it holds or the deadline passes.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    struct timespec pause {
      0, 10 * 1000 * 1000
    };
    nanosleep(&pause, nullptr);
  }
}

}  // namespace tallowmarch::test
