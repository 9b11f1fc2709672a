#include "io/crc32_stream.h"

#include <array>

#include "base/bytes.h"

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

}  // namespace

std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
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
