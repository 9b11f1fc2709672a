// The block kinds and their codec: headers, derived codes, failed saves. (Saves of whole
// trees are held by the round trips of mdf_file_test.cpp and the reference outputs.)
#include <gtest/gtest.h>

#include <cstring>

#include "base/bytes.h"
#include "mdf/block_codec.h"
#include "mdf/cn_block.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

using test::MdfBuilder;
using test::open_mdf;

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
