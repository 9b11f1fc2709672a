#include "mdf/block_codec.h"

#include <gtest/gtest.h>

#include <cstring>

#include "io/memory_stream.h"
#include "mdf/cg_block.h"
#include "mdf/cn_block.h"
#include "mdf/dg_block.h"
#include "mdf/field_cursor.h"
#include "mdf/hd_block.h"
#include "mdf/text_block.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

using test::MdfBuilder;
using test::open_mdf;

TEST(BlockHeader, FileIdsAndUnknownIds) {
  // The identification block has no header: the stream goes back to its start.
  std::string id = "UnFinMF 4.11    QK      ";
  auto stream = memory_stream_from({reinterpret_cast<const std::uint8_t*>(id.data()), id.size()});
  auto header = read_block_header(*stream);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->kind, BlockType::kId);
  EXPECT_EQ(header->length, 64u);
  EXPECT_EQ(stream->tell(), 0);

  std::vector<std::uint8_t> raw(24, 0);
  std::memcpy(raw.data(), "##AB", 4);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(read_block_header(*memory_stream_from(raw)));
  EXPECT_NE(
      testing::internal::GetCapturedStderr().find("Unable to load block header for type ##AB\n"),
      std::string::npos);
  // A short header fails silently.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(read_block_header(*memory_stream_from(std::span(raw).first(23))));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(FieldCursor, SeeksBeforeEveryFieldAndSkipsWithoutWriting) {
  auto stream = memory_stream_from(std::vector<std::uint8_t>(32, 0xFF));
  FieldCursor out(*stream, 16);
  ASSERT_TRUE(out.write_u16(0x0102));
  out.skip(3);
  stream->seek(0, kSeekSet);  // wherever the stream stands, fields go to base + position
  ASSERT_TRUE(out.write_u32(0xA0B0C0D0));
  EXPECT_EQ(out.position(), 9u);
  const std::uint8_t* bytes = stream->bytes().data();
  EXPECT_EQ(bytes[16], 0x02);
  EXPECT_EQ(bytes[18], 0xFF);  // skipped, left as the stream held it
  EXPECT_EQ(bytes[21], 0xD0);

  FieldCursor in(*stream, 16);
  std::uint16_t a = 0;
  std::uint32_t b = 0;
  std::uint64_t c = 0;
  in.skip(5);
  ASSERT_TRUE(in.read_u32(b));
  EXPECT_EQ(b, 0xA0B0C0D0u);
  ASSERT_TRUE(in.read_u16(a));
  EXPECT_FALSE(in.read_u64(c));  // short: fails and leaves the position
  EXPECT_EQ(in.position(), 11u);
}

TEST(LoadBlock, SharedTextBecomesOneBlockAndIsSavedOnce) {
  MdfBuilder b;
  std::uint64_t cg = b.add_channel_group(b.add_data_group(), {});
  std::uint64_t shared = b.add_text("Shared");
  b.add_channel(cg, {.name_block = shared});
  b.add_channel(cg, {.name_block = shared});
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  auto* group =
      block_cast<CgBlock>(block_cast<DgBlock>(mdf->hd()->data_groups[0])->channel_groups[0]);
  auto* first = block_cast<CnBlock>(group->channels[0]);
  EXPECT_EQ(first->name, block_cast<CnBlock>(group->channels[1])->name);
  EXPECT_EQ(first->name.use_count(), 2);
  EXPECT_EQ(first->name->offset, shared);
  EXPECT_EQ(first->conversion, nullptr);  // a link of 0 is no block
  // Saved once at its place; a save into new memory gives the file back.
  EXPECT_EQ(test::save_to_bytes(*mdf->id), b.bytes());
}

TEST(LoadBlock, ChainsLoadInFileOrder) {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group(1);
  for (std::uint64_t i = 0; i < 3; ++i)
    b.add_channel_group(dg, {.record_id = 10 + i});
  // A chain laid out backwards in the file keeps its link order.
  std::uint64_t dg2 = b.add_data_group(1);
  std::uint64_t last = b.add_channel_group(dg2, {.record_id = 3});
  std::uint64_t first = b.add_channel_group(dg2, {.record_id = 1});
  b.set_link(dg2, test::link::kDgCgFirst, first);
  b.set_link(first, test::link::kCgNext, last);
  b.set_link(last, test::link::kCgNext, 0);

  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  auto record_ids = [&](std::size_t group) {
    std::vector<std::uint64_t> ids;
    for (const BlockRef& cg : block_cast<DgBlock>(mdf->hd()->data_groups[group])->channel_groups) {
      ids.push_back(block_cast<CgBlock>(cg)->cg_record_id);
    }
    return ids;
  };
  EXPECT_EQ(record_ids(0), (std::vector<std::uint64_t>{10, 11, 12}));
  EXPECT_EQ(record_ids(1), (std::vector<std::uint64_t>{1, 3}));
}

TEST(CollectBlocks, DepthFirstPreOrderEachBlockOnce) {
  auto hd = std::make_shared<HdBlock>();
  auto dg = std::make_shared<DgBlock>();
  auto cg = std::make_shared<CgBlock>();
  auto cn1 = std::make_shared<CnBlock>();
  auto cn2 = std::make_shared<CnBlock>();
  auto name = std::make_shared<TxBlock>();
  auto comment = std::make_shared<MdBlock>();
  hd->comment = comment;
  hd->data_groups = {dg};
  dg->channel_groups = {cg};
  cg->channels = {cn1, cn2};
  cn1->name = cn2->name = name;
  cn2->comment = comment;
  std::vector<MdfBlock*> expected = {hd.get(),  comment.get(), dg.get(), cg.get(),
                                     cn1.get(), name.get(),    cn2.get()};
  EXPECT_EQ(collect_blocks(hd.get()), expected);
  EXPECT_TRUE(collect_blocks(nullptr).empty());
}

TEST(BlockCast, YieldsNullOnKindMismatch) {
  BlockRef md = create_block(BlockType::kMd);
  EXPECT_NE(block_cast<TextBlock>(md), nullptr);
  EXPECT_EQ(block_cast<TxBlock>(md), nullptr);
  EXPECT_EQ(block_cast<MdBlock>(BlockRef()), nullptr);
  EXPECT_EQ(md->offset, kNoOffset);
}

}  // namespace
}  // namespace busfold
