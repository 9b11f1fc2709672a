// A data group: a chain of channel groups whose records share one data block.
#pragma once

#include <cstdint>
#include <vector>

#include "mdf/block.h"
#include "mdf/record_layout.h"

namespace busfold {

class CgBlock;

class DgBlock final : public BlockOfKind<BlockType::kDg> {
public:
  BUSFOLD_BLOCK_CODEC;

  std::vector<BlockRef> channel_groups;  // file order
  BlockRef data;                         // DT
  BlockRef comment;
  std::uint8_t dg_rec_id_size = 0;  // bytes of record id before each record

  // Built at load: the layout of each record id (id 0 when the records carry no id).
  RecordLayouts layouts;

  // The layout the records of one of this group's channel groups are read with, or null.
  const RecordLayout* layout_of(const CgBlock& group) const;
  // The group kind its records are decoded as; 0 for a group without a layout.
  std::uint32_t group_kind_of(const CgBlock& group) const;

private:
  template <class Cursor> bool fields(Cursor& cursor);  // for load and save alike
  // Last step of the load, once the channel groups are in: where the per-record-id
  // layouts of the records are made.
  Status build_layouts(LoadContext& ctx);
};

}  // namespace busfold
