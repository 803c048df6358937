// The file layer on POSIX: lstat, open/fsync, rename plus an fsync of both folders for
// write-through, copy_file_range, syncfs, statvfs. Read-only means "no write permission bit".
#pragma once

#include "system/files.h"

namespace tallowmarch::platform {

class TM_EXPORT LinuxFileLayer : public FileLayer {
 public:
  bool GetAttributes(const std::string& path, FileAttributes& out, std::uint32_t& error) override;
  bool SetReadOnly(const std::string& path, bool readOnly, std::uint32_t& error) override;
  bool DeleteFile(const std::string& path, std::uint32_t& error) override;
  bool RemoveDirectory(const std::string& path, std::uint32_t& error) override;
  bool CreateDirectory(const std::string& path, std::uint32_t& error) override;
  bool ListDirectory(const std::string& path, std::vector<DirectoryEntry>& out,
                     std::uint32_t& error) override;
  bool CopyFile(const std::string& source, const std::string& destination,
                std::uint32_t& error) override;
  bool MoveFile(const std::string& source, const std::string& destination,
                std::uint32_t& error) override;
  bool SyncVolume(const std::string& path, std::uint32_t& error) override;
  bool FreeSpace(const std::string& path, std::uint64_t& bytes, std::uint32_t& error) override;
  std::unique_ptr<FileReader> OpenRead(const std::string& path, std::uint32_t& error) override;
  std::unique_ptr<FileWriter> CreateTruncate(const std::string& path, std::uint32_t mode,
                                             std::uint32_t& error) override;
  std::unique_ptr<FileWriter> CreateExclusive(const std::string& path, std::uint32_t mode,
                                              std::uint32_t& error) override;
  std::unique_ptr<FolderHandle> CreateFreshFolder(const std::string& path,
                                                  std::uint32_t& error) override;
  std::unique_ptr<FolderHandle> OpenFolder(const std::string& path, std::uint32_t& error) override;
  std::unique_ptr<FileLock> TryLockFile(const std::string& path, std::uint32_t& error) override;
  std::unique_ptr<FileWriter> OpenAppend(const std::string& path, std::uint32_t& error) override;
  std::string CurrentDirectory() override;
};

}  // namespace tallowmarch::platform
