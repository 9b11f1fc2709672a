// The output skeleton and its groups, checked against a reference file written
// independently of this code.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "buslog/bus_template.h"
#include "buslog/output_groups.h"
#include "mdf/block_codec.h"
#include "mdf/cc_block.h"
#include "mdf/cg_block.h"
#include "mdf/cn_block.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

TEST(OutputFile, WithoutFramesMatchesTheReferenceByteForByte) {
  // What the tool writes for an input without CAN data frames: template, LIN 1 and 2, CAN 1,
  // 2 and 9, the input's start time, an empty data block, finalized.
  BusLoggingFile built = create_bus_logging_file();
  BusRecordIdTable table;
  ASSERT_TRUE(add_output_bus_groups(*built.file, built.bus_template, {}, table).ok());
  HdBlock* hd = built.file->hd();
  hd->hd_start_time_ns = 1700000000123456789u;
  auto* dg = block_cast<DgBlock>(hd->data_groups.at(0));
  dg->data = std::make_shared<DtBlock>();
  dg->dg_rec_id_size = 2;
  built.file->id_block()->id_unfin_flags = 0;
  const std::vector<std::uint8_t> ours =
      test::save_to_bytes(*built.file->id).value_or(std::vector<std::uint8_t>{});
  std::ifstream in(std::string(BUSFOLD_GOLDEN_DIR) + "/no_frames_fin.MF4", std::ios::binary);
  const std::vector<std::uint8_t> golden(std::istreambuf_iterator<char>(in), {});
  ASSERT_FALSE(golden.empty());
  ASSERT_EQ(ours.size(), golden.size());
  auto diff = std::mismatch(ours.begin(), ours.end(), golden.begin());
  EXPECT_TRUE(diff.first == ours.end())
      << "first difference at offset " << (diff.first - ours.begin());

  // The bytes do not hold the table the frames are written with: each CAN bus takes 21
  // ids after the 10 of LIN, sorted by direction and group.
  constexpr std::array<unsigned, kCanGroupSlots> kRx = {0, 2, 4, 6, 8, 9, 12, 13, 16, 18};
  constexpr std::array<unsigned, kCanGroupSlots> kTx = {1, 3, 5, 7, 10, 11, 14, 15, 17, 19};
  for (auto [bus, first] : {std::pair{1u, 10u}, {2u, 31u}, {9u, 52u}}) {
    const CanGroupRecordIds* ids = table.find(static_cast<std::uint8_t>(bus));
    ASSERT_NE(ids, nullptr);
    for (std::size_t k = 0; k < kCanGroupSlots; ++k) {
      EXPECT_EQ(ids->rx[k], first + kRx[k]) << bus;
      EXPECT_EQ(ids->tx[k], first + kTx[k]) << bus;
    }
    EXPECT_EQ(ids->errors, first + 20);
  }
  EXPECT_EQ(table.find(3), nullptr);
}

// Demultiplexing targets: one between the fixed buses and a repeated one. Bus constants are
// shared by LIN and CAN of one number, and a new CAN bus gets its own.
TEST(OutputFile, ExtraBusesJoinTheFixedOnesInAscendingOrder) {
  const std::uint8_t extra[] = {12, 0, 2, 5, 12};
  EXPECT_EQ(output_can_buses(extra), (std::vector<std::uint8_t>{1, 2, 5, 9, 12}));
  BusLoggingFile built = create_bus_logging_file();
  BusRecordIdTable table;
  ASSERT_TRUE(add_output_bus_groups(*built.file, built.bus_template, extra, table).ok());
  EXPECT_EQ(table.find(5)->rx[kIdsClassic11], 52u);
  EXPECT_EQ(table.find(9)->rx[kIdsClassic11], 73u);
  EXPECT_EQ(table.find(12)->errors, 94u + 20);
  EXPECT_EQ(table.find(0), nullptr);
  const BusTemplate& t = built.bus_template;
  for (unsigned bus : {1u, 2u, 5u, 9u, 12u}) {
    const auto* cc = block_cast<CcBlock>(t.bus_constants[bus]);
    ASSERT_NE(cc, nullptr) << bus;
    EXPECT_EQ(cc->values, (std::vector<double>{static_cast<double>(bus), 0})) << bus;
  }
  // LIN1_Frame's BusChannel and CAN1_Rx's share the constant of bus 1.
  const auto& groups = block_cast<DgBlock>(built.file->hd()->data_groups.at(0))->channel_groups;
  auto bus_channel = [&](std::size_t group) {
    const auto* cg = block_cast<CgBlock>(groups.at(group));
    return block_cast<CnBlock>(block_cast<CnBlock>(cg->channels.at(1))->members.at(0))->conversion;
  };
  EXPECT_EQ(bus_channel(0), t.bus_constants[1]);
  EXPECT_EQ(bus_channel(10), t.bus_constants[1]);

  // Every block placed so far has its own range of the file.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  for (const MdfBlock* block : collect_blocks(built.file->id.get())) {
    if (block->offset != kNoOffset)
      ranges.emplace_back(block->offset, block->offset + block->length);
  }
  std::sort(ranges.begin(), ranges.end());
  for (std::size_t i = 1; i < ranges.size(); ++i)
    EXPECT_LE(ranges[i - 1].second, ranges[i].first) << ranges[i].first;
}

}  // namespace
}  // namespace busfold
