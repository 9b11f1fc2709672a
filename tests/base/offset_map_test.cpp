#include "base/offset_map.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace busfold {
namespace {

// Many keys through several growths, spaced as block offsets are and packed as the
// probing makes them collide: each keeps its own value, and a key never stored is absent.
TEST(OffsetMap, KeepsEveryEntryThroughGrowth) {
  OffsetMap<std::uint64_t> map;
  EXPECT_EQ(map.find(8), nullptr);
  constexpr std::uint64_t kCount = 5000;
  for (std::uint64_t i = 0; i < kCount; ++i) {
    auto [value, made] = map.try_emplace(i * 8);
    ASSERT_TRUE(made);
    EXPECT_EQ(*value, 0u);
    *value = i + 1;
  }
  EXPECT_EQ(map.size(), kCount);
  for (std::uint64_t i = 0; i < kCount; ++i) {
    const std::uint64_t* value = map.find(i * 8);
    ASSERT_NE(value, nullptr) << i;
    EXPECT_EQ(*value, i + 1);
    auto [again, made] = map.try_emplace(i * 8);
    EXPECT_FALSE(made);
    EXPECT_EQ(again, value);
  }
  EXPECT_EQ(map.find(kCount * 8), nullptr);
  EXPECT_EQ(map.find(4), nullptr);
}

}  // namespace
}  // namespace busfold
