#include "io/lzss_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/bytes.h"
#include "base/cpu_features.h"

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
// Bits a whole-word load leaves at least.
constexpr int kWordBits = 56;

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

// The bit reader's state. The loop keeps it in locals: the output writes could alias it.
struct TokenInput {
  std::uint64_t bits;
  int count;
  const std::uint8_t* in;
  const std::uint8_t* end;
};

// The decoding loop of LzssDecoder::decode_onto(), inlined into one copy for every
// processor and one for those with BMI2, which shift by a register's count in one step
// with no flags involved: the token fields are taken by such shifts.
[[gnu::always_inline]] inline std::size_t decode_tokens(int w, int l, TokenInput& input,
                                                        std::uint8_t* out, std::size_t size,
                                                        std::size_t capacity) {
  // Where the fields end below the top bit, and their masks.
  const int distance_shift = 63 - w;
  const int length_shift = 63 - w - l;
  const std::uint64_t distance_mask = (std::uint64_t{1} << w) - 1;
  const std::uint64_t length_mask = (std::uint64_t{1} << l) - 1;
  const int reference_bits = 1 + w + l;
  const int token_bits = std::max(kLiteralBits, reference_bits);
  const std::size_t needed = lzss_room_needed(l);
  std::uint64_t bits = input.bits;
  int count = input.count;
  const std::uint8_t* in = input.in;
  const std::uint8_t* const in_end = input.end;
  // A reference is copied by the fast moves or the general copy; `size` moves past it.
  const auto copy = [&](std::size_t distance, std::size_t length) {
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
  };
  // Decodes the token at the top of `bits`, whose bits are all there.
  const auto take_token = [&] {
    if (bits >> 63) {
      out[size++] = static_cast<std::uint8_t>(bits >> 55);
      bits <<= kLiteralBits;
      count -= kLiteralBits;
    } else {
      const auto distance = static_cast<std::size_t>((bits >> distance_shift) & distance_mask) + 1;
      const auto length = static_cast<std::size_t>((bits >> length_shift) & length_mask) + 1;
      bits <<= reference_bits;
      count -= reference_bits;
      copy(distance, length);
    }
  };
  // Whole-word loads: they take as many whole bytes as fit, and the extra bits they OR in
  // below the count are the true next bits, so loading them again is harmless.
  const auto load_word = [&] {
    bits |= load_be64(in) >> count;
    in += (63 - count) >> 3;
    count |= kWordBits;
  };

  // While whole words are left, one load serves as many tokens as it always holds, with
  // room for all of them checked at once: the loads come at a pace the branch predictor
  // knows, and fewer tokens wait on one. That many is a constant of each loop, for the
  // compiler to unroll.
  const auto decode_words = [&]<int per_load>() {
    const std::size_t fast_room = per_load * needed;
    while (in_end - in >= 8 && capacity - size >= fast_room) {
      load_word();
      for (int i = 0; i < per_load; ++i)
        take_token();
    }
  };
  static_assert(kWordBits / kLiteralBits == 6, "the most tokens a load holds");
  static_assert(1 + kLzssMaxWindowBits + (kLzssMaxWindowBits - 1) <= kWordBits);
  switch (kWordBits / token_bits) {
  case 6: decode_words.operator()<6>(); break;
  case 5: decode_words.operator()<5>(); break;
  case 4: decode_words.operator()<4>(); break;
  case 3: decode_words.operator()<3>(); break;
  case 2: decode_words.operator()<2>(); break;
  default: decode_words.operator()<1>(); break;
  }

  // The last input bytes or the last room: a token at a time, loading byte by byte at
  // the end.
  while (capacity - size >= needed) {
    if (count < token_bits) {
      if (in_end - in >= 8) {
        load_word();
      } else {
        while (count <= 56 && in != in_end) {
          bits |= static_cast<std::uint64_t>(*in++) << (56 - count);
          count += 8;
        }
      }
    }
    // The same as take_token(), spelt out: one copy of it for both loops makes the fast
    // one slower.
    if (bits >> 63) {
      if (count < kLiteralBits) break;
      out[size++] = static_cast<std::uint8_t>(bits >> 55);
      bits <<= kLiteralBits;
      count -= kLiteralBits;
      continue;
    }
    if (count < reference_bits) break;
    const auto distance = static_cast<std::size_t>((bits >> distance_shift) & distance_mask) + 1;
    const auto length = static_cast<std::size_t>((bits >> length_shift) & length_mask) + 1;
    bits <<= reference_bits;
    count -= reference_bits;
    copy(distance, length);
  }
  input.bits = bits;
  input.count = count;
  input.in = in;
  return size;
}

std::size_t decode_tokens_anywhere(int w, int l, TokenInput& input, std::uint8_t* out,
                                   std::size_t size, std::size_t capacity) {
  return decode_tokens(w, l, input, out, size, capacity);
}

#if defined(__x86_64__)
__attribute__((target("bmi2"))) std::size_t
decode_tokens_bmi2(int w, int l, TokenInput& input, std::uint8_t* out, std::size_t size,
                   std::size_t capacity) {
  return decode_tokens(w, l, input, out, size, capacity);
}
#endif

}  // namespace

std::size_t LzssDecoder::decode_onto(std::uint8_t* out, std::size_t size, std::size_t capacity) {
  TokenInput input{bits_, bit_count_, in_, in_end_};
#if defined(__x86_64__)
  if (cpu_has_bmi2()) {
    size = decode_tokens_bmi2(window_bits_, lookahead_bits_, input, out, size, capacity);
  } else
#endif
  {
    size = decode_tokens_anywhere(window_bits_, lookahead_bits_, input, out, size, capacity);
  }
  bits_ = input.bits;
  bit_count_ = input.count;
  in_ = input.in;
  return size;
}

}  // namespace busfold
