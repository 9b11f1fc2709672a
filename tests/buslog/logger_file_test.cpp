// Whole logger files opened with the bus classifier and walked as the pipeline does.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include "buslog/bus_classifier.h"
#include "buslog/bus_frame.h"
#include "mdf/cg_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/record_reader.h"
#include "tests/support/can_logger.h"

namespace busfold {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Frames {
  std::vector<BusFrame> frames;
  std::vector<std::uint32_t> group_kinds;
  ReadEnd end = ReadEnd::kNotEnded;
  std::string log;
};

Frames walk_frames(std::span<const std::uint8_t> file) {
  Frames out;
  testing::internal::CaptureStderr();
  auto mdf = test::open_mdf(file, &bus_channel_classifier());
  if (mdf) {
    auto* dg = block_cast<DgBlock>(mdf->hd()->data_groups.at(0));
    for (const BlockRef& cg : dg->channel_groups)
      out.group_kinds.push_back(dg->group_kind_of(*block_cast<CgBlock>(cg)));
    RecordReader reader(*dg);
    BusFrame frame;
    RecordIterator it(reader, &frame);
    for (bool more = it.begin(); more; more = it.next())
      out.frames.push_back(frame);
    out.end = it.end();
  }
  out.log = testing::internal::GetCapturedStderr();
  return out;
}

TEST(LoggerFile, EveryShapeDecodes) {
  test::MdfBuilder b;
  test::CanLogger logger(b);
  using test::CanShape;
  std::vector<test::CanGroup> groups;
  for (CanShape shape : {CanShape::kClassic, CanShape::kClassicIde, CanShape::kFd, CanShape::kFdIde,
                         CanShape::kFdLong, CanShape::kFdLongIde}) {
    groups.push_back(logger.add_group(shape, 2, false));
  }
  groups.push_back(logger.add_group(CanShape::kFdLong, 9, true));
  Bytes data(64);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i + 1);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    bool extended = g % 2 == 1 && g < 6;
    std::uint8_t dlc = groups[g].vlsd_record_id != 0 ? static_cast<std::uint8_t>(9 + g) : 8;
    logger.add_frame(groups[g], {.timestamp_us = 1000000 * g + 999999,
                                 .id = extended ? 0x1ABCDEF0u + static_cast<std::uint32_t>(g)
                                                : 0x700u + static_cast<std::uint32_t>(g),
                                 .dlc = dlc,
                                 .data = std::span(data).first(test::dlc_length(dlc)),
                                 .brs = g == 2,
                                 .esi = g == 3});
  }
  logger.add_raw(Bytes{1, 0, 5});  // a record cut short by the end of an unfinalized file
  logger.finish();

  Frames f = walk_frames(b.bytes());
  EXPECT_EQ(f.group_kinds, (std::vector<std::uint32_t>{1, 1, 1, 1, 1, 0, 1, 0, 1, 0}));
  ASSERT_EQ(f.frames.size(), groups.size());
  EXPECT_EQ(f.end, ReadEnd::kTruncatedRecord);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const BusFrame& frame = f.frames[g];
    ASSERT_EQ(frame.kind, kCanDataFrame) << g;
    EXPECT_EQ(frame.can.seconds, g) << g;
    EXPECT_EQ(frame.can.microseconds, 999999u) << g;
    EXPECT_EQ(frame.can.ide, g % 2 == 1 && g < 6) << g;
    EXPECT_EQ(frame.can.edl, g >= 2) << g;
    EXPECT_EQ(frame.can.brs, g == 2) << g;
    EXPECT_EQ(frame.can.esi, g == 3) << g;
    EXPECT_EQ(frame.can.bus, g < 6 ? 2 : 9) << g;
    EXPECT_EQ(frame.can.dir, g == 6) << g;
    std::uint32_t length = test::dlc_length(frame.can.dlc);
    EXPECT_EQ(frame.data_length, length) << g;
    EXPECT_EQ(frame.can.payload[length - 1], length) << g;
    if (length < 64) {
      EXPECT_EQ(frame.can.payload[length], 0) << g;
    }
  }
  EXPECT_EQ(f.frames[4].can.dlc, 13);
  EXPECT_EQ(f.frames[5].can.can_id, 0x1ABCDEF5u);

  // An id no group has: the walk stops there and says why.
  test::MdfBuilder bad;
  test::CanLogger bad_logger(bad);
  test::CanGroup group = bad_logger.add_group(CanShape::kClassic, 1, false);
  bad_logger.add_frame(group, {.id = 1, .dlc = 1, .data = std::span(data).first(1)});
  bad_logger.add_raw(Bytes{0x34, 0x12, 0, 0});
  bad_logger.add_frame(group, {.id = 2, .dlc = 1, .data = std::span(data).first(1)});
  bad_logger.finish();
  Frames lost = walk_frames(bad.bytes());
  EXPECT_EQ(lost.frames.size(), 1u);
  EXPECT_EQ(lost.end, ReadEnd::kUnknownRecordId);
  EXPECT_NE(lost.log.find("Unknown record id 4660 at offset 18\n"), std::string::npos) << lost.log;
}

TEST(LoggerFile, ReferenceLoggerInput) {
  std::ifstream in(std::string(BUSFOLD_GOLDEN_DIR) + "/small_logger.mf4", std::ios::binary);
  Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(file.empty());
  Frames f = walk_frames(file);
  ASSERT_EQ(f.frames.size(), 45u) << f.log;
  EXPECT_EQ(f.end, ReadEnd::kEndOfData);
  std::uint64_t micros = 0, ids = 0, dlcs = 0, tx = 0;
  std::map<int, int> buses;
  for (const BusFrame& frame : f.frames) {
    ASSERT_EQ(frame.kind, kCanDataFrame);
    micros += frame.can.seconds * std::uint64_t{1000000} + frame.can.microseconds;
    ids += frame.can.can_id;
    dlcs += frame.can.dlc;
    tx += frame.can.dir;
    ++buses[frame.can.bus];
  }
  // Sums over the records as their bytes say.
  EXPECT_EQ(micros, 41388516u);
  EXPECT_EQ(ids, 5942840599u);
  EXPECT_EQ(dlcs, 329u);
  EXPECT_EQ(tx, 24u);
  EXPECT_EQ(buses, (std::map<int, int>{{1, 19}, {2, 10}, {9, 16}}));

  const BusFrame& first = f.frames[0];
  EXPECT_EQ(first.can.can_id, 0x7FFu);
  EXPECT_EQ(first.data_length, 8u);
  EXPECT_EQ(first.can.payload[7], 8);
  const BusFrame& long_fd = f.frames[3];
  EXPECT_EQ(long_fd.can.dlc, 15);
  EXPECT_EQ(long_fd.data_length, 64u);
  EXPECT_EQ(long_fd.can.edl, 1);
  EXPECT_EQ(long_fd.can.payload[0], 0x32);
  EXPECT_EQ(long_fd.can.payload[63], 0x85);
  const BusFrame& extended = f.frames[4];
  EXPECT_EQ(extended.can.can_id, 0x1FFFFFFFu);
  EXPECT_EQ(extended.can.ide, 1);
  const BusFrame& late = f.frames[5];
  EXPECT_EQ(late.can.bus, 9);
  EXPECT_EQ(late.can.dir, 1);
  EXPECT_EQ(late.can.seconds, 1u);
  EXPECT_EQ(late.can.microseconds, 2114u);
}

}  // namespace
}  // namespace busfold
