#include "mdf/fh_block.h"

#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"
#include "mdf/text_block.h"

namespace busfold {

template <class Cursor> bool FhBlock::fields(Cursor& cursor) {
  return cursor.field(fh_time_ns) && cursor.field(fh_tz_offset_min) &&
         cursor.field(fh_dst_offset_min) && cursor.field(fh_time_flags) && cursor.reserved(3);
}

Status FhBlock::load(LoadContext& ctx, const BlockHeader& header) {
  KindLinks<kKind> links;
  BUSFOLD_TRY(read_kind_links(ctx, header, links));
  next_link_ = links[0];
  BUSFOLD_TRY(load_link(ctx, links[1], comment));

  FieldReader in(ctx.stream, data_base());
  BUSFOLD_TRY(fields_read(fields(in)));
  // Only files our own loggers wrote (and every tool after them kept the mark) are taken.
  const auto* xml = block_cast<MdBlock>(comment);
  if (xml != nullptr && ctx.history_comments.count(xml->offset) != 0) return Status::success();
  if (xml == nullptr || xml->view().find(kRequiredToolId) == std::string_view::npos) {
    return make_error(ErrorCode::kUnsupported, "Unsupported MF4 file");
  }
  ctx.history_comments.insert(xml->offset);
  return Status::success();
}

Status FhBlock::save(SaveContext& ctx, const MdfBlock* next) {
  reserve_block(ctx, *this);
  Status result = save_block(comment.get(), ctx, nullptr);
  const std::uint64_t links[] = {link_to(next), link_to(comment)};
  return write_block(ctx, *this, links, std::move(result),
                     [this](FieldWriter& out) { return fields(out); });
}

void FhBlock::list_children(std::vector<MdfBlock*>& out) const { out.push_back(comment.get()); }

}  // namespace busfold
