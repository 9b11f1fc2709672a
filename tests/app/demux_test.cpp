// The mux option, transport-message reassembly, embedded frame decoding, how the record
// callback routes carrier frames, and whole runs of busfold with --mux.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/busfold_tool.h"
#include "app/demux.h"
#include "buslog/bus_classifier.h"
#include "io/memory_stream.h"
#include "mdf/cg_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/record_reader.h"
#include "mdf/text_block.h"
#include "tests/support/logger_file.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

using test::can_frame;
using test::LoggerFrame;
using testing::ProcessResult;
using testing::TempDir;
using Bytes = std::vector<std::uint8_t>;

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes counting(std::size_t first, std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i)
    b[i] = static_cast<std::uint8_t>(first + i);
  return b;
}

TEST(DemuxOption, ParsesValuesIntoTheTable) {
  auto parse = [](std::vector<const char*> values, DemuxTable& table, std::size_t& failed) {
    return parse_demux_values(values, table, failed);
  };
  const std::pair<const char*, DemuxTable> parsed[] = {{"7DF:1;2", {{0x7DF, {1, 2}}}},
                                                       {"18DAF100:3", {{0x98DAF100, {3}}}},
                                                       {"000:1", {{0, {1}}}},
                                                       {"7DF:", {{0x7DF, {0}}}},
                                                       {"7df:1;", {{0x7DF, {1, 0}}}}};
  for (const auto& [value, expected] : parsed) {
    DemuxTable table;
    std::size_t failed = 0;
    EXPECT_EQ(parse({value}, table, failed), kDemuxParsed) << value;
    EXPECT_EQ(table, expected) << value;
  }
  // Trailing or leading characters that strtoul would skip or stop at are refused.
  const std::pair<const char*, int> refused[] = {
      {"7DF", -1},   {"7D:1", -2},   {"XYZ:1", -3},  {"7DG:1", -3},         {"0x7DF000:1", -3},
      {"7DF:a", -4}, {"7DF:1x", -4}, {"7DF:-1", -4}, {"7DF:4294967296", -4}};
  for (const auto& [value, code] : refused) {
    DemuxTable table;
    std::size_t failed = 9;
    EXPECT_EQ(parse({value}, table, failed), code) << value;
    EXPECT_EQ(failed, 0u) << value;
  }
  // A key given again keeps its first list; the failure names the value that failed.
  DemuxTable table;
  std::size_t failed = 0;
  EXPECT_EQ(parse({"7DF:1", "7df:2;3", "7DF:x"}, table, failed), kDemuxBadChannel);
  EXPECT_EQ(table, (DemuxTable{{0x7DF, {1}}}));
  EXPECT_EQ(failed, 2u);
}

std::optional<Bytes> feed(DemuxState& state, const Bytes& carrier) {
  std::optional<std::span<const std::uint8_t>> message = reassemble(state, carrier);
  if (!message) return std::nullopt;
  return Bytes(message->begin(), message->end());
}

TEST(Reassembly, SingleFirstAndConsecutiveFrames) {
  DemuxState state(std::vector<std::uint32_t>{1});
  EXPECT_EQ(feed(state, cat({0x05}, counting(1, 5))), counting(1, 5));
  EXPECT_EQ(feed(state, cat({0x00, 0x0A}, counting(1, 10))), counting(1, 10));
  for (const Bytes& too_short : {Bytes{0x06, 1, 2}, Bytes{}, Bytes{0x00}, Bytes{0x00, 5, 1}})
    EXPECT_FALSE(feed(state, too_short));

  const Bytes first = cat({0x10, 0x14}, counting(0, 6));
  const Bytes second = cat({0x21}, counting(6, 7));
  const Bytes third = cat({0x22}, counting(13, 7));
  EXPECT_FALSE(feed(state, first));
  EXPECT_FALSE(feed(state, second));
  EXPECT_EQ(feed(state, third), counting(0, 20));
  // Out of sequence, flow control, undefined types and single frames abandon the message.
  for (const Bytes& breaker : {Bytes{0x23, 0}, Bytes{0x30, 0}, Bytes{0xF0, 0}, Bytes{0x01, 0}}) {
    feed(state, first);
    feed(state, second);
    feed(state, breaker);
    EXPECT_FALSE(feed(state, third)) << int(breaker[0]);
  }

  // 300 bytes: 6 in the first frame, then exactly 42 full consecutive frames.
  const Bytes message = counting(0, 300);
  feed(state, cat({0x11, 0x2C}, counting(0, 6)));
  for (std::size_t i = 1; i <= 42; ++i) {
    auto sequence = static_cast<std::uint8_t>(0x20 | (i % 16));
    std::optional<Bytes> done = feed(state, cat({sequence}, counting(6 + 7 * (i - 1), 7)));
    ASSERT_EQ(done.has_value(), i == 42) << i;
    EXPECT_EQ(done.value_or(message), message);
  }

  // A carrier gives the bytes of its DLC, not the padding of its record.
  CanFrameFields carrier{};
  const Bytes padded = {0x05, 1, 2, 3, 4, 0xAA, 0xAA, 0xAA};
  std::memcpy(carrier.payload, padded.data(), padded.size());
  carrier.dlc = 5;
  EXPECT_FALSE(reassemble(state, carrier_payload(carrier)));
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
  const Bytes fd = cat({0xBC, 0xF8, 0xDA, 0xF1, 0x00}, counting(1, 12));
  ASSERT_EQ(decode_embedded_frame(fd, r), 17u);
  EXPECT_EQ(std::tuple(r.bus, r.can_id, r.ide, r.edl, r.dir, r.rtr, r.brs, r.dlc),
            std::tuple(5, 0x18DAF100, 1, 1, 1, 0, 1, 9));
  EXPECT_EQ(Bytes(r.payload, r.payload + 12), counting(1, 12));

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
  const Bytes message = {0x04, 0x00, 0x81, 0x23, 0xAB};  // id 0x123, 1 byte, sub-channel 0
  std::memcpy(carrier.can.payload, message.data(), message.size());
  EXPECT_TRUE(busfold_on_record(ctx, carrier));
  ASSERT_EQ(memory->bytes().size(), 18u);  // one classic 11-bit record on bus 3
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

ProcessResult run_busfold(const TempDir& dir, const std::vector<std::string>& args) {
  return testing::run_process(BUSFOLD_BINARY, args, dir.path());
}

std::string text(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

// A classic embedded frame; its payload length is its DLC.
Bytes embed(std::uint8_t sub, std::uint32_t id, bool ide, const Bytes& payload) {
  auto dlc = static_cast<std::uint8_t>(payload.size());
  Bytes b = {static_cast<std::uint8_t>(sub << 5 | (ide ? 0x10 : 0) | dlc >> 1),
             static_cast<std::uint8_t>((dlc & 1) << 7 | (ide ? id >> 24 : (id >> 8) & 7))};
  if (ide) b.insert(b.end(), {std::uint8_t(id >> 16), std::uint8_t(id >> 8)});
  b.push_back(static_cast<std::uint8_t>(id));
  return cat(b, payload);
}

// Carriers on bus 1, id 0x7DF, 100 µs apart: a single frame, or first and consecutive frames.
std::vector<LoggerFrame> carry(const Bytes& message, std::uint64_t time_us) {
  std::vector<Bytes> pieces;
  if (message.size() <= 7) {
    pieces.push_back(cat({static_cast<std::uint8_t>(message.size())}, message));
  } else {
    pieces.push_back(cat({static_cast<std::uint8_t>(0x10 | message.size() >> 8),
                          static_cast<std::uint8_t>(message.size())},
                         Bytes(message.begin(), message.begin() + 6)));
    for (std::size_t at = 6, seq = 1; at < message.size(); at += 7, ++seq) {
      pieces.push_back(
          cat({static_cast<std::uint8_t>(0x20 | (seq % 16))},
              Bytes(message.begin() + at, message.begin() + std::min(at + 7, message.size()))));
    }
  }
  std::vector<LoggerFrame> frames;
  for (std::size_t i = 0; i < pieces.size(); ++i)
    frames.push_back(can_frame(1, 0x7DF, pieces[i], time_us + 100 * i));
  return frames;
}

// An output file read back: its frames (bus, id, IDE, time, payload) and group record ids.
struct Output {
  using Frame = std::tuple<unsigned, std::uint32_t, bool, std::uint64_t, Bytes>;
  explicit Output(const std::string& bytes)
      : stream(memory_stream_from(Bytes(bytes.begin(), bytes.end()))),
        mdf(file_or_null(mdf_open(*stream, &bus_channel_classifier()))) {}
  DgBlock& dg() const { return *block_cast<DgBlock>(mdf->hd()->data_groups.at(0)); }
  int record_id(std::string_view name) const {
    for (const BlockRef& ref : dg().channel_groups) {
      const CgBlock* cg = block_cast<CgBlock>(ref);
      if (block_text(cg->acq_name) == name) return static_cast<int>(cg->cg_record_id);
    }
    return -1;
  }
  std::vector<Frame> frames() const {
    std::vector<Frame> out;
    RecordReader reader(dg());
    BusFrame f{};
    RecordIterator it(reader, &f);
    for (bool more = it.begin(); more; more = it.next()) {
      std::size_t n = std::min<std::size_t>(f.data_length, kCanPayloadSize);
      out.emplace_back(f.can.bus, f.can.can_id, f.can.ide != 0,
                       f.can.seconds * 1000000ull + f.can.microseconds,
                       Bytes(f.can.payload, f.can.payload + n));
    }
    return out;
  }
  std::unique_ptr<MemoryStream> stream;
  std::unique_ptr<MdfFile> mdf;
};

TEST(DemuxEndToEnd, UnpacksCarriersOntoTheTargetBusesAcrossFiles) {
  const Bytes b8 = counting(1, 8);
  // Sub-channel 2 maps to no bus; 0x07 cannot start a frame and ends the message there.
  const Bytes multi =
      cat(cat(embed(1, 0x18DAF100, true, b8), embed(0, 0x456, false, {3, 4, 5})),
          cat(cat(embed(2, 0x7FF, false, {9}), {0x07}), embed(0, 0x333, false, {})));
  const Bytes tail = embed(0, 0x666, false, {9, 9});
  const std::vector<LoggerFrame> single = carry(embed(0, 0x123, false, {1, 2}), 200);
  const std::vector<LoggerFrame> long_one = carry(multi, 400);  // until 700
  const std::vector<LoggerFrame> split = carry(cat(cat(embed(1, 0x555, false, b8), tail), tail),
                                               900);  // 4 carriers, until 1200
  ASSERT_EQ(split.size(), 4u);
  LoggerFrame extended = can_frame(1, 0x7DF, {0x02, 0, 0}, 850);
  extended.ide = true;  // the 29-bit id 0x7DF carries nothing
  std::vector<LoggerFrame> first = {can_frame(1, 0x100, {1}, 100), single[0],
                                    can_frame(2, 0x200, {2}, 300)};
  first.insert(first.end(), long_one.begin(), long_one.end());
  first.insert(first.end(), {extended, split[0], split[1]});

  TempDir dir;
  ASSERT_TRUE(dir.write_file("in/a.mf4", text(test::build_logger_file(first))));
  ASSERT_TRUE(dir.write_file(
      "in/b.mf4",
      text(test::build_logger_file({can_frame(1, 0x101, {1}, 1050), split[2], split[3]}))));
  ProcessResult r = run_busfold(dir, {"-X", "-m", "7DF:3;4", "-m", "7DF:5", "in"});
  ASSERT_EQ(r.exit_status, 0) << r.err;

  Output a(*dir.read_file("in/a_fin.MF4"));
  Output b(*dir.read_file("in/b_fin.MF4"));
  ASSERT_TRUE(a.mdf && b.mdf);
  EXPECT_EQ(a.frames(), (std::vector<Output::Frame>{{1, 0x100, false, 100, {1}},
                                                    {3, 0x123, false, 200, {1, 2}},
                                                    {2, 0x200, false, 300, {2}},
                                                    {4, 0x18DAF100, true, 700, b8},
                                                    {3, 0x456, false, 700, {3, 4, 5}},
                                                    {1, 0x7DF, true, 850, {0x02, 0, 0}}}));
  EXPECT_EQ(b.frames(), (std::vector<Output::Frame>{{1, 0x101, false, 1050, {1}},
                                                    {4, 0x555, false, 1200, b8},
                                                    {3, 0x666, false, 1200, {9, 9}},
                                                    {3, 0x666, false, 1201, {9, 9}}}));
  // CAN 1 and 2 keep their record ids; the targets come between them and bus 9.
  for (auto [name, id] : {std::pair{"LIN1_Frame", 0},
                          {"LIN2_TransmissionError", 9},
                          {"CAN1_Rx", 10},
                          {"CAN2_Rx", 31},
                          {"CAN3_Rx", 52},
                          {"CAN4_Rx", 73},
                          {"CAN9_Rx", 94},
                          {"CAN9_Errors", 114},
                          {"CAN5_Rx", -1}}) {
    EXPECT_EQ(a.record_id(name), id) << name;
    EXPECT_EQ(b.record_id(name), id) << name;
  }
}

TEST(DemuxEndToEnd, OptionIsListedAndBadValuesStopTheRun) {
  TempDir dir;
  ProcessResult r = run_busfold(dir, {"--help"});
  EXPECT_NE(r.out.find("  -m, --mux=hex id:channel 1;channel 2;... CAN IDs to demux and their "
                       "corresponding channels\n"),
            std::string::npos)
      << r.out;
  r = run_busfold(dir, {"-m", "7DF:1", "--mux", "7DF:x", "."});
  EXPECT_EQ(r.exit_status, 134);
  EXPECT_NE(r.err.find(" E Could not parse mux information, error decoding channel - 7DF:x\n"),
            std::string::npos)
      << r.err;
  std::vector<std::string> args = {"."};  // 64 values: one too many
  for (int i = 0; i < 64; ++i)
    args.insert(args.end(), {"-m", "7DF:1"});
  r = run_busfold(dir, args);
  EXPECT_EQ(r.exit_status, 134);
  EXPECT_NE(r.out.find("excess option"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace busfold
