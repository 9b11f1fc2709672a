// Files built to break a loader: cycles, deep nesting, sizes the file cannot back, long
// chains. Each must fail cleanly (or load, for the long ones) in time proportional to it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "buslog/bus_classifier.h"
#include "mdf/block_codec.h"
#include "mdf/cg_block.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/mdf_file.h"
#include "mdf/record_reader.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

using test::MdfBuilder;
using test::open_mdf;
namespace link = test::link;

// Expects the open to fail with `message` in its failure's lines (none for "").
void expect_refused(const MdfBuilder& b, std::string_view message) {
  test::OpenedMdf opened = open_mdf(b.bytes());
  EXPECT_FALSE(opened);
  std::string lines;
  for (const std::string& line : opened.status.messages())
    lines += line + "\n";
  EXPECT_TRUE(message.empty() ? lines.empty() : lines.find(message) != std::string::npos) << lines;
}

using Bytes = std::vector<std::uint8_t>;

// A data group, its channel group and a channel, to patch.
struct Skeleton : MdfBuilder {
  std::uint64_t dg = add_data_group();
  std::uint64_t cg = add_channel_group(dg, {});
  std::uint64_t cn = add_channel(cg, {});
};

void link_text(Skeleton& s, std::uint64_t block, std::size_t index) {
  s.set_link(block, index, s.add_text("x"));
}

struct Refusal {
  void (*patch)(Skeleton&);
  const char* message;
};

void expect_all_refused(std::span<const Refusal> cases) {
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    Skeleton s;
    cases[i].patch(s);
    expect_refused(s, cases[i].message);
  }
}

TEST(HostileInput, CyclesAndBadLinksAreRefused) {
  const char* meets = "meets the block at offset";
  const char* cyclic = "Cyclic link to the block at offset";
  const char* all_ones = "Link 0xFFFFFFFFFFFFFFFF at offset ";  // not "no link"
  const Refusal cases[] = {
      {[](Skeleton& s) { s.set_link(s.add_channel_group(s.dg, {}), link::kCgNext, s.cg); }, meets},
      {[](Skeleton& s) { s.set_link(s.cg, link::kCgNext, s.cg); }, meets},
      {[](Skeleton& s) { s.set_link(s.add_data_group(), link::kDgCgFirst, s.cg); }, meets},
      {[](Skeleton& s) { s.set_link(s.cn, link::kCnComposition, s.cn); }, meets},
      {[](Skeleton& s) { s.add_member(s.cn, {.data = s.cg}); }, cyclic},
      {[](Skeleton& s) {
         std::uint64_t cc = s.add_linear_conversion(0, 1);
         s.set_link(cc, link::kCcInverse, cc);
         s.set_link(s.cn, link::kCnConversion, cc);
       },
       cyclic},
      {[](Skeleton& s) { s.set_link(s.dg, link::kDgNext, ~std::uint64_t{0}); }, all_ones},
      {[](Skeleton& s) { s.set_link(s.dg, link::kDgData, ~std::uint64_t{0}); }, all_ones},
      {[](Skeleton& s) { s.set_link(s.dg, link::kDgComment, ~std::uint64_t{0}); }, all_ones},
  };
  expect_all_refused(cases);
  // A finalized data group that counts records must have them; unfinalized counts may lag.
  Skeleton s;
  s.patch_u64(s.cg + 80, 3);
  expect_refused(s, "counts 3 records but has no data block");
  s.set_unfinalized(1);
  EXPECT_TRUE(open_mdf(s.bytes()));
}

TEST(HostileInput, StructuresWeDoNotReadAreRefused) {
  Skeleton s;  // without history nothing to check; a longer QK comment is fine
  EXPECT_TRUE(open_mdf(s.bytes()));
  s.add_history("<FHcomment><TX>text</TX><tool_id>QK</tool_id><x/></FHcomment>");
  EXPECT_TRUE(open_mdf(s.bytes()));
  const char* unsupported = "Unsupported parameter present in file";
  const char* not_ours = "Unsupported MF4 file";
  const Refusal cases[] = {
      {[](Skeleton& s) { link_text(s, s.kHdOffset, link::kHdChFirst); }, unsupported},
      {[](Skeleton& s) { link_text(s, s.kHdOffset, link::kHdAtFirst); }, unsupported},
      {[](Skeleton& s) { link_text(s, s.kHdOffset, link::kHdEvFirst); }, unsupported},
      {[](Skeleton& s) { link_text(s, s.cg, link::kCgSrFirst); }, unsupported},
      // Another tool after ours, no comment, a TX comment.
      {[](Skeleton& s) {
         s.add_history();
         s.add_history("<FHcomment><tool_id>XY</tool_id></FHcomment>");
       },
       not_ours},
      {[](Skeleton& s) { s.add_history_with_comment(0); }, not_ours},
      {[](Skeleton& s) { s.add_history_with_comment(s.add_text("<tool_id>QK</tool_id>")); },
       not_ours},
      {[](Skeleton& s) {
         s.set_link(s.cn, link::kCnComposition, s.add_block("##CA", {}, Bytes(40)));
       },
       "Unable to load block header for type ##CA"},
      {[](Skeleton& s) { s.add_channel_group(s.dg, {.record_id = 1, .data_bytes = 4}); },
       "holds 2 channel groups without record ids"},
      {[](Skeleton& s) { s.patch_u8(s.dg + 56, 3); }, "Unsupported record id size 3"},
  };
  expect_all_refused(cases);
  // Link counts other than the kind's fail without a word.
  for (const char* id : {"##DG", "##CG", "##CN", "##CC", "##SI", "##FH", "##TX"}) {
    MdfBuilder b;
    const std::uint64_t links[9] = {};
    b.set_link(b.kHdOffset, link::kHdComment, b.add_block(id, links, Bytes(200)));
    expect_refused(b, "");
  }
}

// As the data of the skeleton: a DL of a DT and a block of kind `second`, and a DZ of 10
// bytes. Each returns its block's offset.
std::uint64_t listed(Skeleton& s, std::uint64_t equal_length, const char* second = "##DT") {
  const Bytes ten(10, 7);
  const std::uint64_t sizes[2] = {10, 10};
  const std::uint64_t blocks[2] = {s.add_block("##DT", {}, ten), s.add_block(second, {}, ten)};
  const std::uint64_t dl = s.add_list(blocks, sizes, equal_length);
  s.set_link(s.dg, link::kDgData, dl);
  return dl;
}
std::uint64_t zipped(Skeleton& s) {
  const std::uint64_t dz = s.add_zipped("##DT", Bytes(10, 7));
  s.set_link(s.dg, link::kDgData, dz);
  return dz;
}

// What data lists and zipped blocks claim is checked against what they hold: at the open
// where the claim is read, and in the record walk where only inflating tells.
TEST(HostileInput, DataListsAndZippedBlocksAreChecked) {
  constexpr std::uint64_t kDlFields = 24 + 3 * 8, kDzFields = 24;
  const Refusal cases[] = {
      {[](Skeleton& s) {
         const std::uint64_t dl = listed(s, 10);
         s.set_link(dl, 0, dl);
       },
       "meets the block"},
      {[](Skeleton& s) {
         const std::uint64_t dl = listed(s, 10);
         s.set_link(dl, 2, dl - 80);  // the first DT, 40 bytes a block
       },
       "listed more"},
      {[](Skeleton& s) { listed(s, 8); }, "gives its blocks 8 bytes; block 0 holds 10"},
      {[](Skeleton& s) { s.patch_u64(listed(s, 0) + kDlFields + 16, 9); },
       "places its block 1 at 9, after 10 bytes"},
      {[](Skeleton& s) { s.patch_u32(listed(s, 10) + kDlFields + 4, 5); }, "counts 5 data"},
      {[](Skeleton& s) { s.patch_u64(listed(s, 10) + 8, 24 + 3 * 8 + 8); },
       "too short for the lengths of its 2 blocks"},
      {[](Skeleton& s) { listed(s, 10, "##SD"); }, "holds ##SD data at offset"},
      {[](Skeleton& s) { listed(s, 10, "##TX"); }, "lists a block ##TX at offset"},
      {[](Skeleton& s) {
         const std::uint64_t links[1] = {s.add_block("##DT", {}, Bytes(8))};
         s.set_link(s.dg, link::kDgData, s.add_block("##HL", links, Bytes(8)));
       },
       "goes on with a block ##DT at offset"},
      {[](Skeleton& s) { s.patch_u64(zipped(s) + kDzFields + 8, 1ull << 40); },
       "claims 1099511627776 bytes from"},
      {[](Skeleton& s) { s.patch_u64(zipped(s) + kDzFields + 16, 1000); },
       "claims 1000 bytes of zipped data"},
      {[](Skeleton& s) { s.patch_u8(zipped(s) + kDzFields + 2, 2); }, "uses zip type 2"},
      {[](Skeleton& s) { s.patch_bytes(zipped(s) + kDzFields, "X\x01"); },
       "holds a block of type ##X?, not DT or SD"},
  };
  expect_all_refused(cases);

  const std::pair<std::uint64_t, const char*> lies[] = {
      {8, "inflates to more than"}, {12, "inflates to fewer than"}, {0, "does not inflate"}};
  for (const auto& [length, message] : lies) {
    Skeleton s;
    s.patch_u32(s.cg + 96, 2);  // records of 2 bytes
    const std::uint64_t dz = zipped(s);
    s.patch_u64(dz + kDzFields + 8, length != 0 ? length : 10);
    if (length == 0) s.patch_u8(dz + kDzFields + 26, 0xFF);  // the first deflate block
    test::OpenedMdf opened = open_mdf(s.bytes());
    ASSERT_TRUE(opened) << message;
    RecordReader reader(*block_cast<DgBlock>(opened->hd()->data_groups.at(0)));
    while (reader.next() != nullptr) {
    }
    EXPECT_EQ(reader.end(), ReadEnd::kReadFailed) << message;
    const auto& lines = reader.end_status().messages();
    EXPECT_TRUE(!lines.empty() && lines[0].find(message) != std::string::npos) << message;
  }
}

TEST(HostileInput, NestingDepthIsBounded) {
  for (bool conversions : {false, true}) {
    for (int depth : {50, 5000}) {
      Skeleton s;
      std::uint64_t previous = s.cn;
      for (int i = 0; i < depth; ++i) {  // members of members, or inverses of inverses
        const std::uint64_t next =
            conversions ? s.add_linear_conversion(0, 1) : s.add_member(previous, {});
        if (conversions)
          s.set_link(previous, previous == s.cn ? link::kCnConversion : link::kCcInverse, next);
        previous = next;
      }
      if (depth == 50)
        EXPECT_TRUE(open_mdf(s.bytes()));
      else
        expect_refused(s, "Blocks nested more than 100 deep");
    }
  }
}

TEST(HostileInput, SizesThatTheFileCannotHoldAreRefused) {
  const char* past_end = "ends past the end of the file";
  const Refusal cases[] = {
      // The channel's link count and length.
      {[](Skeleton& s) { s.patch_u64(s.cn + 16, 200); }, "too short for 200 links"},
      {[](Skeleton& s) { s.patch_u64(s.cn + 16, std::uint64_t{1} << 60); }, "too short for"},
      {[](Skeleton& s) { s.patch_u64(s.cn + 8, 100); }, "has length 100"},
      {[](Skeleton& s) { s.patch_u64(s.cn + 8, 8); }, "has length 8"},
      {[](Skeleton& s) { s.patch_u64(s.cn + 8, std::uint64_t{1} << 40); }, past_end},
      {[](Skeleton& s) { s.patch_u64(s.cn + 8, ~std::uint64_t{0} - 8); }, past_end},
      {[](Skeleton& s) {
         std::uint64_t tx = s.add_text("name");
         s.set_link(s.cn, link::kCnName, tx);
         s.patch_u64(tx + 8, s.size() - tx + 1);
       },
       past_end},
      // A value count past its block, where the file could hold the values.
      {[](Skeleton& s) {
         std::uint64_t cc = s.add_linear_conversion(1, 2);
         s.set_link(s.cn, link::kCnConversion, cc);
         s.add_text(std::string(std::size_t{8} * 70000, 'x'));
         s.patch_u16(cc + 62, 65535);
       },
       "holds 65535 values but is only 96 bytes long"},
      // Texts that all claim the rest of the file.
      {[](Skeleton& s) {
         std::vector<std::uint64_t> texts(50);
         for (std::uint64_t& tx : texts)
           s.add_channel(s.cg, {.name_block = tx = s.add_text("t")});
         for (std::uint64_t tx : texts)
           s.patch_u64(tx + 8, s.size() - tx);
       },
       "overlaps other blocks"},
      // A stale length excuses the records' DT only, never signal data.
      {[](Skeleton& s) {
         std::uint64_t sd = s.add_signal_data(Bytes{1, 0, 0, 0, 7});
         s.set_link(s.cn, link::kCnData, sd);
         s.patch_u64(sd + 8, 4096);
         s.set_unfinalized(4);
       },
       past_end},
  };
  expect_all_refused(cases);
  // A data block that claims more than the file holds, unless the file says the last
  // one's length is stale: then it is repaired.
  Skeleton s;
  std::uint64_t dt = s.add_data(s.dg, Bytes(16), 4096);
  expect_refused(s, past_end);
  s.set_unfinalized(4);
  auto mdf = open_mdf(s.bytes());
  ASSERT_TRUE(mdf);
  EXPECT_EQ(block_cast<DgBlock>(mdf->hd()->data_groups[0])->data->length, s.size() - dt);
}

TEST(HostileInput, RecordWalksStayInProportionToTheFile) {
  // Each would let a small file make the walks read the same bytes or records many times.
  const Refusal cases[] = {
      {[](Skeleton& s) {  // two data groups on one data block
         std::uint64_t dt = s.add_data(s.dg, Bytes(16));
         std::uint64_t dg = s.add_data_group();
         s.add_channel_group(dg, {});
         s.set_link(dg, link::kDgData, dt);
       },
       "belongs to more than one data group"},
      {[](Skeleton& s) {  // a second data block inside the data of the first
         std::uint64_t dt = s.add_data(s.dg, Bytes(1000));
         s.patch_bytes(dt + 24, "##DT");
         s.patch_u64(dt + 32, 900);
         std::uint64_t dg = s.add_data_group();
         s.add_channel_group(dg, {});
         s.set_link(dg, link::kDgData, dt + 24);
       },
       "overlaps other blocks"},
      {[](Skeleton& s) {  // one SD block for the channels of two data groups
         std::uint64_t sd = s.add_signal_data(Bytes{1, 0, 0, 0, 7});
         s.add_channel(s.cg, {.type = 1, .data_type = 10, .bit_count = 32, .data = sd});
         std::uint64_t cg = s.add_channel_group(s.add_data_group(), {.data_bytes = 4});
         s.add_channel(cg, {.type = 1, .data_type = 10, .bit_count = 32, .data = sd});
       },
       "Signal data block at offset"},
  };
  expect_all_refused(cases);
  Skeleton s;  // records of 3 bytes (id and data) carry at most 256 channels
  s.patch_u8(s.dg + 56, 1);
  s.patch_u32(s.cg + 96, 2);
  for (int i = 1; i < 256; ++i)
    s.add_channel(s.cg, {.bit_count = 0});
  EXPECT_TRUE(open_mdf(s.bytes()));
  s.add_channel(s.cg, {.bit_count = 0});
  expect_refused(s, "has 257 channels for records of 3 bytes");
}

TEST(HostileInput, TextsSharedByManyBlocksAreScannedOnce) {
  // A large comment behind every history entry, a large name behind every channel of a
  // bus group: scanned once per link, these took time in proportion to their product.
  const std::string large = std::string(5'000'000, 'x') + "<tool_id>QK</tool_id>";
  for (int names : {0, 1, 2}) {  // 2: another tool's comment, taken with any_writer
    MdfBuilder b;
    if (names == 1) {
      b.add_history();
      std::uint64_t name = b.add_text(large);
      std::uint64_t dg = b.add_data_group();
      std::uint64_t cg =
          b.add_channel_group(dg, {.data_bytes = 1'000'000, .source = b.add_source("CAN1", 2, 2)});
      for (int i = 0; i < 30000; ++i)
        b.add_channel(cg, {.name_block = name, .bit_count = 0});
    } else {
      std::uint64_t comment = b.add_xml(names == 0 ? large : large.substr(0, 5'000'000));
      for (int i = 0; i < 50000; ++i)
        b.add_history_with_comment(comment);
    }
    auto start = std::chrono::steady_clock::now();
    // Another writer's file without bus groups is refused, once its history is read.
    EXPECT_EQ(bool(open_mdf(b.bytes(), &bus_channel_classifier(),
                            {.any_writer = true, .writer_hint = {}})),
              names != 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << names;
  }
}

TEST(HostileInput, LongChainsLoadInLinearTimeWithoutDeepRecursion) {
  // 200000 channels in a group, then 150000 groups of descending ids: each id moved all the
  // larger ones (100000 groups took 6 s, 150000 twice that, many times that under the
  // sanitizers). A guard, not a speed goal: the load takes seconds under the sanitizers on
  // a busy machine. Neither the load nor the release of the tree may recurse deep. A table
  // of 32767 pairs behind every channel: a copy each, sorted each time, made an 845 KB file
  // take a gigabyte and 38 s to open.
  constexpr std::size_t kChannels = 200000;
  constexpr std::uint64_t kGroups = 150000;
  std::vector<std::pair<double, double>> pairs;
  for (int i = 0; i < 32767; ++i)
    pairs.emplace_back(32767 - i + 0.5, i);
  MdfBuilder b;
  const std::uint64_t cc = b.add_value_table(pairs);
  std::uint64_t dg = b.add_data_group(8);
  std::uint64_t cg = b.add_channel_group(dg, {.data_bytes = 4096});  // room for the channels
  std::uint64_t name = b.add_text("x");
  for (std::size_t i = 0; i < kChannels; ++i)
    b.add_channel(cg, {.name_block = name, .conversion = cc});
  for (std::uint64_t i = 0; i < kGroups; ++i)
    cg = b.add_channel_group(dg, {.record_id = 1'000'000'000 - i, .data_bytes = 1});
  b.add_channel(cg, {.conversion = cc});
  auto start = std::chrono::steady_clock::now();
  auto mdf = open_mdf(b.bytes());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  ASSERT_TRUE(mdf);
  const auto* group = block_cast<DgBlock>(mdf->hd()->data_groups[0]);
  EXPECT_EQ(group->layouts.size(), kGroups + 1);
  ASSERT_NE(group->layouts.find(1'000'000'000ull - kGroups + 1), nullptr);
  EXPECT_EQ(group->layouts.find(1'000'000'001), nullptr);
  const auto& first = test::group_at(*mdf.file, 0, 0).decoders;
  const auto& last = test::group_at(*mdf.file, 0, kGroups).decoders;
  ASSERT_EQ(first.at(kChannels - 1).conversion.table().size(), 32767u);
  EXPECT_EQ(first[0].conversion.table().data(), first[kChannels - 1].conversion.table().data());
  EXPECT_EQ(first[0].conversion.table().data(), last.at(0).conversion.table().data());
  EXPECT_EQ(last[0].conversion.apply(1.5), 32766);
  EXPECT_EQ(collect_blocks(mdf->id.get()).size(), 2 + 1 + 1 + kGroups + 1 + kChannels + 2);
  EXPECT_TRUE(test::save_to_bytes(*mdf->id) == b.bytes());
  mdf.file.reset();
}

}  // namespace
}  // namespace busfold
