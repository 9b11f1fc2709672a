// A read-only stream over an open file that holds a few windows of it in memory, filled by
// positioned reads: any range inside a window can be viewed in place, and memory stays
// at the windows' size however large the file is. Many small windows let the record walks
// of many data groups, far apart in the file, each keep theirs: sorted files of other
// writers have a data group for each bus and frame kind, and a walk whose window another
// took would read a whole window again for each record.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "base/byte_buffer.h"
#include "io/file_stream.h"
#include "io/stream.h"

namespace busfold {

inline constexpr std::size_t kWindowCount = 32;
inline constexpr std::uint64_t kWindowSize = std::uint64_t{1} << 20;

class WindowStream final : public Stream {
public:
  std::int64_t read(void* buffer, std::uint64_t n) override;
  std::int64_t tell() override;
  std::int64_t seek(std::int64_t offset, int whence) override;
  std::int64_t close() override;
  // Null for a range larger than a window, past the end, or that cannot be read.
  const std::uint8_t* view(std::uint64_t position, std::uint64_t n) override;
  // Up whenever a window is refilled or released.
  const std::uint64_t* view_epoch() const override { return &refills_; }

private:
  friend std::unique_ptr<WindowStream> window_stream_new(std::unique_ptr<FileStream>& file);
  struct Window {
    ByteBuffer bytes;
    std::uint64_t start = 0;
    std::uint64_t valid = 0;  // bytes read into it
    std::uint64_t last_use = 0;
    bool holds(std::uint64_t position, std::uint64_t n) const {
      return position >= start && n <= valid && position - start <= valid - n;
    }
    // Whether the range lies within what the window shows once it is read to its size.
    bool spans(std::uint64_t position, std::uint64_t n) const {
      return position >= start && n <= kWindowSize && position - start <= kWindowSize - n;
    }
  };
  WindowStream() = default;
  // The window that holds [position, position + n) already, if one does.
  Window* holding(std::uint64_t position, std::uint64_t n);
  // The window holding [position, position + n), filled now if none does; null on failure.
  Window* window_for(std::uint64_t position, std::uint64_t n);
  // Reads the window on from what it holds up to `bytes` of it (at most its size), as far
  // as the file goes and no further than its size when it was opened.
  void fill(Window& window, std::uint64_t bytes);

  std::unique_ptr<FileStream> file_;  // owns the descriptor
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
  std::uint64_t uses_ = 0;
  std::uint64_t refills_ = 0;
  Window* last_ = nullptr;  // the window the last view fell into
  std::array<Window, kWindowCount> windows_;
};

// Takes over a file opened for reading and reads it through windows. Null, with `file`
// left as it was, for a file that is not a regular one (a pipe, a device).
std::unique_ptr<WindowStream> window_stream_new(std::unique_ptr<FileStream>& file);

}  // namespace busfold
