#include "mdf/hd_block.h"

#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

template <class Cursor> bool HdBlock::fields(Cursor& cursor) {
  return cursor.field(hd_start_time_ns) && cursor.field(hd_tz_offset_min) &&
         cursor.field(hd_dst_offset_min) && cursor.field(hd_time_flags) &&
         cursor.field(hd_time_class) && cursor.field(hd_flags) && cursor.skip(1) &&
         cursor.field(hd_start_angle_rad) && cursor.field(hd_start_distance_m);
}

Status HdBlock::load(LoadContext& ctx, const BlockHeader& header) {
  KindLinks<kKind> links;
  BUSFOLD_TRY(read_kind_links(ctx, header, links));
  BUSFOLD_TRY(load_chain(ctx, links[1], file_history));
  BUSFOLD_TRY(load_chain(ctx, links[0], data_groups));
  // Channel hierarchies, attachments and events are not part of what we read.
  if (links[2] != kNoOffset || links[3] != kNoOffset || links[4] != kNoOffset) {
    return make_error(ErrorCode::kUnsupported, "Unsupported parameter present in file");
  }
  BUSFOLD_TRY(load_link(ctx, links[5], comment));

  FieldReader in(ctx.stream, data_base());
  return fields_read(fields(in));
}

Status HdBlock::save(SaveContext& ctx, const MdfBlock*) {
  reserve_block(ctx, *this);
  Status result = save_chain(ctx, data_groups);
  keep_first_failure(result, save_chain(ctx, file_history));
  keep_first_failure(result, save_block(comment.get(), ctx, nullptr));

  const std::uint64_t links[] = {link_to(chain_first(data_groups)),
                                 link_to(chain_first(file_history)),
                                 0,
                                 0,
                                 0,
                                 link_to(comment)};
  return write_block(ctx, *this, links, std::move(result),
                     [this](FieldWriter& out) { return fields(out); });
}

void HdBlock::list_children(std::vector<MdfBlock*>& out) const {
  out.push_back(comment.get());
  for (const BlockRef& group : data_groups)
    out.push_back(group.get());
  for (const BlockRef& entry : file_history)
    out.push_back(entry.get());
}

std::int64_t HdBlock::field_position(const void* member) {
  FieldFinder finder(member);
  fields(finder);
  return finder.found();
}

}  // namespace busfold
