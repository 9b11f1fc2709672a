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

// The block class of a kind is the one whose kKind it is.
template <class... Classes> BlockRef make_block_of(BlockType kind) {
  BlockRef block;
  (void)((kind == Classes::kKind ? (block = std::make_shared<Classes>(), true) : false) || ...);
  return block;
}

}  // namespace

MdfBlock::MdfBlock(BlockType kind)
    : length(block_descriptor(kind).length), link_count(block_descriptor(kind).link_count),
      kind_(kind) {}

void MdfBlock::list_children(std::vector<MdfBlock*>&) const {}

BlockRef create_block(BlockType kind) {
  return make_block_of<IdBlock, CcBlock, CgBlock, CnBlock, DgBlock, DtBlock, FhBlock, HdBlock,
                       MdBlock, SdBlock, SiBlock, TxBlock>(kind);
}

}  // namespace busfold
