#include <gtest/gtest.h>

#include <cstring>

#include "io/bytes.h"
#include "io/memory_stream.h"
#include "mdf/block_codec.h"
#include "mdf/cc_block.h"
#include "mdf/cg_block.h"
#include "mdf/cn_block.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/fh_block.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"
#include "mdf/si_block.h"
#include "mdf/text_block.h"
#include "tests/support/mdf_builder.h"

namespace busfold {
namespace {

using test::MdfBuilder;
using test::open_mdf;
namespace link = test::link;

// Opens the bytes and returns the log it wrote with whether the open succeeded.
std::pair<bool, std::string> try_open(const MdfBuilder &b) {
  testing::internal::CaptureStderr();
  bool opened = static_cast<bool>(open_mdf(b.bytes()));
  return {opened, testing::internal::GetCapturedStderr()};
}

bool logged(const std::string &log, std::string_view message) {
  return log.find(std::string(message) + "\n") != std::string::npos;
}

TEST(HeaderAndHistory, AcceptsOnlyWhatWeRead) {
  {
    MdfBuilder b; // no history at all: nothing to check
    EXPECT_TRUE(try_open(b).first);
  }
  {
    MdfBuilder b;
    b.add_history("<FHcomment><TX>a long text</TX><tool_id>QK</tool_id><tool_vendor>x"
                  "</tool_vendor></FHcomment>");
    EXPECT_TRUE(try_open(b).first);
  }
  for (std::size_t link_index : {link::kHdChFirst, link::kHdAtFirst, link::kHdEvFirst}) {
    MdfBuilder b;
    b.set_link(MdfBuilder::kHdOffset, link_index, b.add_text("x"));
    auto [opened, log] = try_open(b);
    EXPECT_FALSE(opened);
    EXPECT_TRUE(logged(log, "Unsupported parameter present in file")) << link_index;
  }
  // A second entry of another tool, one without comment, and one with a TX comment.
  for (int variant = 0; variant < 3; ++variant) {
    MdfBuilder b;
    b.add_history();
    if (variant == 0) b.add_history("<FHcomment><tool_id>XY</tool_id></FHcomment>");
    if (variant == 1) b.add_history_with_comment(0);
    if (variant == 2) b.add_history_with_comment(b.add_text("<tool_id>QK</tool_id>"));
    auto [opened, log] = try_open(b);
    EXPECT_FALSE(opened) << variant;
    EXPECT_TRUE(logged(log, "Unsupported MF4 file")) << variant;
  }
}

TEST(HeaderAndHistory, FieldsSurviveTheRoundTrip) {
  MdfBuilder b;
  b.set_start_time(1'700'000'000'123'456'789);
  b.patch_u16(MdfBuilder::kHdOffset + 80, static_cast<std::uint16_t>(-60));
  b.patch_u8(MdfBuilder::kHdOffset + 88, 0xAB);
  b.set_link(MdfBuilder::kHdOffset, link::kHdComment, b.add_xml("<HDcomment/>"));
  std::uint64_t fh1 = b.add_history();
  std::uint64_t fh2 = b.add_history();
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  HdBlock *hd = mdf->hd();
  EXPECT_EQ(hd->hd_start_time_ns, 1'700'000'000'123'456'789u);
  EXPECT_EQ(hd->hd_tz_offset_min, -60);
  EXPECT_EQ(hd->hd_time_flags, 2);
  EXPECT_EQ(hd->hd_start_angle_rad[0], 0xAB);
  EXPECT_EQ(block_text(hd->comment), "<HDcomment/>");
  ASSERT_EQ(hd->file_history.size(), 2u);
  EXPECT_EQ(hd->file_history[0]->offset, fh1);
  EXPECT_EQ(hd->file_history[1]->offset, fh2);
  EXPECT_EQ(test::save_to_bytes(*mdf->id), b.bytes());
}

TEST(TextBlocks, SetTextAndPlacement) {
  TxBlock tx;
  tx.set_text("abc");
  EXPECT_EQ(tx.length, 28u);
  EXPECT_EQ(tx.view(), "abc");

  auto out = test::save_output();
  SaveContext ctx{out.get(), 1000, {}};
  ASSERT_TRUE(save_block(&tx, ctx, nullptr));
  EXPECT_EQ(tx.offset, 1000u);
  EXPECT_EQ(ctx.end_mark, 1028u);
  ASSERT_EQ(out->size(), 1028u);
  EXPECT_EQ(std::memcmp(out->bytes().data() + 1000, "##TX", 4), 0);
  EXPECT_EQ(load_le64(out->bytes().data() + 1008), 28u);
  EXPECT_EQ(std::memcmp(out->bytes().data() + 1024, "abc\0", 4), 0);

  // XML texts keep what follows them 8-byte aligned.
  MdBlock md;
  md.set_text("abcd");
  EXPECT_EQ(md.length, 29u);
  out = test::save_output();
  ctx = SaveContext{out.get(), 1000, {}};
  ASSERT_TRUE(save_block(&md, ctx, nullptr));
  EXPECT_EQ(md.offset, 1000u);
  EXPECT_EQ(ctx.end_mark, 1032u);

  // An empty TX (length 24) loads as an empty text.
  MdfBuilder b;
  std::uint64_t empty = b.add_block("##TX", {}, {});
  b.set_link(MdfBuilder::kHdOffset, link::kHdComment, empty);
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  EXPECT_TRUE(block_cast<TxBlock>(mdf->hd()->comment)->text.empty());
}

TEST(GroupsAndChannels, DerivedCodes) {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group(2);
  std::uint64_t can = b.add_source("CAN1", 2, 3);
  std::uint64_t other = b.add_source("", 1, 9);
  std::uint64_t cg = b.add_channel_group(
      dg, {.acq_name = "CAN1_Rx", .record_id = 7, .flags = 5, .data_bytes = 12, .source = can});
  b.add_channel_group(dg, {.record_id = 8, .flags = 2, .source = other});
  struct Case {
    std::uint8_t cn_type, cn_data_type;
    std::uint32_t kind, value_type;
  };
  const Case cases[] = {{0, 0, 0, 1},   {1, 1, 1, 0}, {2, 4, 2, 5}, {3, 6, 7, 7},
                        {6, 10, 6, 11}, {4, 2, 7, 0}, {5, 12, 7, 0}};
  for (const Case &c : cases)
    b.add_channel(cg, {.type = c.cn_type, .data_type = c.cn_data_type});

  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  auto *group = block_cast<DgBlock>(mdf->hd()->data_groups[0]);
  EXPECT_EQ(group->dg_rec_id_size, 2);
  auto *first = block_cast<CgBlock>(group->channel_groups[0]);
  EXPECT_TRUE(first->vlsd_group);
  EXPECT_FALSE(first->bus_event);
  EXPECT_TRUE(first->plain_bus_event);
  EXPECT_EQ(first->cg_record_id, 7u);
  EXPECT_EQ(first->cg_data_bytes, 12u);
  EXPECT_EQ(block_text(first->acq_name), "CAN1_Rx");
  auto *second = block_cast<CgBlock>(group->channel_groups[1]);
  EXPECT_TRUE(second->bus_event);
  EXPECT_FALSE(second->vlsd_group);

  auto *bus = block_cast<SiBlock>(first->acq_source);
  EXPECT_EQ(bus->source_kind, kSourceBus);
  EXPECT_EQ(bus->bus_kind, kBusLin);
  EXPECT_EQ(bus->name, bus->path);
  auto *tool = block_cast<SiBlock>(second->acq_source);
  EXPECT_EQ(tool->source_kind, kSourceOther);
  EXPECT_EQ(tool->bus_kind, kBusOther);

  ASSERT_EQ(first->channels.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    auto *cn = block_cast<CnBlock>(first->channels[i]);
    EXPECT_EQ(cn->channel_kind, cases[i].kind) << i;
    EXPECT_EQ(cn->value_type, cases[i].value_type) << i;
  }
  EXPECT_EQ(test::save_to_bytes(*mdf->id), b.bytes());
}

TEST(GroupsAndChannels, SampleReductionIsRefused) {
  MdfBuilder b;
  std::uint64_t cg = b.add_channel_group(b.add_data_group(), {});
  b.set_link(cg, link::kCgSrFirst, b.add_text("sr"));
  auto [opened, log] = try_open(b);
  EXPECT_FALSE(opened);
  EXPECT_TRUE(logged(log, "Unsupported parameter present in file"));
}

TEST(GroupsAndChannels, RequiredLinkCountsFailSilently) {
  for (const char *id : {"##DG", "##CG", "##CN", "##CC", "##SI", "##FH", "##TX"}) {
    MdfBuilder b;
    const std::uint64_t links[9] = {};
    std::vector<std::uint8_t> data(200, 0);
    std::uint64_t odd = b.add_block(id, links, data);
    b.set_link(MdfBuilder::kHdOffset, link::kHdComment, odd);
    auto [opened, log] = try_open(b);
    EXPECT_FALSE(opened) << id;
    EXPECT_EQ(log, "") << id;
  }
}

TEST(GroupsAndChannels, CompositionChainAndArrayBlocks) {
  MdfBuilder b;
  std::uint64_t cg = b.add_channel_group(b.add_data_group(), {});
  std::uint64_t frame = b.add_channel(cg, {.name = "CAN_DataFrame"});
  b.add_member(frame, {.name = "CAN_DataFrame.ID"});
  b.add_member(frame, {.name = "CAN_DataFrame.DLC"});
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  auto *group =
      block_cast<CgBlock>(block_cast<DgBlock>(mdf->hd()->data_groups[0])->channel_groups[0]);
  auto *cn = block_cast<CnBlock>(group->channels[0]);
  ASSERT_EQ(cn->members.size(), 2u);
  EXPECT_EQ(block_text(block_cast<CnBlock>(cn->members[1])->name), "CAN_DataFrame.DLC");

  // An array block in the composition is not a kind we read.
  std::vector<std::uint8_t> ca(40, 0);
  b.set_link(frame, link::kCnComposition, b.add_block("##CA", {}, ca));
  auto [opened, log] = try_open(b);
  EXPECT_FALSE(opened);
  EXPECT_TRUE(logged(log, "Unable to load block header for type ##CA"));
}

TEST(Conversions, BuildersAndValues) {
  CcBlock linear;
  linear.set_linear(10, 0.5);
  EXPECT_EQ(linear.cc_type, kCcLinear);
  EXPECT_EQ(linear.length, 96u);
  EXPECT_EQ(linear.cc_val_count(), 2);
  EXPECT_EQ(linear.value(0), 10.0);
  EXPECT_EQ(linear.value(1), 0.5);
  EXPECT_FALSE(linear.value(2));

  CcBlock table;
  const std::pair<double, double> pairs[] = {{1, 100}, {2, 200}, {3, 300}};
  ASSERT_TRUE(table.set_value_table(pairs));
  EXPECT_EQ(table.cc_type, kCcValueTable);
  EXPECT_EQ(table.cc_val_count(), 6);
  EXPECT_EQ(table.length, 80u + 48u);
  EXPECT_EQ(table.value(3), 200.0);
  std::vector<std::pair<double, double>> too_many(40000);
  EXPECT_FALSE(table.set_value_table(too_many));
  EXPECT_EQ(table.cc_val_count(), 6);

  // Loaded values and the inverse link survive a round trip.
  MdfBuilder b;
  std::uint64_t cg = b.add_channel_group(b.add_data_group(), {});
  std::uint64_t cc = b.add_value_table(pairs);
  b.set_link(cc, link::kCcInverse, b.add_linear_conversion(-1, 2));
  b.add_channel(cg, {.name = "DLC", .conversion = cc});
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  auto *group =
      block_cast<CgBlock>(block_cast<DgBlock>(mdf->hd()->data_groups[0])->channel_groups[0]);
  auto *conversion = block_cast<CcBlock>(block_cast<CnBlock>(group->channels[0])->conversion);
  ASSERT_NE(conversion, nullptr);
  EXPECT_EQ(conversion->values, (std::vector<double>{1, 100, 2, 200, 3, 300}));
  EXPECT_EQ(block_cast<CcBlock>(conversion->inverse)->value(0), -1.0);
  EXPECT_EQ(test::save_to_bytes(*mdf->id), b.bytes());
}

TEST(ChannelSetters, WriteOnlyTheOnDiskField) {
  CnBlock cn;
  cn.set_channel_kind(kChannelVlsd);
  cn.set_value_type(kValueByteArray);
  EXPECT_EQ(cn.cn_type, 1);
  EXPECT_EQ(cn.cn_data_type, 10);
  EXPECT_EQ(cn.channel_kind, 0u);
  EXPECT_EQ(cn.value_type, 0u);
  cn.set_channel_kind(3);
  cn.set_value_type(kValueUnsignedBe);
  EXPECT_EQ(cn.cn_type, 1);
  EXPECT_EQ(cn.cn_data_type, 10);
  cn.set_value_type(kValueFloatLe);
  EXPECT_EQ(cn.cn_data_type, 4);
}

// A tree built in memory: ID, HD with a comment and a history entry, two data groups of
// two channel groups of two channels each.
struct NewTree {
  std::shared_ptr<IdBlock> id = std::make_shared<IdBlock>();
  std::shared_ptr<HdBlock> hd = std::make_shared<HdBlock>();
  std::vector<MdfBlock *> expected_order;

  template <class T> std::shared_ptr<T> make() { return std::make_shared<T>(); }
  std::shared_ptr<TxBlock> text(std::string_view value) {
    auto tx = make<TxBlock>();
    tx->set_text(value);
    return tx;
  }

  NewTree() {
    id->hd = hd;
    id->id_vers = "4.11";
    id->id_prog = "QK     ";
    id->id_ver = 411;
    std::vector<MdfBlock *> groups_order;
    for (std::uint64_t g = 0; g < 2; ++g) {
      auto dg = make<DgBlock>();
      dg->data = make<DtBlock>();
      std::vector<MdfBlock *> dg_order{dg.get()};
      for (std::uint64_t c = 0; c < 2; ++c) {
        auto cg = make<CgBlock>();
        cg->cg_record_id = 2 * g + c;
        cg->acq_name = text("group");
        std::vector<MdfBlock *> cg_order{cg.get()};
        for (int n = 0; n < 2; ++n) {
          auto cn = make<CnBlock>();
          cn->name = text("channel");
          auto cc = make<CcBlock>();
          cc->set_linear(0, 1);
          cn->conversion = cc;
          cg->channels.push_back(cn);
          // Channels are placed last to first, each followed by its name and conversion.
          cg_order.insert(cg_order.begin() + 1, {cn.get(), cn->name.get(), cc.get()});
        }
        cg_order.push_back(cg->acq_name.get());
        dg->channel_groups.push_back(cg);
        dg_order.insert(dg_order.begin() + 1, cg_order.begin(), cg_order.end());
      }
      dg_order.push_back(dg->data.get());
      hd->data_groups.push_back(dg);
      groups_order.insert(groups_order.begin(), dg_order.begin(), dg_order.end());
    }
    auto fh = make<FhBlock>();
    auto fh_comment = make<MdBlock>();
    fh_comment->set_text(test::kQkHistoryComment);
    fh->comment = fh_comment;
    hd->file_history.push_back(fh);
    hd->comment = make<MdBlock>();
    block_cast<MdBlock>(hd->comment)->set_text("<HDcomment/>");
    expected_order = {id.get(), hd.get()};
    expected_order.insert(expected_order.end(), groups_order.begin(), groups_order.end());
    expected_order.insert(expected_order.end(), {fh.get(), fh_comment.get(), hd->comment.get()});
  }
};

TEST(SaveTree, NewBlocksArePlacedParentFirstAtTheEndMark) {
  NewTree tree;
  auto bytes = test::save_to_bytes(*tree.id);
  ASSERT_TRUE(bytes);
  std::uint64_t expected = 0;
  for (MdfBlock *block : tree.expected_order) {
    EXPECT_EQ(block->offset, expected) << static_cast<int>(block->kind());
    expected += block->length;
    if (block->kind() == BlockType::kMd) expected = (expected + 7) / 8 * 8;
  }
  EXPECT_EQ(tree.hd->offset, 64u);

  // What was written loads back to the same tree.
  auto mdf = open_mdf(*bytes);
  ASSERT_TRUE(mdf);
  EXPECT_EQ(std::string(mdf->id_block()->id_prog, 0, 8), std::string("QK     \0", 8));
  ASSERT_EQ(mdf->hd()->data_groups.size(), 2u);
  for (std::uint64_t g = 0; g < 2; ++g) {
    auto *dg = block_cast<DgBlock>(mdf->hd()->data_groups[g]);
    EXPECT_EQ(dg->offset, tree.hd->data_groups[g]->offset);
    ASSERT_EQ(dg->channel_groups.size(), 2u);
    for (std::uint64_t c = 0; c < 2; ++c) {
      auto *cg = block_cast<CgBlock>(dg->channel_groups[c]);
      EXPECT_EQ(cg->cg_record_id, 2 * g + c);
      ASSERT_EQ(cg->channels.size(), 2u);
      EXPECT_EQ(block_text(block_cast<CnBlock>(cg->channels[1])->name), "channel");
    }
  }
  EXPECT_EQ(test::save_to_bytes(*mdf->id), bytes);
}

TEST(SaveTree, LoadedBlocksStayAndNewOnesGoToTheEnd) {
  MdfBuilder b;
  b.add_history();
  std::uint64_t dg = b.add_data_group(1);
  std::uint64_t cg = b.add_channel_group(dg, {.record_id = 1});
  b.add_channel(cg, {.name = "a"});
  std::uint64_t end = b.size();
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  auto *group = block_cast<DgBlock>(mdf->hd()->data_groups[0]);
  auto added = std::make_shared<CgBlock>();
  added->cg_record_id = 2;
  auto name = std::make_shared<TxBlock>();
  name->set_text("new");
  added->acq_name = name;
  group->channel_groups.push_back(added);

  auto bytes = test::save_to_bytes(*mdf->id);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(group->offset, dg);
  EXPECT_EQ(group->channel_groups[0]->offset, cg);
  EXPECT_EQ(added->offset, end);
  EXPECT_EQ(name->offset, end + 104);
  EXPECT_EQ(load_le64(bytes->data() + cg + 24), end); // the old group now has a next
  EXPECT_EQ(bytes->size(), end + 104 + 28);
}

TEST(SaveTree, ChainLinksOfThreeGroups) {
  auto dg = std::make_shared<DgBlock>();
  for (int i = 0; i < 3; ++i)
    dg->channel_groups.push_back(std::make_shared<CgBlock>());
  auto out = test::save_output();
  SaveContext ctx{out.get(), 0, {}};
  ASSERT_TRUE(save_block(dg.get(), ctx, nullptr));
  const std::uint8_t *bytes = out->bytes().data();
  EXPECT_EQ(load_le64(bytes + 24 + 8), dg->channel_groups[0]->offset);
  for (int i = 0; i < 3; ++i) {
    std::uint64_t next = i < 2 ? dg->channel_groups[i + 1]->offset : 0;
    EXPECT_EQ(load_le64(bytes + dg->channel_groups[i]->offset + 24), next) << i;
  }
}

TEST(SaveTree, FailuresAreReported) {
  // A link count that the kind's links do not match: the block is not written.
  auto id = std::make_shared<IdBlock>();
  auto hd = std::make_shared<HdBlock>();
  id->hd = hd;
  auto cg = std::make_shared<CgBlock>();
  auto dg = std::make_shared<DgBlock>();
  dg->channel_groups.push_back(cg);
  hd->data_groups.push_back(dg);
  cg->link_count = 7;
  auto out = test::save_output();
  EXPECT_FALSE(save_tree(*id, *out));
  cg->link_count = 6;
  hd->link_count = 5;
  out = test::save_output();
  SaveContext ctx{out.get(), 0, {}};
  EXPECT_FALSE(save_block(id.get(), ctx, nullptr));
  ASSERT_GT(out->size(), 88u);
  EXPECT_EQ(load_le64(out->bytes().data() + 64 + 16), 0u); // HD header never written

  // A channel whose length is not what its fields fill is written, with a complaint.
  CnBlock cn;
  cn.length = 168;
  out = test::save_output();
  ctx = SaveContext{out.get(), 0, {}};
  testing::internal::CaptureStderr();
  EXPECT_TRUE(save_block(&cn, ctx, nullptr));
  EXPECT_TRUE(logged(testing::internal::GetCapturedStderr(),
                     "Error during save. Expected to be at 168 but stream is at 160"));
}

TEST(SaveTree, VlsdGroupBeforeItsUserKeepsTheChain) {
  // The VLSD group comes first in the chain and is also a channel's data: whichever path
  // saves it first, its next link must still reach the group after it.
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group(1);
  std::uint64_t vlsd = b.add_channel_group(dg, {.record_id = 2, .flags = 1});
  std::uint64_t user = b.add_channel_group(dg, {.record_id = 1, .data_bytes = 4});
  b.add_channel(user,
                {.name = "DataBytes", .type = 1, .data_type = 10, .bit_count = 32, .data = vlsd});
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  auto bytes = test::save_to_bytes(*mdf->id);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, b.bytes());
}

} // namespace
} // namespace busfold
