#include "io/range_stream.h"

#include <algorithm>
#include <new>

namespace busfold {

std::unique_ptr<RangeStream> range_stream_new(Stream* inner, std::int64_t start, std::int64_t end) {
  if (inner == nullptr) return nullptr;
  std::unique_ptr<RangeStream> stream(new (std::nothrow) RangeStream(inner, start, end));
  if (!stream) return nullptr;
  inner->seek(start, kSeekSet);
  return stream;
}

std::uint64_t RangeStream::limit(std::uint64_t n) {
  if (end_ <= 0) return n;
  std::int64_t here = inner_->tell();
  std::int64_t room = here < 0 ? 0 : std::max<std::int64_t>(0, end_ - here);
  return std::min<std::uint64_t>(n, static_cast<std::uint64_t>(room));
}

std::int64_t RangeStream::read(void* buffer, std::uint64_t n) {
  if (inner_ == nullptr) return kStreamError;
  return inner_->read(buffer, limit(n));
}

std::int64_t RangeStream::write(const void* buffer, std::uint64_t n) {
  if (inner_ == nullptr) return kStreamError;
  return inner_->write(buffer, limit(n));
}

std::int64_t RangeStream::tell() {
  if (inner_ == nullptr) return kStreamError;
  std::int64_t inner_position = inner_->tell();
  if (inner_position < 0) return kStreamError;
  std::int64_t p = inner_position - start_;
  if (end_ > 0 && p > end_ - start_) return kStreamError;
  return p;
}

std::int64_t RangeStream::seek(std::int64_t offset, int whence) {
  if (inner_ == nullptr) return kStreamError;
  std::int64_t origin;
  switch (whence) {
  case kSeekSet: origin = start_; break;
  case kSeekCur: origin = inner_->tell(); break;
  case kSeekEnd: origin = end_ > 0 ? end_ : stream_size(inner_); break;
  default: return kStreamError;
  }
  std::int64_t target;
  if (origin < 0 || __builtin_add_overflow(origin, offset, &target)) return kStreamError;
  if (end_ >= 1) target = std::min(target, end_);
  target = std::max(target, start_);
  if (target < 0) return kStreamError;
  if (inner_->seek(target, kSeekSet) != target) return kStreamError;
  return target - start_;
}

std::int64_t RangeStream::close() {
  inner_ = nullptr;
  return 0;
}

const std::uint8_t* RangeStream::view(std::uint64_t position, std::uint64_t n) {
  if (inner_ == nullptr || start_ < 0) return nullptr;
  std::uint64_t absolute = static_cast<std::uint64_t>(start_) + position;
  if (end_ > 0 && (absolute > static_cast<std::uint64_t>(end_) ||
                   n > static_cast<std::uint64_t>(end_) - absolute)) {
    return nullptr;
  }
  return inner_->view(absolute, n);
}

void RangeStream::release_before(std::uint64_t position) {
  if (inner_ == nullptr || start_ < 0) return;
  const auto start = static_cast<std::uint64_t>(start_);
  if (position <= UINT64_MAX - start) inner_->release_before(start + position);
}

}  // namespace busfold
