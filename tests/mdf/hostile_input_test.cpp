// Files built to break a loader: cycles, deep nesting, sizes the file cannot back, and very
// long chains. Each must fail cleanly (or load, for the long chain) without a crash.
#include <gtest/gtest.h>

#include "io/bytes.h"
#include "io/memory_stream.h"
#include "mdf/block_codec.h"
#include "mdf/cg_block.h"
#include "mdf/cn_block.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/mdf_file.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

using test::MdfBuilder;
using test::open_mdf;
namespace link = test::link;

// Opens the file and expects it to fail with a level-5 message containing `message`.
void expect_refused(const MdfBuilder &b, std::string_view message) {
  testing::internal::CaptureStderr();
  bool opened = static_cast<bool>(open_mdf(b.bytes()));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(opened);
  EXPECT_NE(log.find(" E "), std::string::npos) << log;
  EXPECT_NE(log.find(message), std::string::npos) << log;
}

struct Skeleton {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group();
  std::uint64_t cg = b.add_channel_group(dg, {});
};

TEST(HostileInput, CyclesAreDetected) {
  {
    Skeleton s; // a chain whose last element points back to the first
    std::uint64_t second = s.b.add_channel_group(s.dg, {});
    s.b.set_link(second, link::kCgNext, s.cg);
    expect_refused(s.b, "meets the block at offset");
  }
  {
    Skeleton s; // a chain element that is its own next
    s.b.set_link(s.cg, link::kCgNext, s.cg);
    expect_refused(s.b, "meets the block at offset");
  }
  {
    Skeleton s; // two data groups sharing one channel group chain
    std::uint64_t other = s.b.add_data_group();
    s.b.set_link(other, link::kDgCgFirst, s.cg);
    expect_refused(s.b, "meets the block at offset");
  }
  {
    Skeleton s; // a channel composed of itself
    std::uint64_t cn = s.b.add_channel(s.cg, {});
    s.b.set_link(cn, link::kCnComposition, cn);
    expect_refused(s.b, "meets the block at offset");
  }
  {
    Skeleton s; // a channel whose member's data is the channel group being loaded
    std::uint64_t cn = s.b.add_channel(s.cg, {});
    s.b.add_member(cn, {.data = s.cg});
    expect_refused(s.b, "links back to itself");
  }
  {
    Skeleton s; // a conversion that is its own inverse
    std::uint64_t cc = s.b.add_linear_conversion(0, 1);
    s.b.set_link(cc, link::kCcInverse, cc);
    s.b.add_channel(s.cg, {.conversion = cc});
    expect_refused(s.b, "links back to itself");
  }
}

TEST(HostileInput, NestingDepthIsBounded) {
  for (bool through_conversions : {false, true}) {
    for (int depth : {50, 5000}) {
      Skeleton s;
      std::uint64_t previous = 0;
      for (int i = 0; i < depth; ++i) {
        std::uint64_t block;
        if (through_conversions) {
          block = s.b.add_linear_conversion(0, 1);
          if (previous == 0)
            s.b.add_channel(s.cg, {.conversion = block});
          else
            s.b.set_link(previous, link::kCcInverse, block);
        } else {
          block = previous == 0 ? s.b.add_channel(s.cg, {}) : s.b.add_member(previous, {});
        }
        previous = block;
      }
      if (depth < static_cast<int>(kMaxLoadDepth) - 10) {
        EXPECT_TRUE(open_mdf(s.b.bytes())) << depth;
      } else {
        expect_refused(s.b, "Blocks nested more than 100 deep");
      }
    }
  }
}

TEST(HostileInput, SizesThatTheFileCannotHoldAreRefused) {
  struct Case {
    const char *what;
    std::uint64_t field; // offset within the block of the patched value
    std::uint64_t value;
    const char *message;
  };
  const Case cases[] = {
      {"links beyond the length", 16, 200, "too short for 200 links"},
      {"huge link count", 16, std::uint64_t{1} << 60, "too short for"},
      {"shorter than its kind", 8, 100, "has length 100"},
      {"length below a header", 8, 8, "has length 8"},
      {"length past the end", 8, std::uint64_t{1} << 40, "ends past the end of the file"},
      {"length that wraps", 8, ~std::uint64_t{0} - 8, "ends past the end of the file"},
  };
  for (const Case &c : cases) {
    Skeleton s;
    std::uint64_t cn = s.b.add_channel(s.cg, {});
    s.b.patch_u64(cn + c.field, c.value);
    SCOPED_TRACE(c.what);
    expect_refused(s.b, c.message);
  }
  {
    Skeleton s; // a text that claims more than the file holds
    std::uint64_t tx = s.b.add_text("name");
    s.b.add_channel(s.cg, {.name_block = tx});
    s.b.patch_u64(tx + 8, s.b.size() - tx + 1);
    expect_refused(s.b, "ends past the end of the file");
  }
  {
    Skeleton s; // a conversion whose value count runs past its block
    std::uint64_t cc = s.b.add_linear_conversion(1, 2);
    s.b.add_channel(s.cg, {.conversion = cc});
    s.b.add_text(std::string(std::size_t{8} * 70000, 'x')); // file large enough for the values
    s.b.patch_u16(cc + 62, 65535);
    expect_refused(s.b, "holds 65535 values but is only 96 bytes long");
  }
  {
    Skeleton s; // texts that all claim the rest of the file
    std::vector<std::uint64_t> texts;
    texts.reserve(50);
    for (int i = 0; i < 50; ++i)
      texts.push_back(s.b.add_text("t"));
    for (std::uint64_t tx : texts) {
      s.b.add_channel(s.cg, {.name_block = tx});
    }
    for (std::uint64_t tx : texts)
      s.b.patch_u64(tx + 8, s.b.size() - tx);
    expect_refused(s.b, "overlaps other blocks");
  }
  {
    Skeleton s; // a data block that claims more than the file holds
    std::uint64_t dt = s.b.add_data(s.dg, std::vector<std::uint8_t>(16, 0));
    s.b.patch_u64(dt + 8, 4096);
    expect_refused(s.b, "ends past the end of the file");
    // Unless the file says the last data block's length is stale: it is repaired.
    s.b.set_unfinalized(4);
    auto mdf = open_mdf(s.b.bytes());
    ASSERT_TRUE(mdf);
    auto *data = block_cast<DtBlock>(block_cast<DgBlock>(mdf->hd()->data_groups[0])->data);
    EXPECT_EQ(data->length, 40u);
  }
}

TEST(HostileInput, LongChainsNeedNoDeepRecursion) {
  constexpr int kChannels = 200000;
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group();
  std::uint64_t cg = b.add_channel_group(dg, {.data_bytes = 8});
  std::uint64_t name = b.add_text("x");
  for (int i = 0; i < kChannels; ++i)
    b.add_channel(cg, {.name_block = name});
  for (int i = 0; i < 1000; ++i)
    b.add_channel_group(dg, {.record_id = 1u + i});

  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  auto *group = block_cast<DgBlock>(mdf->hd()->data_groups[0]);
  ASSERT_EQ(group->channel_groups.size(), 1001u);
  auto *channels = block_cast<CgBlock>(group->channel_groups[0]);
  ASSERT_EQ(channels->channels.size(), static_cast<std::size_t>(kChannels));
  EXPECT_EQ(channels->channels[0]->offset + 160, channels->channels[1]->offset);
  EXPECT_EQ(collect_blocks(mdf->id.get()).size(), 2u + 1 + 1001 + 1 + kChannels);

  auto saved = test::save_to_bytes(*mdf->id);
  ASSERT_TRUE(saved);
  EXPECT_TRUE(*saved == b.bytes());
  mdf_close(std::move(mdf.file));
}

} // namespace
} // namespace busfold
