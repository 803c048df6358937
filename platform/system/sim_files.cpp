#include "system/sim_files.h"

namespace tallowmarch::platform {
namespace {

class ShortReader : public FileReader {
 public:
  explicit ShortReader(std::unique_ptr<FileReader> inner) : inner_(std::move(inner)) {}
  bool Size(std::uint64_t& size, std::uint32_t& error) override {
    return inner_->Size(size, error);
  }
  bool Read(void* buffer, size_t length, size_t& got, std::uint32_t& error) override {
    if (reads_++ > 0) {
      got = 0;  // as if the file had shrunk since its size was taken
      return true;
    }
    return inner_->Read(buffer, length, got, error);
  }

 private:
  std::unique_ptr<FileReader> inner_;
  int reads_ = 0;
};

class FailingWriter : public FileWriter {
 public:
  FailingWriter(std::unique_ptr<FileWriter> inner, std::optional<std::uint32_t> writeError,
                std::optional<std::uint32_t> flushError)
      : inner_(std::move(inner)), writeError_(writeError), flushError_(flushError) {}
  bool Write(const void* data, size_t length, size_t& written, std::uint32_t& error) override {
    if (writeError_) {
      error = *writeError_;
      return false;
    }
    return inner_->Write(data, length, written, error);
  }
  bool Flush(std::uint32_t& error) override {
    if (flushError_) {
      error = *flushError_;
      return false;
    }
    return inner_->Flush(error);
  }

 private:
  std::unique_ptr<FileWriter> inner_;
  std::optional<std::uint32_t> writeError_, flushError_;
};

// A folder handle whose operations meet the layer's scripted failures under their full paths.
class SimFolderHandle : public FolderHandle {
 public:
  SimFolderHandle(std::unique_ptr<FolderHandle> inner, std::string path, SimFileLayer& layer)
      : inner_(std::move(inner)), path_(std::move(path)), layer_(layer) {}
  std::unique_ptr<FolderHandle> OpenSubfolder(const std::string& name,
                                              std::uint32_t& error) override {
    const std::string path = path_ + "/" + name;
    if (layer_.Fails(FileOp::kCreateDirectory, path, {}, error)) return nullptr;
    auto sub = inner_->OpenSubfolder(name, error);
    if (!sub) return nullptr;
    return std::make_unique<SimFolderHandle>(std::move(sub), path, layer_);
  }
  std::unique_ptr<FileWriter> CreateFile(const std::string& name, std::uint32_t mode,
                                         std::uint32_t& error) override {
    const std::string path = path_ + "/" + name;
    if (layer_.Fails(FileOp::kCreate, path, {}, error)) return nullptr;
    return layer_.WithWriteFaults(path, inner_->CreateFile(name, mode, error));
  }
  std::unique_ptr<FolderHandle> OpenExisting(const std::string& name,
                                             std::uint32_t& error) override {
    auto sub = inner_->OpenExisting(name, error);
    if (!sub) return nullptr;
    return std::make_unique<SimFolderHandle>(std::move(sub), path_ + "/" + name, layer_);
  }
  bool List(std::vector<DirectoryEntry>& out, std::uint32_t& error) override {
    return inner_->List(out, error);
  }
  bool Remove(const std::string& name, bool folder, std::uint32_t& error) override {
    if (layer_.Fails(folder ? FileOp::kRemoveDirectory : FileOp::kDelete, path_ + "/" + name, {},
                     error)) {
      return false;
    }
    return inner_->Remove(name, folder, error);
  }
  bool MoveOut(const std::string& name, const std::string& destination,
               std::uint32_t& error) override {
    if (layer_.Fails(FileOp::kMove, path_ + "/" + name, destination, error)) return false;
    return inner_->MoveOut(name, destination, error);
  }

 private:
  std::unique_ptr<FolderHandle> inner_;
  std::string path_;
  SimFileLayer& layer_;
};

}  // namespace

void SimFileLayer::InjectFailure(FileOp op, const std::string& path, std::uint32_t error,
                                 int times) {
  std::lock_guard lock(mutex_);
  failures_.push_back({op, path, error, times});
}

void SimFileLayer::SetFreeSpace(std::optional<std::uint64_t> bytes) {
  std::lock_guard lock(mutex_);
  freeSpace_ = bytes;
}

int SimFileLayer::Calls(FileOp op) const {
  std::lock_guard lock(mutex_);
  const auto it = calls_.find(op);
  return it == calls_.end() ? 0 : it->second;
}

void SimFileLayer::Reset() {
  std::lock_guard lock(mutex_);
  failures_.clear();
  freeSpace_.reset();
  calls_.clear();
}

bool SimFileLayer::Fails(FileOp op, const std::string& path, const std::string& other,
                         std::uint32_t& error) {
  std::lock_guard lock(mutex_);
  ++calls_[op];
  for (auto it = failures_.begin(); it != failures_.end(); ++it) {
    if (it->op != op) continue;
    if (!it->path.empty() && it->path != path && it->path != other) continue;
    error = it->error;
    if (it->times > 0 && --it->times == 0) failures_.erase(it);
    return true;
  }
  return false;
}

bool SimFileLayer::GetAttributes(const std::string& path, FileAttributes& out,
                                 std::uint32_t& error) {
  if (Fails(FileOp::kGetAttributes, path, {}, error)) return false;
  return LinuxFileLayer::GetAttributes(path, out, error);
}

bool SimFileLayer::DeleteFile(const std::string& path, std::uint32_t& error) {
  if (Fails(FileOp::kDelete, path, {}, error)) return false;
  return LinuxFileLayer::DeleteFile(path, error);
}

bool SimFileLayer::RemoveDirectory(const std::string& path, std::uint32_t& error) {
  if (Fails(FileOp::kRemoveDirectory, path, {}, error)) return false;
  return LinuxFileLayer::RemoveDirectory(path, error);
}

bool SimFileLayer::CreateDirectory(const std::string& path, std::uint32_t& error) {
  if (Fails(FileOp::kCreateDirectory, path, {}, error)) return false;
  return LinuxFileLayer::CreateDirectory(path, error);
}

bool SimFileLayer::CopyFile(const std::string& source, const std::string& destination,
                            std::uint32_t& error) {
  if (Fails(FileOp::kCopy, source, {}, error)) return false;
  return LinuxFileLayer::CopyFile(source, destination, error);
}

bool SimFileLayer::MoveFile(const std::string& source, const std::string& destination,
                            std::uint32_t& error) {
  if (Fails(FileOp::kMove, source, destination, error)) return false;
  return LinuxFileLayer::MoveFile(source, destination, error);
}

bool SimFileLayer::SyncVolume(const std::string& path, std::uint32_t& error) {
  if (Fails(FileOp::kSyncVolume, path, {}, error)) return false;
  return LinuxFileLayer::SyncVolume(path, error);
}

bool SimFileLayer::FreeSpace(const std::string& path, std::uint64_t& bytes, std::uint32_t& error) {
  if (Fails(FileOp::kFreeSpace, path, {}, error)) return false;
  {
    std::lock_guard lock(mutex_);
    if (freeSpace_) {
      bytes = *freeSpace_;
      return true;
    }
  }
  return LinuxFileLayer::FreeSpace(path, bytes, error);
}

std::unique_ptr<FileReader> SimFileLayer::OpenRead(const std::string& path, std::uint32_t& error) {
  if (Fails(FileOp::kOpenRead, path, {}, error)) return nullptr;
  auto reader = LinuxFileLayer::OpenRead(path, error);
  std::uint32_t ignored = 0;
  if (reader && Fails(FileOp::kRead, path, {}, ignored)) {
    return std::make_unique<ShortReader>(std::move(reader));
  }
  return reader;
}

std::unique_ptr<FileWriter> SimFileLayer::CreateTruncate(const std::string& path,
                                                         std::uint32_t mode, std::uint32_t& error) {
  if (Fails(FileOp::kCreate, path, {}, error)) return nullptr;
  return WithWriteFaults(path, LinuxFileLayer::CreateTruncate(path, mode, error));
}

std::unique_ptr<FileWriter> SimFileLayer::CreateExclusive(const std::string& path,
                                                          std::uint32_t mode,
                                                          std::uint32_t& error) {
  if (Fails(FileOp::kCreate, path, {}, error)) return nullptr;
  return WithWriteFaults(path, LinuxFileLayer::CreateExclusive(path, mode, error));
}

std::unique_ptr<FolderHandle> SimFileLayer::CreateFreshFolder(const std::string& path,
                                                              std::uint32_t& error) {
  if (Fails(FileOp::kCreateDirectory, path, {}, error)) return nullptr;
  auto folder = LinuxFileLayer::CreateFreshFolder(path, error);
  if (!folder) return nullptr;
  return std::make_unique<SimFolderHandle>(std::move(folder), path, *this);
}

std::unique_ptr<FolderHandle> SimFileLayer::OpenFolder(const std::string& path,
                                                       std::uint32_t& error) {
  auto folder = LinuxFileLayer::OpenFolder(path, error);
  if (!folder) return nullptr;
  return std::make_unique<SimFolderHandle>(std::move(folder), path, *this);
}

std::unique_ptr<FileWriter> SimFileLayer::WithWriteFaults(const std::string& path,
                                                          std::unique_ptr<FileWriter> writer) {
  if (!writer) return writer;
  std::optional<std::uint32_t> writeError, flushError;
  std::uint32_t code = 0;
  if (Fails(FileOp::kWrite, path, {}, code)) writeError = code;
  if (Fails(FileOp::kFlush, path, {}, code)) flushError = code;
  if (!writeError && !flushError) return writer;
  return std::make_unique<FailingWriter>(std::move(writer), writeError, flushError);
}

}  // namespace tallowmarch::platform
