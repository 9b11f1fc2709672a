// A read-ahead window over another stream; read-only.
#pragma once

#include <cstdint>
#include <memory>

#include "io/stream.h"

namespace busfold {

class BufferedStream final : public Stream {
public:
  ~BufferedStream() override;

  std::int64_t read(void* buffer, std::uint64_t n) override;
  std::int64_t tell() override;
  std::int64_t seek(std::int64_t offset, int whence) override;
  std::int64_t close() override;
  const std::uint8_t* view(std::uint64_t position, std::uint64_t n) override;
  // Up with every refill of the window.
  const std::uint64_t* view_epoch() const override { return &refills_; }

  std::uint64_t capacity() const { return capacity_; }

private:
  friend std::unique_ptr<BufferedStream> buffered_stream_new(Stream* inner, StreamPtr owned,
                                                             std::uint64_t window_size);
  BufferedStream() = default;
  // Fills the window from inner position `base`; false (window unchanged) when nothing came.
  bool refill(std::uint64_t base);

  std::uint64_t capacity_ = 0;
  std::uint64_t valid_ = 0;
  std::uint64_t position_ = 0;
  std::uint64_t base_ = 0;
  std::uint64_t refills_ = 0;
  std::uint8_t* window_ = nullptr;
  Stream* inner_ = nullptr;
  StreamPtr owned_inner_;
};

// Window size is rounded up to a multiple of 8. Null when the window cannot be
// allocated (the owned inner stream is then released with it).
std::unique_ptr<BufferedStream> buffered_stream_new(Stream* inner, StreamPtr owned,
                                                    std::uint64_t window_size);

// Borrowing form: the inner stream stays the caller's.
inline std::unique_ptr<BufferedStream> buffered_stream_new(Stream& inner,
                                                           std::uint64_t window_size) {
  return buffered_stream_new(&inner, nullptr, window_size);
}

// Owning form: closing the buffered stream closes the inner one.
inline std::unique_ptr<BufferedStream> buffered_stream_new(StreamPtr inner,
                                                           std::uint64_t window_size) {
  Stream* raw = inner.get();
  return buffered_stream_new(raw, std::move(inner), window_size);
}

}  // namespace busfold
