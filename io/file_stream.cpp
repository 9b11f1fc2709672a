#include "io/file_stream.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace busfold {

namespace {

const char* stdio_mode(int mode) {
  switch (mode) {
  case 0: return "rb";
  case 1: return "wb";
  case 2: return "r+b";
  default: return nullptr;
  }
}

// Writes of at least this many bytes go past the library's buffer: copying them into it
// would only make one more copy of what is written in one piece anyway.
constexpr std::uint64_t kDirectWrite = 64 << 10;
// The most one system call is asked to write.
constexpr std::uint64_t kMaxWrite = std::uint64_t{1} << 30;

}  // namespace

std::unique_ptr<FileStream> FileStream::adopt(std::FILE* file, int mode) {
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
  // A descriptor handed over need not stand at its start.
  const off_t at = ftello(file);
  stream->position_ = at < 0 ? 0 : static_cast<std::int64_t>(at);
  return stream;
}

std::unique_ptr<FileStream> file_stream_open(const std::string& path, int mode) {
  const char* fmode = stdio_mode(mode);
  if (fmode == nullptr) return nullptr;
  std::FILE* file = std::fopen(path.c_str(), fmode);
  if (file == nullptr) return nullptr;
  return FileStream::adopt(file, mode);
}

std::unique_ptr<FileStream> file_stream_from_descriptor(int fd, int mode) {
  // "w" through fdopen does not truncate: the descriptor's file is taken as it is.
  const char* fmode = mode == 1 ? "w" : stdio_mode(mode);
  std::FILE* file = fmode == nullptr ? nullptr : ::fdopen(fd, fmode);
  if (file == nullptr) {
    ::close(fd);
    return nullptr;
  }
  return FileStream::adopt(file, mode);
}

FileIdentity identity_of(const struct ::stat& st) {
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                      static_cast<std::int64_t>(st.st_size),
                      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                          st.st_mtim.tv_nsec};
}

std::optional<FileIdentity> FileStream::identity() const {
  struct stat st {};
  if (file_ == nullptr || ::fstat(::fileno(file_), &st) != 0) return std::nullopt;
  return identity_of(st);
}

FileStream::~FileStream() {
  if (file_ != nullptr) std::fclose(file_);
}

bool FileStream::switch_access(LastAccess next) {
  const bool behind = last_access_ == LastAccess::kDirect;
  const bool switching =
      mode_ == FileMode::read_write && last_access_ != LastAccess::kNone && last_access_ != next;
  if ((behind || switching) && fseeko(file_, static_cast<off_t>(position_), SEEK_SET) != 0) {
    return false;
  }
  last_access_ = next;
  return true;
}

std::int64_t FileStream::read(void* buffer, std::uint64_t n) {
  if (file_ == nullptr || mode_ == FileMode::write) return kStreamNotOffered;
  if (!switch_access(LastAccess::kRead)) return failed(kStreamError);
  std::size_t got = std::fread(buffer, 1, n, file_);
  position_ += static_cast<std::int64_t>(got);
  return static_cast<std::int64_t>(got);
}

std::int64_t FileStream::write(const void* buffer, std::uint64_t n) {
  if (file_ == nullptr || mode_ == FileMode::read) return kStreamNotOffered;
  if (n >= kDirectWrite) return write_direct(static_cast<const std::uint8_t*>(buffer), n);
  if (!switch_access(LastAccess::kWrite)) return failed(kStreamError);
  std::size_t put = std::fwrite(buffer, 1, n, file_);
  position_ += static_cast<std::int64_t>(put);
  return put == n ? static_cast<std::int64_t>(put) : failed(static_cast<std::int64_t>(put));
}

std::int64_t FileStream::write_direct(const std::uint8_t* bytes, std::uint64_t n) {
  if (std::fflush(file_) != 0) return failed(kStreamError);
  last_access_ = LastAccess::kDirect;
  const int fd = ::fileno(file_);
  std::uint64_t done = 0;
  while (done < n) {
    const ssize_t put =
        ::pwrite(fd, bytes + done, static_cast<std::size_t>(std::min(n - done, kMaxWrite)),
                 static_cast<off_t>(position_));
    if (put < 0 && errno == EINTR) continue;
    if (put == 0) errno = ENOSPC;  // took nothing, and gave no reason
    if (put <= 0) break;
    done += static_cast<std::uint64_t>(put);
    position_ += put;
  }
  if (done == n) return static_cast<std::int64_t>(n);
  direct_write_failed_ = true;
  return failed(static_cast<std::int64_t>(done));
}

std::int64_t FileStream::tell() { return file_ == nullptr ? kStreamError : position_; }

int FileStream::descriptor() const { return file_ == nullptr ? -1 : ::fileno(file_); }

std::int64_t FileStream::seek(std::int64_t offset, int whence) {
  if (file_ == nullptr) return kStreamError;
  // Asking for the position we already stand at costs nothing (in a read-write stream,
  // the seek the library needs between a write and a read is made by that access).
  if (whence == kSeekSet && offset == position_) return offset;
  int origin;
  switch (whence) {
  case kSeekSet: origin = SEEK_SET; break;
  case kSeekCur: origin = SEEK_CUR; break;
  case kSeekEnd: origin = SEEK_END; break;
  default: return kStreamError;
  }
  int result = fseeko(file_, static_cast<off_t>(offset), origin);
  if (result != 0) return failed(result);
  last_access_ = LastAccess::kNone;
  const off_t at = ftello(file_);
  if (at < 0) return kStreamError;
  position_ = static_cast<std::int64_t>(at);
  return position_;
}

std::int64_t FileStream::close() {
  if (file_ == nullptr) return close_failed_ ? kStreamError : 0;
  std::FILE* file = file_;
  file_ = nullptr;
  // The handle is gone either way; a failed close keeps reporting failure so
  // that a retry can never pass for a completely written file.
  // A write that failed earlier fails the close too, even when nothing was left to flush.
  bool written = mode_ == FileMode::read ||
                 (std::fflush(file) == 0 && std::ferror(file) == 0 && !direct_write_failed_) ||
                 failed(false);
  if (written && sync_on_close_) written = ::fsync(::fileno(file)) == 0 || failed(false);
  close_failed_ = (std::fclose(file) != 0 && failed(true)) || !written;
  return close_failed_ ? kStreamError : 0;
}

}  // namespace busfold
