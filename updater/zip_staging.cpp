#include "zip_staging.h"

#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <optional>

#include "common/wide_text.h"
#include "long_path_files.h"
#include "system/os_layers.h"
#include "updater_options.h"

namespace tallowmarch::updater {
namespace {

constexpr wchar_t kReaderInitFailed[] = L"zip reader init failed";
constexpr wchar_t kTooManyEntries[] = L"too many zip entries (%u)";
constexpr wchar_t kStatFailed[] = L"stat failed for entry %u";
constexpr wchar_t kSizeCapExceeded[] = L"uncompressed size cap exceeded";
constexpr wchar_t kUnsafeName[] = L"rejected unsafe zip entry name: %ls";
constexpr wchar_t kExtractFailed[] = L"extract failed for %ls";
constexpr wchar_t kWriteFailed[] = L"could not write staged file %ls";
constexpr wchar_t kNoFiles[] = L"zip contained no files to apply";
constexpr wchar_t kNameTooLong[] = L"rejected zip entry name too long for its backup: %ls";
constexpr wchar_t kCannotCreateStaging[] = L"could not create staging folder %ls (err %lu)";
constexpr wchar_t kCannotReadAttributes[] = L"cannot read the attributes of %ls (err %lu)";
constexpr wchar_t kCouldNotRemove[] = L"could not remove %ls (err %lu)";

constexpr std::uint8_t kDosDirectoryAttribute = 0x10;

struct ZipCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipArchive = std::unique_ptr<zip_t, ZipCloser>;
struct ZipFileCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipFile = std::unique_ptr<zip_file_t, ZipFileCloser>;

// Opens the archive over the caller's bytes, which outlive it.
ZipArchive OpenArchive(std::span<const std::uint8_t> bytes) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  zip_error_fini(&error);
  if (source == nullptr) return nullptr;
  zip_error_init(&error);
  zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
  zip_error_fini(&error);
  if (archive == nullptr) {
    zip_source_free(source);
    return nullptr;
  }
  return ZipArchive(archive);
}

// Reads exactly `size` bytes of the entry and makes sure nothing follows them, so that an entry
// whose data is longer than it declares (or fails its checksum) is refused.
bool ExtractExactly(zip_t* archive, zip_uint64_t index, ByteBuffer& out, std::uint64_t size) {
  ZipFile file(zip_fopen_index(archive, index, 0));
  if (!file) return false;  // encrypted, unsupported method, damaged header
  size_t done = 0;
  while (done < size) {
    const zip_int64_t got = zip_fread(file.get(), out.data() + done, size - done);
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  std::uint8_t extra = 0;
  return zip_fread(file.get(), &extra, 1) == 0;  // the end, with its checksum checked
}

// Permission bits of a staged file (Windows has no execute bit, so the archive need not carry
// one): those of the file it replaces, else 0644; made executable, where readable, when the
// archive says so (an archive made on a Unix system records the mode).
std::uint32_t StagedMode(zip_t* archive, zip_uint64_t index, const std::wstring& targetPath) {
  std::uint32_t mode = 0644;
  platform::FileAttributes existing;
  if (GetPathAttributes(targetPath, existing) && existing.kind == platform::FileKind::kFile) {
    mode = existing.mode & 0777;
  }
  std::uint8_t opsys = 0;
  std::uint32_t attributes = 0;
  if (zip_file_get_external_attributes(archive, index, 0, &opsys, &attributes) == 0 &&
      opsys == ZIP_OPSYS_UNIX && ((attributes >> 16) & S_IXUSR) != 0) {
    mode |= (mode & 0444) >> 2;
  }
  return mode;
}

// An entry whose swap the apply itself would undo or that would destroy a backup: the marker,
// anything inside the staging folder (both removed by the clean-up after the swap, so the
// update would report a file it does not leave), and a target that is another entry's backup
// or the other way round (the swap would overwrite the backup, and deleting the backups would
// delete the new file).
bool CollidesWithUpdateState(const std::wstring& relative, const std::wstring& targetPath,
                             const std::vector<StagedEntry>& entries) {
  const std::wstring staging = kStagingFolderName;
  const size_t slash = relative.find_last_of(L'/');
  const std::wstring name = slash == std::wstring::npos ? relative : relative.substr(slash + 1);
  // The marker's temporary and a copy's temporary would be deleted by a reconcile.
  if (relative == kMarkerFileName || relative == kMarkerTempFileName || relative == kLockFileName ||
      IsCopyTemporaryName(name) || relative == staging ||
      relative.compare(0, staging.size() + 1, staging + L"/") == 0) {
    return true;
  }
  for (const StagedEntry& other : entries) {
    if (other.backupPath == targetPath || targetPath + L".old" == other.targetPath) {
      return true;
    }
  }
  return false;
}

std::uint32_t Get16(std::span<const std::uint8_t> bytes, size_t at) {
  return bytes[at] | (bytes[at + 1] << 8);
}
std::uint64_t Get32(std::span<const std::uint8_t> bytes, size_t at) {
  return Get16(bytes, at) | (static_cast<std::uint64_t>(Get16(bytes, at + 2)) << 16);
}
std::uint64_t Get64(std::span<const std::uint8_t> bytes, size_t at) {
  return Get32(bytes, at) | (Get32(bytes, at + 4) << 32);
}

// The entry names byte for byte as the central directory holds them: libzip hands a NUL in a
// name on as a space, which would hide it from the name rules. Empty when the directory cannot
// be walked; the caller checks that it names what libzip names.
std::vector<std::string> RawEntryNames(std::span<const std::uint8_t> zip) {
  constexpr size_t kEndRecord = 22;
  constexpr size_t kMaxComment = 65535;
  constexpr size_t kHeader = 46;
  std::vector<std::string> names;
  if (zip.size() < kEndRecord) return names;
  size_t end = zip.size();
  const size_t lowest =
      zip.size() > kEndRecord + kMaxComment ? zip.size() - kEndRecord - kMaxComment : 0;
  for (size_t at = zip.size() - kEndRecord + 1; at-- > lowest;) {
    if (Get32(zip, at) == 0x06054b50) {
      end = at;
      break;
    }
  }
  if (end == zip.size()) return names;
  std::uint64_t count = Get16(zip, end + 10);
  std::uint64_t offset = Get32(zip, end + 16);
  if ((count == 0xFFFF || offset == 0xFFFFFFFF) && end >= 20 &&
      Get32(zip, end - 20) == 0x07064b50) {
    const std::uint64_t record = Get64(zip, end - 20 + 8);
    if (record > zip.size() || zip.size() - record < 56 || Get32(zip, record) != 0x06064b50) {
      return names;
    }
    count = Get64(zip, record + 32);
    offset = Get64(zip, record + 48);
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    if (offset > zip.size() || zip.size() - offset < kHeader || Get32(zip, offset) != 0x02014b50) {
      return {};
    }
    const size_t length = Get16(zip, offset + 28);
    const size_t rest = Get16(zip, offset + 30) + Get16(zip, offset + 32);
    if (zip.size() - offset - kHeader < length) return {};
    names.emplace_back(reinterpret_cast<const char*>(zip.data() + offset + kHeader), length);
    offset += kHeader + length + rest;
  }
  return names;
}

// Writes one staged file below the staging folder's handle.
bool WriteStagedFile(platform::FolderHandle& staging, const std::wstring& relative,
                     const ByteBuffer& data, size_t length, std::uint32_t mode) {
  std::unique_ptr<platform::FolderHandle> holder;
  std::string name;
  std::uint32_t error = 0;
  platform::FolderHandle* folder = OpenStagedFolder(staging, relative, true, holder, name, error);
  if (folder == nullptr) return false;
  auto writer = folder->CreateFile(name, mode, error);
  return writer && WriteAll(*writer, data.data(), length, error);
}

bool IsDirectoryEntry(zip_t* archive, zip_uint64_t index, std::string_view name) {
  if (!name.empty() && name.back() == '/') return true;
  std::uint8_t opsys = 0;
  std::uint32_t attributes = 0;
  return zip_file_get_external_attributes(archive, index, 0, &opsys, &attributes) == 0 &&
         (attributes & kDosDirectoryAttribute) != 0;
}

}  // namespace

platform::FolderHandle* OpenStagedFolder(platform::FolderHandle& staging,
                                         const std::wstring& relative, bool create,
                                         std::unique_ptr<platform::FolderHandle>& holder,
                                         std::string& name, std::uint32_t& error) {
  platform::FolderHandle* folder = &staging;
  size_t start = 0;
  for (size_t slash = relative.find(L'/'); slash != std::wstring::npos;
       start = slash + 1, slash = relative.find(L'/', start)) {
    const std::string component = Narrow(relative.substr(start, slash - start));
    holder =
        create ? folder->OpenSubfolder(component, error) : folder->OpenExisting(component, error);
    if (!holder) return nullptr;
    folder = holder.get();
  }
  name = Narrow(relative.substr(start));
  return folder;
}

bool ProbeOrLog(const std::wstring& path, platform::FileAttributes& out, bool& exists) {
  std::uint32_t error = 0;
  if (ProbePath(path, out, exists, error)) return true;
  LogLine(kCannotReadAttributes, path.c_str(), static_cast<unsigned long>(error));
  return false;
}

bool DeleteOrLog(const std::wstring& path) {
  std::uint32_t error = 0;
  if (DeleteFileForce(path, error)) return true;
  LogLine(kCouldNotRemove, path.c_str(), static_cast<unsigned long>(error));
  return false;
}

bool RemoveTreeOrLog(const std::wstring& folder) {
  std::uint32_t error = 0;
  if (RemoveTree(folder, error)) return true;
  LogLine(kCouldNotRemove, folder.c_str(), static_cast<unsigned long>(error));
  return false;
}

bool TargetStaysInside(const std::wstring& installDir, const std::wstring& relative, bool& inside) {
  inside = true;
  std::wstring path = installDir;
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find(L'/', start);
    if (slash == std::wstring::npos) return true;  // the last component is the target itself
    path = JoinPath(path, relative.substr(start, slash - start));
    platform::FileAttributes attributes;
    bool exists = false;
    if (!ProbeOrLog(path, attributes, exists)) return false;
    if (!exists) return true;  // the rest does not exist yet
    if (attributes.kind == platform::FileKind::kSymlink) {
      inside = false;
      return true;
    }
    start = slash + 1;
  }
}

bool IsCopyTemporaryName(const std::wstring& name) {
  // Also the longer names of earlier versions: the destination's name, then the same suffix.
  const std::wstring infix = Widen(platform::kCopyTemporaryPrefix);
  const std::wstring_view kInfix = infix;
  constexpr size_t kDigits = platform::kCopyTemporaryDigits;
  if (name.size() < kInfix.size() + kDigits) return false;
  const size_t at = name.size() - kDigits - kInfix.size();
  if (name.compare(at, kInfix.size(), kInfix) != 0) return false;
  for (size_t i = name.size() - kDigits; i < name.size(); ++i) {
    const wchar_t c = name[i];
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
  }
  return true;
}

bool IsReservedDeviceName(const std::wstring& component) {
  std::wstring stem = component.substr(0, component.find(L'.'));
  for (wchar_t& c : stem) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL") return true;
  return stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
         stem[3] >= L'1' && stem[3] <= L'9';
}

bool ResolveStagedPath(std::string_view name, const std::wstring& stagingDir,
                       std::wstring& stagedPath) {
  if (name.empty()) return false;
  std::optional<std::wstring> decoded = DecodeUtf8(name);
  if (!decoded || decoded->empty()) return false;
  std::wstring relative = std::move(*decoded);
  // A NUL (or any control character) cannot be part of a file name the archive means.
  for (const wchar_t c : relative) {
    if (c < 0x20) return false;
  }
  for (wchar_t& c : relative) {
    if (c == L'\\') c = L'/';
  }
  if (relative.find(L':') != std::wstring::npos) return false;
  if (relative.front() == L'/') return false;
  if (relative.find(L"//") != std::wstring::npos) return false;
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find(L'/', start);
    if (end == std::wstring::npos) end = relative.size();
    const std::wstring component = relative.substr(start, end - start);
    if (!component.empty()) {
      if (component == L"." || component == L"..") return false;
      if (component.back() == L' ' || component.back() == L'.') return false;
      if (IsReservedDeviceName(component)) return false;
    }
    start = end + 1;
  }
  const std::wstring base = FullPath(stagingDir);
  std::wstring baseWithSeparator = base;
  if (baseWithSeparator.back() != L'/') baseWithSeparator += L'/';
  const std::wstring candidate = FullPath(baseWithSeparator + relative);
  if (candidate.size() < baseWithSeparator.size() ||
      !StartsWithIgnoreCase(candidate, baseWithSeparator)) {
    return false;
  }
  stagedPath = candidate;
  return true;
}

bool ExtractToStaging(std::span<const std::uint8_t> zip, const std::wstring& stagingDir,
                      const std::wstring& installDir, std::vector<StagedEntry>& entries,
                      std::unique_ptr<platform::FolderHandle>* stagingHandle) {
  ZipArchive archive = OpenArchive(zip);
  if (!archive) {
    LogLine(kReaderInitFailed);
    return false;
  }
  const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  if (count < 0 || static_cast<std::uint64_t>(count) > kMaxZipEntries) {
    LogLine(kTooManyEntries, static_cast<unsigned>(count));
    return false;
  }
  const std::vector<std::string> rawNames = RawEntryNames(zip);
  // The staging folder is this run's own: whatever had its name goes first, and it is created
  // anew, so that nothing planted in it can lead a write elsewhere.
  if (!RemoveTreeOrLog(stagingDir)) return false;
  std::uint32_t error = 0;
  std::unique_ptr<platform::FolderHandle> staging =
      platform::Files().CreateFreshFolder(NativePath(stagingDir), error);
  if (!staging) {
    LogLine(kCannotCreateStaging, FullPath(stagingDir).c_str(), static_cast<unsigned long>(error));
    return false;
  }
  const size_t baseLength = FullPath(stagingDir).size();
  std::uint64_t total = 0;
  bool appended = false;
  for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    // Raw names: libzip would otherwise re-decode names that are not UTF-8 as code page 437.
    if (zip_stat_index(archive.get(), i, ZIP_FL_ENC_RAW, &stat) != 0 ||
        (stat.valid & (ZIP_STAT_NAME | ZIP_STAT_SIZE)) != (ZIP_STAT_NAME | ZIP_STAT_SIZE)) {
      LogLine(kStatFailed, static_cast<unsigned>(i));
      return false;
    }
    const std::string_view shown = stat.name;
    // The directory's own bytes, NULs included; they must be what libzip names (with a NUL as
    // a space), or the two readings of the archive differ.
    std::string raw = i < rawNames.size() ? rawNames[i] : std::string();
    std::string spaced = raw;
    std::replace(spaced.begin(), spaced.end(), '\0', ' ');
    if (rawNames.size() != static_cast<size_t>(count) || spaced != shown) {
      LogLine(kUnsafeName, Widen(shown).c_str());
      return false;
    }
    const std::string_view name = raw;
    if (IsDirectoryEntry(archive.get(), i, name)) continue;
    // Compared before adding, so a huge declared size cannot wrap the sum around.
    if (stat.size > kMaxUncompressedBytes - total) {
      LogLine(kSizeCapExceeded);
      return false;
    }
    total += stat.size;
    std::wstring stagedPath;
    if (!ResolveStagedPath(name, stagingDir, stagedPath)) {
      LogLine(kUnsafeName, Widen(shown).c_str());
      return false;
    }
    const std::wstring relative = stagedPath.substr(std::min(baseLength + 1, stagedPath.size()));
    const std::wstring targetPath = JoinPath(installDir, relative);
    if (Narrow(relative.substr(relative.find_last_of(L'/') + 1)).size() + 4 > kMaxNameBytes) {
      LogLine(kNameTooLong, Widen(name).c_str());
      return false;
    }
    bool inside = false;
    if (!TargetStaysInside(installDir, relative, inside)) return false;
    if (!inside || CollidesWithUpdateState(relative, targetPath, entries)) {
      LogLine(kUnsafeName, Widen(name).c_str());
      return false;
    }
    platform::FileAttributes attributes;
    bool existed = false;
    if (!ProbeOrLog(targetPath, attributes, existed)) return false;
    // Every byte is extracted over (and the extraction checked for exactly that length), so
    // the buffer is not zeroed first.
    ByteBuffer buffer;
    if (!buffer.Resize(std::max<std::uint64_t>(stat.size, 1)) ||
        !ExtractExactly(archive.get(), i, buffer, stat.size)) {
      LogLine(kExtractFailed, Widen(name).c_str());
      return false;
    }
    if (!WriteStagedFile(*staging, relative, buffer, static_cast<size_t>(stat.size),
                         StagedMode(archive.get(), i, targetPath))) {
      LogLine(kWriteFailed, stagedPath.c_str());
      return false;
    }
    StagedEntry entry;
    entry.stagedPath = stagedPath;
    entry.targetPath = targetPath;
    entry.backupPath = targetPath + L".old";
    entry.existed = existed;
    entries.push_back(std::move(entry));
    appended = true;
  }
  archive.reset();
  if (!appended) {
    LogLine(kNoFiles);
    return false;
  }
  // One flush of the volume for all staged files (instead of one per file): they are durable
  // before anything in the install folder changes.
  if (!FlushVolume(stagingDir)) {
    LogLine(kWriteFailed, FullPath(stagingDir).c_str());
    return false;
  }
  if (stagingHandle != nullptr) *stagingHandle = std::move(staging);
  return true;
}

}  // namespace tallowmarch::updater
