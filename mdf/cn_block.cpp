#include "mdf/cn_block.h"

#include <cstddef>

#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

std::uint32_t channel_kind_of(std::uint8_t cn_type) {
  switch (cn_type) {
  case 0: return kChannelFixedLength;
  case 1: return kChannelVlsd;
  case 2: return kChannelMaster;
  case 6: return kChannelVirtualData;
  default: return kChannelUnsupported;
  }
}

std::uint32_t value_type_of(std::uint8_t cn_data_type) {
  switch (cn_data_type) {
  case 0:   // unsigned integer, little-endian
  case 4:   // float, little-endian
  case 6:   // string, ISO 8859-1
  case 10:  // byte array
    return static_cast<std::uint32_t>(cn_data_type) + 1;
  default: return kValueUnsupported;
  }
}

template <class Cursor> bool CnBlock::fields(Cursor& cursor) {
  return cursor.field(cn_type) && cursor.field(cn_sync_type) && cursor.field(cn_data_type) &&
         cursor.field(cn_bit_offset) && cursor.field(cn_byte_offset) &&
         cursor.field(cn_bit_count) && cursor.field(cn_flags) && cursor.field(cn_inval_bit_pos) &&
         cursor.field(cn_precision) && cursor.skip(1) && cursor.field(cn_attachment_count) &&
         cursor.field(cn_val_range_min) && cursor.field(cn_val_range_max) &&
         cursor.field(cn_limit_min) && cursor.field(cn_limit_max) &&
         cursor.field(cn_limit_ext_min) && cursor.field(cn_limit_ext_max);
}

Status CnBlock::load(LoadContext& ctx, const BlockHeader& header) {
  KindLinks<kKind> links;
  BUSFOLD_TRY(read_kind_links(ctx, header, links));
  next_link_ = links[0];
  BUSFOLD_TRY(load_chain(ctx, links[1], members));
  BUSFOLD_TRY(load_links(ctx, links, 2, {&name, &source, &conversion, &data, &unit, &comment}));

  FieldReader in(ctx.stream, data_base());
  BUSFOLD_TRY(fields_read(fields(in)));
  channel_kind = channel_kind_of(cn_type);
  value_type = value_type_of(cn_data_type);
  return Status::success();
}

Status CnBlock::save(SaveContext& ctx, const MdfBlock* next) {
  reserve_block(ctx, *this);
  Status result = save_chain(ctx, members);
  save_linked(ctx, result, {&name, &source, &conversion, &data, &unit, &comment});
  const std::uint64_t links[] = {link_to(next),       link_to(chain_first(members)),
                                 link_to(name),       link_to(source),
                                 link_to(conversion), link_to(data),
                                 link_to(unit),       link_to(comment)};
  BUSFOLD_TRY(write_block(ctx, *this, links, std::move(result),
                          [this](FieldWriter& out) { return fields(out); }));

  // A length other than the fields we write would leave a hole or overlap the next block.
  std::uint64_t expected = offset + length;
  std::int64_t actual = ctx.stream->tell();
  if (actual < 0 || static_cast<std::uint64_t>(actual) != expected) {
    return make_error(ErrorCode::kInvalidInput,
                      "Error during save. Expected to be at %zu but stream is at %zu",
                      static_cast<std::size_t>(expected), static_cast<std::size_t>(actual));
  }
  return Status::success();
}

void CnBlock::set_channel_kind(std::uint32_t kind) {
  if (kind == kChannelFixedLength || kind == kChannelVlsd || kind == kChannelMaster ||
      kind == kChannelVirtualData) {
    cn_type = static_cast<std::uint8_t>(kind);
  }
}

void CnBlock::set_value_type(std::uint32_t type) {
  if (type == kValueUnsignedLe || type == kValueFloatLe || type == kValueByteArray) {
    cn_data_type = static_cast<std::uint8_t>(type - 1);
  }
}

void CnBlock::list_children(std::vector<MdfBlock*>& out) const {
  for (const BlockRef* linked : {&comment, &name, &data, &conversion, &source, &unit}) {
    out.push_back(linked->get());
  }
  for (const BlockRef& member : members)
    out.push_back(member.get());
}

}  // namespace busfold
