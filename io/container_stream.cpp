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

void ContainerStream::release_before(std::uint64_t position) {
  if (memory_) memory_->release_before(position);
}

std::span<const std::uint8_t> ContainerStream::bytes() const {
  if (!memory_) return {};
  return memory_->bytes();
}

}  // namespace busfold
