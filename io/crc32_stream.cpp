#include "io/crc32_stream.h"

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "base/bytes.h"
#include "base/cpu_features.h"

namespace busfold {

namespace {

// Eight tables let the loop take eight bytes per step ("slicing by 8"); table 0 is
// the classic byte-at-a-time table, table k advances a byte by k further zero bytes.
// The CRC-32 generator 0x04C11DB7 with its bits reversed, as a right-shifting register needs.
constexpr std::uint32_t kReflectedPolynomial = 0xEDB88320u;

using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables make_tables() {
  CrcTables tables{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ ((crc & 1u) ? kReflectedPolynomial : 0u);
    tables[0][i] = crc;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t i = 0; i < 256; ++i) {
      std::uint32_t previous = tables[k - 1][i];
      tables[k][i] = (previous >> 8) ^ tables[0][previous & 0xFFu];
    }
  }
  return tables;
}

constexpr CrcTables kTables = make_tables();

std::uint32_t crc32_by_tables(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  while (n >= 8) {
    std::uint32_t low = crc ^ load_le32(p);
    std::uint32_t high = load_le32(p + 4);
    crc = kTables[7][low & 0xFFu] ^ kTables[6][(low >> 8) & 0xFFu] ^
          kTables[5][(low >> 16) & 0xFFu] ^ kTables[4][low >> 24] ^ kTables[3][high & 0xFFu] ^
          kTables[2][(high >> 8) & 0xFFu] ^ kTables[1][(high >> 16) & 0xFFu] ^
          kTables[0][high >> 24];
    p += 8;
    n -= 8;
  }
  while (n-- > 0)
    crc = kTables[0][(crc ^ *p++) & 0xFFu] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)

// Carry-less multiplication folds 16 bytes onto the 16 bytes `d` bytes further on: the
// residue does not change when a block's polynomial is multiplied by x^(8d) mod P and added
// there instead. Each half of a block takes its own constant, x^(8d+32) for the low half
// and x^(8d-32) for the high one, kept bit-reversed as the register is, times x.
constexpr std::uint64_t fold_constant(int exponent) {
  std::uint64_t power = 1;  // x^exponent mod P, plain bit order
  for (int i = 0; i < exponent; ++i) {
    power <<= 1;
    if (power & (std::uint64_t{1} << 32)) power ^= 0x104C11DB7u;
  }
  std::uint64_t reflected = 0;
  for (int bit = 0; bit < 32; ++bit)
    if (power & (std::uint64_t{1} << bit)) reflected |= std::uint64_t{1} << (31 - bit);
  return reflected << 1;
}
static_assert(fold_constant(544) == 0x154442BD4u && fold_constant(96) == 0xCCAA009Eu);

// Bytes in flight: four 16-byte blocks, folded 64 bytes ahead each round.
constexpr std::size_t kFoldLanes = 4;
constexpr std::size_t kFoldBlock = 16;

__attribute__((target("pclmul"))) inline __m128i fold(__m128i block, __m128i constants,
                                                      __m128i onto) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(block, constants, 0x00),
                                     _mm_clmulepi64_si128(block, constants, 0x11)),
                       onto);
}

// For n >= 64. The blocks are folded down to one, whose 16 bytes stand for everything
// read so far; the tables finish them and the tail from a zero register.
__attribute__((target("pclmul"))) std::uint32_t
crc32_by_folding(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  const auto load = [](const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  };
  const __m128i by_four = _mm_set_epi64x(static_cast<long long>(fold_constant(480)),
                                         static_cast<long long>(fold_constant(544)));
  const __m128i by_one = _mm_set_epi64x(static_cast<long long>(fold_constant(96)),
                                        static_cast<long long>(fold_constant(160)));
  // The register enters as an addition to the first four bytes.
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = load(p + 16);
  __m128i x2 = load(p + 32);
  __m128i x3 = load(p + 48);
  p += kFoldLanes * kFoldBlock;
  n -= kFoldLanes * kFoldBlock;
  for (; n >= kFoldLanes * kFoldBlock; p += kFoldLanes * kFoldBlock, n -= kFoldLanes * kFoldBlock) {
    x0 = fold(x0, by_four, load(p));
    x1 = fold(x1, by_four, load(p + 16));
    x2 = fold(x2, by_four, load(p + 32));
    x3 = fold(x3, by_four, load(p + 48));
  }
  x0 = fold(fold(fold(x0, by_one, x1), by_one, x2), by_one, x3);
  for (; n >= kFoldBlock; p += kFoldBlock, n -= kFoldBlock)
    x0 = fold(x0, by_one, load(p));
  std::uint8_t folded[kFoldBlock];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(folded), x0);
  return crc32_by_tables(crc32_by_tables(0, folded, sizeof folded), p, n);
}

#endif

}  // namespace

std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
#if defined(__x86_64__)
  if (bytes.size() >= kFoldLanes * kFoldBlock && cpu_has_carryless_multiply())
    return crc32_by_folding(crc, bytes.data(), bytes.size());
#endif
  return crc32_by_tables(crc, bytes.data(), bytes.size());
}

std::int64_t Crc32Stream::read(void* buffer, std::uint64_t n) {
  std::int64_t got = inner_->read(buffer, n);
  if (got > 0) {
    crc_ = crc32_update(crc_,
                        {static_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(got)});
  }
  return got;
}

std::int64_t Crc32Stream::write(const void* buffer, std::uint64_t n) {
  std::int64_t put = inner_->write(buffer, n);
  if (put > 0) {
    crc_ = crc32_update(crc_,
                        {static_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(put)});
  }
  return put;
}

// The inner stream is borrowed; nothing of ours to release.
std::int64_t Crc32Stream::close() { return 0; }

}  // namespace busfold
