// The block kinds and their codec: headers, fields, derived codes, placement on save.
#include <gtest/gtest.h>

#include <cstring>

#include "base/bytes.h"
#include "io/memory_stream.h"
#include "mdf/block_codec.h"
#include "mdf/cc_block.h"
#include "mdf/cg_block.h"
#include "mdf/cn_block.h"
#include "mdf/dg_block.h"
#include "mdf/field_cursor.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"
#include "mdf/si_block.h"
#include "mdf/text_block.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

using test::MdfBuilder;
using test::open_mdf;
namespace link = test::link;

TEST(BlockHeader, FileIdsAndUnknownIds) {
  // The identification block has no header: the stream goes back to its start.
  std::string id = "UnFinMF 4.11    QK      ";
  auto stream = memory_stream_from({reinterpret_cast<const std::uint8_t*>(id.data()), id.size()});
  Result<BlockHeader> header = read_block_header(*stream);
  ASSERT_TRUE(header.ok());
  EXPECT_EQ(header->kind, BlockType::kId);
  EXPECT_EQ(header->length, 64u);
  EXPECT_EQ(stream->tell(), 0);

  std::vector<std::uint8_t> raw(24, 0);
  std::memcpy(raw.data(), "##AB\x1b", 5);  // a control byte is masked
  Result<BlockHeader> unknown = read_block_header(*memory_stream_from(raw));
  EXPECT_EQ(unknown.status().messages(),
            std::vector<std::string>{"Unable to load block header for type ##AB?"});
  Result<BlockHeader> cut = read_block_header(*memory_stream_from(std::span(raw).first(23)));
  EXPECT_FALSE(cut.ok());
  EXPECT_TRUE(cut.status().messages().empty());
}

TEST(FieldCursor, SeeksBeforeEveryFieldAndSkipsWithoutWriting) {
  auto stream = memory_stream_from(std::vector<std::uint8_t>(32, 0xFF));
  FieldWriter out(*stream, 16);
  ASSERT_TRUE(out.field(std::uint16_t{0x0102}) && out.skip(1) && out.reserved(2));
  stream->seek(0, kSeekSet);  // wherever the stream stands, fields go to base + position
  ASSERT_TRUE(out.field(std::int32_t{-2}) && out.field(1.5));
  const std::uint8_t* bytes = stream->bytes().data();
  EXPECT_EQ(bytes[16], 0x02);
  EXPECT_EQ(bytes[18], 0xFF);  // skipped, left as the stream held it
  EXPECT_EQ(bytes[19], 0x00);  // reserved: zero
  EXPECT_EQ(load_le32(bytes + 21), 0xFFFFFFFEu);
  EXPECT_EQ(load_le_f64(bytes + 25), 1.5);

  FieldReader in(*stream, 16);
  std::int32_t a = 0;
  double b = 0;
  std::uint64_t c = 0;
  ASSERT_TRUE(in.skip(5) && in.field(a) && in.field(b));
  EXPECT_EQ(a, -2);
  EXPECT_EQ(b, 1.5);
  EXPECT_FALSE(in.field(c));  // short: fails and leaves the position
  EXPECT_EQ(in.position(), 17u);
}

TEST(BlockKinds, DerivedCodesAndSetters) {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group(2);
  std::uint64_t cg = b.add_channel_group(dg, {.flags = 5, .source = b.add_source("LIN1", 2, 3)});
  b.add_channel_group(dg, {.flags = 2, .source = b.add_source("", 1, 9)});
  // cn_type, cn_data_type → channel kind, value type.
  const std::uint32_t cases[][4] = {{0, 0, 0, 1},   {1, 1, 1, 0}, {2, 4, 2, 5}, {3, 6, 7, 7},
                                    {6, 10, 6, 11}, {4, 2, 7, 0}, {5, 12, 7, 0}};
  for (const auto& c : cases) {
    b.add_channel(cg, {.type = static_cast<std::uint8_t>(c[0]),
                       .data_type = static_cast<std::uint8_t>(c[1])});
  }
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  // Warnings in the order they arose: data types we do not decode, named by their own
  // value, then the second group that claims record id 0.
  EXPECT_EQ(mdf.warnings,
            (std::vector<std::string>{
                "Unsupported channel data type: 1", "Unsupported channel data type: 6",
                "Unsupported channel data type: 2", "Unsupported channel data type: 12",
                "Record id 0 is used by more than one channel group; the first one is kept"}));
  auto* group = block_cast<DgBlock>(mdf->hd()->data_groups[0]);
  auto* first = block_cast<CgBlock>(group->channel_groups[0]);
  auto* second = block_cast<CgBlock>(group->channel_groups[1]);
  EXPECT_TRUE(first->vlsd_group && !first->bus_event && first->plain_bus_event);
  EXPECT_TRUE(!second->vlsd_group && second->bus_event && !second->plain_bus_event);
  auto* lin = block_cast<SiBlock>(first->acq_source);
  auto* other = block_cast<SiBlock>(second->acq_source);
  EXPECT_EQ(std::make_pair(lin->source_kind, lin->bus_kind), std::make_pair(kSourceBus, kBusLin));
  EXPECT_EQ(std::make_pair(other->source_kind, other->bus_kind),
            std::make_pair(kSourceOther, kBusOther));
  ASSERT_EQ(first->channels.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    auto* cn = block_cast<CnBlock>(first->channels[i]);
    EXPECT_EQ(std::make_pair(cn->channel_kind, cn->value_type),
              std::make_pair(cases[i][2], cases[i][3]))
        << i;
  }

  CcBlock cc;
  cc.set_linear(10, 0.5);
  EXPECT_EQ(cc.length, 96u);
  EXPECT_FALSE(cc.value(2));
  EXPECT_FALSE(cc.set_value_table(std::vector<std::pair<double, double>>(40000)));
  CnBlock cn;  // setters write only the on-disk field, and only values they know
  cn.set_channel_kind(kChannelVlsd);
  cn.set_value_type(kValueByteArray);
  cn.set_channel_kind(3);
  cn.set_value_type(kValueUnsignedBe);
  EXPECT_EQ(cn.cn_type + cn.cn_data_type, 11);
}

TEST(BlockKinds, TextsAndTheirPlacement) {
  TxBlock tx;
  tx.set_text("abc");
  auto out = test::save_output();
  SaveContext ctx{out.get(), 1000, {}};
  ASSERT_TRUE(save_block(&tx, ctx, nullptr).ok());
  EXPECT_EQ(tx.offset, 1000u);
  EXPECT_EQ(ctx.end_mark, 1028u);
  EXPECT_EQ(std::memcmp(out->bytes().data() + 1024, "abc\0", 4), 0);
  MdBlock md;  // XML texts keep what follows them 8-byte aligned
  md.set_text("abcd");
  ctx.end_mark = 1000;
  ASSERT_TRUE(save_block(&md, ctx, nullptr).ok());
  EXPECT_EQ(ctx.end_mark, 1032u);

  MdfBuilder b;  // a TX of length 24 is an empty text; one text shared is one block
  b.set_link(MdfBuilder::kHdOffset, link::kHdComment, b.add_block("##TX", {}, {}));
  std::uint64_t cg = b.add_channel_group(b.add_data_group(), {});
  std::uint64_t shared = b.add_text("Shared");
  b.add_channel(cg, {.name_block = shared});
  b.add_channel(cg, {.name_block = shared});
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  EXPECT_TRUE(block_cast<TxBlock>(mdf->hd()->comment)->text.empty());
  auto* group =
      block_cast<CgBlock>(block_cast<DgBlock>(mdf->hd()->data_groups[0])->channel_groups[0]);
  EXPECT_EQ(block_cast<CnBlock>(group->channels[0])->name,
            block_cast<CnBlock>(group->channels[1])->name);
  EXPECT_EQ(test::save_to_bytes(*mdf->id), b.bytes());  // saved once, at its place
}

TEST(SaveTree, ChainsKeepTheirOrderAndNewBlocksGoToTheEnd) {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group(1);
  // A chain laid out backwards in the file keeps its link order.
  std::uint64_t last = b.add_channel_group(dg, {.record_id = 3});
  std::uint64_t first = b.add_channel_group(dg, {.record_id = 1});
  b.set_link(dg, link::kDgCgFirst, first);
  b.set_link(first, link::kCgNext, last);
  b.set_link(last, link::kCgNext, 0);
  std::uint64_t end = b.size();
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  auto* group = block_cast<DgBlock>(mdf->hd()->data_groups[0]);
  ASSERT_EQ(group->channel_groups.size(), 2u);
  EXPECT_EQ(block_cast<CgBlock>(group->channel_groups[0])->cg_record_id, 1u);

  auto added = std::make_shared<CgBlock>();
  auto name = std::make_shared<TxBlock>();
  name->set_text("new");
  added->acq_name = name;
  group->channel_groups.push_back(added);
  auto bytes = test::save_to_bytes(*mdf->id);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(added->offset, end);
  EXPECT_EQ(name->offset, end + 104);
  EXPECT_EQ(bytes->size(), end + 104 + 28);
  EXPECT_EQ(load_le64(bytes->data() + last + 24), end);  // the old last group's next
  bytes->resize(end);
  std::vector<std::uint8_t> expected = b.bytes();
  std::memcpy(expected.data() + last + 24, bytes->data() + last + 24, 8);
  EXPECT_TRUE(*bytes == expected);

  // A VLSD group that comes first in its chain is also a channel's data: whichever path
  // saves it first, its next link must still reach the group after it.
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
  // A link count the kind's links do not match: the block is not written and the save
  // of everything above it fails.
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

  // A channel longer than its fields would leave a hole: a failure that says where.
  CnBlock cn;
  cn.length = 168;
  SaveContext ctx{out.get(), 0, {}};
  Status saved = save_block(&cn, ctx, nullptr);
  EXPECT_EQ(saved.messages(), std::vector<std::string>{
                                  "Error during save. Expected to be at 168 but stream is at 160"});
}

}  // namespace
}  // namespace busfold
