#include "mdf/cn_block.h"

#include <cstddef>

#include "base/log.h"
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

CnBlock::CnBlock() : MdfBlock(kKind) {}

bool CnBlock::load(LoadContext& ctx, const BlockHeader& header) {
  if (header.link_count != 8) return false;
  std::uint64_t links[8];
  if (!read_links(ctx.stream, links)) return false;
  next_link_ = links[0];
  if (!load_chain(ctx, links[1], members) || !load_link(ctx, links[2], name) ||
      !load_link(ctx, links[3], source) || !load_link(ctx, links[4], conversion) ||
      !load_link(ctx, links[5], data) || !load_link(ctx, links[6], unit) ||
      !load_link(ctx, links[7], comment)) {
    return false;
  }

  FieldCursor fields(ctx.stream, data_base());
  if (!(fields.read_u8(cn_type) && fields.read_u8(cn_sync_type) && fields.read_u8(cn_data_type) &&
        fields.read_u8(cn_bit_offset) && fields.read_u32(cn_byte_offset) &&
        fields.read_u32(cn_bit_count) && fields.read_u32(cn_flags) &&
        fields.read_u32(cn_inval_bit_pos) && fields.read_u8(cn_precision))) {
    return false;
  }
  fields.skip(1);
  if (!(fields.read_u16(cn_attachment_count) && fields.read_f64(cn_val_range_min) &&
        fields.read_f64(cn_val_range_max) && fields.read_f64(cn_limit_min) &&
        fields.read_f64(cn_limit_max) && fields.read_f64(cn_limit_ext_min) &&
        fields.read_f64(cn_limit_ext_max))) {
    return false;
  }
  channel_kind = channel_kind_of(cn_type);
  value_type = value_type_of(cn_data_type);
  return true;
}

bool CnBlock::save(SaveContext& ctx, const MdfBlock* next) {
  reserve_block(ctx, *this);
  bool ok = save_chain(ctx, members);
  for (const BlockRef* linked : {&name, &source, &conversion, &data, &unit, &comment}) {
    ok = save_block(linked->get(), ctx, nullptr) && ok;
  }
  const std::uint64_t links[] = {link_to(next),       link_to(chain_first(members)),
                                 link_to(name),       link_to(source),
                                 link_to(conversion), link_to(data),
                                 link_to(unit),       link_to(comment)};
  if (!write_block_start(ctx, *this, links)) return false;
  FieldCursor fields(*ctx.stream, data_base());
  ok = fields.write_u8(cn_type) && fields.write_u8(cn_sync_type) && fields.write_u8(cn_data_type) &&
       fields.write_u8(cn_bit_offset) && fields.write_u32(cn_byte_offset) &&
       fields.write_u32(cn_bit_count) && fields.write_u32(cn_flags) &&
       fields.write_u32(cn_inval_bit_pos) && fields.write_u8(cn_precision) && ok;
  fields.skip(1);
  ok = fields.write_u16(cn_attachment_count) && fields.write_f64(cn_val_range_min) &&
       fields.write_f64(cn_val_range_max) && fields.write_f64(cn_limit_min) &&
       fields.write_f64(cn_limit_max) && fields.write_f64(cn_limit_ext_min) &&
       fields.write_f64(cn_limit_ext_max) && ok;

  // A length other than the fields we write would leave a hole or overlap the next block.
  std::uint64_t expected = offset + length;
  std::int64_t actual = ctx.stream->tell();
  if (actual < 0 || static_cast<std::uint64_t>(actual) != expected) {
    BUSFOLD_LOG(kLogError, "Error during save. Expected to be at %zu but stream is at %zu",
                static_cast<std::size_t>(expected), static_cast<std::size_t>(actual));
  }
  return ok;
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
