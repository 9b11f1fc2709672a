#include "mdf/hd_block.h"

#include "base/log.h"
#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

HdBlock::HdBlock() : MdfBlock(kKind) {}

bool HdBlock::load(LoadContext& ctx, const BlockHeader& header) {
  if (header.link_count != 6) return false;
  std::uint64_t links[6];
  if (!read_links(ctx.stream, links)) return false;
  if (!load_chain(ctx, links[1], file_history) || !load_chain(ctx, links[0], data_groups)) {
    return false;
  }
  // Channel hierarchies, attachments and events are not part of what we read.
  if (links[2] != kNoOffset || links[3] != kNoOffset || links[4] != kNoOffset) {
    BUSFOLD_LOG(kLogError, "Unsupported parameter present in file");
    return false;
  }
  if (!load_link(ctx, links[5], comment)) return false;

  FieldCursor fields(ctx.stream, data_base());
  if (!(fields.read_u64(hd_start_time_ns) && fields.read_i16(hd_tz_offset_min) &&
        fields.read_i16(hd_dst_offset_min) && fields.read_u8(hd_time_flags) &&
        fields.read_u8(hd_time_class) && fields.read_u8(hd_flags))) {
    return false;
  }
  fields.skip(1);
  return fields.read_bytes(hd_start_angle_rad) && fields.read_bytes(hd_start_distance_m);
}

bool HdBlock::save(SaveContext& ctx, const MdfBlock*) {
  reserve_block(ctx, *this);
  bool ok = save_chain(ctx, data_groups);
  ok = save_chain(ctx, file_history) && ok;
  ok = save_block(comment.get(), ctx, nullptr) && ok;

  const std::uint64_t links[] = {link_to(chain_first(data_groups)),
                                 link_to(chain_first(file_history)),
                                 0,
                                 0,
                                 0,
                                 link_to(comment)};
  if (!write_block_start(ctx, *this, links)) return false;
  FieldCursor fields(*ctx.stream, data_base());
  ok = fields.write_u64(hd_start_time_ns) && fields.write_i16(hd_tz_offset_min) &&
       fields.write_i16(hd_dst_offset_min) && fields.write_u8(hd_time_flags) &&
       fields.write_u8(hd_time_class) && fields.write_u8(hd_flags) && ok;
  fields.skip(1);
  return fields.write_bytes(hd_start_angle_rad) && fields.write_bytes(hd_start_distance_m) && ok;
}

void HdBlock::list_children(std::vector<MdfBlock*>& out) const {
  out.push_back(comment.get());
  for (const BlockRef& group : data_groups)
    out.push_back(group.get());
  for (const BlockRef& entry : file_history)
    out.push_back(entry.get());
}

}  // namespace busfold
