#include "mdf/data_block.h"

#include <gtest/gtest.h>

#include <numeric>

#include "base/bytes.h"
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
  dt.set_source(source.get(), 10, 50);  // bytes 10..59
  EXPECT_EQ(dt.length, 74u);
  Stream& data = dt.read_stream();

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
  // Views come from the source with the window's offset, and stay inside the window.
  ASSERT_NE(data.view(0, 50), nullptr);
  EXPECT_EQ(data.view(3, 1)[0], 13);
  EXPECT_EQ(data.view(45, 6), nullptr);

  // A source that moved elsewhere does not matter: every read places it first.
  data.seek(0, kSeekSet);
  source->seek(90, kSeekSet);
  EXPECT_EQ(data.read(buffer, 1), 1);
  EXPECT_EQ(buffer[0], 10);
}

TEST(DataBlock, SaveCopiesTheDataAfterTheHeader) {
  auto source = memory_stream_from(counting(10000));
  auto sd = std::make_unique<SdBlock>();
  sd->set_source(source.get(), 100, 9000);
  sd->read_stream().seek(500, kSeekSet);  // the copy starts from the data's start anyway
  auto out = test::save_output();
  SaveContext ctx{out.get(), 8, {}};
  ASSERT_TRUE(save_block(sd.get(), ctx, nullptr).ok());
  EXPECT_EQ(ctx.end_mark, 8u + 9024);
  ASSERT_EQ(out->size(), 8u + 9024);
  EXPECT_EQ(load_le64(out->bytes().data() + 16), 9024u);
  EXPECT_EQ(out->bytes()[32 + 8999], static_cast<std::uint8_t>(9099));

  // Without a source only the header is written; a short source makes the save fail.
  for (std::uint64_t size : {0, 20}) {
    DtBlock dt;
    auto short_source = memory_stream_from(counting(10));
    if (size != 0) dt.set_source(short_source.get(), 0, size);
    ctx = SaveContext{out.get(), 0, {}};
    EXPECT_EQ(save_block(&dt, ctx, nullptr).ok(), size == 0);
    EXPECT_EQ(ctx.end_mark, 24 + size);
  }

  // An owned source goes with its block (the sanitizer checks that nothing leaks).
  sd->set_source(memory_stream_from(counting(16)), 0, 16);
  EXPECT_TRUE(sd->owns_source());
  EXPECT_EQ(stream_size(&sd->read_stream()), 16);
}

}  // namespace
}  // namespace busfold
