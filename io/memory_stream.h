// A growable in-memory byte buffer with a position.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "io/stream.h"

namespace busfold {

class MemoryStream final : public Stream {
public:
  MemoryStream() = default;

  BUSFOLD_STREAM_OPERATIONS;

  // Grows the capacity to at least n bytes up front; false when n cannot be held at all.
  bool reserve(std::uint64_t n);

  // Appends n bytes for the caller to fill in place and moves the position past them;
  // null when they cannot be held (the content is then unchanged) or n is 0.
  std::uint8_t* extend(std::uint64_t n);

  // Seeks may go anywhere within the capacity; bytes there beyond the content are zero.
  std::uint64_t capacity() const { return data_.size(); }
  std::uint64_t size() const { return size_; }
  std::span<const std::uint8_t> bytes() const {
    return {data_.data(), static_cast<std::size_t>(size_)};
  }

private:
  bool grow_to(std::uint64_t capacity);

  std::vector<std::uint8_t> data_;  // the whole capacity, zero past the content
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
};

// An empty memory stream, or null when memory runs out.
std::unique_ptr<MemoryStream> memory_stream_new();

// A memory stream holding a copy of the bytes, positioned at 0 (for builders and tests).
std::unique_ptr<MemoryStream> memory_stream_from(std::span<const std::uint8_t> bytes);

}  // namespace busfold
