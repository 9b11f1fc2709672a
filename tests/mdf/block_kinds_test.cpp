#include <gtest/gtest.h>

#include <cstring>

#include "base/bytes.h"
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

// Whether the file opens, and what the open logged.
std::pair<bool, std::string> try_open(const MdfBuilder& b) {
  testing::internal::CaptureStderr();
  bool opened = static_cast<bool>(open_mdf(b.bytes()));
  return {opened, testing::internal::GetCapturedStderr()};
}

bool logged(const std::string& log, std::string_view message) {
  return log.find(std::string(message) + "\n") != std::string::npos;
}

TEST(HeaderAndHistory, AcceptsOnlyWhatWeRead) {
  MdfBuilder no_history;  // nothing to check
  EXPECT_TRUE(try_open(no_history).first);
  MdfBuilder longer;
  longer.add_history("<FHcomment><TX>text</TX><tool_id>QK</tool_id><x/></FHcomment>");
  EXPECT_TRUE(try_open(longer).first);

  for (std::size_t index : {link::kHdChFirst, link::kHdAtFirst, link::kHdEvFirst}) {
    MdfBuilder b;
    b.set_link(MdfBuilder::kHdOffset, index, b.add_text("x"));
    auto [opened, log] = try_open(b);
    EXPECT_FALSE(opened);
    EXPECT_TRUE(logged(log, "Unsupported parameter present in file")) << index;
  }
  // A second entry of another tool, one without comment, one with a TX comment.
  for (int variant = 0; variant < 3; ++variant) {
    MdfBuilder b;
    b.add_history();
    if (variant == 0) b.add_history("<FHcomment><tool_id>XY</tool_id></FHcomment>");
    if (variant == 1) b.add_history_with_comment(0);
    if (variant == 2) b.add_history_with_comment(b.add_text("<tool_id>QK</tool_id>"));
    auto [opened, log] = try_open(b);
    EXPECT_FALSE(opened);
    EXPECT_TRUE(logged(log, "Unsupported MF4 file")) << variant;
  }
}

TEST(TextBlocks, SetTextAndPlacement) {
  TxBlock tx;
  tx.set_text("abc");
  EXPECT_EQ(tx.length, 28u);
  auto out = test::save_output();
  SaveContext ctx{out.get(), 1000, {}};
  ASSERT_TRUE(save_block(&tx, ctx, nullptr));
  EXPECT_EQ(tx.offset, 1000u);
  EXPECT_EQ(ctx.end_mark, 1028u);
  ASSERT_EQ(out->size(), 1028u);
  EXPECT_EQ(std::memcmp(out->bytes().data() + 1024, "abc\0", 4), 0);

  // XML texts keep what follows them 8-byte aligned.
  MdBlock md;
  md.set_text("abcd");
  EXPECT_EQ(md.length, 29u);
  ctx.end_mark = 1000;
  ASSERT_TRUE(save_block(&md, ctx, nullptr));
  EXPECT_EQ(md.offset, 1000u);
  EXPECT_EQ(ctx.end_mark, 1032u);

  MdfBuilder b;  // a TX of length 24 is an empty text
  b.set_link(MdfBuilder::kHdOffset, link::kHdComment, b.add_block("##TX", {}, {}));
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  EXPECT_TRUE(block_cast<TxBlock>(mdf->hd()->comment)->text.empty());
}

TEST(GroupsAndChannels, DerivedCodes) {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group(2);
  std::uint64_t cg = b.add_channel_group(dg, {.flags = 5, .source = b.add_source("LIN1", 2, 3)});
  b.add_channel_group(dg, {.flags = 2, .source = b.add_source("", 1, 9)});
  struct Case {
    std::uint8_t cn_type, cn_data_type;
    std::uint32_t kind, value_type;
  };
  const Case cases[] = {{0, 0, 0, 1},   {1, 1, 1, 0}, {2, 4, 2, 5}, {3, 6, 7, 7},
                        {6, 10, 6, 11}, {4, 2, 7, 0}, {5, 12, 7, 0}};
  for (const Case& c : cases)
    b.add_channel(cg, {.type = c.cn_type, .data_type = c.cn_data_type});

  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  auto* group = block_cast<DgBlock>(mdf->hd()->data_groups[0]);
  auto* first = block_cast<CgBlock>(group->channel_groups[0]);
  auto* second = block_cast<CgBlock>(group->channel_groups[1]);
  EXPECT_EQ(std::vector<bool>({first->vlsd_group, first->bus_event, first->plain_bus_event}),
            std::vector<bool>({true, false, true}));
  EXPECT_EQ(std::vector<bool>({second->vlsd_group, second->bus_event, second->plain_bus_event}),
            std::vector<bool>({false, true, false}));
  auto* lin = block_cast<SiBlock>(first->acq_source);
  EXPECT_EQ(lin->source_kind, kSourceBus);
  EXPECT_EQ(lin->bus_kind, kBusLin);
  auto* other = block_cast<SiBlock>(second->acq_source);
  EXPECT_EQ(other->source_kind, kSourceOther);
  EXPECT_EQ(other->bus_kind, kBusOther);
  ASSERT_EQ(first->channels.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    auto* cn = block_cast<CnBlock>(first->channels[i]);
    EXPECT_EQ(cn->channel_kind, cases[i].kind) << i;
    EXPECT_EQ(cn->value_type, cases[i].value_type) << i;
  }
}

TEST(GroupsAndChannels, RefusedStructures) {
  // Wrong link counts fail silently.
  for (const char* id : {"##DG", "##CG", "##CN", "##CC", "##SI", "##FH", "##TX"}) {
    MdfBuilder b;
    const std::uint64_t links[9] = {};
    b.set_link(MdfBuilder::kHdOffset, link::kHdComment,
               b.add_block(id, links, std::vector<std::uint8_t>(200)));
    EXPECT_EQ(try_open(b), std::make_pair(false, std::string())) << id;
  }
  MdfBuilder b;
  std::uint64_t cg = b.add_channel_group(b.add_data_group(), {});
  std::uint64_t frame = b.add_channel(cg, {});
  b.set_link(frame, link::kCnComposition, b.add_block("##CA", {}, std::vector<std::uint8_t>(40)));
  auto [opened, log] = try_open(b);
  EXPECT_FALSE(opened);
  EXPECT_TRUE(logged(log, "Unable to load block header for type ##CA"));
  b.set_link(frame, link::kCnComposition, 0);
  b.set_link(cg, link::kCgSrFirst, b.add_text("sample reduction"));
  std::tie(opened, log) = try_open(b);
  EXPECT_FALSE(opened);
  EXPECT_TRUE(logged(log, "Unsupported parameter present in file"));
}

TEST(Setters, ConversionsAndChannels) {
  CcBlock cc;
  cc.set_linear(10, 0.5);
  EXPECT_EQ(cc.length, 96u);
  EXPECT_EQ(cc.value(1), 0.5);
  EXPECT_FALSE(cc.value(2));
  const std::pair<double, double> pairs[] = {{1, 100}, {2, 200}, {3, 300}};
  ASSERT_TRUE(cc.set_value_table(pairs));
  EXPECT_EQ(cc.length, 80u + 48u);
  EXPECT_EQ(cc.value(3), 200.0);
  EXPECT_FALSE(cc.set_value_table(std::vector<std::pair<double, double>>(40000)));

  // Channel setters write only the on-disk field, and only values they know.
  CnBlock cn;
  cn.set_channel_kind(kChannelVlsd);
  cn.set_value_type(kValueByteArray);
  cn.set_channel_kind(3);
  cn.set_value_type(kValueUnsignedBe);
  EXPECT_EQ(cn.cn_type + cn.cn_data_type, 11);
  EXPECT_EQ(cn.channel_kind + cn.value_type, 0u);
}

// The order in which a save places a new tree: ID, HD, then data groups last to first,
// each followed by its channel groups last to first, their channels last to first (each
// with its name and conversion), the group's name, the data block; then history, comment.
TEST(SaveTree, NewBlocksArePlacedParentFirstAtTheEndMark) {
  auto id = std::make_shared<IdBlock>();
  auto hd = std::make_shared<HdBlock>();
  id->hd = hd;
  id->id_prog = "QK     ";
  std::vector<MdfBlock*> order = {id.get(), hd.get()};
  auto text = [](std::string_view value) {
    auto tx = std::make_shared<TxBlock>();
    tx->set_text(value);
    return tx;
  };
  for (int g = 0; g < 2; ++g) {
    auto dg = std::make_shared<DgBlock>();
    dg->dg_rec_id_size = 1;
    dg->data = std::make_shared<DtBlock>();
    std::vector<MdfBlock*> dg_order{dg.get()};
    for (std::uint64_t c = 0; c < 2; ++c) {
      auto cg = std::make_shared<CgBlock>();
      cg->cg_record_id = c;
      cg->acq_name = text("group");
      std::vector<MdfBlock*> cg_order{cg.get(), cg->acq_name.get()};
      for (int n = 0; n < 2; ++n) {
        auto cn = std::make_shared<CnBlock>();
        cn->name = text("channel");
        auto cc = std::make_shared<CcBlock>();
        cc->set_linear(0, 1);
        cn->conversion = cc;
        cg->channels.push_back(cn);
        cg_order.insert(cg_order.begin() + 1, {cn.get(), cn->name.get(), cc.get()});
      }
      dg->channel_groups.push_back(cg);
      dg_order.insert(dg_order.begin() + 1, cg_order.begin(), cg_order.end());
    }
    dg_order.push_back(dg->data.get());
    hd->data_groups.push_back(dg);
    order.insert(order.begin() + 2, dg_order.begin(), dg_order.end());
  }
  auto fh = std::make_shared<FhBlock>();
  auto fh_comment = std::make_shared<MdBlock>();
  fh_comment->set_text(test::kQkHistoryComment);
  fh->comment = fh_comment;
  hd->file_history.push_back(fh);
  auto hd_comment = std::make_shared<MdBlock>();
  hd_comment->set_text("<HDcomment/>");
  hd->comment = hd_comment;
  order.insert(order.end(), {fh.get(), fh_comment.get(), hd_comment.get()});

  auto bytes = test::save_to_bytes(*id);
  ASSERT_TRUE(bytes);
  std::uint64_t expected = 0;
  for (MdfBlock* block : order) {
    EXPECT_EQ(block->offset, expected) << static_cast<int>(block->kind());
    expected += block->length;
    if (block->kind() == BlockType::kMd) expected = (expected + 7) / 8 * 8;
  }
  // What was written loads back to a tree that saves to the same bytes.
  auto mdf = open_mdf(*bytes);
  ASSERT_TRUE(mdf);
  EXPECT_EQ(mdf->id_block()->id_prog, std::string("QK     \0", 8));
  EXPECT_EQ(test::save_to_bytes(*mdf->id), bytes);
}

TEST(SaveTree, LoadedBlocksStayAndNewOnesGoToTheEnd) {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group(1);
  std::uint64_t cg = b.add_channel_group(dg, {.record_id = 1});
  b.add_channel(cg, {.name = "a"});
  std::uint64_t end = b.size();
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  auto added = std::make_shared<CgBlock>();
  auto name = std::make_shared<TxBlock>();
  name->set_text("new");
  added->acq_name = name;
  block_cast<DgBlock>(mdf->hd()->data_groups[0])->channel_groups.push_back(added);

  auto bytes = test::save_to_bytes(*mdf->id);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(added->offset, end);
  EXPECT_EQ(name->offset, end + 104);
  EXPECT_EQ(bytes->size(), end + 104 + 28);
  EXPECT_EQ(load_le64(bytes->data() + cg + 24), end);  // the old group's next
  bytes->resize(end);
  std::vector<std::uint8_t> expected = b.bytes();
  std::memcpy(expected.data() + cg + 24, bytes->data() + cg + 24, 8);
  EXPECT_TRUE(*bytes == expected);
}

TEST(SaveTree, ChainOfThreeGroupsAndVlsdGroupFirst) {
  auto dg = std::make_shared<DgBlock>();
  for (int i = 0; i < 3; ++i)
    dg->channel_groups.push_back(std::make_shared<CgBlock>());
  auto out = test::save_output();
  SaveContext ctx{out.get(), 0, {}};
  ASSERT_TRUE(save_block(dg.get(), ctx, nullptr));
  const std::uint8_t* bytes = out->bytes().data();
  EXPECT_EQ(load_le64(bytes + 32), dg->channel_groups[0]->offset);
  for (int i = 0; i < 3; ++i) {
    std::uint64_t next = i < 2 ? dg->channel_groups[i + 1]->offset : 0;
    EXPECT_EQ(load_le64(bytes + dg->channel_groups[i]->offset + 24), next) << i;
  }

  // A VLSD group that comes first in its chain is also a channel's data: whichever path
  // saves it first, its next link must still reach the group after it.
  MdfBuilder b;
  std::uint64_t dg2 = b.add_data_group(1);
  std::uint64_t vlsd = b.add_channel_group(dg2, {.record_id = 2, .flags = 1});
  std::uint64_t user = b.add_channel_group(dg2, {.record_id = 1, .data_bytes = 4});
  b.add_channel(user, {.type = 1, .data_type = 10, .bit_count = 32, .data = vlsd});
  auto mdf = open_mdf(b.bytes());
  ASSERT_TRUE(mdf);
  EXPECT_EQ(test::save_to_bytes(*mdf->id), b.bytes());
}

TEST(SaveTree, FailuresAreReported) {
  // A link count the kind's links do not match: the block is not written and the save
  // of everything above it fails.
  auto id = std::make_shared<IdBlock>();
  auto hd = std::make_shared<HdBlock>();
  auto dg = std::make_shared<DgBlock>();
  auto cg = std::make_shared<CgBlock>();
  id->hd = hd;
  hd->data_groups.push_back(dg);
  dg->channel_groups.push_back(cg);
  cg->link_count = 7;
  auto out = test::save_output();
  EXPECT_FALSE(save_tree(*id, *out));
  EXPECT_LE(out->size(), cg->offset);

  // A channel longer than its fields is written, with a complaint.
  CnBlock cn;
  cn.length = 168;
  SaveContext ctx{out.get(), 0, {}};
  testing::internal::CaptureStderr();
  EXPECT_TRUE(save_block(&cn, ctx, nullptr));
  EXPECT_TRUE(logged(testing::internal::GetCapturedStderr(),
                     "Error during save. Expected to be at 168 but stream is at 160"));
}

}  // namespace
}  // namespace busfold
