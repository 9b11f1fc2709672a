#include "io/buffered_stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace busfold {

std::unique_ptr<BufferedStream> buffered_stream_new(Stream* inner, StreamPtr owned,
                                                    std::uint64_t window_size) {
  if (inner == nullptr) return nullptr;
  if (window_size > UINT64_MAX - 7) return nullptr;
  std::uint64_t capacity = (window_size + 7) / 8 * 8;
  if (capacity == 0 || capacity > SIZE_MAX) return nullptr;
  std::unique_ptr<BufferedStream> stream(new (std::nothrow) BufferedStream());
  if (!stream) return nullptr;
  stream->window_ = static_cast<std::uint8_t*>(std::calloc(1, static_cast<std::size_t>(capacity)));
  if (stream->window_ == nullptr) return nullptr;
  stream->capacity_ = capacity;
  stream->inner_ = inner;
  stream->owned_inner_ = std::move(owned);
  return stream;
}

BufferedStream::~BufferedStream() { std::free(window_); }

bool BufferedStream::refill(std::uint64_t base) {
  if (base > static_cast<std::uint64_t>(INT64_MAX)) return false;
  // An inner stream that refuses the position would fill the window with bytes from
  // elsewhere. One that offers no seek at all is read in sequence.
  std::int64_t reached = inner_->seek(static_cast<std::int64_t>(base), kSeekSet);
  if (reached != kStreamNotOffered && reached != static_cast<std::int64_t>(base)) return false;
  ++refills_;
  std::int64_t got = inner_->read(window_, capacity_);
  if (got < 1) return false;
  base_ = base;
  position_ = 0;
  valid_ = static_cast<std::uint64_t>(got);
  return true;
}

std::int64_t BufferedStream::read(void* buffer, std::uint64_t n) {
  if (n == 0) return 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint64_t delivered = 0;
  while (delivered < n) {
    if (position_ == valid_ && !refill(base_ + position_)) break;
    std::uint64_t k = std::min(valid_ - position_, n - delivered);
    std::memcpy(out + delivered, window_ + position_, static_cast<std::size_t>(k));
    position_ += k;
    delivered += k;
  }
  return static_cast<std::int64_t>(delivered);
}

std::int64_t BufferedStream::tell() { return static_cast<std::int64_t>(base_ + position_); }

std::int64_t BufferedStream::seek(std::int64_t offset, int whence) {
  std::int64_t target;
  switch (whence) {
  case kSeekSet: target = offset; break;
  case kSeekCur:
    if (__builtin_add_overflow(static_cast<std::int64_t>(base_ + position_), offset, &target)) {
      return kStreamError;
    }
    break;
  case kSeekEnd:
    // A refused seek would leave the inner stream elsewhere and its tell meaningless.
    if (inner_->seek(offset, kSeekEnd) < 0) return kStreamError;
    target = inner_->tell();
    break;
  default: return kStreamError;
  }
  if (target < 0) return kStreamError;
  std::uint64_t wanted = static_cast<std::uint64_t>(target);
  if (wanted >= base_ && wanted <= base_ + valid_) {
    position_ = wanted - base_;
    return target;
  }
  if (refill(wanted)) return target;
  // Nothing to read there. When the inner stream did reach the target (its end, say),
  // that is still a position, as in a file: stand there with an empty window, so that
  // seeking to the end and telling gives the size.
  if (inner_->tell() == target) {
    base_ = wanted;
    position_ = 0;
    valid_ = 0;
    return target;
  }
  return static_cast<std::int64_t>(base_ + position_);
}

std::int64_t BufferedStream::close() {
  if (owned_inner_) {
    std::int64_t result = stream_close(owned_inner_);
    if (result != 0) return result;
  }
  inner_ = nullptr;
  ++refills_;
  std::free(window_);
  window_ = nullptr;
  capacity_ = valid_ = position_ = base_ = 0;
  return 0;
}

const std::uint8_t* BufferedStream::view(std::uint64_t position, std::uint64_t n) {
  // Only what the window holds now; a view never refills (that would move the position).
  if (position < base_ || position - base_ > valid_ || n > valid_ - (position - base_)) {
    return nullptr;
  }
  return window_ + (position - base_);
}

}  // namespace busfold
