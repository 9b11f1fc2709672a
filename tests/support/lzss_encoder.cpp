#include "tests/support/lzss_encoder.h"

#include <algorithm>
#include <cstddef>

namespace busfold {

void BitWriter::put(std::uint32_t value, int bits) {
  for (int i = bits - 1; i >= 0; --i) {
    if (used_ == 8) {
      bytes_.push_back(0);
      used_ = 0;
    }
    if ((value >> i) & 1u) bytes_.back() |= static_cast<std::uint8_t>(0x80u >> used_);
    ++used_;
  }
}

std::vector<std::uint8_t> lzss_encode(std::span<const std::uint8_t> data, int window_bits,
                                      int lookahead_bits) {
  const std::size_t window = std::size_t{1} << window_bits;
  const std::size_t max_length = std::size_t{1} << lookahead_bits;
  // A reference must beat the literals it replaces.
  const std::size_t reference_bits = 1u + static_cast<std::size_t>(window_bits + lookahead_bits);
  const std::size_t min_length = std::max<std::size_t>(3, reference_bits / 9 + 1);
  constexpr int kHashBits = 16;
  constexpr int kChainDepth = 16;
  const std::size_t n = data.size();

  std::vector<std::int64_t> head(std::size_t{1} << kHashBits, -1);
  std::vector<std::int64_t> previous(window, -1);
  auto hash = [&](std::size_t i) {
    std::uint32_t v = data[i] | (data[i + 1] << 8) | (data[i + 2] << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
  };
  auto insert = [&](std::size_t i) {
    if (i + 2 >= n) return;
    std::uint32_t h = hash(i);
    previous[i & (window - 1)] = head[h];
    head[h] = static_cast<std::int64_t>(i);
  };

  BitWriter out;
  std::size_t i = 0;
  while (i < n) {
    std::size_t best_length = 0;
    std::size_t best_distance = 0;
    if (i + 2 < n) {
      std::size_t limit = std::min(max_length, n - i);
      std::int64_t candidate = head[hash(i)];
      for (int depth = 0; depth < kChainDepth && candidate >= 0; ++depth) {
        auto c = static_cast<std::size_t>(candidate);
        if (i - c > window) break;
        std::size_t length = 0;
        // The source may run into the bytes being produced, as the decoder allows.
        while (length < limit && data[c + length] == data[i + length])
          ++length;
        if (length > best_length) {
          best_length = length;
          best_distance = i - c;
          if (length == limit) break;
        }
        std::int64_t next = previous[c & (window - 1)];
        if (next >= candidate) break;
        candidate = next;
      }
    }
    if (best_length >= min_length) {
      out.reference(static_cast<std::uint32_t>(best_distance),
                    static_cast<std::uint32_t>(best_length), window_bits, lookahead_bits);
      for (std::size_t k = 0; k < best_length; ++k)
        insert(i + k);
      i += best_length;
    } else {
      out.literal(data[i]);
      insert(i);
      ++i;
    }
  }
  return out.bytes();
}

}  // namespace busfold
