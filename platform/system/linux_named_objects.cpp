#include "system/linux_named_objects.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "system/files.h"

namespace tallowmarch::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxFileName = 255;
// flock has no time-out: the mutex wait polls its non-blocking form this often.
constexpr auto kMutexPollInterval = std::chrono::milliseconds(5);

// The runtime folder must belong to this user alone: another user who could write there could
// set an event (and so confirm an update) or hold a mutex. Created 0700 when missing; a link,
// a folder of another owner or one open to others is refused.
bool PrepareRuntimeFolder(std::uint32_t& error) {
  const std::string folder = RuntimeFolder();
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    error = kErrorAccessDenied;
    return false;
  }
  return true;
}

// Opens (or creates, 0600) an object file of the runtime folder; a file of another owner or
// anything but a regular file is refused.
int OpenObjectFile(const std::string& path, int extraFlags, std::uint32_t& error) {
  if (!PrepareRuntimeFolder(error)) return -1;
  const int fd =
      open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | extraFlags, 0600);
  if (fd < 0) {
    error = Win32ErrorFromErrno(errno);
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    close(fd);
    error = kErrorAccessDenied;
    return -1;
  }
  if ((st.st_mode & 077) != 0) fchmod(fd, 0600);
  return fd;
}

class LinuxNamedMutex : public NamedMutex {
 public:
  explicit LinuxNamedMutex(int fd) : fd_(fd) {}
  ~LinuxNamedMutex() override { close(fd_); }  // closing drops a lock still held

  ObjectWait Wait(std::uint32_t timeoutMs) override {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return ObjectWait::kSignaled;
      if (errno != EWOULDBLOCK && errno != EINTR) return ObjectWait::kFailed;
      const auto now = Clock::now();
      if (now >= deadline) return ObjectWait::kTimedOut;
      std::this_thread::sleep_for(std::min<Clock::duration>(kMutexPollInterval, deadline - now));
    }
  }
  bool Release() override { return flock(fd_, LOCK_UN) == 0; }

 private:
  int fd_;
};

class LinuxNamedEvent : public NamedEvent {
 public:
  LinuxNamedEvent(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~LinuxNamedEvent() override { close(fd_); }

  ObjectWait Wait(std::uint32_t timeoutMs) override {
    const int notify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (notify < 0) return ObjectWait::kFailed;
    // Watch before the first look at the state, so that a set between the two is not missed.
    const bool watching =
        inotify_add_watch(notify, path_.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB) >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    ObjectWait result = ObjectWait::kTimedOut;
    for (;;) {
      if (IsSet()) {
        result = ObjectWait::kSignaled;
        break;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      // Without a watch (the file was replaced under us) look again every 50 ms.
      const int waitMs = watching ? static_cast<int>(std::min<long long>(left.count(), 1000))
                                  : static_cast<int>(std::min<long long>(left.count(), 50));
      pollfd item{notify, POLLIN, 0};
      const int ready = poll(&item, 1, waitMs);
      if (ready < 0 && errno != EINTR) {
        result = ObjectWait::kFailed;
        break;
      }
      char drain[4096];
      while (read(notify, drain, sizeof drain) > 0) {
      }
    }
    close(notify);
    return result;
  }
  bool Set() override { return Store('1'); }
  bool Reset() override { return Store('0'); }
  bool IsSet() override {
    char state = 0;
    return pread(fd_, &state, 1, 0) == 1 && state == '1';
  }

 private:
  bool Store(char state) { return pwrite(fd_, &state, 1, 0) == 1; }

  int fd_;
  std::string path_;
};

}  // namespace

std::string RuntimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] != '\0') return runtime;
  return "/dev/shm/tallowmarch-" + std::to_string(geteuid());
}

std::string NamedObjectPath(std::string_view utf8Name, NamedObjectKind kind) {
  if (utf8Name.empty()) return {};
  static const char kHex[] = "0123456789ABCDEF";
  std::string file = kind == NamedObjectKind::kMutex ? "tallowmarch-mutex-" : "tallowmarch-event-";
  for (const char c : utf8Name) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                       (byte >= '0' && byte <= '9') || byte == '.' || byte == '_' || byte == '-';
    if (plain) {
      file += c;
    } else {
      file += '%';
      file += kHex[byte >> 4];
      file += kHex[byte & 15];
    }
  }
  if (file.size() > kMaxFileName) return {};
  return RuntimeFolder() + "/" + file;
}

std::unique_ptr<NamedMutex> LinuxNamedObjectLayer::CreateMutex(std::string_view name,
                                                               std::uint32_t& error) {
  const std::string path = NamedObjectPath(name, NamedObjectKind::kMutex);
  if (path.empty()) {
    error = kErrorInvalidName;
    return nullptr;
  }
  const int fd = OpenObjectFile(path, O_CREAT, error);
  if (fd < 0) return nullptr;
  return std::make_unique<LinuxNamedMutex>(fd);
}

std::unique_ptr<NamedEvent> LinuxNamedObjectLayer::CreateEvent(std::string_view name,
                                                               std::uint32_t& error) {
  const std::string path = NamedObjectPath(name, NamedObjectKind::kEvent);
  if (path.empty()) {
    error = kErrorInvalidName;
    return nullptr;
  }
  const int fd = OpenObjectFile(path, O_CREAT, error);
  if (fd < 0) return nullptr;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // No other handle is open: whatever the file says is left from earlier (a crash), and the
    // event is created anew, not signalled. An opener that reads before this write sees an
    // empty file or a stale one, but cannot open it: it finds no handle holder.
    const char state = '0';
    if (pwrite(fd, &state, 1, 0) != 1 || ftruncate(fd, 1) != 0) {
      error = Win32ErrorFromErrno(errno);
      close(fd);
      return nullptr;
    }
  }
  // Shared from here on: converting from the exclusive lock, or waiting out a creator's
  // exclusive moment. An existing event is opened in whatever state it is in.
  if (flock(fd, LOCK_SH) != 0) {
    error = Win32ErrorFromErrno(errno);
    close(fd);
    return nullptr;
  }
  return std::make_unique<LinuxNamedEvent>(fd, path);
}

std::unique_ptr<NamedEvent> LinuxNamedObjectLayer::OpenEvent(std::string_view name,
                                                             std::uint32_t& error) {
  const std::string path = NamedObjectPath(name, NamedObjectKind::kEvent);
  if (path.empty()) {
    error = kErrorInvalidName;
    return nullptr;
  }
  const int fd = OpenObjectFile(path, 0, error);
  if (fd < 0) return nullptr;
  // An event exists only while a handle is open: a file nobody holds is a leftover.
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    close(fd);
    error = kErrorFileNotFound;
    return nullptr;
  }
  if (flock(fd, LOCK_SH) != 0) {
    error = Win32ErrorFromErrno(errno);
    close(fd);
    return nullptr;
  }
  return std::make_unique<LinuxNamedEvent>(fd, path);
}

}  // namespace tallowmarch::platform
