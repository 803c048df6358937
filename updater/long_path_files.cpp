#include "long_path_files.h"

#include <cwctype>

#include "common/wide_text.h"
#include "system/os_layers.h"

namespace tallowmarch::updater {

using platform::FileAttributes;
using platform::FileKind;
using platform::Files;

std::wstring FullPath(const std::wstring& path) {
  if (path.empty()) return path;
  std::wstring absolute = path;
  if (absolute[0] != L'/') absolute = Widen(Files().CurrentDirectory()) + L"/" + absolute;
  const bool trailing = absolute.back() == L'/';
  std::vector<std::wstring> parts;
  size_t start = 0;
  while (start <= absolute.size()) {
    size_t end = absolute.find(L'/', start);
    if (end == std::wstring::npos) end = absolute.size();
    const std::wstring part = absolute.substr(start, end - start);
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::wstring out;
  for (const std::wstring& part : parts) out += L"/" + part;
  if (out.empty() || trailing) out += L"/";
  // The longest path the system's path buffer holds; a longer one is handed on unchanged.
  if (out.size() > kMaxPathChars) return path;
  return out;
}

std::wstring LongPath(const std::wstring& path) {
  return FullPath(path);
}

std::string NativePath(const std::wstring& path) {
  return Narrow(LongPath(path));
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
  if (!folder.empty() && (folder.back() == L'/' || folder.back() == L'\\')) return folder + name;
  return folder + L"/" + name;
}

bool GetPathAttributes(const std::wstring& path, FileAttributes& out) {
  std::uint32_t error = 0;
  return Files().GetAttributes(NativePath(path), out, error);
}

bool ProbePath(const std::wstring& path, FileAttributes& out, bool& exists, std::uint32_t& error) {
  error = 0;
  exists = Files().GetAttributes(NativePath(path), out, error);
  if (exists) return true;
  return error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound;
}

bool FileExists(const std::wstring& path) {
  FileAttributes attributes;
  return GetPathAttributes(path, attributes);
}

bool DeleteFileForce(const std::wstring& path) {
  std::uint32_t error = 0;
  return DeleteFileForce(path, error);
}

bool DeleteFileForce(const std::wstring& path, std::uint32_t& error) {
  const std::string native = NativePath(path);
  FileAttributes attributes;
  bool exists = false;
  // Only "not found" is nothing to delete: an entry whose attributes cannot be read may be there.
  if (!ProbePath(path, attributes, exists, error)) return false;
  if (!exists) return true;
  if (Files().DeleteFile(native, error)) return true;
  // Only where the system refuses a read-only file: clearing the bit first would change the
  // file behind every other name of it (a hard link planted in the folder, say).
  if (!attributes.readOnly || attributes.kind == FileKind::kSymlink) return false;
  std::uint32_t ignored = 0;
  Files().SetReadOnly(native, false, ignored);  // the delete decides
  return Files().DeleteFile(native, error);
}

bool RemoveTree(const std::wstring& folder) {
  std::uint32_t error = 0;
  return RemoveTree(folder, error);
}

namespace {

// Empties the folder depth first through descriptors, going on past every failure: a folder
// swapped for a link meanwhile is refused, never followed, so nothing outside is touched.
void ClearFolder(platform::FolderHandle& folder, std::uint32_t& error) {
  std::vector<platform::DirectoryEntry> entries;
  if (!folder.List(entries, error)) return;
  for (const platform::DirectoryEntry& entry : entries) {
    const bool isFolder = entry.kind == FileKind::kDirectory;
    if (isFolder) {
      std::unique_ptr<platform::FolderHandle> sub = folder.OpenExisting(entry.name, error);
      if (sub) ClearFolder(*sub, error);
    }
    folder.Remove(entry.name, isFolder, error);  // the folder's own removal decides
  }
}

}  // namespace

bool RemoveTree(const std::wstring& folder, std::uint32_t& error) {
  const std::string native = NativePath(folder);
  FileAttributes attributes;
  bool exists = false;
  if (!ProbePath(folder, attributes, exists, error)) return false;
  if (!exists) return true;
  if (attributes.kind != FileKind::kDirectory) {
    // A link in the folder's place goes (its target stays), and so does a file.
    return DeleteFileForce(folder, error);
  }
  std::unique_ptr<platform::FolderHandle> handle = Files().OpenFolder(native, error);
  if (handle) ClearFolder(*handle, error);
  return Files().RemoveDirectory(native, error);
}

bool CreateDirectories(const std::wstring& path) {
  const std::wstring full = FullPath(path);
  std::uint32_t error = 0;
  for (size_t i = 1; i <= full.size(); ++i) {
    if (i < full.size() && full[i] != L'/') continue;
    const std::wstring prefix = full.substr(0, i);
    if (prefix.size() < 2) continue;                 // the root
    Files().CreateDirectory(Narrow(prefix), error);  // existing folders fail harmlessly
  }
  return FileExists(full);
}

bool HasFreeSpace(const std::wstring& folder, std::uint64_t needed) {
  std::uint64_t free = 0;
  std::uint32_t error = 0;
  if (!Files().FreeSpace(NativePath(folder), free, error)) return true;
  return free >= needed;
}

bool ReadFileCapped(const std::wstring& path, ByteBuffer& out, std::uint64_t cap) {
  std::uint32_t error = 0;
  auto reader = Files().OpenRead(NativePath(path), error);
  if (!reader) return false;
  std::uint64_t size = 0;
  if (!reader->Size(size, error) || size > cap) return false;
  // Every byte is read over at once, so the buffer is not zeroed first.
  if (!out.Resize(size)) return false;
  size_t done = 0;
  while (done < out.size()) {
    const size_t piece = std::min(kFilePieceBytes, out.size() - done);
    size_t got = 0;
    if (!reader->Read(out.data() + done, piece, got, error) || got == 0) return false;
    done += got;
  }
  return true;
}

bool WriteAll(platform::FileWriter& writer, const void* data, size_t length, std::uint32_t& error) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  size_t done = 0;
  while (done < length) {
    const size_t piece = std::min(kFilePieceBytes, length - done);
    size_t written = 0;
    if (!writer.Write(bytes + done, piece, written, error)) return false;
    if (written == 0) {
      error = platform::kErrorDiskFull;
      return false;
    }
    done += written;
  }
  return true;
}

bool WriteFileFlushed(const std::wstring& path, const void* data, size_t length,
                      std::uint32_t mode) {
  const size_t slash = path.find_last_of(L'/');
  if (slash != std::wstring::npos && slash > 0) CreateDirectories(path.substr(0, slash));
  std::uint32_t error = 0;
  auto writer = Files().CreateTruncate(NativePath(path), mode, error);
  return writer && WriteAll(*writer, data, length, error) && writer->Flush(error);
}

bool WriteFreshFileFlushed(const std::wstring& path, const void* data, size_t length,
                           std::uint32_t& error) {
  if (!DeleteFileForce(path, error)) return false;
  auto writer = Files().CreateExclusive(NativePath(path), 0644, error);
  return writer && WriteAll(*writer, data, length, error) && writer->Flush(error);
}

bool FlushVolume(const std::wstring& folder) {
  std::uint32_t error = 0;
  return platform::Files().SyncVolume(NativePath(folder), error);
}

bool StartsWithIgnoreCase(const std::wstring& text, const std::wstring& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::towupper(static_cast<wint_t>(text[i])) !=
        std::towupper(static_cast<wint_t>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

bool EqualsIgnoreAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

}  // namespace tallowmarch::updater
