// The updater's file operations. Every path handed to the file layer passes through LongPath,
// which here is the absolute, lexically normalised path (Linux has no long-path prefix). None
// of these log; each reports success or failure to its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "byte_buffer.h"
#include "system/files.h"

namespace tallowmarch::updater {

inline constexpr size_t kFilePieceBytes = 1048576;  // contents move in pieces of at most 1 MiB
inline constexpr size_t kMaxPathChars = 32767;

// The absolute form of `path`: relative paths are resolved against the current folder, "."
// and ".." components are resolved and repeated separators collapsed; a trailing separator is
// kept.
std::wstring FullPath(const std::wstring& path);
std::wstring LongPath(const std::wstring& path);
// The byte path the file layer takes.
std::string NativePath(const std::wstring& path);
// `folder` + "/" + `name`, with no separator added when the folder already ends in one.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);

// The path's own attributes (links are not followed).
bool GetPathAttributes(const std::wstring& path, platform::FileAttributes& out);
// Whether anything is at `path`. Only "not found" is an absence: any other error (an I/O error,
// say) gives false with the error, and the caller must not take the path for missing.
bool ProbePath(const std::wstring& path, platform::FileAttributes& out, bool& exists,
               std::uint32_t& error);
bool FileExists(const std::wstring& path);
// True when the file is gone or was deleted; a read-only file is made writable first. A
// symbolic link is removed itself, never its target. An entry whose attributes cannot be read
// (other than "not found") is not taken for gone.
bool DeleteFileForce(const std::wstring& path);
bool DeleteFileForce(const std::wstring& path, std::uint32_t& error);
// Removes a folder and everything in it, depth first, going on past every failure; a file in
// the folder's place is deleted. Symbolic links inside the tree (and a link in the place of the
// folder itself) are removed as links: the removal works below the folder's descriptor and never
// leaves the tree, whatever is renamed in it meanwhile. True when nothing is left at the path;
// else `error` holds the last failure.
bool RemoveTree(const std::wstring& folder);
bool RemoveTree(const std::wstring& folder, std::uint32_t& error);
// Creates every missing folder of `path`; true when the path exists afterwards.
bool CreateDirectories(const std::wstring& path);
// True when the volume has `needed` bytes free for the caller, or cannot be asked.
bool HasFreeSpace(const std::wstring& folder, std::uint64_t needed);
// The whole file, when it is a regular file of at most `cap` bytes and it reads completely.
// Opening never blocks (a FIFO is refused).
bool ReadFileCapped(const std::wstring& path, ByteBuffer& out, std::uint64_t cap);
// Creates or truncates the file (creating its folders) and writes and flushes `data`. A
// symbolic link in the file's place is refused.
bool WriteFileFlushed(const std::wstring& path, const void* data, size_t length,
                      std::uint32_t mode = 0644);
// Writes all of `data` in pieces of at most kFilePieceBytes; a write of nothing is a full disk.
bool WriteAll(platform::FileWriter& writer, const void* data, size_t length, std::uint32_t& error);
// Creates the file afresh (a file or link of its name is unlinked first, and the new one is
// created exclusively, never through a link) and writes and flushes `data`. A partial file may
// stay on failure.
bool WriteFreshFileFlushed(const std::wstring& path, const void* data, size_t length,
                           std::uint32_t& error);
// Makes everything written on the volume of `folder` durable.
bool FlushVolume(const std::wstring& folder);

// Ordinal comparison of the first prefix.size() characters with case ignored.
bool StartsWithIgnoreCase(const std::wstring& text, const std::wstring& prefix);
// Equal length and equal bytes after folding 'A'..'Z' to 'a'..'z'.
bool EqualsIgnoreAsciiCase(const std::string& a, const std::string& b);

}  // namespace tallowmarch::updater
