#include "mdf/mdf_file.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>

#include "io/memory_stream.h"
#include "mdf/block_codec.h"
#include "mdf/channel_decoder.h"
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

using Bytes = std::vector<std::uint8_t>;

DtBlock* data_of(const MdfFile& file, std::size_t group) {
  return block_cast<DtBlock>(block_cast<DgBlock>(file.hd()->data_groups.at(group))->data);
}

TEST(MdfOpen, RichFileRoundTripsByteForByte) {
  MdfBuilder b;
  b.set_start_time(123456789);
  b.patch_u16(MdfBuilder::kHdOffset + 80, static_cast<std::uint16_t>(-60));
  b.set_link(MdfBuilder::kHdOffset, link::kHdComment, b.add_xml("<HDcomment/>"));
  b.add_history();
  b.add_history("<FHcomment><tool_id>QK</tool_id><tool_version>2</tool_version></FHcomment>");
  std::uint64_t dg = b.add_data_group(1);
  std::uint64_t can = b.add_source("CAN1", 2, 2);
  std::uint64_t time = b.add_linear_conversion(0, 1e-6);
  b.set_link(time, link::kCcUnit, b.add_text("s"));
  b.set_link(time, link::kCcInverse, b.add_linear_conversion(0, 1e6));
  std::uint64_t cg = b.add_channel_group(
      dg, {.acq_name = "CAN1_Rx", .record_id = 1, .flags = 6, .data_bytes = 16, .source = can});
  std::uint64_t vlsd = b.add_channel_group(dg, {.record_id = 2, .flags = 1});
  b.add_channel(cg, {.name = "Timestamp", .type = 2, .bit_count = 48, .conversion = time});
  std::uint64_t frame = b.add_channel(cg, {.name = "CAN_DataFrame", .source = can});
  const std::pair<double, double> dlc[] = {{9, 12}, {10, 16}};
  b.add_member(frame, {.name = "DLC", .bit_offset = 4, .conversion = b.add_value_table(dlc)});
  b.add_member(frame, {.name = "DataBytes", .type = 1, .data_type = 10, .data = vlsd});
  b.add_channel(cg, {.name = "Signal", .type = 1, .data = b.add_signal_data(Bytes(13, 0x5A))});
  b.add_data(dg, Bytes(37, 0xC3));
  b.add_data(b.add_data_group(), Bytes(8, 1));

  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  EXPECT_EQ(mdf->hd()->hd_start_time_ns, 123456789u);
  EXPECT_EQ(block_text(mdf->hd()->comment), "<HDcomment/>");
  auto saved = test::save_to_bytes(*mdf->id);
  ASSERT_TRUE(saved);
  EXPECT_TRUE(*saved == b.bytes());
}

TEST(MdfOpen, UnfinalizedLastDataBlockIsRepaired) {
  struct Case {
    std::uint16_t flags, custom, flags_after;
    const char* saved_id;
  };
  for (const Case& c : {Case{4, 0, 0, "MDF     "}, Case{5, 0, 1, "UnFinMF "},
                        Case{0, 1, 0, "UnFinMF "}, Case{0, 0, 0, "MDF     "}}) {
    MdfBuilder b;
    b.set_unfinalized(c.flags, c.custom);
    std::uint64_t first = b.add_data_group();
    std::uint64_t second = b.add_data_group();
    b.add_data_group();  // no data block
    b.add_data(second, Bytes(8, 1));
    // The block with the largest offset is the last one, whichever group holds it; the
    // logger wrote its header before its data.
    std::uint64_t last_dt = b.add_data(first, Bytes(16, 2), 24);
    b.patch_bytes(b.size(), "\3\3\3\3\3");  // unaligned tail

    auto mdf = open_mdf(b.bytes());
    ASSERT_TRUE(mdf) << c.flags;
    EXPECT_EQ(mdf->id_block()->id_unfin_flags, c.flags_after);
    EXPECT_EQ(mdf->id_block()->id_custom_unfin_flags, c.custom);
    EXPECT_EQ(data_of(*mdf.file, 0)->length, (c.flags & 4) != 0 ? b.size() - last_dt : 24);
    EXPECT_EQ(data_of(*mdf.file, 1)->length, 32u);  // untouched
    auto saved = test::save_to_bytes(*mdf->id);
    ASSERT_TRUE(saved);
    EXPECT_EQ(std::string(saved->begin(), saved->begin() + 8), c.saved_id);
  }
}

// The block kinds and their codec: headers, derived codes, failed saves. (Saves of whole
// trees are held by the round trips above and the reference outputs.)
// (That the identification block, which has no header, is read from its start, every load
// holds.)
TEST(BlockHeader, UnknownIdsAndFilesThatAreNoMdf) {
  std::vector<std::uint8_t> raw(24, 0);
  std::memcpy(raw.data(), "##AB\x1b", 5);  // a control byte is masked
  EXPECT_EQ(read_block_header(*memory_stream_from(raw)).status().messages(),
            std::vector<std::string>{"Unable to load block header for type ##AB?"});
  // No MDF file: the HD header cut, or no identification block.
  const std::vector<std::uint8_t> bytes = MdfBuilder().bytes();
  EXPECT_FALSE(open_mdf(std::span(bytes).first(87)));
  EXPECT_FALSE(open_mdf(std::span(bytes).subspan(64)));
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
