// File services of the updater: attributes, deletion, folders, durable copy and move, free
// space, and plain readers and writers. Paths are absolute UTF-8 byte strings. Results carry
// the system error in Windows numbering (kError*), because the updater's rules and log lines
// speak in those codes (5 is "access denied", which is never retried).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/export.h"

namespace tallowmarch::platform {

inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorNotSameDevice = 17;
inline constexpr std::uint32_t kErrorGenFailure = 31;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorLockViolation = 33;
inline constexpr std::uint32_t kErrorHandleEof = 38;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorDiskFull = 112;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorDirNotEmpty = 145;
inline constexpr std::uint32_t kErrorBusy = 170;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorFilenameTooLong = 206;
inline constexpr std::uint32_t kErrorBadExeFormat = 193;
inline constexpr std::uint32_t kErrorCantResolveFilename = 1921;
// An errno without a Windows counterpart keeps its value under this customer bit.
inline constexpr std::uint32_t kErrorFromErrnoBit = 0x20000000u;

// The Windows error for an errno value. Permission errors (EACCES, EPERM, EROFS, EISDIR) are all
// "access denied", as Windows reports them for read-only files, locked folders and folders in
// the way of a file; a read-only volume (EROFS) is access denied too.
TM_EXPORT std::uint32_t Win32ErrorFromErrno(int err);

// A copy's temporary is named this prefix and 12 lower-case hexadecimal digits, whatever the
// destination's name, so that every name that fits in its folder can be copied to.
inline constexpr char kCopyTemporaryPrefix[] = ".tmcopy-";
inline constexpr size_t kCopyTemporaryDigits = 12;

enum class FileKind { kMissing, kFile, kDirectory, kSymlink, kOther };

// Attributes of a path itself: a symbolic link is reported as a link, never followed.
struct FileAttributes {
  FileKind kind = FileKind::kMissing;
  std::uint64_t size = 0;
  bool readOnly = false;   // no write permission bit at all
  std::uint32_t mode = 0;  // permission bits
};

struct DirectoryEntry {
  std::string name;
  FileKind kind = FileKind::kMissing;  // of the entry itself (links not followed)
};

class FileReader {
 public:
  virtual ~FileReader() = default;
  virtual bool Size(std::uint64_t& size, std::uint32_t& error) = 0;
  // Reads up to `length` bytes; `got` 0 means the end of the file.
  virtual bool Read(void* buffer, size_t length, size_t& got, std::uint32_t& error) = 0;
};

class FileWriter {
 public:
  virtual ~FileWriter() = default;
  virtual bool Write(const void* data, size_t length, size_t& written, std::uint32_t& error) = 0;
  // Makes the contents durable (fsync).
  virtual bool Flush(std::uint32_t& error) = 0;
};

// An exclusive lock on a file, held until the object goes (or its process ends).
class FileLock {
 public:
  virtual ~FileLock() = default;
};

// A folder opened once: what is created below it is reached from its descriptor, one name at a
// time, never through a symbolic link, whatever is renamed around it meanwhile.
class FolderHandle {
 public:
  virtual ~FolderHandle() = default;
  // Opens the subfolder `name`, creating it (0755) when missing; a link or a file there is
  // refused.
  virtual std::unique_ptr<FolderHandle> OpenSubfolder(const std::string& name,
                                                      std::uint32_t& error) = 0;
  // Creates the file `name` anew with the permission bits `mode`: a file or link of that name
  // is unlinked first, and the new one is created exclusively, never through a link.
  virtual std::unique_ptr<FileWriter> CreateFile(const std::string& name, std::uint32_t mode,
                                                 std::uint32_t& error) = 0;
  // Opens the existing subfolder `name`; a link or a file there is refused.
  virtual std::unique_ptr<FolderHandle> OpenExisting(const std::string& name,
                                                     std::uint32_t& error) = 0;
  // The entries of this folder without "." and "..".
  virtual bool List(std::vector<DirectoryEntry>& out, std::uint32_t& error) = 0;
  // Unlinks the entry `name` (a link itself, never its target); `folder`: an empty subfolder.
  virtual bool Remove(const std::string& name, bool folder, std::uint32_t& error) = 0;
  // MoveFile of the entry `name` to `destination` (an absolute path).
  virtual bool MoveOut(const std::string& name, const std::string& destination,
                       std::uint32_t& error) = 0;
};

class FileLayer {
 public:
  virtual ~FileLayer() = default;

  // False with kErrorFileNotFound / kErrorPathNotFound when nothing is there.
  virtual bool GetAttributes(const std::string& path, FileAttributes& out,
                             std::uint32_t& error) = 0;
  // Adds the owner's write permission (readOnly false) or removes every write permission. A
  // symbolic link is left alone: its target may lie anywhere.
  virtual bool SetReadOnly(const std::string& path, bool readOnly, std::uint32_t& error) = 0;
  // Unlinks a file or a symbolic link (never what it points to); a folder is access denied.
  virtual bool DeleteFile(const std::string& path, std::uint32_t& error) = 0;
  // Removes an empty folder.
  virtual bool RemoveDirectory(const std::string& path, std::uint32_t& error) = 0;
  virtual bool CreateDirectory(const std::string& path, std::uint32_t& error) = 0;
  // The entries of a folder without "." and "..".
  virtual bool ListDirectory(const std::string& path, std::vector<DirectoryEntry>& out,
                             std::uint32_t& error) = 0;
  // Copies a file over `destination` (replacing it): the copy is written to a fresh file beside
  // the destination (a short name of its own, see kCopyTemporaryPrefix) and renamed over it, so a
  // link at the destination is replaced rather than followed and no half-written copy is ever left
  // under its name. A source that is a symbolic link is copied as a link. The contents are flushed
  // before the rename, so a copy under its name is never empty after a crash; the name itself is
  // not flushed: a caller that relies on its copies surviving a crash flushes their volume
  // (SyncVolume) once they are all made, one commit instead of a folder flush per file.
  virtual bool CopyFile(const std::string& source, const std::string& destination,
                        std::uint32_t& error) = 0;
  // Renames within one volume, replacing a file at `destination`; both folders are flushed
  // before it returns (write-through). Another volume is kErrorNotSameDevice; a read-only file
  // at `destination` is access denied.
  virtual bool MoveFile(const std::string& source, const std::string& destination,
                        std::uint32_t& error) = 0;
  // Writes everything written so far on the volume of `path` to the disk (syncfs).
  virtual bool SyncVolume(const std::string& path, std::uint32_t& error) = 0;
  // Bytes free to the caller on the volume of `path`.
  virtual bool FreeSpace(const std::string& path, std::uint64_t& bytes, std::uint32_t& error) = 0;
  // Opens an existing regular file for reading (a folder is access denied).
  virtual std::unique_ptr<FileReader> OpenRead(const std::string& path, std::uint32_t& error) = 0;
  // Creates or truncates a file for writing, with the permission bits `mode`. A symbolic link
  // in its place is refused, never followed.
  virtual std::unique_ptr<FileWriter> CreateTruncate(const std::string& path, std::uint32_t mode,
                                                     std::uint32_t& error) = 0;
  // Creates a file that must not exist yet (O_EXCL): a file, a link or a folder in its place is
  // kErrorFileExists, and nothing is ever written through a name someone else made.
  virtual std::unique_ptr<FileWriter> CreateExclusive(const std::string& path, std::uint32_t mode,
                                                      std::uint32_t& error) = 0;
  // Creates the folder `path` (0755), which must not exist yet, and opens it.
  virtual std::unique_ptr<FolderHandle> CreateFreshFolder(const std::string& path,
                                                          std::uint32_t& error) = 0;
  // Opens the existing folder `path`; a link in its place is refused, never followed.
  virtual std::unique_ptr<FolderHandle> OpenFolder(const std::string& path,
                                                   std::uint32_t& error) = 0;
  // Takes the exclusive lock of the file `path` without waiting, creating the file (0644) when
  // missing; the file is never deleted, so that every locker locks the same one. A link there is
  // refused, never followed. Held by someone else: null with kErrorLockViolation.
  virtual std::unique_ptr<FileLock> TryLockFile(const std::string& path, std::uint32_t& error) = 0;
  // Opens or creates a file whose writes all go to its end.
  virtual std::unique_ptr<FileWriter> OpenAppend(const std::string& path, std::uint32_t& error) = 0;
  virtual std::string CurrentDirectory() = 0;
};

}  // namespace tallowmarch::platform
