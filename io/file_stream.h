// A stream over a file of the platform's standard I/O library, with 64-bit positions.
#pragma once

#include <cstdio>
#include <string>

#include "io/stream.h"

namespace busfold {

enum class FileMode { read = 0, write = 1, read_write = 2 };

class FileStream final : public Stream {
public:
  ~FileStream() override;

  std::int64_t read(void* buffer, std::uint64_t n) override;
  std::int64_t write(const void* buffer, std::uint64_t n) override;
  std::int64_t tell() override;
  std::int64_t seek(std::int64_t offset, int whence) override;
  std::int64_t close() override;

private:
  friend std::unique_ptr<FileStream> file_stream_open(const std::string& path, int mode);
  FileStream(std::FILE* file, FileMode mode) : file_(file), mode_(mode) {}

  std::FILE* file_;
  FileMode mode_;
  std::int64_t position_ = 0;
  bool close_failed_ = false;
  std::unique_ptr<char[]> buffer_;  // stdio buffer of a write stream; freed after fclose
};

// mode 0 read, 1 write, 2 read-write; any other mode, or a file that cannot be
// opened, gives null. The path is handed to the platform unchanged.
std::unique_ptr<FileStream> file_stream_open(const std::string& path, int mode);

}  // namespace busfold
