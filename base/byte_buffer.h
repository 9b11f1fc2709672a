// An owned, growable run of bytes for content held in memory (unwrapped containers,
// outputs built in memory). Large buffers are mapped on their own, advised for huge
// pages, and grow by remapping their pages, never by copying them: growth costs neither
// a pass over the content nor a second copy of it in memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace busfold {

class ByteBuffer {
public:
  ByteBuffer() = default;
  ~ByteBuffer();
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

  // New bytes are uninitialised. False, with nothing changed, when memory runs out.
  bool resize(std::size_t n);
  // Gives the memory back.
  void release();
  // Gives back the memory of the whole pages inside [begin, end), which read as zeros
  // from then on; only a mapped buffer has pages of its own to give.
  void discard(std::size_t begin, std::size_t end);

private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t reserved_ = 0;  // bytes allocated or mapped
  bool mapped_ = false;
};

}  // namespace busfold
