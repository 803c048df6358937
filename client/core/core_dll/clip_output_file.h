// The clip's file on disk and the MP4 muxer that writes it. The file is always a local file,
// whatever its folder's name looks like: a folder named "http:" or "pipe:" is a folder, never a
// network connection or a pipe. A clip is kept only when it is whole: header and trailer
// written, no write and no close failed, and the file still there under its path once closed.
// Otherwise the file is removed, so a failed save leaves no empty or cut-off file behind. The
// one exception is a save that fails after the header for a reason other than the file itself
// (a segment that does not open, say): the trailer is written and that clip of what was written
// so far stays, as long as the file took it whole.
#pragma once

#include <string>

#include "ffmpeg_handles.h"

namespace tallowmarch {

class ClipOutputFile {
 public:
  // `reserved`: the save created the (empty) file at `path` for itself; only then is it opened.
  ClipOutputFile(std::wstring path, bool reserved);
  // Without a successful Finish: writes the trailer when the header was written, closes the file,
  // and removes it unless that made it a finished MP4 (a reserved file never opened goes too).
  ~ClipOutputFile();
  ClipOutputFile(const ClipOutputFile&) = delete;
  ClipOutputFile& operator=(const ClipOutputFile&) = delete;

  // The "mp4" muxer, without a file yet. Raises "avformat_alloc_output_context2 failed".
  AVFormatContext* CreateMuxer();
  // Opens the reserved file. Raises "avio_open2 failed for output file", also when it was not
  // reserved.
  void Open();
  // Raises "avformat_write_header failed".
  void WriteHeader();
  // Raises when a write into the file has failed since it was opened (a full disk, say): what
  // the muxer wrote after that is lost, so there is no point in going on.
  void CheckWrites() const;
  // Writes the trailer and closes the file. Raises when a write, the trailer or the close
  // failed, or when the file is no longer under its path (its folder was removed meanwhile);
  // the file is then removed. After it returns the clip is kept.
  void Finish();

 private:
  // Trailer (when the header was written) and close; false when either or a write failed.
  bool Close(int& error);

  std::wstring path_;
  ffmpeg::OutputFormat muxer_;
  bool created_ = false;        // the file is this save's, to remove unless the clip is whole
  bool headerWritten_ = false;  // the trailer is owed
};

}  // namespace tallowmarch
