#include "mdf/dg_block.h"

#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

DgBlock::DgBlock() : MdfBlock(kKind) {}

bool DgBlock::load(LoadContext& ctx, const BlockHeader& header) {
  if (header.link_count != 4) return false;
  std::uint64_t links[4];
  if (!read_links(ctx.stream, links)) return false;
  next_link_ = links[0];
  if (!load_chain(ctx, links[1], channel_groups) || !load_link(ctx, links[2], data) ||
      !load_link(ctx, links[3], comment)) {
    return false;
  }
  FieldCursor fields(ctx.stream, data_base());
  return fields.read_u8(dg_rec_id_size) && build_layouts(ctx);
}

bool DgBlock::build_layouts(LoadContext&) { return true; }

bool DgBlock::save(SaveContext& ctx, const MdfBlock* next) {
  reserve_block(ctx, *this);
  bool ok = save_chain(ctx, channel_groups);
  ok = save_block(data.get(), ctx, nullptr) && ok;
  ok = save_block(comment.get(), ctx, nullptr) && ok;
  const std::uint64_t links[] = {link_to(next), link_to(chain_first(channel_groups)), link_to(data),
                                 link_to(comment)};
  if (!write_block_start(ctx, *this, links)) return false;
  FieldCursor fields(*ctx.stream, data_base());
  static constexpr std::uint8_t kReserved[7] = {};
  return fields.write_u8(dg_rec_id_size) && fields.write_bytes(kReserved) && ok;
}

void DgBlock::list_children(std::vector<MdfBlock*>& out) const {
  out.push_back(comment.get());
  out.push_back(data.get());
  for (const BlockRef& group : channel_groups)
    out.push_back(group.get());
}

}  // namespace busfold
