#include "mdf/si_block.h"

#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

SiBlock::SiBlock() : MdfBlock(kKind) {}

bool SiBlock::load(LoadContext& ctx, const BlockHeader& header) {
  if (header.link_count != 3) return false;
  std::uint64_t links[3];
  if (!read_links(ctx.stream, links)) return false;
  if (!load_link(ctx, links[0], name) || !load_link(ctx, links[1], path) ||
      !load_link(ctx, links[2], comment)) {
    return false;
  }
  FieldCursor fields(ctx.stream, data_base());
  if (!(fields.read_u8(si_type) && fields.read_u8(si_bus_type) && fields.read_u8(si_flags))) {
    return false;
  }
  source_kind = si_type == kSiTypeBus ? kSourceBus : kSourceOther;
  switch (si_bus_type) {
  case 0: bus_kind = kBusNone; break;
  case kSiBusCan: bus_kind = kBusCan; break;
  case kSiBusLin: bus_kind = kBusLin; break;
  default: bus_kind = kBusOther; break;
  }
  return true;
}

bool SiBlock::save(SaveContext& ctx, const MdfBlock*) {
  reserve_block(ctx, *this);
  bool ok = true;
  for (const BlockRef* linked : {&name, &path, &comment}) {
    ok = save_block(linked->get(), ctx, nullptr) && ok;
  }
  const std::uint64_t links[] = {link_to(name), link_to(path), link_to(comment)};
  if (!write_block_start(ctx, *this, links)) return false;
  FieldCursor fields(*ctx.stream, data_base());
  return fields.write_u8(si_type) && fields.write_u8(si_bus_type) && fields.write_u8(si_flags) &&
         ok;
}

void SiBlock::list_children(std::vector<MdfBlock*>& out) const {
  for (const BlockRef* linked : {&name, &path, &comment})
    out.push_back(linked->get());
}

}  // namespace busfold
