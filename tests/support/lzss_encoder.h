// Test-only LZSS encoder producing the bit stream that LzssDecoder reads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace busfold {

// Greedy matching over hash chains. window_bits 4..15, lookahead_bits 3..window_bits-1.
// Distances go up to 2^W and lengths up to 2^L; the last byte is padded with zero bits.
std::vector<std::uint8_t> lzss_encode(std::span<const std::uint8_t> data, int window_bits,
                                      int lookahead_bits);

// Builds a bit stream by hand, most significant bit first (for hostile or odd inputs).
class BitWriter {
public:
  void put(std::uint32_t value, int bits);
  void literal(std::uint8_t byte) {
    put(1, 1);
    put(byte, 8);
  }
  // Fields carry distance - 1 and length - 1.
  void reference(std::uint32_t distance, std::uint32_t length, int window_bits,
                 int lookahead_bits) {
    put(0, 1);
    put(distance - 1, window_bits);
    put(length - 1, lookahead_bits);
  }
  // The bytes so far, the last one padded with zero bits.
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
  std::vector<std::uint8_t> bytes_;
  int used_ = 8;  // bits used in the last byte
};

}  // namespace busfold
