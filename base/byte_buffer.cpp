#include "base/byte_buffer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include <sys/mman.h>

namespace busfold {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// From this size on a buffer is a mapping of its own.
constexpr std::size_t kMappedFrom = 2 * kHugePage;

std::size_t round_to_huge_pages(std::size_t n) {
  return (n + kHugePage - 1) / kHugePage * kHugePage;
}

}  // namespace

ByteBuffer::~ByteBuffer() { release(); }

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      reserved_(std::exchange(other.reserved_, 0)), mapped_(std::exchange(other.mapped_, false)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    reserved_ = std::exchange(other.reserved_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

void ByteBuffer::release() {
  if (mapped_) {
    ::munmap(data_, reserved_);
  } else {
    ::operator delete(data_);
  }
  data_ = nullptr;
  size_ = reserved_ = 0;
  mapped_ = false;
}

void ByteBuffer::discard(std::size_t begin, std::size_t end) {
  constexpr std::size_t kPage = 4096;
  end = std::min(end, size_);
  if (!mapped_ || begin >= end || begin > SIZE_MAX - kPage) return;
  const std::size_t first = (begin + kPage - 1) / kPage * kPage;
  const std::size_t last = end / kPage * kPage;
  if (first < last) ::madvise(data_ + first, last - first, MADV_DONTNEED);
}

bool ByteBuffer::resize(std::size_t n) {
  if (n <= reserved_) {
    size_ = n;
    return true;
  }
  // Doubling keeps a run of appends linear; a mapping reserves address space, not memory.
  const std::size_t wanted = std::max(n, reserved_ > SIZE_MAX / 2 ? n : 2 * reserved_);
  if (wanted < kMappedFrom) {
    auto* grown = static_cast<std::uint8_t*>(::operator new(wanted, std::nothrow));
    if (grown == nullptr) return false;
    if (size_ != 0) std::memcpy(grown, data_, size_);
    ::operator delete(data_);
    data_ = grown;
    reserved_ = wanted;
    size_ = n;
    return true;
  }
  if (wanted > SIZE_MAX - kHugePage) return false;
  const std::size_t mapping = round_to_huge_pages(wanted);
  void* grown;
  if (mapped_) {
    grown = ::mremap(data_, reserved_, mapping, MREMAP_MAYMOVE);
  } else {
    grown = ::mmap(nullptr, mapping, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown != MAP_FAILED && size_ != 0) std::memcpy(grown, data_, size_);
  }
  if (grown == MAP_FAILED) return false;
  ::madvise(grown, mapping, MADV_HUGEPAGE);
  if (!mapped_) ::operator delete(data_);
  data_ = static_cast<std::uint8_t*>(grown);
  reserved_ = mapping;
  mapped_ = true;
  size_ = n;
  return true;
}

}  // namespace busfold
