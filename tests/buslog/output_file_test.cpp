// The output skeleton and its groups, checked against a reference file written
// independently of this code, and read back with our own loader.
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
#include "mdf/fh_block.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"
#include "mdf/si_block.h"
#include "mdf/text_block.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

// What the tool writes for an input without CAN data frames: template, LIN 1 and 2, CAN 1,
// 2 and 9, the input's start time, an empty data block, finalized.
std::vector<std::uint8_t> finished_file_without_frames(CanRecordIdTable& table) {
  BusLoggingFile built = create_bus_logging_file();
  if (!add_output_bus_groups(*built.file, built.bus_template, {}, table).ok()) return {};
  HdBlock* hd = built.file->hd();
  hd->hd_start_time_ns = 1700000000123456789u;
  auto* dg = block_cast<DgBlock>(hd->data_groups.at(0));
  dg->data = std::make_shared<DtBlock>();
  dg->dg_rec_id_size = 2;
  built.file->id_block()->id_unfin_flags = 0;
  return test::save_to_bytes(*built.file->id).value_or(std::vector<std::uint8_t>{});
}

std::vector<std::uint8_t> read_golden(const char* name) {
  std::ifstream in(std::string(BUSFOLD_GOLDEN_DIR) + "/" + name, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The CAN group names after "CANn_", in record-id order; "" for a VLSD group.
// clang-format off
constexpr const char* kCanGroupKinds[] = {
    "Rx", "Tx", "Rx_IDE", "Tx_IDE", "Rx_FD_DLC_up_to_8", "Tx_FD_DLC_up_to_8",
    "Rx_FD_IDE_DLC_up_to_8", "Tx_FD_IDE_DLC_up_to_8", "Rx_FD_DLC_over_8", "", "Tx_FD_DLC_over_8",
    "", "Rx_FD_IDE_DLC_over_8", "", "Tx_FD_IDE_DLC_over_8", "", "RTR_Rx", "RTR_Tx", "RTR_IDE_Rx",
    "RTR_IDE_Tx", "Errors"};
// clang-format on

std::vector<CgBlock*> groups_of(const MdfFile& file) {
  std::vector<CgBlock*> out;
  for (const BlockRef& group : block_cast<DgBlock>(file.hd()->data_groups.at(0))->channel_groups)
    out.push_back(block_cast<CgBlock>(group));
  return out;
}

TEST(OutputFile, WithoutFramesMatchesTheReferenceByteForByte) {
  CanRecordIdTable table;
  std::vector<std::uint8_t> ours = finished_file_without_frames(table);
  std::vector<std::uint8_t> golden = read_golden("no_frames_fin.MF4");
  ASSERT_FALSE(golden.empty());
  ASSERT_EQ(ours.size(), golden.size());
  auto diff = std::mismatch(ours.begin(), ours.end(), golden.begin());
  EXPECT_TRUE(diff.first == ours.end())
      << "first difference at offset " << (diff.first - ours.begin());
}

TEST(OutputFile, ReadsBackWithGroupsNamesFlagsAndComments) {
  CanRecordIdTable table;
  std::vector<std::uint8_t> bytes = finished_file_without_frames(table);
  test::OpenedMdf mdf = test::open_mdf(bytes);
  ASSERT_TRUE(mdf);

  const IdBlock* id = mdf->id_block();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), 24),
            std::string("MDF     4.11    QK     \0", 24));
  EXPECT_EQ(id->id_ver, 411);
  const HdBlock* hd = mdf->hd();
  EXPECT_EQ(hd->hd_time_flags, 2);
  EXPECT_EQ(hd->hd_start_time_ns, 1700000000123456789u);
  ASSERT_NE(block_cast<MdBlock>(hd->comment), nullptr);
  EXPECT_EQ(hd->comment->length, 902u);
  EXPECT_EQ(block_text(hd->comment).size(), 877u);
  ASSERT_EQ(hd->file_history.size(), 1u);
  std::string_view history = block_text(block_cast<FhBlock>(hd->file_history[0])->comment);
  EXPECT_EQ(history.size(), 181u);
  for (std::string_view part : {"<tool_id>QK</tool_id>", "<tool_vendor></tool_vendor>",
                                "<tool_version>01.07.05</tool_version>"}) {
    EXPECT_NE(history.find(part), std::string_view::npos) << part;
  }

  // Group names in record-id order; "" for a VLSD group, right after its owner.
  std::vector<std::string> names;
  for (const char* bus : {"LIN1_", "LIN2_"}) {
    for (const char* kind :
         {"Frame", "ChecksumError", "ReceiveError", "SynchronizationError", "TransmissionError"})
      names.push_back(std::string(bus) + kind);
  }
  for (const char* bus : {"CAN1_", "CAN2_", "CAN9_"}) {
    for (const char* kind : kCanGroupKinds)
      names.push_back(*kind != '\0' ? std::string(bus) + kind : "");
  }
  std::vector<CgBlock*> groups = groups_of(*mdf.file);
  ASSERT_EQ(groups.size(), names.size());
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const CgBlock* cg = groups[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(cg->cg_record_id, i);
    if (names[i].empty()) {
      EXPECT_EQ(cg->cg_flags, kCgFlagVlsd);
      EXPECT_EQ(cg->acq_name, nullptr);
      EXPECT_TRUE(cg->channels.empty());
      continue;
    }
    const bool can = names[i].starts_with("CAN");
    EXPECT_EQ(block_text(cg->acq_name), names[i]);
    EXPECT_EQ(cg->cg_flags, can ? 6 : 0);
    EXPECT_EQ(cg->cg_path_separator, can ? 0x2E : 0);
    const auto* si = block_cast<SiBlock>(cg->acq_source);
    ASSERT_NE(si, nullptr);
    EXPECT_EQ(si->si_bus_type, can ? kSiBusCan : kSiBusLin);
    EXPECT_EQ(block_text(si->name), names[i].substr(0, 4));
    EXPECT_EQ(block_text(si->comment).size(), 624u);
    const auto* timestamp = block_cast<CnBlock>(cg->channels.at(0));
    EXPECT_EQ(block_text(timestamp->comment).size(), can ? 65u : 61u);
  }
  // Each CAN bus takes 21 ids; the table sorts them by direction and group.
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

// What a reader checks before it trusts a channel group: every channel lies within the
// group's record, and every VLSD channel points at a VLSD group of the same data group.
TEST(OutputFile, EveryChannelFitsItsRecordAndEveryVlsdChannelHasItsGroup) {
  CanRecordIdTable table;
  std::vector<std::uint8_t> bytes = finished_file_without_frames(table);
  test::OpenedMdf mdf = test::open_mdf(bytes);
  ASSERT_TRUE(mdf);
  std::vector<CgBlock*> groups = groups_of(*mdf.file);
  std::size_t vlsd_channels = 0;
  for (const CgBlock* cg : groups) {
    if (cg->cg_flags & kCgFlagVlsd) continue;
    std::vector<const CnBlock*> pending;
    for (const BlockRef& channel : cg->channels)
      pending.push_back(block_cast<CnBlock>(channel));
    while (!pending.empty()) {
      const CnBlock* cn = pending.back();
      pending.pop_back();
      ASSERT_NE(cn, nullptr);
      for (const BlockRef& member : cn->members)
        pending.push_back(block_cast<CnBlock>(member));
      std::string where =
          std::string(block_text(cg->acq_name)) + " " + std::string(block_text(cn->name));
      EXPECT_LE(cn->cn_bit_offset, 7) << where;
      EXPECT_LE(cn->cn_byte_offset * 8u + cn->cn_bit_offset + cn->cn_bit_count,
                cg->cg_data_bytes * 8u)
          << where;
      if (cn->cn_type == kChannelVirtualData) {
        EXPECT_EQ(cn->cn_bit_count, 0u) << where;
      }
      if (cn->cn_type == kChannelVlsd) {
        ++vlsd_channels;
        const auto* target = block_cast<CgBlock>(cn->data);
        ASSERT_NE(target, nullptr) << where;
        EXPECT_EQ(target->cg_flags, kCgFlagVlsd) << where;
        EXPECT_NE(std::find(groups.begin(), groups.end(), target), groups.end()) << where;
        EXPECT_EQ(cn->cn_bit_count, 32u) << where;
      }
    }
  }
  EXPECT_EQ(vlsd_channels, 3 * 4u);
}

// A second bus set: demultiplexing targets, one between the fixed buses, and a repeated bus. Bus
// constants are shared by LIN and CAN of one number, and a new CAN bus gets its own.
TEST(OutputFile, ExtraBusesJoinTheFixedOnesInAscendingOrder) {
  const std::uint8_t extra[] = {12, 0, 2, 5, 12};
  EXPECT_EQ(output_can_buses(extra), (std::vector<std::uint8_t>{1, 2, 5, 9, 12}));
  EXPECT_EQ(output_can_buses({}), (std::vector<std::uint8_t>{1, 2, 9}));

  BusLoggingFile built = create_bus_logging_file();
  CanRecordIdTable table;
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
  std::vector<CgBlock*> groups = groups_of(*built.file);
  auto bus_channel = [](const CgBlock* cg) {
    return block_cast<CnBlock>(block_cast<CnBlock>(cg->channels.at(1))->members.at(0))->conversion;
  };
  EXPECT_EQ(bus_channel(groups[0]), t.bus_constants[1]);
  EXPECT_EQ(bus_channel(groups[10]), t.bus_constants[1]);

  // Every block placed so far has its own range of the file.
  std::vector<MdfBlock*> blocks = collect_blocks(built.file->id.get());
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  for (const MdfBlock* block : blocks) {
    if (block->offset != kNoOffset)
      ranges.emplace_back(block->offset, block->offset + block->length);
  }
  std::sort(ranges.begin(), ranges.end());
  for (std::size_t i = 1; i < ranges.size(); ++i)
    EXPECT_LE(ranges[i - 1].second, ranges[i].first) << ranges[i].first;
}

}  // namespace
}  // namespace busfold
