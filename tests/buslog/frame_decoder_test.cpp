#include "buslog/frame_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "buslog/bus_classifier.h"
#include "buslog/channel_role.h"
#include "buslog/frame_values.h"
#include "mdf/record_reader.h"

namespace busfold {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A leaf channel as a logger file describes it, with its role from its name.
ChannelDecoder channel(std::string_view name, std::uint64_t bit, std::uint64_t count,
                       Conversion conversion = Conversion::identity(),
                       ValueKind kind = kValueKindUnsigned) {
  ChannelDecoder decoder;
  decoder.name = name;
  decoder.bit_position = bit;
  decoder.bit_count = count;
  decoder.value_kind = kind;
  decoder.byte_order = kLittleEndian;
  decoder.conversion = std::move(conversion);
  classify_channel_name(decoder);
  return decoder;
}

TEST(BusClassifier, GroupsAreKnownByTheirOnePrefix) {
  struct Case {
    std::vector<std::string_view> names;
    bool recognised;
    RecordHandler handler;
    std::uint32_t kind;
  };
  const Case cases[] = {
      {{"Timestamp", "CAN_DataFrame.ID", "CAN_DataFrame.Foo"}, true, decode_can_data_frame, 1},
      {{"LIN_SyncError.ID"}, true, decode_nothing, 7},  // named by its bus channel
      {{"CAN_DataFrame.ID", "CAN_RemoteFrame.ID"}, false, decode_nothing, 0},
      {{"FlexRay_Frame.ID"}, false, decode_nothing, 0},
      {{"CAN_DataFrameX.ID", "CAN_DataFrame.ID"}, false, decode_nothing, 0},
      // Names of 22 characters without a dot add no prefix; longer ones have no role and
      // leave the group unrecognised, dot or not.
      {{"CAN_DataFrame.ID", "NoDotInTheseTwentyTwo!"}, true, decode_can_data_frame, 1},
      {{"CAN_DataFrame.ID", "NoDotInTheseTwentyTwo!.x"}, false, decode_nothing, 0},
      {{"CAN_DataFrame.ID", "NoDotInTheseTwentyTwo!!"}, false, decode_nothing, 0},
  };
  for (const Case& c : cases) {
    std::vector<ChannelDecoder> decoders;
    for (std::string_view name : c.names)
      decoders.push_back(channel(name, 0, 8));
    GroupClassification found = classify_channel_group(decoders);
    EXPECT_EQ(found.recognised, c.recognised) << c.names.back();
    EXPECT_EQ(found.handler, c.handler) << c.names.back();
    EXPECT_EQ(found.group_kind, c.kind) << c.names.back();
  }
  EXPECT_EQ(channel_role_of("can_dataframe.ID"), kRoleNone);
  EXPECT_EQ(channel_role_of("CAN_ErrorFrame.DLC"), kRoleNone);
}

// Shared by the general and the planned decoder, so the differential test cannot see them.
TEST(FrameValues, FlagsBytesAndWholeValues) {
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
}

TEST(FrameTime, NearestMicrosecond) {
  struct Case {
    double time;
    std::uint32_t seconds, microseconds;
  };
  const Case cases[] = {
      {12.3456789, 12, 345679},
      {0.9999996, 1, 0},
      {-1, 0, 0},
      {NAN, 0, 0},
      {-INFINITY, 0, 0},
      {INFINITY, UINT32_MAX, 999999},
      {5e9, UINT32_MAX, 999999},
      {4294967295.25, UINT32_MAX, 250000},
  };
  for (const Case& c : cases) {
    std::uint32_t seconds = 7, microseconds = 7;
    split_frame_time(c.time, seconds, microseconds);
    EXPECT_EQ(seconds, c.seconds) << c.time;
    EXPECT_EQ(microseconds, c.microseconds) << c.time;
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

}  // namespace
}  // namespace busfold
