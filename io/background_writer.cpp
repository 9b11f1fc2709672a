#include "io/background_writer.h"

#include <system_error>

namespace busfold {

BackgroundWriter::~BackgroundWriter() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool BackgroundWriter::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !busy_; });
  const bool ok = ok_;
  ok_ = true;  // said once
  return ok;
}

bool BackgroundWriter::write(Stream& stream, const std::uint8_t* bytes, std::size_t n) {
  if (!wait()) return false;
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      // No thread to be had: the caller's own.
      return stream.write(bytes, n) == static_cast<std::int64_t>(n);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stream_ = &stream;
    bytes_ = bytes;
    size_ = n;
    busy_ = true;
  }
  changed_.notify_all();
  return true;
}

void BackgroundWriter::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return busy_ || stopping_; });
    if (!busy_) return;  // stopping, nothing left to write
    Stream& stream = *stream_;
    const std::uint8_t* bytes = bytes_;
    const std::size_t n = size_;
    lock.unlock();
    const bool written = stream.write(bytes, n) == static_cast<std::int64_t>(n);
    lock.lock();
    ok_ = written;
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace busfold
