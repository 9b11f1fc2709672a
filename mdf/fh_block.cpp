#include "mdf/fh_block.h"

#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"
#include "mdf/text_block.h"

namespace busfold {

namespace {
constexpr std::size_t kMaxShownToolId = 64;
}  // namespace

std::string history_tool_id(std::string_view comment) {
  constexpr std::string_view kOpen = "<tool_id>", kClose = "</tool_id>";
  const std::size_t open = comment.find(kOpen);
  if (open == std::string_view::npos) return {};
  std::string_view id = comment.substr(open + kOpen.size());
  id = id.substr(0, id.find(kClose));
  std::string shown;
  for (char c : id.substr(0, kMaxShownToolId)) {
    const auto byte = static_cast<unsigned char>(c);
    shown += byte >= 0x20 && byte < 0x7F ? c : '?';
  }
  return shown;
}

std::string written_by(const std::string& tool_id) {
  return tool_id.empty() ? "written by an unnamed tool" : "written by '" + tool_id + "'";
}

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
  // Files our own loggers wrote (and every tool after them kept the mark) are taken, those
  // of other writers only when the open takes any writer.
  const auto* xml = block_cast<MdBlock>(comment);
  if (xml != nullptr && ctx.history_comments.count(xml->offset) != 0) return Status::success();
  if (xml != nullptr && xml->view().find(kRequiredToolId) != std::string_view::npos) {
    ctx.history_comments.insert(xml->offset);
    return Status::success();
  }
  // Another tool wrote or changed the file: the first such entry names the writer.
  if (!ctx.other_writer) ctx.other_writer = history_tool_id(xml != nullptr ? xml->view() : "");
  if (ctx.any_writer) {
    // Judged once, like a comment of ours: entries that share a long comment are many.
    if (xml != nullptr) ctx.history_comments.insert(xml->offset);
    return Status::success();
  }
  return make_error(ErrorCode::kUnsupported, "Unsupported MF4 file: %s%s%.*s",
                    written_by(*ctx.other_writer).c_str(), ctx.writer_hint.empty() ? "" : "; ",
                    static_cast<int>(ctx.writer_hint.size()), ctx.writer_hint.data());
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
