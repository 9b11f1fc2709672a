#include "mdf/cg_block.h"

#include "base/log.h"
#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

CgBlock::CgBlock() : MdfBlock(kKind) {}

bool CgBlock::load(LoadContext& ctx, const BlockHeader& header) {
  if (header.link_count != 6) return false;
  std::uint64_t links[6];
  if (!read_links(ctx.stream, links)) return false;
  next_link_ = links[0];
  if (!load_chain(ctx, links[1], channels) || !load_link(ctx, links[2], acq_name) ||
      !load_link(ctx, links[3], acq_source)) {
    return false;
  }
  // Sample reductions are not part of what we read.
  if (links[4] != kNoOffset) {
    BUSFOLD_LOG(kLogError, "Unsupported parameter present in file");
    return false;
  }
  if (!load_link(ctx, links[5], comment)) return false;

  FieldCursor fields(ctx.stream, data_base());
  if (!(fields.read_u64(cg_record_id) && fields.read_u64(cg_cycle_count) &&
        fields.read_u16(cg_flags) && fields.read_u16(cg_path_separator))) {
    return false;
  }
  fields.skip(4);
  if (!(fields.read_u32(cg_data_bytes) && fields.read_u32(cg_inval_bytes))) return false;
  vlsd_group = (cg_flags & kCgFlagVlsd) != 0;
  bus_event = (cg_flags & kCgFlagBusEvent) != 0;
  plain_bus_event = (cg_flags & kCgFlagPlainBusEvent) != 0;
  return build_decoders(ctx);
}

bool CgBlock::build_decoders(LoadContext& ctx) {
  decoders = build_channel_decoders(channels, ctx.classifier, &ctx.conversions);
  return true;
}

bool CgBlock::save(SaveContext& ctx, const MdfBlock* next) {
  reserve_block(ctx, *this);
  bool ok = save_chain(ctx, channels);
  ok = save_block(acq_name.get(), ctx, nullptr) && ok;
  ok = save_block(acq_source.get(), ctx, nullptr) && ok;
  ok = save_block(comment.get(), ctx, nullptr) && ok;
  const std::uint64_t links[] = {
      link_to(next),   link_to(chain_first(channels)), link_to(acq_name), link_to(acq_source), 0,
      link_to(comment)};
  if (!write_block_start(ctx, *this, links)) return false;
  FieldCursor fields(*ctx.stream, data_base());
  ok = fields.write_u64(cg_record_id) && fields.write_u64(cg_cycle_count) &&
       fields.write_u16(cg_flags) && fields.write_u16(cg_path_separator) && ok;
  fields.skip(4);
  return fields.write_u32(cg_data_bytes) && fields.write_u32(cg_inval_bytes) && ok;
}

void CgBlock::list_children(std::vector<MdfBlock*>& out) const {
  out.push_back(comment.get());
  out.push_back(acq_source.get());
  out.push_back(acq_name.get());
  for (const BlockRef& channel : channels)
    out.push_back(channel.get());
}

}  // namespace busfold
