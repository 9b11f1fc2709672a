// The mux option, transport-message reassembly, embedded frame decoding, and how the
// record callback routes carrier frames.
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

std::optional<Bytes> feed(DemuxState& state, const Bytes& carrier) {
  auto message = reassemble(state, carrier);
  return message ? std::optional(Bytes(message->begin(), message->end())) : std::nullopt;
}

TEST(Reassembly, SingleFirstAndConsecutiveFrames) {
  DemuxState state(std::vector<std::uint32_t>{1});
  EXPECT_EQ(feed(state, counting({0x05}, 1, 5)), counting({}, 1, 5));
  EXPECT_EQ(feed(state, counting({0x00, 0x0A}, 1, 10)), counting({}, 1, 10));
  for (const Bytes& too_short : {Bytes{0x06, 1, 2}, Bytes{}, Bytes{0x00}, Bytes{0x00, 5, 1}})
    EXPECT_FALSE(feed(state, too_short));
  const Bytes first = counting({0x10, 0x14}, 0, 6), second = counting({0x21}, 6, 7),
              third = counting({0x22}, 13, 7);
  feed(state, first);
  feed(state, second);
  EXPECT_EQ(feed(state, third), counting({}, 0, 20));
  // Out of sequence, flow control, undefined types and single frames abandon a message.
  for (const Bytes& breaker : {Bytes{0x23, 0}, Bytes{0x30, 0}, Bytes{0xF0, 0}, Bytes{0x01, 0}}) {
    feed(state, first);
    feed(state, second);
    feed(state, breaker);
    EXPECT_FALSE(feed(state, third)) << int(breaker[0]);
  }
  // 300 bytes: 6 in the first frame, then 42 full consecutive frames; the sequence wraps.
  feed(state, counting({0x11, 0x2C}, 0, 6));
  for (std::size_t i = 1; i <= 42; ++i) {
    std::optional<Bytes> done =
        feed(state, counting({static_cast<std::uint8_t>(0x20 | (i % 16))}, 6 + 7 * (i - 1), 7));
    ASSERT_EQ(done.has_value(), i == 42) << i;
    EXPECT_EQ(done.value_or(counting({}, 0, 300)), counting({}, 0, 300));
  }
  // A carrier gives the bytes of its DLC, not the padding of its record.
  CanFrameFields carrier{};
  carrier.dlc = 15;
  EXPECT_EQ(carrier_payload(carrier).size(), 8u);  // classic
  carrier.edl = 1;
  EXPECT_EQ(carrier_payload(carrier).size(), 64u);
}

TEST(EmbeddedFrame, DecodesHeadersAndRefusesWhatDoesNotFit) {
  CanFrameFields r{};
  const Bytes classic = {0x02, 0x87, 0xDF, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x99};
  ASSERT_EQ(decode_embedded_frame(classic, r), 8u);
  EXPECT_EQ(std::tuple(r.bus, r.can_id, r.ide, r.edl, r.dir, r.rtr, r.brs, r.dlc),
            std::tuple(0, 0x7DF, 0, 0, 0, 0, 0, 5));
  EXPECT_EQ(Bytes(r.payload, r.payload + 6), (Bytes{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0}));
  // Sub-channel 5, 29-bit, FD, DLC 9 (12 bytes), Tx, BRS.
  const Bytes fd = counting({0xBC, 0xF8, 0xDA, 0xF1, 0x00}, 1, 12);
  ASSERT_EQ(decode_embedded_frame(fd, r), 17u);
  EXPECT_EQ(std::tuple(r.bus, r.can_id, r.ide, r.edl, r.dir, r.rtr, r.brs, r.dlc),
            std::tuple(5, 0x18DAF100, 1, 1, 1, 0, 1, 9));
  EXPECT_EQ(Bytes(r.payload, r.payload + 12), counting({}, 1, 12));
  // A remote frame is its header alone; bits 4-3 before a standard id are ignored.
  ASSERT_EQ(decode_embedded_frame(Bytes{0x24, 0x3F, 0x10}, r), 3u);
  EXPECT_EQ(std::tuple(r.bus, r.can_id, r.rtr, r.dlc), std::tuple(1, 0x710, 1, 8));
  for (const Bytes& refused : {Bytes{}, Bytes{0x07, 0, 0, 0}, Bytes{0xE7, 0, 0}, Bytes{0x02, 0x87},
                               Bytes{0x12, 0x80, 0, 0}, Bytes(classic.begin(), classic.begin() + 7),
                               Bytes(fd.begin(), fd.end() - 1)})
    EXPECT_EQ(decode_embedded_frame(refused, r), 0u) << refused.size();
}

class RefusingStream : public Stream {
public:
  std::int64_t write(const void*, std::uint64_t) override { return kStreamError; }
};

TEST(DemuxRouting, CarriersAreUnpackedAndLostFramesFailTheFile) {
  CanRecordIdTable ids;
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

  ctx.record_write_failed = false;
  RefusingStream refusing;
  ctx.records.emplace(refusing, ids);
  carrier.can.payload[2] = 0x81;
  EXPECT_FALSE(busfold_on_record(ctx, carrier));
  EXPECT_TRUE(ctx.record_write_failed);
}

}  // namespace
}  // namespace busfold
