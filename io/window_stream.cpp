#include "io/window_stream.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace busfold {

namespace {

// Windows start on this boundary, as the file system reads.
constexpr std::uint64_t kWindowAlign = 4096;

// Bytes a window is first filled with, when the view asks for no more: a block's header
// and fields. The rest is read when a view reaches past them, so that reading the headers
// of blocks far apart (the data blocks of other writers' lists) does not read a whole
// window for each, while a walk through records reads a window in two reads.
constexpr std::uint64_t kFirstFill = 64 << 10;
// Reads from this size on that no window holds go straight into the caller's memory.
constexpr std::uint64_t kDirectRead = 64 << 10;

// Views a window counts as in use after its last one: more than the walks that can read
// side by side take in turn, far fewer than the views a window's worth of records takes.
constexpr std::uint64_t kRecentViews = 4 * kWindowCount;

// Window memory a closed stream leaves to the next one of its thread: as much as one walk
// straight through a file holds. A run of many small files then maps, faults in and unmaps
// no memory per file for them.
constexpr std::size_t kSpareWindows = 2;
struct SpareWindows {
  std::array<ByteBuffer, kSpareWindows> buffers;
  std::size_t count = 0;
};
thread_local SpareWindows spare_windows;

}  // namespace

std::unique_ptr<WindowStream> window_stream_new(std::unique_ptr<FileStream>& file) {
  if (!file) return nullptr;
  const int fd = file->descriptor();
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  std::unique_ptr<WindowStream> stream(new (std::nothrow) WindowStream());
  if (!stream) return nullptr;
  stream->fd_ = fd;
  stream->size_ = static_cast<std::uint64_t>(st.st_size);
  stream->file_ = std::move(file);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return stream;
}

std::int64_t WindowStream::close() {
  ++refills_;
  for (Window& window : windows_) {
    if (window.bytes.size() == kWindowSize && spare_windows.count < kSpareWindows) {
      spare_windows.buffers[spare_windows.count++] = std::move(window.bytes);
    }
    window.bytes.release();
    window.valid = 0;
  }
  last_ = nullptr;
  fd_ = -1;
  const std::int64_t closed = file_ ? file_->close() : 0;
  if (closed == 0) file_.reset();
  return closed;
}

WindowStream::Window* WindowStream::holding(std::uint64_t position, std::uint64_t n) {
  // Most views fall into the window the last one did.
  if (last_ != nullptr && last_->holds(position, n)) return last_;
  for (Window& window : windows_) {
    if (window.holds(position, n)) return &window;  // one without memory holds nothing
  }
  return nullptr;
}

WindowStream::Window* WindowStream::window_for(std::uint64_t position, std::uint64_t n) {
  ++uses_;
  if (Window* held = holding(position, n)) {
    held->last_use = uses_;
    return last_ = held;
  }
  Window* oldest = nullptr;  // of the windows that have memory
  Window* unused = nullptr;
  Window* partly_read = nullptr;  // whose unread rest holds the range
  for (Window& window : windows_) {
    if (window.valid < kWindowSize && window.bytes.size() != 0 && window.spans(position, n)) {
      partly_read = &window;
    }
    if (window.bytes.size() == 0) {
      if (unused == nullptr) unused = &window;
    } else if (oldest == nullptr || window.last_use < oldest->last_use) {
      oldest = &window;
    }
  }
  if (partly_read != nullptr && partly_read->start + partly_read->valid < size_) {
    // The rest of it is read; the bytes already viewed stay where they are.
    fill(*partly_read, kWindowSize);
    if (partly_read->holds(position, n)) {
      partly_read->last_use = uses_;
      return last_ = partly_read;
    }
  }
  const std::uint64_t start = position / kWindowAlign * kWindowAlign;
  if (n > kWindowSize - (position - start)) return nullptr;
  // A window nobody viewed for a while is refilled; a new one is taken only while every
  // window is in use, by walks reading side by side or by views still being looked at.
  // So one walk straight through a file holds two windows, and each walk of many keeps
  // its own.
  Window* victim = oldest;
  if (unused != nullptr && (oldest == nullptr || uses_ - oldest->last_use <= kRecentViews)) {
    victim = unused;
  }
  Window& window = *victim;
  ++refills_;
  if (window.bytes.size() == 0) {
    if (spare_windows.count > 0) {
      window.bytes = std::move(spare_windows.buffers[--spare_windows.count]);
    } else if (!window.bytes.resize(kWindowSize)) {
      return nullptr;
    }
  }
  window.start = start;
  window.valid = 0;
  fill(window, std::max(kFirstFill, position - start + n));
  window.last_use = uses_;
  last_ = &window;
  return window.holds(position, n) ? &window : nullptr;
}

void WindowStream::fill(Window& window, std::uint64_t bytes) {
  // Not past the end the file had when it was opened: no read there to learn it.
  bytes = std::min({bytes, kWindowSize, size_ - std::min(size_, window.start)});
  while (window.valid < bytes) {
    const ssize_t got = ::pread(fd_, window.bytes.data() + window.valid,
                                static_cast<std::size_t>(bytes - window.valid),
                                static_cast<off_t>(window.start + window.valid));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    window.valid += static_cast<std::uint64_t>(got);
  }
}

const std::uint8_t* WindowStream::view(std::uint64_t position, std::uint64_t n) {
  // No window can show more than its size: say so before looking through them all.
  if (fd_ < 0 || n > kWindowSize || position > size_ || n > size_ - position) return nullptr;
  Window* window = window_for(position, n);
  return window == nullptr ? nullptr : window->bytes.data() + (position - window->start);
}

std::int64_t WindowStream::read(void* buffer, std::uint64_t n) {
  if (fd_ < 0) return kStreamError;
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint64_t done = 0;
  while (done < n) {
    const std::uint64_t left = n - done;
    // What a window holds already is copied from it.
    if (Window* window = holding(position_, 1)) {
      const std::uint64_t piece = std::min(left, window->start + window->valid - position_);
      std::memcpy(out + done, window->bytes.data() + (position_ - window->start),
                  static_cast<std::size_t>(piece));
      window->last_use = ++uses_;
      done += piece;
      position_ += piece;
      continue;
    }
    // A small read fills a window, for the reads and views after it.
    const std::uint64_t piece = std::min(left, kWindowSize / 2);
    if (left < kDirectRead) {
      if (const std::uint8_t* bytes = view(position_, piece)) {
        std::memcpy(out + done, bytes, static_cast<std::size_t>(piece));
        done += piece;
        position_ += piece;
        continue;
      }
    }
    // A large one goes straight into the caller's memory: through windows it would cost a
    // copy more and, read on, window after window of memory. So do reads past what the
    // windows can show, e.g. at the end of the file.
    const ssize_t got =
        ::pread(fd_, out + done, static_cast<std::size_t>(left), static_cast<off_t>(position_));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return done > 0 ? static_cast<std::int64_t>(done) : kStreamError;
    if (got == 0) break;
    done += static_cast<std::uint64_t>(got);
    position_ += static_cast<std::uint64_t>(got);
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t WindowStream::tell() {
  return fd_ < 0 ? kStreamError : static_cast<std::int64_t>(position_);
}

std::int64_t WindowStream::seek(std::int64_t offset, int whence) {
  if (fd_ < 0) return kStreamError;
  std::int64_t base = 0;
  if (whence == kSeekCur) {
    base = static_cast<std::int64_t>(position_);
  } else if (whence == kSeekEnd) {
    base = static_cast<std::int64_t>(size_);
  } else if (whence != kSeekSet) {
    return kStreamError;
  }
  std::int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return kStreamError;
  // As in a file, a position past the end reads nothing.
  position_ = static_cast<std::uint64_t>(target);
  return target;
}

}  // namespace busfold
