#include "system/linux_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <random>

namespace tallowmarch::platform {
namespace {

// Owns one descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

FileKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::kFile;
  if (S_ISDIR(mode)) return FileKind::kDirectory;
  if (S_ISLNK(mode)) return FileKind::kSymlink;
  return FileKind::kOther;
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Flushes a folder's entries; failures are not reported (the rename itself has happened).
void SyncFolder(const std::string& folder) {
  Fd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) fsync(fd.get());
}

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Copies the rest of `in` to `out`: copy_file_range where the kernel can, else read/write.
bool CopyContents(int in, int out) {
  bool kernelCopy = true;
  std::vector<char> buffer;
  for (;;) {
    if (kernelCopy) {
      const ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
      if (n > 0) continue;
      if (n == 0) return true;
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
        return false;
      }
      kernelCopy = false;
      buffer.resize(1 << 20);
    }
    const ssize_t got = read(in, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(got))) return false;
  }
}

// A name beside `destination` that no other file has yet. Its length does not depend on the
// destination's: a name as long as a folder allows can still be copied to.
std::string TemporaryNameFor(const std::string& destination) {
  static std::mt19937_64 random{std::random_device{}()};
  static const char kDigits[] = "0123456789abcdef";
  const size_t slash = destination.find_last_of('/');
  std::string name =
      (slash == std::string::npos ? std::string() : destination.substr(0, slash + 1)) +
      kCopyTemporaryPrefix;
  std::uint64_t value = random();
  for (size_t i = 0; i < kCopyTemporaryDigits; ++i, value >>= 4) name += kDigits[value & 15];
  return name;
}

// Opens `path` without ever blocking (a FIFO with no writer or reader would block a plain
// open) and keeps it only when it is a regular file; anything else is access denied.
int OpenRegular(const std::string& path, int flags, mode_t mode, std::uint32_t& error) {
  Fd fd(open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode));
  if (!fd.valid()) {
    error = errno == ENXIO ? kErrorAccessDenied : Win32ErrorFromErrno(errno);
    return -1;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = kErrorAccessDenied;
    return -1;
  }
  // Regular files ignore the flag, but reads and writes are plain blocking ones from here on.
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd.Release();
}

// The entries of the folder open on `fd` (which stays open), links not followed.
bool ListFolder(int fd, std::vector<DirectoryEntry>& out, std::uint32_t& error) {
  DIR* dir = fdopendir(dup(fd));
  if (dir == nullptr) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  rewinddir(dir);  // the duplicate shares its position with `fd`
  out.clear();
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    DirectoryEntry item;
    item.name = name;
    switch (entry->d_type) {
      case DT_REG:
        item.kind = FileKind::kFile;
        break;
      case DT_DIR:
        item.kind = FileKind::kDirectory;
        break;
      case DT_LNK:
        item.kind = FileKind::kSymlink;
        break;
      default: {
        struct stat st {};
        item.kind = fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0
                        ? KindOf(st.st_mode)
                        : FileKind::kOther;
      }
    }
    out.push_back(std::move(item));
  }
  closedir(dir);
  return true;
}

// Renames `from` (relative to the folder `fromDir`, or a path with AT_FDCWD) to `destination`
// with Windows' refusals, and flushes the destination's folder; the caller flushes the source's.
bool MoveAt(int fromDir, const std::string& from, const std::string& destination,
            std::uint32_t& error) {
  // rename() would quietly replace an empty folder with a folder, and reports a folder moved
  // onto a file as ENOTDIR; Windows refuses both as access denied.
  struct stat target {};
  struct stat moved {};
  if (lstat(destination.c_str(), &target) == 0 &&
      (S_ISDIR(target.st_mode) ||
       (fstatat(fromDir, from.c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(moved.st_mode)))) {
    error = kErrorAccessDenied;
    return false;
  }
  // A read-only file (no write permission bit at all) is not replaced, as Windows refuses to
  // replace one; the caller clears the bits first where it means to.
  if (lstat(destination.c_str(), &target) == 0 && S_ISREG(target.st_mode) &&
      (target.st_mode & 0222) == 0) {
    error = kErrorAccessDenied;
    return false;
  }
  if (renameat(fromDir, from.c_str(), AT_FDCWD, destination.c_str()) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  SyncFolder(ParentOf(destination));
  return true;
}

// Opens the folder `name` below `dir` (or the path `name` with AT_FDCWD) without following a
// link in its place.
int OpenFolderAt(int dir, const std::string& name, std::uint32_t& error) {
  const int fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  // A link is ELOOP, a file ENOTDIR: neither is a folder to work in.
  if (fd < 0) error = errno == ELOOP ? kErrorAccessDenied : Win32ErrorFromErrno(errno);
  return fd;
}

class LinuxFileReader : public FileReader {
 public:
  explicit LinuxFileReader(int fd) : fd_(fd) {}
  bool Size(std::uint64_t& size, std::uint32_t& error) override {
    struct stat st {};
    if (fstat(fd_.get(), &st) != 0) {
      error = Win32ErrorFromErrno(errno);
      return false;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }
  bool Read(void* buffer, size_t length, size_t& got, std::uint32_t& error) override {
    for (;;) {
      const ssize_t n = read(fd_.get(), buffer, length);
      if (n >= 0) {
        got = static_cast<size_t>(n);
        return true;
      }
      if (errno == EINTR) continue;
      error = Win32ErrorFromErrno(errno);
      return false;
    }
  }

 private:
  Fd fd_;
};

class LinuxFileWriter : public FileWriter {
 public:
  explicit LinuxFileWriter(int fd) : fd_(fd) {}
  bool Write(const void* data, size_t length, size_t& written, std::uint32_t& error) override {
    for (;;) {
      const ssize_t n = write(fd_.get(), data, length);
      if (n >= 0) {
        written = static_cast<size_t>(n);
        return true;
      }
      if (errno == EINTR) continue;
      error = Win32ErrorFromErrno(errno);
      return false;
    }
  }
  bool Flush(std::uint32_t& error) override {
    if (fsync(fd_.get()) == 0) return true;
    error = Win32ErrorFromErrno(errno);
    return false;
  }

 private:
  Fd fd_;
};

// Creates the file `name` below `dir` (or the path `name` with AT_FDCWD), which must not exist
// yet, never through a link, with exactly the permission bits `mode`.
std::unique_ptr<FileWriter> CreateExclusiveAt(int dir, const std::string& name, std::uint32_t mode,
                                              std::uint32_t& error) {
  const auto bits = static_cast<mode_t>(mode & 07777);
  Fd fd(openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, bits));
  if (!fd.valid()) {
    error = Win32ErrorFromErrno(errno);
    return nullptr;
  }
  fchmod(fd.get(), bits);  // the umask trimmed them
  return std::make_unique<LinuxFileWriter>(fd.Release());
}

class LinuxFileLock : public FileLock {
 public:
  explicit LinuxFileLock(int fd) : fd_(fd) {}

 private:
  Fd fd_;  // closing it drops the lock
};

class LinuxFolderHandle : public FolderHandle {
 public:
  explicit LinuxFolderHandle(int fd) : fd_(fd) {}

  std::unique_ptr<FolderHandle> OpenSubfolder(const std::string& name,
                                              std::uint32_t& error) override {
    if (mkdirat(fd_.get(), name.c_str(), 0755) != 0 && errno != EEXIST) {
      error = Win32ErrorFromErrno(errno);
      return nullptr;
    }
    return OpenExisting(name, error);
  }

  std::unique_ptr<FileWriter> CreateFile(const std::string& name, std::uint32_t mode,
                                         std::uint32_t& error) override {
    if (unlinkat(fd_.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
      error = Win32ErrorFromErrno(errno);
      return nullptr;
    }
    return CreateExclusiveAt(fd_.get(), name, mode, error);
  }

  std::unique_ptr<FolderHandle> OpenExisting(const std::string& name,
                                             std::uint32_t& error) override {
    const int sub = OpenFolderAt(fd_.get(), name, error);
    if (sub < 0) return nullptr;
    return std::make_unique<LinuxFolderHandle>(sub);
  }

  bool List(std::vector<DirectoryEntry>& out, std::uint32_t& error) override {
    return ListFolder(fd_.get(), out, error);
  }

  bool Remove(const std::string& name, bool folder, std::uint32_t& error) override {
    if (unlinkat(fd_.get(), name.c_str(), folder ? AT_REMOVEDIR : 0) != 0) {
      error = Win32ErrorFromErrno(errno);
      return false;
    }
    return true;
  }

  bool MoveOut(const std::string& name, const std::string& destination,
               std::uint32_t& error) override {
    if (!MoveAt(fd_.get(), name, destination, error)) return false;
    fsync(fd_.get());
    return true;
  }

 private:
  Fd fd_;
};

}  // namespace

std::uint32_t Win32ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return kErrorAccessDenied;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EXDEV:
      return kErrorNotSameDevice;
    case EIO:
      return kErrorGenFailure;
    case ETXTBSY:
      return kErrorSharingViolation;
    case EEXIST:
      return kErrorAlreadyExists;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case EBUSY:
      return kErrorBusy;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case ENOEXEC:
      return kErrorBadExeFormat;
    case ELOOP:
      return kErrorCantResolveFilename;
    default:
      return kErrorFromErrnoBit | static_cast<std::uint32_t>(err);
  }
}

bool LinuxFileLayer::GetAttributes(const std::string& path, FileAttributes& out,
                                   std::uint32_t& error) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  out.kind = KindOf(st.st_mode);
  out.size = static_cast<std::uint64_t>(st.st_size);
  out.mode = st.st_mode & 07777;
  out.readOnly = (st.st_mode & 0222) == 0;
  return true;
}

bool LinuxFileLayer::SetReadOnly(const std::string& path, bool readOnly, std::uint32_t& error) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  if (S_ISLNK(st.st_mode)) return true;
  const mode_t mode = readOnly ? (st.st_mode & 07555) : ((st.st_mode & 07777) | S_IWUSR);
  if (chmod(path.c_str(), mode) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool LinuxFileLayer::DeleteFile(const std::string& path, std::uint32_t& error) {
  if (unlink(path.c_str()) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool LinuxFileLayer::RemoveDirectory(const std::string& path, std::uint32_t& error) {
  if (rmdir(path.c_str()) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool LinuxFileLayer::CreateDirectory(const std::string& path, std::uint32_t& error) {
  if (mkdir(path.c_str(), 0755) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool LinuxFileLayer::ListDirectory(const std::string& path, std::vector<DirectoryEntry>& out,
                                   std::uint32_t& error) {
  // O_NOFOLLOW: a link in place of the folder is not listed through.
  Fd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  return ListFolder(fd.get(), out, error);
}

bool LinuxFileLayer::CopyFile(const std::string& source, const std::string& destination,
                              std::uint32_t& error) {
  struct stat st {};
  if (lstat(source.c_str(), &st) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  const std::string temporary = TemporaryNameFor(destination);
  if (S_ISLNK(st.st_mode)) {
    std::vector<char> target(PATH_MAX + 1);
    const ssize_t n = readlink(source.c_str(), target.data(), target.size() - 1);
    if (n < 0) {
      error = Win32ErrorFromErrno(errno);
      return false;
    }
    target[static_cast<size_t>(n)] = '\0';
    if (symlink(target.data(), temporary.c_str()) != 0) {
      error = Win32ErrorFromErrno(errno);
      return false;
    }
  } else {
    // Only a regular file is copied: a folder is access denied as on Windows, and a FIFO or
    // a device would block the open or the read for ever.
    if (!S_ISREG(st.st_mode)) {
      error = kErrorAccessDenied;
      return false;
    }
    Fd in(OpenRegular(source, O_RDONLY, 0, error));
    if (!in.valid()) return false;
    Fd out(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
      error = Win32ErrorFromErrno(errno);
      return false;
    }
    // The contents are flushed before the copy takes its name: a crash never leaves a named
    // copy without its data (a later restore from it would destroy the original).
    const bool copied = CopyContents(in.get(), out.get()) &&
                        fchmod(out.get(), st.st_mode & 07777) == 0 && fsync(out.get()) == 0;
    const int copyErrno = errno;
    out.Reset();
    if (!copied) {
      unlink(temporary.c_str());
      error = Win32ErrorFromErrno(copyErrno);
      return false;
    }
  }
  if (rename(temporary.c_str(), destination.c_str()) != 0) {
    const int renameErrno = errno;
    unlink(temporary.c_str());
    error = Win32ErrorFromErrno(renameErrno);
    return false;
  }
  return true;
}

bool LinuxFileLayer::SyncVolume(const std::string& path, std::uint32_t& error) {
  Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid() || syncfs(fd.get()) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool LinuxFileLayer::MoveFile(const std::string& source, const std::string& destination,
                              std::uint32_t& error) {
  if (!MoveAt(AT_FDCWD, source, destination, error)) return false;
  if (ParentOf(source) != ParentOf(destination)) SyncFolder(ParentOf(source));
  return true;
}

bool LinuxFileLayer::FreeSpace(const std::string& path, std::uint64_t& bytes,
                               std::uint32_t& error) {
  struct statvfs vfs {};
  if (statvfs(path.c_str(), &vfs) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  bytes = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  return true;
}

std::unique_ptr<FileReader> LinuxFileLayer::OpenRead(const std::string& path,
                                                     std::uint32_t& error) {
  Fd fd(OpenRegular(path, O_RDONLY, 0, error));
  if (!fd.valid()) return nullptr;
  return std::make_unique<LinuxFileReader>(fd.Release());
}

std::unique_ptr<FileWriter> LinuxFileLayer::CreateTruncate(const std::string& path,
                                                           std::uint32_t mode,
                                                           std::uint32_t& error) {
  Fd fd(OpenRegular(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW,
                    static_cast<mode_t>(mode & 07777), error));
  if (!fd.valid()) return nullptr;
  // An existing file keeps its old bits through O_TRUNC, and the umask trims new ones.
  fchmod(fd.get(), static_cast<mode_t>(mode & 07777));
  return std::make_unique<LinuxFileWriter>(fd.Release());
}

std::unique_ptr<FileWriter> LinuxFileLayer::CreateExclusive(const std::string& path,
                                                            std::uint32_t mode,
                                                            std::uint32_t& error) {
  return CreateExclusiveAt(AT_FDCWD, path, mode, error);
}

std::unique_ptr<FolderHandle> LinuxFileLayer::CreateFreshFolder(const std::string& path,
                                                                std::uint32_t& error) {
  if (mkdir(path.c_str(), 0755) != 0) {
    error = Win32ErrorFromErrno(errno);
    return nullptr;
  }
  // Someone may have put a link in its place since: it is not followed.
  return OpenFolder(path, error);
}

std::unique_ptr<FolderHandle> LinuxFileLayer::OpenFolder(const std::string& path,
                                                         std::uint32_t& error) {
  const int fd = OpenFolderAt(AT_FDCWD, path, error);
  if (fd < 0) return nullptr;
  return std::make_unique<LinuxFolderHandle>(fd);
}

std::unique_ptr<FileLock> LinuxFileLayer::TryLockFile(const std::string& path,
                                                      std::uint32_t& error) {
  // Read-only is enough for flock, and nothing is ever written to it; O_CLOEXEC keeps a started
  // program from holding it on.
  Fd fd(OpenRegular(path, O_RDONLY | O_CREAT | O_NOFOLLOW, 0644, error));
  if (!fd.valid()) return nullptr;
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? kErrorLockViolation : Win32ErrorFromErrno(errno);
    return nullptr;
  }
  return std::make_unique<LinuxFileLock>(fd.Release());
}

std::unique_ptr<FileWriter> LinuxFileLayer::OpenAppend(const std::string& path,
                                                       std::uint32_t& error) {
  Fd fd(OpenRegular(path, O_WRONLY | O_CREAT | O_APPEND, 0644, error));
  if (!fd.valid()) return nullptr;
  return std::make_unique<LinuxFileWriter>(fd.Release());
}

std::string LinuxFileLayer::CurrentDirectory() {
  std::vector<char> buffer(PATH_MAX + 1);
  if (getcwd(buffer.data(), buffer.size()) == nullptr) return "/";
  return buffer.data();
}

}  // namespace tallowmarch::platform
