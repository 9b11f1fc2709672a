#include "mdf/block_codec.h"

#include <gtest/gtest.h>

#include <cstring>

#include "io/memory_stream.h"
#include "mdf/cg_block.h"
#include "mdf/cn_block.h"
#include "mdf/dg_block.h"
#include "mdf/field_cursor.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"
#include "mdf/text_block.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

using test::ChannelOptions;
using test::MdfBuilder;
using test::open_mdf;

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

TEST(BlockHeader, RecognisesIdsAndReportsUnknownOnes) {
  std::vector<std::uint8_t> raw(24, 0);
  std::memcpy(raw.data(), "##CG", 4);
  raw[8] = 104;
  raw[16] = 6;
  auto stream = memory_stream_from(raw);
  auto header = read_block_header(*stream);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->kind, BlockType::kCg);
  EXPECT_EQ(header->length, 104u);
  EXPECT_EQ(header->link_count, 6u);

  // The identification block has no header: the stream goes back to its start.
  std::vector<std::uint8_t> id = bytes_of("UnFinMF 4.11    QK      ");
  stream = memory_stream_from(id);
  header = read_block_header(*stream);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->kind, BlockType::kId);
  EXPECT_EQ(header->length, 64u);
  EXPECT_EQ(stream->tell(), 0);

  std::memcpy(raw.data(), "##AB", 4);
  stream = memory_stream_from(raw);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(read_block_header(*stream));
  EXPECT_NE(
      testing::internal::GetCapturedStderr().find("Unable to load block header for type ##AB\n"),
      std::string::npos);

  // A short header fails silently.
  stream = memory_stream_from(std::span(raw).first(23));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(read_block_header(*stream));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(BlockHeader, WritesIdLengthAndLinkCount) {
  auto out = test::save_output();
  CgBlock cg;
  ASSERT_TRUE(write_block_header(cg, *out));
  std::vector<std::uint8_t> expected = bytes_of("##CG");
  expected.resize(24, 0);
  expected[8] = 104;
  expected[16] = 6;
  EXPECT_EQ(std::vector<std::uint8_t>(out->bytes().begin(), out->bytes().end()), expected);
  IdBlock id;
  ASSERT_TRUE(write_block_header(id, *out));
  EXPECT_EQ(out->size(), 24u);
}

// Counts the stream operations, to see that skipped fields cost no I/O.
class CountingStream final : public Stream {
public:
  explicit CountingStream(Stream &inner) : inner_(inner) {}
  std::int64_t read(void *b, std::uint64_t n) override {
    ++reads;
    return inner_.read(b, n);
  }
  std::int64_t write(const void *b, std::uint64_t n) override {
    ++writes;
    return inner_.write(b, n);
  }
  std::int64_t tell() override { return inner_.tell(); }
  std::int64_t seek(std::int64_t o, int w) override { return inner_.seek(o, w); }
  int reads = 0;
  int writes = 0;

private:
  Stream &inner_;
};

TEST(FieldCursor, SeeksBeforeEveryFieldAndSkipsWithoutIo) {
  auto memory = test::save_output();
  CountingStream stream(*memory);
  stream.seek(16, kSeekSet);
  FieldCursor out(stream);
  ASSERT_TRUE(out.write_u16(0x0102));
  out.skip(3);
  ASSERT_TRUE(out.write_u32(0xA0B0C0D0));
  EXPECT_EQ(stream.writes, 2);
  EXPECT_EQ(out.position(), 9u);

  stream.seek(0, kSeekSet); // wherever the stream stands, fields come from base + position
  FieldCursor in(stream, 16);
  std::uint16_t a = 0;
  std::uint32_t b = 0;
  std::uint64_t c = 0;
  ASSERT_TRUE(in.read_u16(a));
  in.skip(3);
  ASSERT_TRUE(in.read_u32(b));
  EXPECT_EQ(a, 0x0102);
  EXPECT_EQ(b, 0xA0B0C0D0u);
  EXPECT_EQ(stream.reads, 2);
  // A short read fails and leaves the position.
  EXPECT_FALSE(in.read_u64(c));
  EXPECT_EQ(in.position(), 9u);
}

TEST(LoadBlock, SharedTextBecomesOneBlockAndIsSavedOnce) {
  MdfBuilder b;
  b.add_history();
  std::uint64_t dg = b.add_data_group();
  std::uint64_t cg = b.add_channel_group(dg, {});
  std::uint64_t shared = b.add_text("Shared");
  b.add_channel(cg, {.name_block = shared});
  b.add_channel(cg, {.name_block = shared});
  // A link of 0 is no block, and the owner still loads.
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  auto *group =
      block_cast<CgBlock>(block_cast<DgBlock>(mdf->hd()->data_groups[0])->channel_groups[0]);
  ASSERT_EQ(group->channels.size(), 2u);
  auto *first = block_cast<CnBlock>(group->channels[0]);
  auto *second = block_cast<CnBlock>(group->channels[1]);
  EXPECT_EQ(first->name, second->name);
  EXPECT_EQ(first->name.use_count(), 2);
  EXPECT_EQ(first->name->offset, shared);
  EXPECT_EQ(first->source, nullptr);
  EXPECT_EQ(first->conversion, nullptr);

  // Saved once, both links carry its offset; a copy of the tree in new memory is identical.
  auto saved = test::save_to_bytes(*mdf->id);
  ASSERT_TRUE(saved);
  EXPECT_EQ(*saved, b.bytes());
}

TEST(LoadBlock, ChainsLoadInFileOrder) {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group();
  std::vector<std::uint64_t> groups;
  groups.reserve(3);
  for (int i = 0; i < 3; ++i)
    groups.push_back(b.add_channel_group(dg, {.record_id = 10u + i}));
  // Placing the chain backwards in the file must not change the order.
  std::uint64_t dg2 = b.add_data_group();
  std::uint64_t last = b.add_channel_group(dg2, {.record_id = 3});
  std::uint64_t first = b.add_channel_group(dg2, {.record_id = 1});
  b.set_link(dg2, test::link::kDgCgFirst, first);
  b.set_link(first, test::link::kCgNext, last);
  b.set_link(last, test::link::kCgNext, 0);

  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  auto *hd = mdf->hd();
  ASSERT_EQ(hd->data_groups.size(), 2u);
  auto *group = block_cast<DgBlock>(hd->data_groups[0]);
  ASSERT_EQ(group->channel_groups.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(group->channel_groups[i]->offset, groups[i]);
    EXPECT_EQ(block_cast<CgBlock>(group->channel_groups[i])->cg_record_id, 10u + i);
  }
  auto *backwards = block_cast<DgBlock>(hd->data_groups[1]);
  ASSERT_EQ(backwards->channel_groups.size(), 2u);
  EXPECT_EQ(block_cast<CgBlock>(backwards->channel_groups[0])->cg_record_id, 1u);
  EXPECT_EQ(block_cast<CgBlock>(backwards->channel_groups[1])->cg_record_id, 3u);
}

TEST(CollectBlocks, DepthFirstPreOrderEachBlockOnce) {
  auto hd = std::make_shared<HdBlock>();
  auto dg = std::make_shared<DgBlock>();
  auto cg = std::make_shared<CgBlock>();
  auto cn1 = std::make_shared<CnBlock>();
  auto cn2 = std::make_shared<CnBlock>();
  auto name = std::make_shared<TxBlock>();
  auto comment = std::make_shared<MdBlock>();
  hd->comment = comment;
  hd->data_groups = {dg};
  dg->channel_groups = {cg};
  cg->channels = {cn1, cn2};
  cn1->name = name;
  cn2->name = name;
  cn2->comment = comment;
  std::vector<MdfBlock *> expected = {hd.get(),  comment.get(), dg.get(), cg.get(),
                                      cn1.get(), name.get(),    cn2.get()};
  EXPECT_EQ(collect_blocks(hd.get()), expected);
  EXPECT_TRUE(collect_blocks(nullptr).empty());
}

TEST(BlockCast, YieldsNullOnKindMismatch) {
  BlockRef cg = create_block(BlockType::kCg);
  EXPECT_NE(block_cast<CgBlock>(cg), nullptr);
  EXPECT_EQ(block_cast<CnBlock>(cg), nullptr);
  EXPECT_EQ(block_cast<TextBlock>(cg), nullptr);
  EXPECT_EQ(block_cast<CgBlock>(BlockRef()), nullptr);
  BlockRef md = create_block(BlockType::kMd);
  EXPECT_NE(block_cast<TextBlock>(md), nullptr);
  EXPECT_EQ(block_cast<TxBlock>(md), nullptr);
  EXPECT_EQ(create_block(BlockType::kUnknown), nullptr);
  // New blocks start unplaced with their kind's defaults.
  EXPECT_EQ(cg->offset, kNoOffset);
  EXPECT_EQ(cg->length, 104u);
  EXPECT_EQ(cg->link_count, 6u);
}

} // namespace
} // namespace busfold
