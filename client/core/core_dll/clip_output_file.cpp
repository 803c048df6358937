#include "clip_output_file.h"

#include <stdexcept>
#include <utility>

#include "common/wide_text.h"
#include "platform.h"
#include "system/system.h"

namespace tallowmarch {
namespace {

std::runtime_error FileFailure(const char* what, int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return std::runtime_error(std::string(what) + " (" + text + ")");
}

}  // namespace

ClipOutputFile::ClipOutputFile(std::wstring path, bool reserved)
    : path_(std::move(path)), created_(reserved) {}

ClipOutputFile::~ClipOutputFile() {
  // A file that never got its header is not an MP4 at all; one whose trailer or close failed
  // is cut off.
  bool whole = false;
  if (muxer_) {
    const bool headerWritten = headerWritten_;
    int error = 0;
    whole = Close(error) && headerWritten;
  }
  if (created_ && !whole) platform::System().DeleteFile(path_);
}

AVFormatContext* ClipOutputFile::CreateMuxer() {
  AVFormatContext* raw = nullptr;
  avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr);
  if (raw == nullptr) throw std::runtime_error("avformat_alloc_output_context2 failed");
  muxer_.reset(raw);
  return raw;
}

void ClipOutputFile::Open() {
  // FFmpeg reads a name as a URL: "file:" in front makes any path a local file, and the
  // protocol list refuses every other protocol should one still be asked for.
  // Only the file this save reserved is opened: any other name may be another saver's.
  int opened = -1;
  if (created_) {
    const std::string url = "file:" + Narrow(path_);
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    opened = avio_open2(&muxer_->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, &options);
    const ffmpeg::Dictionary unused(options);  // what the protocol did not take
  }
  if (opened < 0) throw std::runtime_error("avio_open2 failed for output file");
}

void ClipOutputFile::WriteHeader() {
  if (avformat_write_header(muxer_.get(), nullptr) < 0) {
    throw std::runtime_error("avformat_write_header failed");
  }
  headerWritten_ = true;
}

void ClipOutputFile::CheckWrites() const {
  if (muxer_->pb != nullptr && muxer_->pb->error < 0) {
    throw FileFailure("writing the output file failed", muxer_->pb->error);
  }
}

bool ClipOutputFile::Close(int& error) {
  AVFormatContext* muxer = muxer_.get();
  bool ok = true;
  if (headerWritten_) {
    headerWritten_ = false;
    // Also reports a write that failed before it.
    const int trailer = av_write_trailer(muxer);
    if (trailer < 0) {
      error = trailer;
      ok = false;
    }
  }
  if (muxer->pb != nullptr) {
    if (ok && muxer->pb->error < 0) {
      error = muxer->pb->error;
      ok = false;
    }
    // Writes what is still buffered; a failure there is the full disk's last word.
    const int closed = avio_closep(&muxer->pb);
    if (ok && closed < 0) {
      error = closed;
      ok = false;
    }
  }
  return ok;
}

void ClipOutputFile::Finish() {
  int error = 0;
  if (!Close(error)) throw FileFailure("writing the output file failed", error);
  // Linux lets an open file lose its name (its folder removed, say): then nothing is left on
  // disk once it is closed, and no path may be reported.
  if (!platform::System().PathExists(path_)) {
    throw std::runtime_error("output file is gone after closing");
  }
  muxer_.reset();
  created_ = false;  // kept: no longer this object's to remove
}

}  // namespace tallowmarch
