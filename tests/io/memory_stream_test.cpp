#include "io/memory_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace busfold {
namespace {

TEST(MemoryStream, SeekFromEndPastContentExtendsWithZeros) {
  auto stream = memory_stream_new();
  const std::uint8_t bytes[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(stream->write(bytes, 5), 5);
  EXPECT_EQ(stream->seek(3, kSeekEnd), 8);
  EXPECT_EQ(stream->size(), 8u);
  EXPECT_EQ(stream->tell(), 8);
  EXPECT_EQ(std::vector<std::uint8_t>(stream->bytes().begin(), stream->bytes().end()),
            (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 0, 0, 0}));
  // Past the capacity from the start, nothing grows and the position stays.
  EXPECT_EQ(stream->seek(100, kSeekSet), kStreamError);
  EXPECT_EQ(stream->tell(), 8);
  EXPECT_EQ(stream->seek(INT64_MAX, kSeekCur), kStreamError);
  EXPECT_EQ(stream->seek(0, 7), kStreamError);
}

TEST(MemoryStream, CapacityDoublesFromTwo) {
  auto stream = memory_stream_new();
  std::vector<std::uint64_t> capacities;
  const std::uint8_t byte = 9;
  for (int i = 0; i < 5; ++i) {
    stream->write(&byte, 1);
    capacities.push_back(stream->capacity());
  }
  EXPECT_EQ(capacities, (std::vector<std::uint64_t>{2, 2, 4, 4, 8}));
}

}  // namespace
}  // namespace busfold
