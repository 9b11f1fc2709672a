// A growable in-memory byte buffer with a position.
#pragma once

#include "base/byte_buffer.h"
#include "io/stream.h"
#include <cstdint>
#include <span>

namespace busfold {

class MemoryStream final : public Stream {
public:
  MemoryStream() = default;

  BUSFOLD_STREAM_OPERATIONS;
  void release_before(std::uint64_t position) override;
  const std::uint64_t* view_epoch() const override { return &epoch_; }

  // Grows the capacity to at least n bytes up front; false when n cannot be held at all.
  bool reserve(std::uint64_t n);

  // Room for n bytes past the content, for the caller to fill in place and then hand
  // over with commit(); null when they cannot be held. Valid until the stream next changes.
  std::uint8_t* room(std::uint64_t n);
  // The first n bytes of the room become content; the position moves to the end.
  void commit(std::uint64_t n);
  // room(n) and commit(n) at once, for a caller that fills all n bytes; null for n = 0.
  std::uint8_t* extend(std::uint64_t n);

  // Seeks may go anywhere within the capacity; bytes there beyond the content are zero.
  std::uint64_t capacity() const { return data_.size(); }
  std::uint64_t size() const { return size_; }
  std::span<const std::uint8_t> bytes() const {
    return {data_.data(), static_cast<std::size_t>(size_)};
  }

private:
  bool grow_to(std::uint64_t capacity, bool zero_new_bytes = true);

  ByteBuffer data_;  // the whole capacity, zero past the content
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
  std::uint64_t epoch_ = 0;  // of views: up with every change of the bytes
};

// An empty memory stream, or null when memory runs out.
std::unique_ptr<MemoryStream> memory_stream_new();

// A memory stream holding a copy of the bytes, positioned at 0 (for builders and tests).
std::unique_ptr<MemoryStream> memory_stream_from(std::span<const std::uint8_t> bytes);

}  // namespace busfold
