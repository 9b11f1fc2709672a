// CAN data-frame records: their bytes, the group each frame goes to, timestamps and
// signal-data offsets, and what happens to frames that have no group.
#include "buslog/frame_record_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "base/bytes.h"
#include "buslog/can_record_encoding.h"
#include "buslog/frame_layout.h"

namespace busfold {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Keeps every write apart, to see the one-record-per-write contract.
class RecordingStream final : public Stream {
public:
  std::int64_t write(const void* buffer, std::uint64_t n) override {
    if (fail) return kStreamError;
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    writes.emplace_back(p, p + n);
    return static_cast<std::int64_t>(n);
  }
  std::vector<Bytes> writes;
  bool fail = false;
};

CanFrameFields can_frame(std::uint32_t id, std::uint8_t dlc, std::uint8_t fill = 0xA0) {
  CanFrameFields f{};
  f.can_id = id;
  f.dlc = dlc;
  f.bus = 1;
  for (int i = 0; i < kCanPayloadSize; ++i)
    f.payload[i] = static_cast<std::uint8_t>(fill + i);
  return f;
}

// A field of a record (after the record id), read the way a reader would from its span.
std::uint64_t field(const Bytes& record, const FieldSpan& span) {
  std::uint8_t window[16] = {};
  const std::size_t from = kRecordIdSize + span.byte_offset;
  std::memcpy(window, record.data() + from, std::min<std::size_t>(8, record.size() - from));
  std::uint64_t raw = load_le64(window) >> span.bit_offset;
  return span.bit_count >= 64 ? raw : raw & ((std::uint64_t{1} << span.bit_count) - 1);
}

Bytes encode(CanLayoutIndex layout, std::uint16_t record_id, std::uint64_t time,
             const CanFrameFields& frame, std::uint32_t offset = 0) {
  std::uint8_t out[kMaxCanRecordSize];
  std::memset(out, 0xEE, sizeof out);
  std::size_t n = encode_can_data_record(out, layout, record_id, time, frame, offset);
  return Bytes(out, out + n);
}

TEST(CanRecordEncoding, EveryFieldLandsWhereItsChannelSaysInEveryDataLayout) {
  for (std::uint32_t index = kCanClassic11; index <= kCanFdOver8_29; ++index) {
    const auto layout = static_cast<CanLayoutIndex>(index);
    const FrameLayout& spans = kCanLayouts[layout];
    const bool fd = spans.is_fd();
    // A classic frame claiming DLC 12 (24 bytes) keeps DLC 12 and stores its first 8; the
    // encoder writes into an array of exactly the largest record (a write past it trips ASan).
    CanFrameFields f = can_frame(0xFFFFFFFF, !fd ? 12 : spans.uses_signal_data() ? 15 : 8);
    f.ide = spans.span(kSlotId).bit_count == 29;
    f.edl = fd;
    f.esi = 1;
    f.brs = 0;
    ASSERT_EQ(can_data_layout(f), layout);
    Bytes r = encode(layout, 0x1234, 0x0000ABCDEF012345u, f, 0xCAFEF00D);
    SCOPED_TRACE(index);
    ASSERT_EQ(r.size(), kRecordIdSize + spans.data_bytes);
    EXPECT_EQ(load_le16(r.data()), 0x1234);
    EXPECT_EQ(field(r, spans.span(kSlotTimestamp)), 0xABCDEF012345u);
    EXPECT_EQ(field(r, spans.span(kSlotId)), f.ide ? 0x1FFFFFFFu : 0x7FFu);
    EXPECT_EQ(field(r, spans.span(kSlotDlc)), f.dlc);
    EXPECT_EQ(field(r, spans.span(kSlotEsi)) * 2 + field(r, spans.span(kSlotBrs)), fd ? 2u : 0u);
    if (spans.uses_signal_data()) {
      EXPECT_EQ(field(r, spans.span(kSlotDataOffset)), 0xCAFEF00Du);
    } else {
      const std::size_t data = kRecordIdSize + spans.span(kSlotDataBytes).byte_offset;
      EXPECT_EQ(Bytes(r.begin() + data, r.end()), Bytes(f.payload, f.payload + 8));
    }
  }
}

class FrameRecordWriterTest : public ::testing::Test {
protected:
  FrameRecordWriterTest() {
    CanGroupRecordIds ids;
    for (std::size_t i = 0; i < kCanGroupSlots; ++i) {
      ids.rx[i] = static_cast<std::uint16_t>(100 + i);
      ids.tx[i] = static_cast<std::uint16_t>(200 + i);
    }
    ids.errors = 300;
    table.set(1, ids);
    ids.rx[kIdsClassic11] = 400;
    table.set(9, ids);
  }

  CanRecordIdTable table;
  RecordingStream out;
};

TEST_F(FrameRecordWriterTest, LongFdFramesGoWithTheirVlsdRecordAndOffsets) {
  FrameRecordWriter writer(out, table);
  CanFrameFields f = can_frame(0x10, 9);
  f.edl = 1;
  // 12 bytes at offset 0, 64 at 16, 8 (no signal data), then Tx and 29-bit with their own.
  for (auto [dlc, dir, ide] : {std::array{9, 0, 0}, {15, 0, 0}, {8, 0, 0}, {10, 1, 0}, {10, 0, 1}}) {
    std::tie(f.dlc, f.dir, f.ide) = std::tuple(dlc, dir, ide);
    ASSERT_EQ(writer.write_can_data_frame(f), FrameWrite::kWritten);
  }

  // Each record and each VLSD record is a write of its own. For a fixed record `at` is
  // where its signal-data offset lies, for a VLSD record its length field (0: unchecked).
  const struct {
    unsigned id;
    std::size_t size, at;
    std::uint32_t value;
  } expected[] = {
      {100 + kIdsFdOver8_11, 2 + 13, 2 + 9, 0},      {100 + kIdsFdOver8_11Vlsd, 2 + 4 + 12, 2, 12},
      {100 + kIdsFdOver8_11, 2 + 13, 2 + 9, 16},     {100 + kIdsFdOver8_11Vlsd, 2 + 4 + 64, 2, 64},
      {100 + kIdsFdUpTo8_11, 2 + 17, 2 + 9, 0xA3A2A1A0},          {200 + kIdsFdOver8_11, 2 + 13, 2 + 9, 0},
      {200 + kIdsFdOver8_11Vlsd, 2 + 4 + 16, 2, 16}, {100 + kIdsFdOver8_29, 2 + 15, 2 + 11, 0},
      {100 + kIdsFdOver8_29Vlsd, 2 + 4 + 16, 2, 16},
  };
  ASSERT_EQ(out.writes.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const Bytes& w = out.writes[i];
    ASSERT_EQ(w.size(), expected[i].size) << i;
    EXPECT_EQ(load_le16(w.data()), expected[i].id) << i;
    EXPECT_EQ(load_le32(w.data() + expected[i].at), expected[i].value) << i;
  }
  EXPECT_EQ(Bytes(out.writes[1].begin() + 6, out.writes[1].end()),
            Bytes(f.payload, f.payload + 12));
}

TEST_F(FrameRecordWriterTest, TimestampsStrictlyIncreasePerBusAndDirection) {
  FrameRecordWriter writer(out, table);
  struct Step {
    std::uint8_t bus, dir;
    std::uint32_t seconds, microseconds;
    std::uint64_t written;
  } steps[] = {
      {1, 0, 0, 0, 1},                                 // the first frame at 0 moves to 1
      {1, 0, 0, 5000, 5000},   {1, 0, 0, 5000, 5001},  // same time again
      {1, 1, 0, 5000, 5000},                           // Tx keeps its own
      {9, 0, 0, 5000, 5000},                           // so does another bus
      {1, 0, 0, 4000, 5002},                           // going back in time
      {1, 0, 3, 250, 3000250},                         // seconds and microseconds
  };
  for (const Step& s : steps) {
    CanFrameFields f = can_frame(0x1, 1);
    std::tie(f.bus, f.dir, f.seconds, f.microseconds) =
        std::tuple(s.bus, s.dir, s.seconds, s.microseconds);
    ASSERT_EQ(writer.write_can_data_frame(f), FrameWrite::kWritten);
    EXPECT_EQ(load_le64(out.writes.back().data() + 2) & 0xFFFFFFFFFFFFu, s.written);
  }
  EXPECT_EQ(load_le16(out.writes[3].data()), 200 + kIdsClassic11);
  EXPECT_EQ(load_le16(out.writes[4].data()), 400);
  // Only the frame whose recording went back counts as moved; ties are a tie-break.
  EXPECT_EQ(writer.moved_frames(), 1u);
  EXPECT_EQ(writer.largest_move_us(), 1002u);
}

TEST_F(FrameRecordWriterTest, FramesWithoutGroupsAreReportedOncePerBusAndFile) {
  CanFrameFields frame = can_frame(0x1, 1);
  {
    FrameRecordWriter writer(out, table);
    using enum FrameWrite;
    const std::pair<std::uint8_t, FrameWrite> sequence[] = {
        {7, kFirstBusWithoutGroups}, {7, kSkipped}, {8, kFirstBusWithoutGroups}, {7, kSkipped},
        {1, kWritten}};
    for (const auto& [bus, expected] : sequence) {
      frame.bus = bus;
      EXPECT_EQ(writer.write_can_data_frame(frame), expected) << int{bus};
    }
  }
  FrameRecordWriter next_file(out, table);  // the next file reports it again
  frame.bus = 7;
  EXPECT_EQ(next_file.write_can_data_frame(frame), FrameWrite::kFirstBusWithoutGroups);
  EXPECT_EQ(out.writes.size(), 1u);

  out.fail = true;
  frame.bus = 1;
  EXPECT_EQ(next_file.write_can_data_frame(frame), FrameWrite::kOutputFailed);
  frame.edl = 1;
  frame.dlc = 12;
  EXPECT_EQ(next_file.write_can_data_frame(frame), FrameWrite::kOutputFailed);
}

}  // namespace
}  // namespace busfold
