// The simulated file layer: real files (tests point it at temporary folders) plus scripted
// failures per operation and path, a scripted free-space answer and call counters.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "system/linux_files.h"

namespace tallowmarch::platform {

enum class FileOp {
  kGetAttributes,
  kDelete,
  kRemoveDirectory,
  kCreateDirectory,  // also fresh folders and the subfolders of a folder handle
  kCopy,             // matched on the source path
  kMove,             // matched on the source or the destination path
  kFreeSpace,
  kSyncVolume,
  kOpenRead,
  kRead,    // the reader of a matching path ends early: every read after the first gives 0
  kCreate,  // also exclusive creations, and files created below a folder handle
  kWrite,   // the writer of a matching path fails its writes
  kFlush,   // the writer of a matching path fails its flush
};

class TM_EXPORT SimFileLayer : public LinuxFileLayer {
 public:
  // The next `times` calls of `op` on `path` (empty: any path) fail with `error`; times < 0
  // fails every call.
  void InjectFailure(FileOp op, const std::string& path, std::uint32_t error, int times = -1);
  // A fixed free-space answer; nullopt asks the volume.
  void SetFreeSpace(std::optional<std::uint64_t> bytes);
  // Calls of `op` so far (failed ones included).
  int Calls(FileOp op) const;
  void Reset();

  bool GetAttributes(const std::string& path, FileAttributes& out, std::uint32_t& error) override;
  bool DeleteFile(const std::string& path, std::uint32_t& error) override;
  bool RemoveDirectory(const std::string& path, std::uint32_t& error) override;
  bool CreateDirectory(const std::string& path, std::uint32_t& error) override;
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

  // The scripted write and flush failures of `path` put around `writer`. For the folder
  // handles of this layer.
  std::unique_ptr<FileWriter> WithWriteFaults(const std::string& path,
                                              std::unique_ptr<FileWriter> writer);
  // Counts the call and consumes a matching failure; true when the call must fail.
  bool Fails(FileOp op, const std::string& path, const std::string& other, std::uint32_t& error);

 private:
  struct Failure {
    FileOp op;
    std::string path;
    std::uint32_t error;
    int times;
  };
  mutable std::mutex mutex_;  // guards failures_, freeSpace_ and calls_
  std::vector<Failure> failures_;
  std::optional<std::uint64_t> freeSpace_;
  std::map<FileOp, int> calls_;
};

}  // namespace tallowmarch::platform
