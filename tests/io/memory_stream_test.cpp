#include "io/memory_stream.h"

#include <gtest/gtest.h>

namespace busfold {
namespace {

TEST(MemoryStream, WritingFiveBytesDoublesCapacityFromTwo) {
  auto stream = memory_stream_new();
  const std::uint8_t bytes[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(stream->write(bytes, 5), 5);
  EXPECT_EQ(stream->capacity(), 8u);
  EXPECT_EQ(stream->size(), 5u);
}

}  // namespace
}  // namespace busfold
