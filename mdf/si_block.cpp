#include "mdf/si_block.h"

#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

template <class Cursor> bool SiBlock::fields(Cursor& cursor) {
  return cursor.field(si_type) && cursor.field(si_bus_type) && cursor.field(si_flags);
}

Status SiBlock::load(LoadContext& ctx, const BlockHeader& header) {
  KindLinks<kKind> links;
  BUSFOLD_TRY(read_kind_links(ctx, header, links));
  BUSFOLD_TRY(load_links(ctx, links, 0, {&name, &path, &comment}));
  FieldReader in(ctx.stream, data_base());
  BUSFOLD_TRY(fields_read(fields(in)));
  source_kind = si_type == kSiTypeBus ? kSourceBus : kSourceOther;
  switch (si_bus_type) {
  case 0: bus_kind = kBusNone; break;
  case kSiBusCan: bus_kind = kBusCan; break;
  case kSiBusLin: bus_kind = kBusLin; break;
  default: bus_kind = kBusOther; break;
  }
  return Status::success();
}

Status SiBlock::save(SaveContext& ctx, const MdfBlock*) {
  reserve_block(ctx, *this);
  Status result;
  save_linked(ctx, result, {&name, &path, &comment});
  const std::uint64_t links[] = {link_to(name), link_to(path), link_to(comment)};
  return write_block(ctx, *this, links, std::move(result),
                     [this](FieldWriter& out) { return fields(out); });
}

void SiBlock::list_children(std::vector<MdfBlock*>& out) const {
  for (const BlockRef* linked : {&name, &path, &comment})
    out.push_back(linked->get());
}

}  // namespace busfold
