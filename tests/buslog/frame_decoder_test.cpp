#include "buslog/frame_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "buslog/bus_classifier.h"
#include "buslog/can_decode_plan.h"
#include "buslog/channel_names.h"
#include "buslog/channel_role.h"
#include "buslog/frame_values.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/record_reader.h"
#include "tests/support/logger_file.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(BusClassifier, GroupsAreKnownByTheirOnePrefix) {
  // The channel names and the group's kind (0: not recognised); only CAN data-frame groups
  // get a record handler.
  const std::pair<std::vector<std::string_view>, std::uint32_t> cases[] = {
      {{"Timestamp", "CAN_DataFrame.ID", "CAN_DataFrame.Foo"}, kCanDataFrame},
      {{"LIN_SyncError.ID"}, kLinSyncError},  // named by its bus channel
      {{"CAN_DataFrame.ID", "CAN_RemoteFrame.ID"}, 0},
      {{"FlexRay_Frame.ID"}, 0},
      {{"CAN_DataFrameX.ID", "CAN_DataFrame.ID"}, 0},
      // Names of 22 characters without a dot add no prefix; longer ones have no role and
      // leave the group unrecognised, dot or not.
      {{"CAN_DataFrame.ID", "NoDotInTheseTwentyTwo!"}, kCanDataFrame},
      {{"CAN_DataFrame.ID", "NoDotInTheseTwentyTwo!.x"}, 0},
      {{"CAN_DataFrame.ID", "NoDotInTheseTwentyTwo!!"}, 0},
  };
  for (const auto& [names, kind] : cases) {
    std::vector<ChannelDecoder> decoders(names.size());
    for (std::size_t i = 0; i < decoders.size(); ++i) {
      decoders[i].name = names[i];
      classify_channel_name(decoders[i]);  // the role, from the name
    }
    GroupClassification found = classify_channel_group(decoders);
    EXPECT_EQ(found.recognised, kind != 0) << names.back();
    EXPECT_EQ(found.handler, kind == kCanDataFrame ? decode_can_data_frame : decode_nothing);
    EXPECT_EQ(found.group_kind, kind) << names.back();
  }
  EXPECT_EQ(channel_role_of("can_dataframe.ID"), kRoleNone);
  EXPECT_EQ(channel_role_of("CAN_ErrorFrame.DLC"), kRoleNone);
}

// Shared by the general and the planned decoder, so the differential test cannot see them.
TEST(FrameValues, FlagsBytesWholeValuesAndTimes) {
  for (auto [value, flag_bit, byte, whole] : {std::tuple{0.4, 0, 0, 0ull},
                                              {1.0, 1, 1, 1ull},
                                              {-1.5, 1, 255, UINT64_MAX},
                                              {NAN, 0, 0, 0ull},
                                              {300.7, 1, 44, 300ull},
                                              {1e30, 1, 0, 0ull}}) {
    EXPECT_EQ(flag(value), flag_bit) << value;
    EXPECT_EQ(byte_field(value), byte) << value;
    EXPECT_EQ(truncated(value), whole) << value;
  }
  // Times go to the nearest microsecond.
  for (auto [time, whole, micros] : {std::tuple{12.3456789, 12u, 345679u},
                                     {0.9999996, 1u, 0u},
                                     {-1.0, 0u, 0u},
                                     {NAN, 0u, 0u},
                                     {-INFINITY, 0u, 0u},
                                     {INFINITY, UINT32_MAX, 999999u},
                                     {5e9, UINT32_MAX, 999999u},
                                     {4294967295.25, UINT32_MAX, 250000u}}) {
    std::uint32_t seconds = 7, microseconds = 7;
    split_frame_time(time, seconds, microseconds);
    EXPECT_EQ(std::pair(seconds, microseconds), std::pair(whole, micros)) << time;
  }
  // Every microsecond count of a logger comes back exactly through the 0.000001 factor.
  Conversion to_seconds = Conversion::linear(1e-6, 0);
  for (std::uint64_t raw : {std::uint64_t{0}, std::uint64_t{1700000000123456}}) {
    for (std::uint64_t step = 0; step < 200000; step += 7) {
      std::uint32_t seconds, microseconds;
      split_frame_time(to_seconds.apply(static_cast<double>(raw + step)), seconds, microseconds);
      ASSERT_EQ(seconds * std::uint64_t{1000000} + microseconds, raw + step);
    }
  }
}

// The planned decoder of CAN data-frame groups against the general one: both run over the
// same records of random channel layouts and must make the same frames. (Logger files,
// which the pipeline decodes by plans, are held to their frames end to end.)

// Decodes the record both ways, each into the frame it decoded the previous record into.
// What the output takes from a frame must agree: all of a data frame, the time of any.
void expect_same_frames(const Record& record, BusFrame& general, BusFrame& planned,
                        const std::string& where) {
  const std::uint32_t general_result = decode_can_data_frame(record, general);
  const std::uint32_t planned_result = decode_planned_can_data_frame(record, planned);
  ASSERT_EQ(planned_result, general_result) << where;
  ASSERT_EQ(planned.kind, general.kind) << where;
  ASSERT_EQ(std::memcmp(&planned.time_s, &general.time_s, sizeof(double)), 0)
      << where << ": " << planned.time_s << " vs " << general.time_s;
  ASSERT_EQ(planned.data == nullptr, general.data == nullptr) << where;
  ASSERT_EQ(planned.data_length, general.data_length) << where;
  if (general.kind != kCanDataFrame) return;
  ASSERT_EQ(planned.key, general.key) << where;
  ASSERT_EQ(planned.can_payload_zero_from, general.can_payload_zero_from) << where;
  ASSERT_EQ(std::memcmp(&planned.can, &general.can, sizeof general.can), 0) << where;
}

// Logger files of every layout, walked as the pipeline walks them: classic, FD up to 8 and
// over 8 bytes, payloads in VLSD records or SD blocks, 1- and 2-byte record ids, several
// data groups, an unfinalized file cut inside its last record, and sorted files without ids.
TEST(CanDataPlan, LoggerFilesOfEveryLayout) {
  const std::vector<test::LoggerFrame> frames = test::mixed_can_frames(400, 7);
  const test::LoggerFileOptions shapes[] = {
      {.finalized = true},
      {.data_groups = 2},
      {.finalized = true, .data_groups = 2, .record_id_size = 1},
      {.record_id_size = 1, .signal_data_blocks = true},
      {.finalized = true, .data_groups = 2, .signal_data_blocks = true},
      {.finalized = true, .sorted = true},
  };
  for (const test::LoggerFileOptions& shape : shapes) {
    Bytes file = test::build_logger_file(frames, shape);
    if (!shape.finalized) file.resize(file.size() - 3);  // stops inside its last record
    const std::string where = "shape " + std::to_string(&shape - shapes);
    auto mdf = test::open_mdf(file, &bus_channel_classifier());
    ASSERT_TRUE(mdf) << where;
    std::size_t decoded = 0;
    for (const BlockRef& group : mdf->hd()->data_groups) {
      RecordReader reader(*block_cast<DgBlock>(group));
      BusFrame general{}, planned{};
      while (const Record* record = reader.next()) {
        if (record->group_kind != kCanDataFrame) continue;
        ASSERT_EQ(record->handler, decode_planned_can_data_frame) << where;
        expect_same_frames(*record, general, planned, where);
        decoded += general.kind == kCanDataFrame;
      }
      EXPECT_FALSE(read_end_failed(reader.end())) << where;
    }
    EXPECT_EQ(decoded, frames.size() - (shape.finalized ? 0 : 1)) << where;
  }
}

// Random layouts: every role as a constant, a narrow or wide field of either byte order,
// a float, or a field with a linear conversion or a table; the payload fixed, in signal
// data, or missing; records of random bytes, and signal values that are too long or cut.
TEST(CanDataPlan, RandomLayoutsAndHostileRecords) {
  std::mt19937_64 random(12345);
  auto below = [&random](std::uint64_t n) { return random() % n; };
  auto pick = [&below](std::initializer_list<double> values) {
    return *(values.begin() + below(values.size()));
  };
  std::vector<std::pair<double, double>> dlc_pairs;
  for (int i = 0; i < 16; ++i)
    dlc_pairs.emplace_back(i, i <= 8 ? i : 8 + 4 * (i - 8));
  const Conversion dlc_table = Conversion::value_table(dlc_pairs);
  const ChannelRole roles[] = {kRoleTimestamp, kRoleBusChannel, kRoleId,       kRoleIde,
                               kRoleDir,       kRoleEdl,        kRoleEsi,      kRoleBrs,
                               kRoleDlc,       kRoleDataLength, kRoleDataBytes};

  std::size_t planned_layouts = 0, data_frames = 0;
  for (int layout = 0; layout < 3000; ++layout) {
    const std::size_t record_size = 8 + below(65);
    // A third of the layouts as loggers' are: little-endian whole numbers, stored as read.
    const bool logger_like = below(3) == 0;
    std::vector<ChannelDecoder> decoders;
    bool unplannable = false;
    for (ChannelRole role : roles) {
      if (below(8) == 0) continue;  // absent
      ChannelDecoder d;
      d.role = role;
      d.byte_order = !logger_like && below(6) == 0 ? kBigEndian : kLittleEndian;
      if (role == kRoleDataBytes) {
        d.value_kind = kValueKindByteArray;
        if (below(3) == 0) {
          d.has_signal_data = true;
          d.bit_count = 32;
        } else {
          d.bit_count = 8 * static_cast<std::uint64_t>(pick({0, 1, 8, 12, 64, 65, 200}));
        }
        d.bit_position = 8 * below(record_size);
      } else {
        switch (logger_like && role != kRoleTimestamp ? 1 + below(2) : below(6)) {
        case 0:
          d.conversion = Conversion::linear(0, pick({0, 1, 0.4, -1.5, 300, NAN, 1e20}));
          break;
        case 1: d.bit_count = 1 + below(12); break;
        case 2: d.bit_count = 1 + below(64); break;
        case 3:
          d.value_kind = kValueKindFloat;
          d.bit_count = below(2) == 0 ? 32 : 64;
          break;
        case 4:
          d.bit_count = 1 + below(64);
          d.conversion =
              Conversion::linear(pick({1e-6, 1e-9, 0.5, 1, -1, 0, 10}), pick({0, 2, -3, 0.25}));
          break;
        default:
          d.bit_count = 4;
          d.conversion = dlc_table;
          break;
        }
        d.bit_position = below(record_size * 8 + 1 - std::min<std::uint64_t>(d.bit_count, 64));
        if (below(16) == 0) d.bit_position += 1 + below(64);  // now and then past the end
      }
      decoders.push_back(d);
    }
    // Now and then what only the general handler may decode: a channel without a role, a
    // role twice, signal data on another channel.
    if (below(20) == 0 && !decoders.empty()) {
      ChannelDecoder odd = decoders[below(decoders.size())];
      switch (below(3)) {
      case 0: odd.role = kRoleNone; break;
      case 1: break;
      default: odd.role = kRoleId; odd.has_signal_data = true;
      }
      unplannable = true;
      decoders.push_back(odd);
    }
    std::shuffle(decoders.begin(), decoders.end(), random);

    std::shared_ptr<const CanDataPlan> plan = plan_can_data_group(decoders);
    if (unplannable) {
      EXPECT_EQ(plan, nullptr) << layout;
      continue;
    }
    ASSERT_NE(plan, nullptr) << layout;
    ++planned_layouts;

    BusFrame general{}, planned{};
    for (int n = 0; n < 6; ++n) {
      // Half the records have the 8 bytes after them in the same memory, as views into a
      // file's windows do: bytes of whatever follows, which no field may show.
      Bytes bytes(record_size + 8), signal;
      for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
      if (below(3) != 0) {  // mostly small fields, so that frames come out
        for (std::size_t i = 0; i < record_size; ++i)
          bytes[i] &= 0x0F;
      }
      const auto length = static_cast<std::uint32_t>(pick({0, 8, 12, 64, 65, 300}));
      if (below(10) != 0) {
        signal = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8), 0, 0};
        signal.resize(4 + length - (below(8) == 0 ? 1 : 0), 0xA5);
      }
      Record record;
      record.record_bytes = std::span<const std::uint8_t>(bytes).first(record_size);
      record.padded = below(2) == 0;
      record.signal_bytes = signal;
      record.decoders = decoders;
      record.plan = plan.get();
      expect_same_frames(record, general, planned, "layout " + std::to_string(layout));
      data_frames += general.kind == kCanDataFrame;
    }
  }
  // The mix reaches both outcomes often.
  EXPECT_GT(planned_layouts, 2000u);
  EXPECT_GT(data_frames, 2000u);
  EXPECT_LT(data_frames, planned_layouts * 5);
}

}  // namespace
}  // namespace busfold
