// Decoder of the LZSS bit stream inside compressed containers.
//
// The stream is a sequence of tokens, bits taken most significant first:
//   1 <8-bit literal>                       emits the literal
//   0 <W-bit distance-1> <L-bit length-1>   copies `length` bytes from `distance` back
// The window of 2^W bytes starts zero-filled, so a distance reaching before the
// first byte yields zeros. A token whose bits are not all present when the
// payload ends is padding and is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace busfold {

inline constexpr int kLzssMinWindowBits = 4;
inline constexpr int kLzssMaxWindowBits = 15;
inline constexpr int kLzssMinLookaheadBits = 3;

// The room a decoder needs left in its output to decode a token: the longest copy plus
// the slack of the 8-byte copy steps.
inline constexpr std::size_t lzss_room_needed(int lookahead_bits) {
  return (std::size_t{1} << lookahead_bits) + 8;
}

class LzssDecoder {
public:
  // Null unless 4 <= window_bits <= 15 and 3 <= lookahead_bits < window_bits, or
  // when memory runs out.
  static std::unique_ptr<LzssDecoder> create(int window_bits, int lookahead_bits);

  LzssDecoder(const LzssDecoder&) = delete;
  LzssDecoder& operator=(const LzssDecoder&) = delete;

  // Hands over the next payload bytes. They are read in place and must stay valid and
  // unchanged until decode_onto() next returns having used them up. Leftover bits of a
  // token they end inside are kept for the next feed.
  void feed(std::span<const std::uint8_t> input);

  // Decodes the fed input onto the end of out[0, size), the bytes decoded so far, which
  // are the window themselves: the whole content is decoded into one buffer, with no
  // window copy. Decodes while at least room_needed() bytes are left before `capacity`
  // and returns the new size; when it returns with that much room left, the fed input is
  // used up. It never reads or writes outside the input or out[0, capacity), whatever
  // the payload.
  std::size_t decode_onto(std::uint8_t* out, std::size_t size, std::size_t capacity);
  std::size_t room_needed() const { return lzss_room_needed(lookahead_bits_); }

private:
  LzssDecoder(int window_bits, int lookahead_bits)
      : window_bits_(window_bits), lookahead_bits_(lookahead_bits) {}

  int window_bits_;
  int lookahead_bits_;

  // Bit reader: the next `bit_count_` bits of the stream sit at the top of `bits_`;
  // every bit below them is either zero or the true next stream bit.
  std::uint64_t bits_ = 0;
  int bit_count_ = 0;
  const std::uint8_t* in_ = nullptr;
  const std::uint8_t* in_end_ = nullptr;
};

}  // namespace busfold
