#include "mdf/cg_block.h"

#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

template <class Cursor> bool CgBlock::fields(Cursor& cursor) {
  return cursor.field(cg_record_id) && cursor.field(cg_cycle_count) && cursor.field(cg_flags) &&
         cursor.field(cg_path_separator) && cursor.skip(4) && cursor.field(cg_data_bytes) &&
         cursor.field(cg_inval_bytes);
}

Status CgBlock::load(LoadContext& ctx, const BlockHeader& header) {
  KindLinks<kKind> links;
  BUSFOLD_TRY(read_kind_links(ctx, header, links));
  next_link_ = links[0];
  BUSFOLD_TRY(load_chain(ctx, links[1], channels));
  BUSFOLD_TRY(load_links(ctx, links, 2, {&acq_name, &acq_source}));
  // Sample reductions are not part of what we read.
  if (links[4] != kNoOffset) {
    return make_error(ErrorCode::kUnsupported, "Unsupported parameter present in file");
  }
  BUSFOLD_TRY(load_link(ctx, links[5], comment));

  FieldReader in(ctx.stream, data_base());
  BUSFOLD_TRY(fields_read(fields(in)));
  vlsd_group = (cg_flags & kCgFlagVlsd) != 0;
  bus_event = (cg_flags & kCgFlagBusEvent) != 0;
  plain_bus_event = (cg_flags & kCgFlagPlainBusEvent) != 0;
  decoders = build_channel_decoders(channels, ctx.classifier, &ctx.conversions, &ctx.warnings);
  return Status::success();
}

Status CgBlock::save(SaveContext& ctx, const MdfBlock* next) {
  reserve_block(ctx, *this);
  Status result = save_chain(ctx, channels);
  save_linked(ctx, result, {&acq_name, &acq_source, &comment});
  const std::uint64_t links[] = {
      link_to(next),   link_to(chain_first(channels)), link_to(acq_name), link_to(acq_source), 0,
      link_to(comment)};
  return write_block(ctx, *this, links, std::move(result),
                     [this](FieldWriter& out) { return fields(out); });
}

void CgBlock::list_children(std::vector<MdfBlock*>& out) const {
  out.push_back(comment.get());
  out.push_back(acq_source.get());
  out.push_back(acq_name.get());
  for (const BlockRef& channel : channels)
    out.push_back(channel.get());
}

std::int64_t CgBlock::field_position(const void* member) {
  FieldFinder finder(member);
  fields(finder);
  return finder.found();
}

}  // namespace busfold
