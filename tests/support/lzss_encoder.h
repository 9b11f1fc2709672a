// Test-only LZSS encoder producing the bit stream that LzssDecoder reads, and two decoders
// to hold LzssDecoder to: the rules read literally, and LzssDecoder fed in pieces.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "io/lzss_decoder.h"

namespace busfold {

// Builds a bit stream by hand, most significant bit first; the last byte is padded with
// zero bits.
class BitWriter {
public:
  void literal(std::uint8_t byte) {
    put(1, 1);
    put(byte, 8);
  }
  // The fields carry distance - 1 and length - 1.
  void reference(std::uint32_t distance, std::uint32_t length, int window_bits,
                 int lookahead_bits) {
    put(0, 1);
    put(distance - 1, window_bits);
    put(length - 1, lookahead_bits);
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
  void put(std::uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i, ++used_) {
      if (used_ == 8) {
        bytes_.push_back(0);
        used_ = 0;
      }
      if ((value >> i) & 1u) bytes_.back() |= static_cast<std::uint8_t>(0x80u >> used_);
    }
  }
  std::vector<std::uint8_t> bytes_;
  int used_ = 8;  // bits used in the last byte
};

// Greedy, one candidate per position. window_bits 4..15, lookahead_bits 3..window_bits-1.
inline std::vector<std::uint8_t> lzss_encode(std::span<const std::uint8_t> data, int window_bits,
                                             int lookahead_bits) {
  const std::size_t window = std::size_t{1} << window_bits;
  const std::size_t max_length = std::size_t{1} << lookahead_bits;
  // A reference must be shorter than the literals it replaces.
  const std::size_t min_length = (1u + window_bits + lookahead_bits) / 9 + 1;
  std::vector<std::size_t> last_seen(std::size_t{1} << 16, SIZE_MAX);  // by hash of 3 bytes
  BitWriter out;
  for (std::size_t i = 0; i < data.size();) {
    std::size_t length = 0;
    std::size_t distance = 0;
    if (i + 2 < data.size()) {
      const std::uint32_t key = data[i] | data[i + 1] << 8 | data[i + 2] << 16;
      std::size_t& seen = last_seen[(key * 2654435761u) >> 16];
      if (seen != SIZE_MAX && i - seen <= window) {
        distance = i - seen;
        // The source may run into the bytes being produced, as the decoder allows.
        while (length < max_length && i + length < data.size() &&
               data[seen + length] == data[i + length])
          ++length;
      }
      seen = i;
    }
    if (length >= min_length) {
      out.reference(static_cast<std::uint32_t>(distance), static_cast<std::uint32_t>(length),
                    window_bits, lookahead_bits);
      i += length;
    } else {
      out.literal(data[i++]);
    }
  }
  return out.bytes();
}

// Tokens one bit at a time, most significant first: 1 and a literal byte, or 0, distance - 1
// in w bits and length - 1 in l bits, copied from the bytes before (zeros before the first).
// A token the remaining bits cannot hold is padding.
inline std::vector<std::uint8_t> lzss_reference_decode(std::span<const std::uint8_t> payload, int w,
                                                       int l) {
  const std::size_t end = payload.size() * 8;
  std::size_t at = 0;
  auto take = [&](int n) {
    std::uint32_t value = 0;
    for (int i = 0; i < n; ++i, ++at)
      value = (value << 1) | ((payload[at / 8] >> (7 - at % 8)) & 1u);
    return value;
  };
  std::vector<std::uint8_t> out;
  while (at < end) {
    const bool literal = take(1) == 1;
    if (end - at < static_cast<std::size_t>(literal ? 8 : w + l)) break;
    if (literal) {
      out.push_back(static_cast<std::uint8_t>(take(8)));
      continue;
    }
    const std::size_t distance = take(w) + 1;
    for (std::uint32_t n = take(l) + 1; n > 0; --n)
      out.push_back(distance <= out.size() ? out[out.size() - distance] : 0);
  }
  return out;
}

// LzssDecoder fed the payload in pieces of the given sizes in turn, into an output that
// starts at its smallest and grows, as the container reader does.
inline std::vector<std::uint8_t> lzss_decode_in_pieces(std::span<const std::uint8_t> payload, int w,
                                                       int l, std::span<const std::size_t> pieces) {
  auto decoder = LzssDecoder::create(w, l);
  std::vector<std::uint8_t> out(decoder->room_needed());
  std::size_t size = 0;
  for (std::size_t at = 0, i = 0; at < payload.size(); at += pieces[i++ % pieces.size()]) {
    decoder->feed(payload.subspan(at, std::min(pieces[i % pieces.size()], payload.size() - at)));
    while ((size = decoder->decode_onto(out.data(), size, out.size())) + decoder->room_needed() >
           out.size())
      out.resize(2 * out.size());
  }
  out.resize(size);
  return out;
}

}  // namespace busfold
