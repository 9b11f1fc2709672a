#include "io/file_stream.h"

#include <sys/types.h>

#include <new>

namespace busfold {

std::unique_ptr<FileStream> file_stream_open(const std::string& path, int mode) {
  const char* fmode = nullptr;
  switch (mode) {
  case 0: fmode = "rb"; break;
  case 1: fmode = "wb"; break;
  case 2: fmode = "r+b"; break;
  default: return nullptr;
  }
  std::FILE* file = std::fopen(path.c_str(), fmode);
  if (file == nullptr) return nullptr;
  std::unique_ptr<FileStream> stream(new (std::nothrow)
                                         FileStream(file, static_cast<FileMode>(mode)));
  if (!stream) {
    std::fclose(file);
    return nullptr;
  }
  // Outputs are written in many small pieces (block fields, 4 KiB data chunks): a large
  // buffer turns them into few system calls. Reads come in large pieces already. The
  // library only takes a size with a buffer of our own.
  if (mode != 0) {
    constexpr std::size_t kWriteBuffer = std::size_t{1} << 20;
    stream->buffer_.reset(new (std::nothrow) char[kWriteBuffer]);
    if (stream->buffer_) std::setvbuf(file, stream->buffer_.get(), _IOFBF, kWriteBuffer);
  }
  return stream;
}

FileStream::~FileStream() {
  if (file_ != nullptr) std::fclose(file_);
}

std::int64_t FileStream::read(void* buffer, std::uint64_t n) {
  if (file_ == nullptr || mode_ == FileMode::write) return kStreamNotOffered;
  std::size_t got = std::fread(buffer, 1, n, file_);
  position_ += static_cast<std::int64_t>(got);
  return static_cast<std::int64_t>(got);
}

std::int64_t FileStream::write(const void* buffer, std::uint64_t n) {
  if (file_ == nullptr || mode_ == FileMode::read) return kStreamNotOffered;
  std::size_t put = std::fwrite(buffer, 1, n, file_);
  position_ += static_cast<std::int64_t>(put);
  return static_cast<std::int64_t>(put);
}

std::int64_t FileStream::tell() {
  if (file_ == nullptr) return kStreamError;
  off_t position = ftello(file_);
  return position < 0 ? kStreamError : static_cast<std::int64_t>(position);
}

std::int64_t FileStream::seek(std::int64_t offset, int whence) {
  if (file_ == nullptr) return kStreamError;
  // Asking for the position we already stand at costs nothing. Not in read-write mode:
  // there a seek must separate a write from a following read.
  if (whence == kSeekSet && offset == position_ && mode_ != FileMode::read_write) return offset;
  int origin;
  switch (whence) {
  case kSeekSet: origin = SEEK_SET; break;
  case kSeekCur: origin = SEEK_CUR; break;
  case kSeekEnd: origin = SEEK_END; break;
  default: return kStreamError;
  }
  int result = fseeko(file_, static_cast<off_t>(offset), origin);
  if (result != 0) return result;
  position_ = tell();
  return position_;
}

std::int64_t FileStream::close() {
  if (file_ == nullptr) return close_failed_ ? kStreamError : 0;
  std::FILE* file = file_;
  file_ = nullptr;
  // The handle is gone either way; a failed close keeps reporting failure so
  // that a retry can never pass for a completely written file.
  close_failed_ = std::fclose(file) != 0;
  return close_failed_ ? kStreamError : 0;
}

}  // namespace busfold
