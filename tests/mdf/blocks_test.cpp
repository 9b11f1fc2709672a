// The block kinds and their codec: headers, fields, derived codes, data windows, saves.
#include <gtest/gtest.h>

#include <cstring>

#include "base/bytes.h"
#include "mdf/block_codec.h"
#include "mdf/cn_block.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"
#include "mdf/text_block.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

using test::MdfBuilder;
using test::open_mdf;
namespace link = test::link;

TEST(BlockHeader, IdBlockAndUnknownIds) {
  // The identification block has no header: the stream goes back to its start.
  auto id = memory_stream_from(MdfBuilder().bytes());
  Result<BlockHeader> header = read_block_header(*id);
  ASSERT_TRUE(header.ok());
  EXPECT_EQ(std::make_pair(header->kind, header->length), std::make_pair(BlockType::kId, 64ul));
  EXPECT_EQ(id->tell(), 0);
  std::vector<std::uint8_t> raw(24, 0);
  std::memcpy(raw.data(), "##AB\x1b", 5);  // a control byte is masked
  EXPECT_EQ(read_block_header(*memory_stream_from(raw)).status().messages(),
            std::vector<std::string>{"Unable to load block header for type ##AB?"});
}

TEST(BlockKinds, DerivedCodesAndWarnings) {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group(2);
  std::uint64_t cg = b.add_channel_group(dg, {.flags = 5, .source = b.add_source("LIN1", 2, 3)});
  b.add_channel_group(dg, {.flags = 2, .source = b.add_source("", 1, 9)});
  // cn_type, cn_data_type.
  const std::uint8_t cases[][2] = {{0, 0}, {1, 1}, {2, 4}, {3, 6}, {6, 10}, {4, 2}, {5, 12}};
  for (const auto& c : cases)
    b.add_channel(cg, {.type = c[0], .data_type = c[1]});
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  EXPECT_EQ(mdf.warnings,
            (std::vector<std::string>{
                "Unsupported channel data type: 1", "Unsupported channel data type: 6",
                "Unsupported channel data type: 2", "Unsupported channel data type: 12",
                "Record id 0 is used by more than one channel group; the first one is kept"}));
  CgBlock& first = test::group_at(*mdf.file);
  CgBlock& second = test::group_at(*mdf.file, 0, 1);
  EXPECT_TRUE(first.vlsd_group && !first.bus_event && first.plain_bus_event);
  EXPECT_TRUE(!second.vlsd_group && second.bus_event && !second.plain_bus_event);
  auto* vlsd = block_cast<CnBlock>(first.channels[1]);
  EXPECT_EQ(vlsd->channel_kind + vlsd->value_type, 1u);
}

TEST(SaveTree, ChainsAndSharedTextsKeepTheirPlaces) {
  // A chain laid out backwards keeps its link order; a TX of length 24 is an empty text;
  // one text shared is one block, saved once at its place.
  MdfBuilder b;
  b.set_link(MdfBuilder::kHdOffset, link::kHdComment, b.add_block("##TX", {}, {}));
  std::uint64_t dg = b.add_data_group(1);
  std::uint64_t last = b.add_channel_group(dg, {.record_id = 3});
  std::uint64_t first = b.add_channel_group(dg, {.record_id = 1});
  b.set_link(dg, link::kDgCgFirst, first);
  b.set_link(first, link::kCgNext, last);
  b.set_link(last, link::kCgNext, 0);
  std::uint64_t shared = b.add_text("Shared");
  b.add_channel(first, {.name_block = shared});
  b.add_channel(first, {.name_block = shared});
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  EXPECT_TRUE(block_cast<TxBlock>(mdf->hd()->comment)->text.empty());
  CgBlock& group = test::group_at(*mdf.file);
  EXPECT_EQ(group.cg_record_id, 1u);
  EXPECT_EQ(block_cast<CnBlock>(group.channels[0])->name,
            block_cast<CnBlock>(group.channels[1])->name);
  EXPECT_EQ(test::save_to_bytes(*mdf->id), b.bytes());

  // A VLSD group first in its chain is also a channel's data: whichever path saves it
  // first, its next link must still reach the group after it.
  MdfBuilder v;
  std::uint64_t dg2 = v.add_data_group(1);
  std::uint64_t vlsd = v.add_channel_group(dg2, {.record_id = 2, .flags = 1});
  std::uint64_t user = v.add_channel_group(dg2, {.record_id = 1, .data_bytes = 4});
  v.add_channel(user, {.type = 1, .data_type = 10, .bit_count = 32, .data = vlsd});
  auto vlsd_file = open_mdf(v.bytes());
  ASSERT_TRUE(vlsd_file);
  EXPECT_EQ(test::save_to_bytes(*vlsd_file->id), v.bytes());
}

TEST(SaveTree, FailuresAreReported) {
  // A link count the kind does not have: the block is not written, the save above fails.
  auto id = std::make_shared<IdBlock>();
  auto hd = std::make_shared<HdBlock>();
  auto dg = std::make_shared<DgBlock>();
  auto cg = std::make_shared<CgBlock>();
  id->hd = hd;
  hd->data_groups.push_back(dg);
  dg->channel_groups.push_back(cg);
  cg->link_count = 7;
  auto out = test::save_output();
  EXPECT_FALSE(save_tree(*id, *out).ok());
  EXPECT_LE(out->size(), cg->offset);
  CnBlock cn;  // longer than its fields would leave a hole: a failure that says where
  cn.length = 168;
  SaveContext ctx{out.get(), 0, {}};
  EXPECT_EQ(
      save_block(&cn, ctx, nullptr).messages(),
      std::vector<std::string>{"Error during save. Expected to be at 168 but stream is at 160"});
}

}  // namespace
}  // namespace busfold
