#include "buslog/frame_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "buslog/bus_classifier.h"
#include "buslog/channel_role.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/record_reader.h"
#include "tests/support/mdf_builder.h"

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

ChannelDecoder constant(std::string_view name, double value) {
  return channel(name, 0, 0, Conversion::linear(0, value));
}

Conversion dlc_table() {
  std::vector<std::pair<double, double>> pairs;
  const int lengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
  for (int dlc = 0; dlc < 16; ++dlc)
    pairs.emplace_back(dlc, lengths[dlc]);
  return Conversion::value_table(pairs);
}

// The classic layout of a logger: 48-bit microsecond timestamp, 11-bit id with the DLC in
// the top bits of the same 16, then 8 data bytes.
std::vector<ChannelDecoder> classic_channels() {
  return {channel("Timestamp", 0, 48, Conversion::linear(1e-6, 0)),
          constant("CAN_DataFrame.BusChannel", 2),
          channel("CAN_DataFrame.ID", 48, 11),
          constant("CAN_DataFrame.IDE", 0),
          channel("CAN_DataFrame.DLC", 60, 4, dlc_table()),
          channel("CAN_DataFrame.DataLength", 60, 4, dlc_table()),
          channel("CAN_DataFrame.DataBytes", 64, 64, {}, kValueKindByteArray),
          constant("CAN_DataFrame.Dir", 1)};
}

Bytes classic_record(std::uint64_t time_us, std::uint16_t id, std::uint8_t dlc) {
  Bytes record(16);
  for (int i = 0; i < 6; ++i)
    record[i] = static_cast<std::uint8_t>(time_us >> (8 * i));
  std::uint16_t id_and_dlc = static_cast<std::uint16_t>(id | dlc << 12);
  record[6] = static_cast<std::uint8_t>(id_and_dlc);
  record[7] = static_cast<std::uint8_t>(id_and_dlc >> 8);
  for (int i = 0; i < 8; ++i)
    record[8 + i] = static_cast<std::uint8_t>(0xD0 + i);
  return record;
}

struct Decoded {
  std::uint32_t result;
  BusFrame frame;
};

Decoded decode(RecordHandler handler, const std::vector<ChannelDecoder>& decoders,
               const Bytes& record, const Bytes& signal = {}) {
  Record r;
  r.record_bytes = record;
  r.signal_bytes = signal;
  r.decoders = decoders;
  Decoded out;
  std::memset(static_cast<void*>(&out.frame), 0xEE, sizeof out.frame);  // stale content
  out.result = handler(r, out.frame);
  return out;
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
      {{"Timestamp"}, false, decode_nothing, 0},
      {{"FlexRay_Frame.ID"}, false, decode_nothing, 0},
      {{"CAN_DataFrameX.ID", "CAN_DataFrame.ID"}, false, decode_nothing, 0},
      {{"LIN_TransmissionErrorX.ID", "LIN_TransmissionError.ID"}, false, decode_nothing, 0},
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

TEST(CanDataFrame, DecodesALoggerRecord) {
  std::vector<ChannelDecoder> decoders = classic_channels();
  Decoded d = decode(decode_can_data_frame, decoders, classic_record(1000003, 0x123, 9));
  ASSERT_EQ(d.result, 1u);
  const BusFrame& f = d.frame;
  EXPECT_EQ(f.kind, kCanDataFrame);
  EXPECT_EQ(f.can.microseconds, 3u);  // truncating the converted time would give 2
  EXPECT_EQ(f.key, 0x123u);
  EXPECT_EQ(f.can.dlc, 9);  // the code, not the table's 12 bytes
  EXPECT_EQ(f.data_length, 12u);
  EXPECT_EQ(f.can.bus + f.can.dir, 3);
  EXPECT_EQ(f.data, f.can.payload);
  EXPECT_EQ(f.can.payload[7], 0xD7);
  EXPECT_EQ(f.can.payload[8], 0);  // the frame was cleared

  // Flags are set when the value truncated toward zero is not 0.
  for (auto [value, ide] : {std::pair{0.4, 0}, {1.0, 1}, {-1.5, 1}, {NAN, 0}}) {
    decoders[3] = constant("CAN_DataFrame.IDE", value);
    EXPECT_EQ(decode(decode_can_data_frame, decoders, classic_record(0, 1, 8)).frame.can.ide, ide)
        << value;
  }
  // A member without a role, or a length beyond the payload: no frame, whatever came before.
  decoders = classic_channels();
  decoders.push_back(channel("CAN_DataFrame.Foo", 0, 8));
  Decoded unknown = decode(decode_can_data_frame, decoders, classic_record(0, 1, 8));
  EXPECT_EQ(unknown.result, kRecordNotDecoded);
  EXPECT_EQ(unknown.frame.kind, kFrameNone);
  EXPECT_EQ(unknown.frame.data, nullptr);
  decoders = classic_channels();
  decoders[5].conversion = Conversion::linear(10, 0);
  EXPECT_EQ(decode(decode_can_data_frame, decoders, classic_record(0, 1, 7)).result, 9u);
  EXPECT_EQ(decode(decode_can_data_frame, decoders, classic_record(0, 1, 6)).result, 1u);
}

TEST(CanDataFrame, PayloadCopiesAreBounded) {
  // FD over 8 bytes: the payload is the record's VLSD value.
  std::vector<ChannelDecoder> decoders = classic_channels();
  decoders[6].has_signal_data = true;
  auto signal = [](std::uint32_t length) {
    Bytes bytes = {static_cast<std::uint8_t>(length), 0, 0, 0};
    for (std::uint32_t i = 0; i < length; ++i)
      bytes.push_back(static_cast<std::uint8_t>(i + 1));
    return bytes;
  };
  Decoded full = decode(decode_can_data_frame, decoders, classic_record(0, 1, 15), signal(64));
  ASSERT_EQ(full.result, 1u);
  EXPECT_EQ(full.frame.can.payload[63], 64);
  EXPECT_EQ(decode(decode_can_data_frame, decoders, classic_record(0, 1, 15), signal(65)).result,
            9u);
  Bytes cut = signal(12);
  cut.resize(10);  // the length claims more than is there
  EXPECT_EQ(decode(decode_can_data_frame, decoders, classic_record(0, 1, 9), cut).result, 9u);
  EXPECT_EQ(decode(decode_can_data_frame, decoders, classic_record(0, 1, 9), {}).result, 9u);

  // A fixed byte array wider than the payload, or reaching past the record.
  decoders = classic_channels();
  decoders[6].bit_count = 65 * 8;
  Bytes wide = classic_record(0, 1, 8);
  wide.resize(8 + 65);
  EXPECT_EQ(decode(decode_can_data_frame, decoders, wide).result, 9u);
  decoders[6].bit_count = 9 * 8;
  EXPECT_EQ(decode(decode_can_data_frame, decoders, classic_record(0, 1, 8)).result, 9u);
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

TEST(OtherFrames, RemoteErrorAndLin) {
  std::vector<ChannelDecoder> remote = {channel("Timestamp", 0, 48, Conversion::linear(1e-6, 0)),
                                        constant("CAN_RemoteFrame.BusChannel", 1),
                                        channel("CAN_RemoteFrame.ID", 48, 11),
                                        constant("CAN_RemoteFrame.IDE", 0),
                                        channel("CAN_RemoteFrame.DLC", 60, 4, dlc_table()),
                                        channel("CAN_RemoteFrame.DataLength", 60, 4, dlc_table()),
                                        constant("CAN_RemoteFrame.Dir", 0)};
  Decoded r = decode(decode_can_remote_frame, remote, classic_record(2500000, 0x7FF, 10));
  ASSERT_EQ(r.result, 2u);
  EXPECT_EQ(r.frame.kind, kCanRemoteFrame);
  EXPECT_EQ(r.frame.can.rtr, 1);
  EXPECT_EQ(r.frame.can.dlc, 10);
  EXPECT_EQ(r.frame.data_length, 16u);
  EXPECT_EQ(r.frame.key, 0x7FFu);
  EXPECT_EQ(r.frame.can.payload[0], 0);
  remote.push_back(channel("CAN_DataFrame.DataBytes", 64, 64, {}, kValueKindByteArray));
  EXPECT_EQ(decode(decode_can_remote_frame, remote, classic_record(0, 1, 1)).result, 9u);

  std::vector<ChannelDecoder> error = {channel("Timestamp", 0, 48, Conversion::linear(1e-6, 0)),
                                       constant("CAN_ErrorFrame.BusChannel", 9),
                                       channel("CAN_ErrorFrame.ErrorType", 48, 8)};
  for (auto [type, expected] : {std::pair{3, 3u}, {7, 0u}, {0, 0u}, {5, 5u}}) {
    Bytes record(8, 0);
    record[2] = 1;  // 65536 µs
    record[6] = static_cast<std::uint8_t>(type);
    Decoded e = decode(decode_can_error_frame, error, record);
    ASSERT_EQ(e.result, 3u);
    EXPECT_EQ(e.frame.error.error_type, expected) << type;
    EXPECT_EQ(e.frame.error.bus, 9);
    EXPECT_DOUBLE_EQ(e.frame.time_s, 0.065536);
  }

  std::vector<ChannelDecoder> lin = {
      constant("LIN_Frame.BusChannel", 2), channel("LIN_Frame.ID", 0, 6),
      channel("LIN_Frame.DataLength", 8, 8),
      channel("LIN_Frame.Dir", 16, 8, Conversion::linear(0.5, 0)),
      channel("LIN_Frame.DataBytes", 24, 80, {}, kValueKindByteArray)};  // 10 bytes
  Bytes record = {0x3C, 8, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  Decoded l = decode(decode_lin_frame, lin, record);
  ASSERT_EQ(l.result, 4u);
  EXPECT_EQ(l.frame.key, 0x3Cu);
  EXPECT_EQ(l.frame.lin.bus, 2);
  EXPECT_EQ(l.frame.lin.dir, 1);  // 0.5 is not 0.0
  EXPECT_EQ(l.frame.data_length, 8u);
  EXPECT_EQ(l.frame.lin.payload[7], 8);  // the first 8 bytes only
  EXPECT_EQ(l.frame.data, l.frame.lin.payload);
  record[1] = 9;
  EXPECT_EQ(decode(decode_lin_frame, lin, record).result, 9u);
  Decoded nothing = decode(decode_nothing, lin, record);
  EXPECT_EQ(nothing.result, 9u);
  EXPECT_EQ(nothing.frame.kind, kFrameNone);
}

// A whole logger file opened with the bus classifier and walked as the pipeline does.
TEST(LoggerFile, ReferenceLoggerInput) {
  std::ifstream in(std::string(BUSFOLD_GOLDEN_DIR) + "/small_logger.mf4", std::ios::binary);
  Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  auto mdf = test::open_mdf(file, &bus_channel_classifier());
  ASSERT_TRUE(mdf);
  RecordReader reader(*block_cast<DgBlock>(mdf->hd()->data_groups.at(0)));
  BusFrame frame;
  RecordIterator it(reader, &frame);
  std::vector<BusFrame> frames;
  for (bool more = it.begin(); more; more = it.next())
    frames.push_back(frame);
  EXPECT_EQ(it.end(), ReadEnd::kEndOfData);
  ASSERT_EQ(frames.size(), 45u);
  std::uint64_t micros = 0, ids = 0, dlcs = 0, tx = 0;
  std::map<int, int> buses;
  for (const BusFrame& f : frames) {
    ASSERT_EQ(f.kind, kCanDataFrame);
    micros += f.can.seconds * std::uint64_t{1000000} + f.can.microseconds;
    ids += f.can.can_id;
    dlcs += f.can.dlc;
    tx += f.can.dir;
    ++buses[f.can.bus];
  }
  // Sums over the records as their bytes say.
  EXPECT_EQ(micros, 41388516u);
  EXPECT_EQ(ids, 5942840599u);
  EXPECT_EQ(dlcs, 329u);
  EXPECT_EQ(tx, 24u);
  EXPECT_EQ(buses, (std::map<int, int>{{1, 19}, {2, 10}, {9, 16}}));

  EXPECT_EQ(frames[0].can.payload[7], 8);
  const BusFrame& long_fd = frames[3];  // its payload from the signal data
  EXPECT_EQ(long_fd.data_length, 64u);
  EXPECT_EQ(long_fd.can.edl, 1);
  EXPECT_EQ(long_fd.can.payload[63], 0x85);
  EXPECT_EQ(frames[4].can.ide, 1);
}

}  // namespace
}  // namespace busfold
