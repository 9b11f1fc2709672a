#include "mdf/fh_block.h"

#include "base/log.h"
#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"
#include "mdf/text_block.h"

namespace busfold {

FhBlock::FhBlock() : MdfBlock(kKind) {}

bool FhBlock::load(LoadContext& ctx, const BlockHeader& header) {
  if (header.link_count != 2) return false;
  std::uint64_t links[2];
  if (!read_links(ctx.stream, links)) return false;
  next_link_ = links[0];
  if (!load_link(ctx, links[1], comment)) return false;

  FieldCursor fields(ctx.stream, data_base());
  if (!(fields.read_u64(fh_time_ns) && fields.read_i16(fh_tz_offset_min) &&
        fields.read_i16(fh_dst_offset_min) && fields.read_u8(fh_time_flags))) {
    return false;
  }
  // Only files our own loggers wrote (and every tool after them kept the mark) are taken.
  const auto* xml = block_cast<MdBlock>(comment);
  if (xml != nullptr && ctx.history_comments.count(xml->offset) != 0) return true;
  if (xml == nullptr || xml->view().find(kRequiredToolId) == std::string_view::npos) {
    BUSFOLD_LOG(kLogError, "Unsupported MF4 file");
    return false;
  }
  ctx.history_comments.insert(xml->offset);
  return true;
}

bool FhBlock::save(SaveContext& ctx, const MdfBlock* next) {
  reserve_block(ctx, *this);
  bool ok = save_block(comment.get(), ctx, nullptr);
  const std::uint64_t links[] = {link_to(next), link_to(comment)};
  if (!write_block_start(ctx, *this, links)) return false;
  FieldCursor fields(*ctx.stream, data_base());
  static constexpr std::uint8_t kReserved[3] = {};
  return fields.write_u64(fh_time_ns) && fields.write_i16(fh_tz_offset_min) &&
         fields.write_i16(fh_dst_offset_min) && fields.write_u8(fh_time_flags) &&
         fields.write_bytes(kReserved) && ok;
}

void FhBlock::list_children(std::vector<MdfBlock*>& out) const { out.push_back(comment.get()); }

}  // namespace busfold
