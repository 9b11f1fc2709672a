// A stream over a file of the platform's standard I/O library, with 64-bit positions.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "io/stream.h"

struct stat;

namespace busfold {

enum class FileMode { read = 0, write = 1, read_write = 2 };

// What tells one state of a file on disk from another: the same file, unchanged since,
// still has all four.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file a stat result describes.
FileIdentity identity_of(const struct ::stat& st);

class FileStream final : public Stream {
public:
  ~FileStream() override;

  std::int64_t read(void* buffer, std::uint64_t n) override;
  std::int64_t write(const void* buffer, std::uint64_t n) override;
  std::int64_t tell() override;
  std::int64_t seek(std::int64_t offset, int whence) override;
  // Flushes; with sync_on_close, also makes the bytes durable (fsync) before closing.
  std::int64_t close() override;

  // The open file's identity, or nothing when it cannot be examined.
  std::optional<FileIdentity> identity() const;
  // The open file's descriptor, -1 once closed.
  int descriptor() const;
  int error_number() const override { return error_; }
  // Makes close wait until the file's bytes are on the disk.
  void set_sync_on_close(bool sync) { sync_on_close_ = sync; }

private:
  friend std::unique_ptr<FileStream> file_stream_open(const std::string& path, int mode);

  // The stream takes over an open descriptor (closed on failure too); modes as above.
  std::unique_ptr<FileStream> file_stream_from_descriptor(int fd, int mode);
  friend std::unique_ptr<FileStream> file_stream_from_descriptor(int fd, int mode);
  FileStream(std::FILE* file, FileMode mode) : file_(file), mode_(mode) {}
  // Wraps an open file (closed on failure) and gives a write stream its large buffer.
  static std::unique_ptr<FileStream> adopt(std::FILE* file, int mode);

  std::FILE* file_;
  FileMode mode_;
  std::int64_t position_ = 0;  // kept here: asking the library costs a system call
  // What a read-write stream did last: the library needs a seek between a write and a
  // read that follows it, or the other way round, and this one makes it only then. After
  // a write past the library (kDirect) its position is behind, in any stream.
  enum class LastAccess : std::uint8_t {
    kNone,
    kRead,
    kWrite,
    kDirect
  } last_access_ = LastAccess::kNone;
  // Before an access of the other kind than the last one in a read-write stream.
  bool switch_access(LastAccess next);
  // A large write: what the library holds goes first, then the bytes straight to the
  // file at our position, without a copy through the library's buffer.
  std::int64_t write_direct(const std::uint8_t* bytes, std::uint64_t n);
  bool direct_write_failed_ = false;  // fails the close, as a failed library write does
  bool close_failed_ = false;
  int error_ = 0;  // errno of the first failure
  // Keeps errno as the reason when it is the first failure; returns `result`.
  template <typename T> T failed(T result) {
    if (error_ == 0) error_ = errno;
    return result;
  }
  bool sync_on_close_ = false;
  std::unique_ptr<char[]> buffer_;  // stdio buffer of a write stream; freed after fclose
};

// mode 0 read, 1 write, 2 read-write; any other mode, or a file that cannot be
// opened, gives null. The path is handed to the platform unchanged.
std::unique_ptr<FileStream> file_stream_open(const std::string& path, int mode);

// The stream takes over an open descriptor (closed on failure too); modes as above.
std::unique_ptr<FileStream> file_stream_from_descriptor(int fd, int mode);

}  // namespace busfold
