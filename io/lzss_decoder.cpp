#include "io/lzss_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/bytes.h"

namespace busfold {

std::unique_ptr<LzssDecoder> LzssDecoder::create(int window_bits, int lookahead_bits) {
  if (window_bits < kLzssMinWindowBits || window_bits > kLzssMaxWindowBits) return nullptr;
  if (lookahead_bits < kLzssMinLookaheadBits || lookahead_bits >= window_bits) return nullptr;
  return std::unique_ptr<LzssDecoder>(new (std::nothrow) LzssDecoder(window_bits, lookahead_bits));
}

void LzssDecoder::feed(std::span<const std::uint8_t> input) {
  in_ = input.data();
  in_end_ = input.data() + input.size();
}

namespace {

// Copies of at most this many bytes from at least this far back take two word moves.
constexpr std::size_t kShortCopy = 16;
constexpr int kLiteralBits = 9;

// Copies `length` bytes from `distance` back onto out[size, size + length): the copies
// that are not one short move. Writes at most 7 bytes past the copy.
void copy_reference(std::uint8_t* out, std::size_t size, std::size_t distance, std::size_t length) {
  std::uint8_t* target = out + size;
  if (distance >= 8 && distance <= size) {
    // Each 8-byte step reads only bytes that are already written, however the copy
    // overlaps itself.
    const std::uint8_t* source = target - distance;
    for (std::size_t i = 0; i < length; i += 8)
      std::memcpy(target + i, source + i, 8);
  } else if (distance > size) {
    // The window starts zero-filled: what lies before the first byte reads as zeros.
    const std::size_t zeros = std::min(length, distance - size);
    std::memset(target, 0, zeros);
    for (std::size_t i = zeros; i < length; ++i)
      target[i] = out[size + i - distance];
  } else if (distance == 1) {
    std::memset(target, target[-1], length);
  } else {
    const std::uint8_t* source = target - distance;
    for (std::size_t i = 0; i < length; ++i)
      target[i] = source[i];
  }
}

}  // namespace

std::size_t LzssDecoder::decode_onto(std::uint8_t* out, std::size_t size, std::size_t capacity) {
  const int w = window_bits_;
  const int l = lookahead_bits_;
  const int reference_bits = 1 + w + l;
  const int token_bits = std::max(kLiteralBits, reference_bits);
  const std::size_t needed = room_needed();
  // The reader in locals: the output writes could alias the members.
  std::uint64_t bits = bits_;
  int count = bit_count_;
  const std::uint8_t* in = in_;
  const std::uint8_t* const in_end = in_end_;
  while (capacity - size >= needed) {
    if (count < token_bits) {
      // Whole-word loads while the input lasts: they take as many whole bytes as fit, and
      // the extra bits they OR in below the count are the true next bits, so loading them
      // again is harmless. Then byte by byte.
      if (in_end - in >= 8) {
        bits |= load_be64(in) >> count;
        in += (63 - count) >> 3;
        count |= 56;
      } else {
        while (count <= 56 && in != in_end) {
          bits |= static_cast<std::uint64_t>(*in++) << (56 - count);
          count += 8;
        }
      }
    }
    if (bits >> 63) {
      if (count < kLiteralBits) break;
      out[size++] = static_cast<std::uint8_t>(bits >> 55);
      bits <<= kLiteralBits;
      count -= kLiteralBits;
      continue;
    }
    if (count < reference_bits) break;
    const auto distance = static_cast<std::size_t>((bits << 1) >> (64 - w)) + 1;
    const auto length = static_cast<std::size_t>((bits << (1 + w)) >> (64 - l)) + 1;
    bits <<= reference_bits;
    count -= reference_bits;
    if (distance >= kShortCopy && distance <= size && length <= kShortCopy) {
      // Two 8-byte moves with no loop, for the copies real data is made of. The second
      // lands on the first when the copy is 8 bytes or less: no store reaches more than 7
      // bytes past the copy, as stores running ahead of the output make the next copies
      // that read there wait for them.
      std::uint8_t* target = out + size;
      const std::uint8_t* source = target - distance;
      std::uint64_t head;
      std::uint64_t tail;
      std::memcpy(&head, source, 8);
      std::memcpy(&tail, source + 8, 8);
      const std::size_t tail_at = length > 8 ? 8 : 0;
      if (tail_at == 0) tail = head;
      std::memcpy(target, &head, 8);
      std::memcpy(target + tail_at, &tail, 8);
    } else {
      copy_reference(out, size, distance, length);
    }
    size += length;
  }
  bits_ = bits;
  bit_count_ = count;
  in_ = in;
  return size;
}

}  // namespace busfold
