// The mux option and how the record callback routes carrier frames. (Reassembly and
// embedded frames are held to their frames end to end.)
#include "app/demux.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "app/busfold_tool.h"
#include "io/memory_stream.h"

namespace busfold {
namespace {

using Bytes = std::vector<std::uint8_t>;

// first, first + 1, ... preceded by the head bytes.
Bytes counting(Bytes head, std::size_t first, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    head.push_back(static_cast<std::uint8_t>(first + i));
  return head;
}

TEST(DemuxOption, ParsesValuesIntoTheTable) {
  const std::pair<const char*, DemuxTable> parsed[] = {{"7DF:1;2", {{0x7DF, {1, 2}}}},
                                                       {"18DAF100:3", {{0x98DAF100, {3}}}},
                                                       {"000:1", {{0, {1}}}},
                                                       {"7DF:", {{0x7DF, {0}}}},
                                                       {"7df:1;", {{0x7DF, {1, 0}}}}};
  for (const auto& [value, expected] : parsed) {
    DemuxTable table;
    std::size_t failed = 0;
    EXPECT_EQ(parse_demux_values(std::vector{value}, table, failed), kDemuxParsed) << value;
    EXPECT_EQ(table, expected) << value;
  }
  // Trailing or leading characters that strtoul would skip or stop at are refused.
  const std::pair<const char*, int> refused[] = {
      {"7DF", -1},   {"7D:1", -2},   {"XYZ:1", -3},  {"7DG:1", -3},         {"0x7DF000:1", -3},
      {"7DF:a", -4}, {"7DF:1x", -4}, {"7DF:-1", -4}, {"7DF:4294967296", -4}};
  for (const auto& [value, code] : refused) {
    DemuxTable table;
    std::size_t failed = 9;
    EXPECT_EQ(parse_demux_values(std::vector{value}, table, failed), code) << value;
    EXPECT_EQ(failed, 0u) << value;
  }
  // A key given again keeps its first list; the failure names the value that failed.
  DemuxTable table;
  std::size_t failed = 0;
  EXPECT_EQ(parse_demux_values(std::vector{"7DF:1", "7df:2;3", "7DF:x"}, table, failed),
            kDemuxBadChannel);
  EXPECT_EQ(table, (DemuxTable{{0x7DF, {1}}}));
  EXPECT_EQ(failed, 2u);
}

TEST(Reassembly, ShortAndOutOfSequenceCarriersGiveNothing) {
  DemuxState state(std::vector<std::uint32_t>{1});
  auto feed = [&state](const Bytes& carrier) {
    auto message = reassemble(state, carrier);
    return message ? std::optional(Bytes(message->begin(), message->end())) : std::nullopt;
  };
  EXPECT_EQ(feed(counting({0x00, 0x0A}, 1, 10)), counting({}, 1, 10));  // the CAN FD escape
  for (const Bytes& too_short : {Bytes{0x06, 1, 2}, Bytes{}, Bytes{0x00}, Bytes{0x00, 5, 1}})
    EXPECT_FALSE(feed(too_short));
  // Out of sequence, flow control, undefined types and single frames abandon a message.
  const Bytes first = counting({0x10, 0x14}, 0, 6), second = counting({0x21}, 6, 7);
  for (const Bytes& breaker : {Bytes{0x23, 0}, Bytes{0x30, 0}, Bytes{0xF0, 0}, Bytes{0x01, 0}}) {
    feed(first);
    feed(second);
    feed(breaker);
    EXPECT_FALSE(feed(counting({0x22}, 13, 7))) << int(breaker[0]);
  }
}

class RefusingStream : public Stream {
public:
  std::int64_t write(const void*, std::uint64_t) override { return kStreamError; }
};

TEST(DemuxRouting, CarriersAreUnpackedAndLostFramesFailTheFile) {
  BusRecordIdTable ids;
  ids.set(3, {.rx = {52, 54}, .tx = {53, 55}});
  std::unique_ptr<MemoryStream> memory = memory_stream_new();
  BusfoldContext ctx;
  ctx.demux_states.try_emplace(0x98DAF100, std::vector<std::uint32_t>{3});
  ctx.records.emplace(*memory, ids);
  BusFrame carrier{};
  carrier.kind = kCanDataFrame;
  carrier.can.can_id = 0x18DAF100;
  carrier.can.ide = 1;
  carrier.can.dlc = 5;
  // Id 0x123, 1 byte, sub-channel 0: one classic 11-bit record on bus 3.
  std::memcpy(carrier.can.payload, Bytes{0x04, 0x00, 0x81, 0x23, 0xAB}.data(), 5);
  EXPECT_TRUE(busfold_on_record(ctx, carrier));
  ASSERT_EQ(memory->bytes().size(), 18u);
  EXPECT_EQ(memory->bytes()[0], 52);
  carrier.can.payload[2] = 0xA1;  // a remote frame: not carried over
  EXPECT_FALSE(busfold_on_record(ctx, carrier));
  EXPECT_TRUE(ctx.record_write_failed);
  EXPECT_EQ(memory->bytes().size(), 18u);
  EXPECT_EQ(ctx.not_carried.remote, 1u);

  ctx.record_write_failed = false;
  RefusingStream refusing;
  ctx.records.emplace(refusing, ids);
  carrier.can.payload[2] = 0x81;
  EXPECT_FALSE(busfold_on_record(ctx, carrier));
  EXPECT_TRUE(ctx.record_write_failed);
}

}  // namespace
}  // namespace busfold
