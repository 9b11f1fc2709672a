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
#include "tests/support/mdf_builder.h"

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
  EXPECT_EQ(f.frames[4].can.ide, 1);
  const BusFrame& late = f.frames[5];
  EXPECT_EQ(late.can.bus, 9);
  EXPECT_EQ(late.can.dir, 1);
  EXPECT_EQ(late.can.seconds, 1u);
  EXPECT_EQ(late.can.microseconds, 2114u);
}

}  // namespace
}  // namespace busfold
