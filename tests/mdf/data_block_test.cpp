#include "mdf/data_block.h"

#include <gtest/gtest.h>

#include <numeric>

#include "io/bytes.h"
#include "io/memory_stream.h"
#include "mdf/block_codec.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

std::vector<std::uint8_t> counting(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
  return bytes;
}

TEST(DataBlock, ReadStreamIsAWindowOfTheSource) {
  auto source = memory_stream_from(counting(100));
  DtBlock dt;
  dt.set_source(source.get(), 10, 50); // bytes 10..59
  EXPECT_EQ(dt.length, 74u);
  Stream &data = dt.read_stream();

  std::uint8_t buffer[64];
  EXPECT_EQ(data.read(buffer, 5), 5);
  EXPECT_EQ(buffer[0], 10);
  EXPECT_EQ(data.tell(), 5);
  // Reads stop at the end of the window even where the source goes on.
  EXPECT_EQ(data.seek(40, kSeekSet), 40);
  EXPECT_EQ(data.read(buffer, 64), 10);
  EXPECT_EQ(buffer[9], 59);
  EXPECT_EQ(data.read(buffer, 64), 0);
  // Seeks beyond the data land at its end; negative targets fail and leave the position.
  EXPECT_EQ(data.seek(1000, kSeekSet), 50);
  EXPECT_EQ(data.seek(-3, kSeekEnd), 47);
  EXPECT_EQ(data.seek(-100, kSeekCur), kStreamError);
  EXPECT_EQ(data.tell(), 47);
  EXPECT_EQ(data.seek(0, 7), kStreamError);
  EXPECT_EQ(stream_size(&data), 50);
  // Views come from the source with the window's offset, and stay inside the window.
  ASSERT_NE(data.view(0, 50), nullptr);
  EXPECT_EQ(data.view(3, 1)[0], 13);
  EXPECT_EQ(data.view(45, 6), nullptr);
  EXPECT_EQ(data.write(buffer, 1), kStreamNotOffered);

  // A source that moved elsewhere does not matter: every read places it first.
  source->seek(0, kSeekSet);
  data.seek(0, kSeekSet);
  source->seek(90, kSeekSet);
  EXPECT_EQ(data.read(buffer, 1), 1);
  EXPECT_EQ(buffer[0], 10);
}

TEST(DataBlock, SaveCopiesTheDataAfterTheHeader) {
  auto source = memory_stream_from(counting(10000));
  SdBlock sd;
  sd.set_source(source.get(), 100, 9000);
  sd.read_stream().seek(500, kSeekSet); // the copy starts from the data's start anyway
  auto out = test::save_output();
  SaveContext ctx{out.get(), 8, {}};
  ASSERT_TRUE(save_block(&sd, ctx, nullptr));
  EXPECT_EQ(sd.offset, 8u);
  EXPECT_EQ(ctx.end_mark, 8u + 9024);
  ASSERT_EQ(out->size(), 8u + 9024);
  const std::uint8_t *bytes = out->bytes().data();
  EXPECT_EQ(std::string(bytes + 8, bytes + 12), "##SD");
  EXPECT_EQ(load_le64(bytes + 16), 9024u);
  EXPECT_EQ(bytes[32], 100);
  EXPECT_EQ(bytes[32 + 8999], static_cast<std::uint8_t>(9099));

  // Without a source only the header is written.
  DtBlock empty;
  out = test::save_output();
  ctx = SaveContext{out.get(), 0, {}};
  ASSERT_TRUE(save_block(&empty, ctx, nullptr));
  EXPECT_EQ(out->size(), 24u);
  EXPECT_EQ(ctx.end_mark, 24u);

  // A source holding less than the length claims: the save says so.
  auto short_source = memory_stream_from(counting(10));
  DtBlock short_block;
  short_block.set_source(short_source.get(), 0, 20);
  out = test::save_output();
  ctx = SaveContext{out.get(), 0, {}};
  EXPECT_FALSE(save_block(&short_block, ctx, nullptr));
}

TEST(DataBlock, OwnedSourceGoesWithTheBlock) {
  auto block = std::make_unique<DtBlock>();
  block->set_source(memory_stream_from(counting(16)), 0, 16);
  EXPECT_TRUE(block->owns_source());
  std::uint8_t byte = 0;
  block->read_stream().seek(15, kSeekSet);
  EXPECT_EQ(block->read_stream().read(&byte, 1), 1);
  EXPECT_EQ(byte, 15);
  block.reset(); // the sanitizer checks that nothing leaks
}

} // namespace
} // namespace busfold
