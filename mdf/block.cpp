#include "mdf/block.h"

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

template <class T> BlockRef make_block() { return std::make_shared<T>(); }

}  // namespace

MdfBlock::MdfBlock(BlockType kind)
    : length(block_descriptor(kind).length), link_count(block_descriptor(kind).link_count),
      kind_(kind) {}

void MdfBlock::list_children(std::vector<MdfBlock*>&) const {}

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
