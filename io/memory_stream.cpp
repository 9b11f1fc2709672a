#include "io/memory_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace busfold {

std::unique_ptr<MemoryStream> memory_stream_new() {
  return std::unique_ptr<MemoryStream>(new (std::nothrow) MemoryStream());
}

std::unique_ptr<MemoryStream> memory_stream_from(std::span<const std::uint8_t> bytes) {
  auto stream = memory_stream_new();
  if (!stream) return nullptr;
  if (!bytes.empty() &&
      stream->write(bytes.data(), bytes.size()) != static_cast<std::int64_t>(bytes.size())) {
    return nullptr;
  }
  stream->seek(0, kSeekSet);
  return stream;
}

bool MemoryStream::grow_to(std::uint64_t capacity, bool zero_new_bytes) {
  const std::size_t old_capacity = data_.size();
  if (capacity <= old_capacity) return true;
  ++epoch_;
  if (capacity > SIZE_MAX || !data_.resize(static_cast<std::size_t>(capacity))) return false;
  if (zero_new_bytes) std::memset(data_.data() + old_capacity, 0, data_.size() - old_capacity);
  return true;
}

bool MemoryStream::reserve(std::uint64_t n) { return grow_to(n); }

std::uint8_t* MemoryStream::room(std::uint64_t n) {
  if (n > UINT64_MAX - size_ || !grow_to(size_ + n, false)) return nullptr;
  return data_.data() + size_;
}

void MemoryStream::commit(std::uint64_t n) {
  ++epoch_;
  size_ += n;
  position_ = size_;
  // Whatever of the room was not filled is not zero: it leaves the capacity.
  data_.resize(static_cast<std::size_t>(size_));
}

std::uint8_t* MemoryStream::extend(std::uint64_t n) {
  std::uint8_t* space = n == 0 ? nullptr : room(n);
  if (space != nullptr) commit(n);
  return space;
}

std::int64_t MemoryStream::read(void* buffer, std::uint64_t n) {
  if (position_ >= size_) return 0;
  std::uint64_t k = std::min(n, size_ - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<std::size_t>(k));
  position_ += k;
  return static_cast<std::int64_t>(k);
}

std::int64_t MemoryStream::write(const void* buffer, std::uint64_t n) {
  if (n > static_cast<std::uint64_t>(INT64_MAX) - position_) return kStreamError;
  if (capacity() - std::min(capacity(), position_) < n) {
    // Doubling keeps appends amortised linear.
    std::uint64_t capacity = data_.size() == 0 ? 2 : data_.size();
    while (capacity - std::min(capacity, position_) < n) {
      if (capacity > UINT64_MAX / 2) return kStreamError;
      capacity *= 2;
    }
    if (!grow_to(capacity)) return kStreamError;
  }
  if (n == 0) return 0;
  ++epoch_;
  // A gap left by a seek past the content is zero already.
  std::memcpy(data_.data() + position_, buffer, static_cast<std::size_t>(n));
  position_ += n;
  size_ = std::max(size_, position_);
  return static_cast<std::int64_t>(n);
}

std::int64_t MemoryStream::tell() { return static_cast<std::int64_t>(position_); }

std::int64_t MemoryStream::seek(std::int64_t offset, int whence) {
  std::int64_t target;
  switch (whence) {
  case kSeekSet: target = offset; break;
  case kSeekCur:
    if (__builtin_add_overflow(static_cast<std::int64_t>(position_), offset, &target)) {
      return kStreamError;
    }
    break;
  case kSeekEnd:
    if (__builtin_add_overflow(static_cast<std::int64_t>(size_), offset, &target)) {
      return kStreamError;
    }
    break;
  default: return kStreamError;
  }
  if (target < 0) return kStreamError;
  std::uint64_t wanted = static_cast<std::uint64_t>(target);
  if (whence == kSeekEnd && wanted > size_) {
    // Seeking past the end from the end extends the content with zeros.
    static const std::uint8_t zeros[512] = {};
    std::uint64_t saved = position_;
    position_ = size_;
    while (size_ < wanted) {
      std::uint64_t piece = std::min<std::uint64_t>(sizeof zeros, wanted - size_);
      if (write(zeros, piece) != static_cast<std::int64_t>(piece)) break;
    }
    position_ = saved;
  }
  if (wanted > capacity()) return kStreamError;
  position_ = wanted;
  return target;
}

std::int64_t MemoryStream::close() {
  ++epoch_;
  data_.release();
  size_ = position_ = 0;
  return 0;
}

const std::uint8_t* MemoryStream::view(std::uint64_t position, std::uint64_t n) {
  if (position > size_ || n > size_ - position) return nullptr;
  return data_.data() + position;
}

void MemoryStream::release_before(std::uint64_t position) {
  ++epoch_;
  data_.discard(0, static_cast<std::size_t>(std::min(position, size_)));
}

}  // namespace busfold
