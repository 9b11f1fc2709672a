#include "mdf/mdf_file.h"

#include <gtest/gtest.h>

#include "io/memory_stream.h"
#include "mdf/block_codec.h"
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

std::vector<std::uint8_t> filled(std::size_t n, std::uint8_t value) {
  return std::vector<std::uint8_t>(n, value);
}

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
  b.add_channel(cg, {.name = "Signal", .type = 1, .data = b.add_signal_data(filled(13, 0x5A))});
  b.add_data(dg, filled(37, 0xC3));
  b.add_data(b.add_data_group(), filled(8, 1));

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
    b.add_data(second, filled(8, 1));
    // The block with the largest offset is the last one, whichever group holds it; the
    // logger wrote its header before its data.
    std::uint64_t last_dt = b.add_data(first, filled(16, 2), 24);
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

TEST(MdfOpen, RefusesWhatIsNoMdfFile) {
  std::vector<std::uint8_t> bytes = MdfBuilder().bytes();
  EXPECT_TRUE(open_mdf(bytes));
  EXPECT_FALSE(open_mdf(std::span(bytes).first(87)));  // the HD header is cut
  EXPECT_FALSE(open_mdf(std::span(bytes).subspan(64)));
}

}  // namespace
}  // namespace busfold
