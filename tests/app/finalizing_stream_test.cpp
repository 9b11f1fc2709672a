// Outputs that fail under the finalizing stream and the file stream: a short write or a
// failed close. (Whole runs that cannot write are in end_to_end_test.cpp.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include <cstring>
#include <tuple>
#include <vector>

#include "app/busfold_tool.h"
#include "app/demux.h"
#include "app/finalizing_stream.h"
#include "base/bytes.h"
#include "buslog/bus_template.h"
#include "buslog/output_groups.h"
#include "io/file_stream.h"
#include "io/memory_stream.h"
#include "mdf/cg_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

using Bytes = std::vector<std::uint8_t>;

// An output into memory, as a file takes it (a seek past the end leaves a gap of zeros),
// that takes bytes only in [from, to) and may refuse to close.
class LimitedSink final : public Stream {
public:
  LimitedSink(MemoryStream& memory, std::uint64_t from, std::uint64_t to, bool close_fails)
      : memory_(memory), from_(from), to_(to), close_fails_(close_fails) {}
  std::int64_t write(const void* buffer, std::uint64_t n) override {
    const auto at = static_cast<std::uint64_t>(memory_.tell());
    return memory_.write(buffer, at >= from_ && at < to_ ? std::min(n, to_ - at) : 0);
  }
  std::int64_t tell() override { return memory_.tell(); }
  std::int64_t seek(std::int64_t offset, int whence) override {
    return memory_.seek(offset, whence);
  }
  std::int64_t close() override { return close_fails_ ? kStreamError : 0; }

private:
  MemoryStream& memory_;
  std::uint64_t from_, to_;
  bool close_fails_;
};

const CgBlock* group_of(const MdfFile& file, std::uint64_t record_id) {
  for (const BlockRef& cg : block_cast<DgBlock>(file.hd()->data_groups.front())->channel_groups)
    if (block_cast<CgBlock>(cg)->cg_record_id == record_id) return block_cast<CgBlock>(cg);
  return nullptr;
}

// The output file of a run with the standard buses, its groups' record ids, and a
// finalizing stream over the sink.
struct Output {
  Output(std::uint64_t from = 0, std::uint64_t to = UINT64_MAX, bool close_fails = false) {
    BusLoggingFile built = create_bus_logging_file();
    EXPECT_TRUE(add_output_bus_groups(*built.file, built.bus_template, {}, ids).ok());
    auto* dg = block_cast<DgBlock>(built.file->hd()->data_groups.front());
    dg->data = create_block(BlockType::kDt);
    dg->dg_rec_id_size = 2;
    file = built.file.get();
    stream = finalizing_stream_new(std::make_unique<LimitedSink>(*memory, from, to, close_fails),
                                   std::move(built.file));
  }
  void write(std::uint16_t record_id, std::vector<std::uint8_t> record) {
    record.insert(record.begin(), {static_cast<std::uint8_t>(record_id),
                                   static_cast<std::uint8_t>(record_id >> 8)});
    EXPECT_EQ(stream->write(record.data(), record.size()), std::ssize(record));
  }
  std::unique_ptr<MemoryStream> memory = test::save_output();
  BusRecordIdTable ids;
  MdfFile* file = nullptr;
  std::unique_ptr<FinalizingStream> stream;
};

// Records of several buffers' worth reach the output in order, behind the blocks. An output
// that cuts the records short, that refuses the blocks in front of them (the final save),
// or that fails to close, fails the close. (The counts it patches in are held by the
// reference outputs and end to end.)
TEST(FinalizingStream, ReportsAnOutputThatFails) {
  Output whole;
  const std::uint16_t classic = whole.ids.find(1)->rx[kIdsClassic11];
  std::vector<std::uint8_t> record(group_of(*whole.file, classic)->cg_data_bytes, 1);
  std::vector<std::uint8_t> all;
  for (std::uint32_t i = 0; i < 700'000; ++i) {  // 12 MiB: three buffers and more
    store_le32(record.data(), i);
    whole.write(classic, record);
    all.insert(all.end(), {static_cast<std::uint8_t>(classic), static_cast<std::uint8_t>(classic >> 8)});
    all.insert(all.end(), record.begin(), record.end());
  }
  ASSERT_EQ(whole.stream->close(), 0);
  const std::span<const std::uint8_t> written = whole.memory->bytes();
  ASSERT_GT(written.size(), all.size());
  EXPECT_TRUE(std::equal(all.begin(), all.end(), written.end() - std::ssize(all)));
  const std::uint64_t records = written.size() - all.size();  // the last block
  for (auto [from, to, close_fails] : {std::tuple{std::uint64_t{0}, records + 10, false},
                                       {records, UINT64_MAX, false},
                                       {0, UINT64_MAX, true}}) {
    Output broken(from, to, close_fails);
    broken.write(classic, record);
    EXPECT_NE(broken.stream->close(), 0) << from << " " << to;
  }
  Output refused;  // and so does a tree the final save refuses
  block_cast<DgBlock>(refused.file->hd()->data_groups[0])->channel_groups[0]->link_count = 7;
  EXPECT_NE(refused.stream->close(), 0);
}

TEST(FileStream, ReportsShortWritesAndFailedCloses) {
  // /dev/full takes nothing: the library's buffer hides that until it is flushed.
  auto small = file_stream_open("/dev/full", 1);
  ASSERT_TRUE(small);
  EXPECT_EQ(small->write("x", 1), 1);
  EXPECT_NE(small->close(), 0);
  EXPECT_NE(small->close(), 0);  // and keeps saying so
  EXPECT_EQ(small->error_number(), ENOSPC);

  auto large = file_stream_open("/dev/full", 1);
  ASSERT_TRUE(large);
  const std::vector<char> bytes(std::size_t{4} << 20, 'x');
  EXPECT_LT(large->write(bytes.data(), bytes.size()), static_cast<std::int64_t>(bytes.size()));
  EXPECT_EQ(large->error_number(), ENOSPC);
  EXPECT_NE(large->close(), 0);
}

// The mux option and how the record callback routes carrier frames. (Reassembly and
// embedded frames are held to their frames end to end.)

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

// A frame that reaches no group is lost, through a carrier or on its own: the file fails.
// (Carriers unpacked and remote frames in them are held end to end.)
TEST(DemuxRouting, FramesThatReachNoGroupFailTheFile) {
  Output out;
  const BusRecordIdTable no_groups;
  BusfoldContext ctx;
  ctx.demux_states.try_emplace(0x98DAF100, std::vector<std::uint32_t>{3});
  ctx.records.emplace(*out.stream, no_groups);
  BusFrame carrier{};
  carrier.kind = kCanDataFrame;
  carrier.can.can_id = 0x18DAF100;
  carrier.can.ide = 1;
  carrier.can.dlc = 5;
  // Id 0x123, 1 byte, sub-channel 0: one classic 11-bit record on bus 3.
  std::memcpy(carrier.can.payload, Bytes{0x04, 0x00, 0x81, 0x23, 0xAB}.data(), 5);
  for (bool through_carrier : {true, false}) {
    ctx.record_write_failed = false;
    if (!through_carrier) ctx.demux_states.clear();
    EXPECT_FALSE(busfold_on_record(ctx, carrier));
    EXPECT_TRUE(ctx.record_write_failed);
  }
}

}  // namespace
}  // namespace busfold
