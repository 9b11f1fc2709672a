#include "io/container_stream.h"

namespace busfold {

std::int64_t ContainerStream::read(void* buffer, std::uint64_t n) {
  return memory_ ? memory_->read(buffer, n) : kStreamError;
}

std::int64_t ContainerStream::write(const void* buffer, std::uint64_t n) {
  return memory_ ? memory_->write(buffer, n) : kStreamError;
}

std::int64_t ContainerStream::tell() { return memory_ ? memory_->tell() : kStreamError; }

std::int64_t ContainerStream::seek(std::int64_t offset, int whence) {
  return memory_ ? memory_->seek(offset, whence) : kStreamError;
}

std::int64_t ContainerStream::close() {
  if (!memory_) return 0;
  std::int64_t result = memory_->close();
  if (result == 0) memory_.reset();
  return result;
}

const std::uint8_t* ContainerStream::view(std::uint64_t position, std::uint64_t n) {
  return memory_ ? memory_->view(position, n) : nullptr;
}

std::span<const std::uint8_t> ContainerStream::bytes() const {
  if (!memory_) return {};
  return memory_->bytes();
}

CopyStatus container_copy(Stream& src, Stream& dst, std::uint64_t& copied, std::uint64_t limit) {
  std::uint8_t chunk[4096];
  copied = 0;
  for (;;) {
    std::int64_t got = src.read(chunk, sizeof chunk);
    if (got == 0) return CopyStatus::kDone;
    if (got < 0) return CopyStatus::kReadFailed;
    if (static_cast<std::uint64_t>(got) > limit - copied) return CopyStatus::kTooLarge;
    if (dst.write(chunk, static_cast<std::uint64_t>(got)) != got) return CopyStatus::kWriteFailed;
    copied += static_cast<std::uint64_t>(got);
  }
}

}  // namespace busfold
