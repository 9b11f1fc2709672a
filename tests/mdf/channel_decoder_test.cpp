#include "mdf/channel_decoder.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

namespace busfold {
namespace {

TEST(ExtractBits, LittleAndBigEndianFields) {
  const std::vector<std::uint8_t> ab_cd = {0xAB, 0xCD};
  const std::vector<std::uint8_t> nine = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xF5};
  std::vector<std::uint8_t> large(70000, 0);
  large[66000] = 0x0F;
  large[66001] = 0xF0;
  const struct {
    const std::vector<std::uint8_t>& bytes;
    std::uint64_t position, count;
    ByteOrder order;
    std::uint64_t expected;
  } cases[] = {
      {ab_cd, 4, 12, kLittleEndian, 0xCDA},
      {ab_cd, 4, 8, kBigEndian, 0xBC},
      {ab_cd, 0, 16, kLittleEndian, 0xCDAB},
      {ab_cd, 8, 16, kLittleEndian, 0},  // ends past the bytes
      {ab_cd, 15, 2, kBigEndian, 0},
      {ab_cd, ~std::uint64_t{0}, 2, kLittleEndian, 0},  // the end would overflow
      // 57 bits and more off a byte boundary cover nine bytes.
      {nine, 4, 60, kLittleEndian, 0xEFCDAB896745230},
      {nine, 4, 64, kLittleEndian, 0x5EFCDAB896745230},
      {nine, 4, 64, kBigEndian, 0x123456789ABCDEFF},
      {nine, 4, 57, kBigEndian, 0x123456789ABCDEFF >> 7},
      // Wider than 64 bits: the low 64 bits of the value, as a bit-by-bit read keeps.
      {nine, 0, 72, kLittleEndian, 0xEFCDAB8967452301},
      {nine, 0, 72, kBigEndian, 0x23456789ABCDEFF5},
      // Positions beyond 16 bits and big-endian fields beyond byte 255 at full width.
      {large, 66000 * 8 + 4, 8, kBigEndian, 0xFF},
      {large, 66000 * 8, 57, kLittleEndian, 0xF00F},
      {large, 300 * 8, 64, kBigEndian, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(extract_bits(c.bytes, c.position, c.count, c.order), c.expected)
        << c.position << " " << c.count << " " << c.order;
  }
  EXPECT_EQ(float_of_bits(std::bit_cast<std::uint32_t>(1.5f), 32), 1.5);
  EXPECT_EQ(float_of_bits(std::bit_cast<std::uint64_t>(-2.25), 64), -2.25);
  EXPECT_EQ(float_of_bits(0x3C00, 16), 0);  // no 16-bit floats
}

TEST(Conversion, LinearAndValueTable) {
  EXPECT_EQ(Conversion::linear(0.5, 10).apply(4), 12);
  // The first pair of a key stays; NaN keys are dropped. Whole keys are looked up by
  // index, the others by search; a value that is no key passes unchanged.
  const std::pair<double, double> pairs[] = {{2, 200}, {4, 100}, {2, 999},  {NAN, 5},
                                             {0.5, 9}, {-2, 11}, {5000, 13}};
  Conversion table = Conversion::value_table(pairs);
  const std::pair<double, double> lookups[] = {{2, 200},   {4, 100},      {0.5, 9}, {-2, 11},
                                               {5000, 13}, {1, 1},        {3, 3},   {3.5, 3.5},
                                               {-1, -1},   {1e300, 1e300}};
  for (auto [x, expected] : lookups)
    EXPECT_EQ(table.apply(x), expected) << x;
  EXPECT_TRUE(std::isnan(table.apply(NAN)));
}

}  // namespace
}  // namespace busfold
