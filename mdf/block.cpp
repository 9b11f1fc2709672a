#include "mdf/block.h"

#include <new>

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

namespace busfold {

namespace {

constexpr BlockDescriptor kDescriptors[] = {
    {BlockType::kUnknown, 0, 0, ""},  {BlockType::kId, 64, 0, ""},
    {BlockType::kCc, 80, 4, "##CC"},  {BlockType::kCg, 104, 6, "##CG"},
    {BlockType::kCn, 160, 8, "##CN"}, {BlockType::kDg, 64, 4, "##DG"},
    {BlockType::kDt, 24, 0, "##DT"},  {BlockType::kFh, 56, 2, "##FH"},
    {BlockType::kHd, 104, 6, "##HD"}, {BlockType::kMd, 24, 0, "##MD"},
    {BlockType::kSd, 24, 0, "##SD"},  {BlockType::kSi, 56, 3, "##SI"},
    {BlockType::kTx, 24, 0, "##TX"},
};

template <class T> BlockRef make_block() {
  try {
    return std::make_shared<T>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

const BlockDescriptor& block_descriptor(BlockType kind) {
  auto index = static_cast<std::uint32_t>(kind);
  if (index >= std::size(kDescriptors)) return kDescriptors[0];
  return kDescriptors[index];
}

MdfBlock::MdfBlock(BlockType kind)
    : length(block_descriptor(kind).length), link_count(block_descriptor(kind).link_count),
      kind_(kind) {}

void MdfBlock::list_children(std::vector<MdfBlock*>&) const {}

bool has_next_link(BlockType kind) {
  return kind == BlockType::kDg || kind == BlockType::kCg || kind == BlockType::kCn ||
         kind == BlockType::kFh;
}

BlockRef create_block(BlockType kind) {
  switch (kind) {
  case BlockType::kId: return make_block<IdBlock>();
  case BlockType::kCc: return make_block<CcBlock>();
  case BlockType::kCg: return make_block<CgBlock>();
  case BlockType::kCn: return make_block<CnBlock>();
  case BlockType::kDg: return make_block<DgBlock>();
  case BlockType::kDt: return make_block<DtBlock>();
  case BlockType::kFh: return make_block<FhBlock>();
  case BlockType::kHd: return make_block<HdBlock>();
  case BlockType::kMd: return make_block<MdBlock>();
  case BlockType::kSd: return make_block<SdBlock>();
  case BlockType::kSi: return make_block<SiBlock>();
  case BlockType::kTx: return make_block<TxBlock>();
  case BlockType::kUnknown: break;
  }
  return nullptr;
}

}  // namespace busfold
