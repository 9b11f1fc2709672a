#include "mdf/mdf_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "io/memory_stream.h"
#include "mdf/block_codec.h"
#include "mdf/cg_block.h"
#include "mdf/cn_block.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"
#include "mdf/text_block.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

using test::MdfBuilder;
using test::open_mdf;
namespace link = test::link;

std::vector<std::uint8_t> filled(std::size_t n, std::uint8_t value) {
  return std::vector<std::uint8_t>(n, value);
}

DtBlock *data_of(const MdfFile &file, std::size_t group) {
  return block_cast<DtBlock>(block_cast<DgBlock>(file.hd()->data_groups.at(group))->data);
}

TEST(MdfOpen, RichFileRoundTripsByteForByte) {
  MdfBuilder b;
  b.set_start_time(123456789);
  b.add_history();
  b.add_history("<FHcomment><tool_id>QK</tool_id><tool_version>2</tool_version></FHcomment>");
  std::uint64_t dg = b.add_data_group(1);
  std::uint64_t can = b.add_source("CAN1", 2, 2);
  std::uint64_t seconds = b.add_text("s");
  std::uint64_t time = b.add_linear_conversion(0, 1e-6);
  b.set_link(time, link::kCcUnit, seconds);
  std::uint64_t cg = b.add_channel_group(dg, {.acq_name = "CAN1_Rx",
                                              .record_id = 1,
                                              .cycle_count = 2,
                                              .flags = 6,
                                              .path_separator = '.',
                                              .data_bytes = 16,
                                              .source = can,
                                              .comment = b.add_xml("<CGcomment/>")});
  std::uint64_t vlsd = b.add_channel_group(dg, {.record_id = 2, .flags = 1});
  b.add_channel(cg, {.name = "Timestamp",
                     .type = 2,
                     .sync_type = 1,
                     .bit_count = 48,
                     .conversion = time,
                     .unit = seconds});
  std::uint64_t frame = b.add_channel(
      cg, {.name = "CAN_DataFrame", .byte_offset = 6, .bit_count = 80, .source = can});
  const std::pair<double, double> dlc[] = {{9, 12}, {10, 16}};
  b.add_member(frame, {.name = "CAN_DataFrame.DLC",
                       .bit_offset = 4,
                       .byte_offset = 7,
                       .bit_count = 4,
                       .conversion = b.add_value_table(dlc)});
  b.add_member(frame, {.name = "CAN_DataFrame.DataBytes",
                       .type = 1,
                       .data_type = 10,
                       .byte_offset = 12,
                       .bit_count = 32,
                       .data = vlsd});
  b.add_channel(cg, {.name = "Signal",
                     .type = 1,
                     .data_type = 6,
                     .bit_count = 64,
                     .data = b.add_signal_data(filled(13, 0x5A))});
  b.add_data(dg, filled(37, 0xC3));
  b.add_data(b.add_data_group(), filled(8, 1));

  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  EXPECT_EQ(mdf->source, mdf.stream.get());
  EXPECT_EQ(mdf->id_block()->id_ver, 411);
  EXPECT_EQ(mdf->id_block()->id_vers, "4.11    ");
  EXPECT_EQ(data_of(*mdf.file, 0)->data_size(), 37u);
  auto saved = test::save_to_bytes(*mdf->id);
  ASSERT_TRUE(saved);
  EXPECT_TRUE(*saved == b.bytes());

  // And what was saved opens to the same tree again.
  auto again = open_mdf(*saved);
  ASSERT_TRUE(again);
  EXPECT_EQ(collect_blocks(again->id.get()).size(), collect_blocks(mdf->id.get()).size());
  mdf_close(std::move(again.file));
}

TEST(MdfOpen, UnfinalizedLastDataBlockIsRepaired) {
  struct Case {
    std::uint16_t flags, custom;
    std::uint16_t flags_after;
    const char *saved_id;
  };
  for (const Case &c : {Case{4, 0, 0, "MDF     "}, Case{5, 0, 1, "UnFinMF "},
                        Case{0, 1, 0, "UnFinMF "}, Case{0, 0, 0, "MDF     "}}) {
    MdfBuilder b;
    b.set_unfinalized(c.flags, c.custom);
    std::uint64_t first = b.add_data_group();
    std::uint64_t second = b.add_data_group();
    b.add_data_group(); // no data block
    b.add_data(second, filled(8, 1));
    // The block with the largest offset is the last one, whichever group holds it; the
    // logger wrote its header before its data.
    std::uint64_t last_dt = b.add_data(first, filled(16, 2), 24);
    b.append_raw(filled(5, 3)); // unaligned tail

    auto mdf = open_mdf(b.bytes());
    ASSERT_TRUE(mdf) << c.flags;
    EXPECT_EQ(mdf->id_block()->id_unfin_flags, c.flags_after);
    EXPECT_EQ(mdf->id_block()->id_custom_unfin_flags, c.custom);
    std::uint64_t repaired = (c.flags & 4) != 0 ? b.size() - last_dt : 24;
    EXPECT_EQ(data_of(*mdf.file, 0)->length, repaired);
    EXPECT_EQ(data_of(*mdf.file, 1)->length, 32u); // untouched
    auto saved = test::save_to_bytes(*mdf->id);
    ASSERT_TRUE(saved);
    EXPECT_EQ(std::string(saved->begin(), saved->begin() + 8), c.saved_id);
  }
}

TEST(MdfOpen, RefusesWhatIsNoMdfFile) {
  MdfBuilder b;
  std::vector<std::uint8_t> bytes = b.bytes();
  // The stream ends before the header block's header is complete.
  EXPECT_FALSE(open_mdf(std::span(bytes).first(87)));
  EXPECT_TRUE(open_mdf(bytes));
  // A header block where the identification block belongs.
  std::vector<std::uint8_t> shifted(bytes.begin() + 64, bytes.end());
  EXPECT_FALSE(open_mdf(shifted));
  // Something else at offset 64.
  MdfBuilder other;
  other.patch_bytes(64, std::vector<std::uint8_t>{'#', '#', 'T', 'X'});
  EXPECT_FALSE(open_mdf(other.bytes()));
  // Not even a file id.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(open_mdf(filled(200, 'x')));
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "Unable to load block header for type xxxxxxxx\n"),
            std::string::npos);
}

// Records every read, to see which bytes of the file a load touches.
class RecordingStream final : public Stream {
public:
  explicit RecordingStream(std::span<const std::uint8_t> bytes)
      : inner_(memory_stream_from(bytes)) {}
  std::int64_t read(void *b, std::uint64_t n) override {
    std::int64_t at = inner_->tell();
    std::int64_t got = inner_->read(b, n);
    if (got > 0) reads.emplace_back(at, at + got);
    return got;
  }
  std::int64_t tell() override { return inner_->tell(); }
  std::int64_t seek(std::int64_t o, int w) override { return inner_->seek(o, w); }
  const std::uint8_t *view(std::uint64_t at, std::uint64_t n) override {
    return inner_->view(at, n);
  }
  bool touched(std::uint64_t begin, std::uint64_t end) const {
    for (auto [from, to] : reads) {
      if (static_cast<std::uint64_t>(from) < end && static_cast<std::uint64_t>(to) > begin)
        return true;
    }
    return false;
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> reads;

private:
  std::unique_ptr<MemoryStream> inner_;
};

TEST(MdfOpen, DataBlocksAreNotReadBeyondTheirHeaders) {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group();
  std::uint64_t cg = b.add_channel_group(dg, {.data_bytes = 8});
  std::uint64_t sd = b.add_signal_data(filled(300, 0xEE));
  b.add_channel(cg, {.name = "v", .type = 1, .data = sd});
  std::uint64_t dt = b.add_data(dg, filled(5000, 0xDD));
  RecordingStream stream(b.bytes());
  auto file = mdf_open(stream);
  ASSERT_TRUE(file);
  EXPECT_TRUE(stream.touched(dt, dt + 24));
  EXPECT_FALSE(stream.touched(dt + 24, dt + 5024));
  EXPECT_FALSE(stream.touched(sd + 24, sd + 324));

  auto *data = data_of(*file, 0);
  EXPECT_EQ(data->source(), &stream);
  EXPECT_EQ(data->data_start(), dt + 24);
  EXPECT_FALSE(data->owns_source());
  // In-memory sources give views straight into their bytes.
  const std::uint8_t *view = data->read_stream().view(10, 100);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], 0xDD);
  EXPECT_EQ(data->read_stream().view(4990, 11), nullptr);
}

std::vector<std::uint8_t> read_golden(const char *name) {
  std::ifstream in(std::string(BUSFOLD_GOLDEN_DIR) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(MdfOpen, ReferenceFilesLoadAndSave) {
  // A finalized output file is written back exactly as it was.
  std::vector<std::uint8_t> finalized = read_golden("no_frames_fin.MF4");
  ASSERT_FALSE(finalized.empty());
  auto mdf = open_mdf(finalized);
  ASSERT_TRUE(mdf);
  auto saved = test::save_to_bytes(*mdf->id);
  ASSERT_TRUE(saved);
  EXPECT_TRUE(*saved == finalized);

  // A logger's unfinalized file: its last data block runs to the end of the file.
  std::vector<std::uint8_t> logger = read_golden("small_logger.mf4");
  ASSERT_FALSE(logger.empty());
  mdf = open_mdf(logger);
  ASSERT_TRUE(mdf);
  EXPECT_EQ(mdf->id_block()->id_unfin_flags, 0);
  DtBlock *dt = data_of(*mdf.file, 0);
  ASSERT_NE(dt, nullptr);
  EXPECT_EQ(dt->offset + dt->length, logger.size());
  auto *dg = block_cast<DgBlock>(mdf->hd()->data_groups[0]);
  EXPECT_EQ(dg->dg_rec_id_size, 2);
  EXPECT_GT(dg->channel_groups.size(), 10u);
  saved = test::save_to_bytes(*mdf->id);
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->size(), logger.size());
  EXPECT_EQ(std::string(saved->begin(), saved->begin() + 8), "MDF     ");
}

} // namespace
} // namespace busfold
