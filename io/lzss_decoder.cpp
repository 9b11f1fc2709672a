#include "io/lzss_decoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/bytes.h"

namespace busfold {

namespace {

inline std::uint64_t load_be64(const std::uint8_t* p) {
  return (static_cast<std::uint64_t>(load_be32(p)) << 32) | load_be32(p + 4);
}

// Copies shorter than this go byte by byte; library calls cost more than they save.
constexpr std::uint32_t kShortCopy = 32;

}  // namespace

std::unique_ptr<LzssDecoder> LzssDecoder::create(int window_bits, int lookahead_bits) {
  if (window_bits < kLzssMinWindowBits || window_bits > kLzssMaxWindowBits) return nullptr;
  if (lookahead_bits < kLzssMinLookaheadBits || lookahead_bits >= window_bits) return nullptr;
  auto* window = static_cast<std::uint8_t*>(std::calloc(std::size_t{1} << window_bits, 1));
  if (window == nullptr) return nullptr;
  std::unique_ptr<LzssDecoder> decoder(new (std::nothrow)
                                           LzssDecoder(window_bits, lookahead_bits, window));
  if (!decoder) std::free(window);
  return decoder;
}

LzssDecoder::LzssDecoder(int window_bits, int lookahead_bits, std::uint8_t* window)
    : window_bits_(window_bits), lookahead_bits_(lookahead_bits),
      window_mask_((1u << window_bits) - 1), window_(window) {}

LzssDecoder::~LzssDecoder() { std::free(window_); }

void LzssDecoder::feed(std::span<const std::uint8_t> input) {
  in_ = input.data();
  in_end_ = input.data() + input.size();
}

// Tops the reader up to at least 57 bits, or to what the input still holds.
inline void LzssDecoder::refill() {
  if (in_end_ - in_ >= 8) {
    // Whole-word load: takes as many whole bytes as fit; the extra bits it ORs in
    // below the count are the true next bits, so loading them again is harmless.
    bits_ |= load_be64(in_) >> bit_count_;
    in_ += (63 - bit_count_) >> 3;
    bit_count_ |= 56;
    return;
  }
  while (bit_count_ <= 56 && in_ != in_end_) {
    bits_ |= static_cast<std::uint64_t>(*in_++) << (56 - bit_count_);
    bit_count_ += 8;
  }
}

void LzssDecoder::copy_match(std::uint8_t* out, std::uint32_t distance, std::uint32_t k) {
  const std::uint32_t size = window_mask_ + 1;
  std::uint32_t from = (head_ - distance) & window_mask_;
  if (k < kShortCopy) {
    // Reading the window after each write gives overlapping copies their run-length meaning.
    if (from + k <= size && head_ + k <= size) {
      const std::uint8_t* source = window_ + from;
      std::uint8_t* target = window_ + head_;
      for (std::uint32_t i = 0; i < k; ++i) {
        std::uint8_t byte = source[i];
        out[i] = byte;
        target[i] = byte;
      }
      head_ = (head_ + k) & window_mask_;
      return;
    }
    for (std::uint32_t i = 0; i < k; ++i) {
      std::uint8_t byte = window_[from];
      out[i] = byte;
      window_[head_] = byte;
      from = (from + 1) & window_mask_;
      head_ = (head_ + 1) & window_mask_;
    }
    return;
  }
  // distance <= size, so the first min(k, distance) bytes all precede this copy.
  std::uint32_t old = std::min(k, distance);
  std::uint32_t first = std::min(old, size - from);
  std::memcpy(out, window_ + from, first);
  std::memcpy(out + first, window_, old - first);
  for (std::uint32_t i = old; i < k; ++i)
    out[i] = out[i - distance];
  // k < size (length <= 2^L < 2^W), so the window takes the copy in at most two pieces.
  first = std::min(k, size - head_);
  std::memcpy(window_ + head_, out, first);
  std::memcpy(window_, out + first, k - first);
  head_ = (head_ + k) & window_mask_;
}

std::size_t LzssDecoder::decode_onto(std::uint8_t* out, std::size_t size, std::size_t capacity) {
  const int w = window_bits_;
  const int l = lookahead_bits_;
  const int reference_bits = 1 + w + l;
  const int token_bits = std::max(9, reference_bits);
  const std::size_t needed = room_needed();
  // The reader in locals: the output writes could alias the members.
  std::uint64_t bits = bits_;
  int count = bit_count_;
  const std::uint8_t* in = in_;
  const std::uint8_t* const in_end = in_end_;
  while (capacity - size >= needed) {
    if (count < token_bits) {
      // As refill(): whole-word loads while the input lasts, then byte by byte.
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
      if (count < 9) break;
      out[size++] = static_cast<std::uint8_t>(bits >> 55);
      bits <<= 9;
      count -= 9;
      continue;
    }
    if (count < reference_bits) break;
    const auto distance = static_cast<std::size_t>((bits << 1) >> (64 - w)) + 1;
    const auto length = static_cast<std::size_t>((bits << (1 + w)) >> (64 - l)) + 1;
    bits <<= reference_bits;
    count -= reference_bits;
    std::uint8_t* target = out + size;
    if (distance >= 8 && distance <= size) {
      // Each 8-byte step reads only bytes that are already written, however the copy
      // overlaps itself; it may write up to 7 bytes past the copy, inside the room.
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
      for (std::size_t i = 0; i < length; ++i)
        target[i] = target[i - distance];
    }
    size += length;
  }
  bits_ = bits;
  bit_count_ = count;
  in_ = in;
  return size;
}

std::size_t LzssDecoder::decode(std::span<std::uint8_t> out_span) {
  std::uint8_t* out = out_span.data();
  const std::size_t room = out_span.size();
  std::size_t produced = 0;

  if (pending_length_ != 0) {
    auto k = static_cast<std::uint32_t>(std::min<std::size_t>(pending_length_, room));
    copy_match(out, pending_distance_, k);
    pending_length_ -= k;
    produced = k;
  }

  const int w = window_bits_;
  const int l = lookahead_bits_;
  const int reference_bits = 1 + w + l;
  // Enough for either token, so that stopping short always means the input is used up.
  const int token_bits = std::max(9, reference_bits);
  while (produced < room) {
    if (bit_count_ < token_bits) refill();
    if (bit_count_ == 0) break;
    if (bits_ >> 63) {
      if (bit_count_ < 9) break;
      auto byte = static_cast<std::uint8_t>(bits_ >> 55);
      bits_ <<= 9;
      bit_count_ -= 9;
      out[produced++] = byte;
      window_[head_] = byte;
      head_ = (head_ + 1) & window_mask_;
      continue;
    }
    if (bit_count_ < reference_bits) break;
    // Fields of up to 15 bits read MSB first are the same bits whether taken whole
    // or as a high part and a low byte, so one shift reads each.
    auto distance = static_cast<std::uint32_t>((bits_ << 1) >> (64 - w)) + 1;
    auto length = static_cast<std::uint32_t>((bits_ << (1 + w)) >> (64 - l)) + 1;
    bits_ <<= reference_bits;
    bit_count_ -= reference_bits;
    auto k = static_cast<std::uint32_t>(std::min<std::size_t>(length, room - produced));
    copy_match(out + produced, distance, k);
    produced += k;
    if (k < length) {
      pending_distance_ = distance;
      pending_length_ = length - k;
    }
  }
  return produced;
}

}  // namespace busfold
