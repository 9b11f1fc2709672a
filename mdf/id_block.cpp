#include "mdf/id_block.h"

#include <algorithm>
#include <cstring>

#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

namespace {

constexpr std::size_t kIdTextSize = 8;

// The fields after the file id are informative: a short read leaves a field as it was
// and moves on, so that the block is kept.
bool id_text(FieldReader& in, std::string& text) {
  std::string read;
  if (in.append_text(read, kIdTextSize)) {
    text = std::move(read);
  } else {
    in.skip(kIdTextSize);
  }
  return true;
}

// Written as 8 bytes, cut or padded with zero bytes.
bool id_text(FieldWriter& out, const std::string& text) {
  char padded[kIdTextSize] = {};
  std::memcpy(padded, text.data(), std::min(text.size(), kIdTextSize));
  return out.text(std::string_view(padded, kIdTextSize));
}

template <class T> bool informative(FieldReader& in, T& value) {
  if (!in.field(value)) in.skip(sizeof value);
  return true;
}
template <class T> bool informative(FieldWriter& out, const T& value) { return out.field(value); }

}  // namespace

template <class Cursor> bool IdBlock::fields(Cursor& cursor) {
  return id_text(cursor, id_vers) && id_text(cursor, id_prog) && cursor.skip(4) &&
         informative(cursor, id_ver) && cursor.skip(30) && informative(cursor, id_unfin_flags) &&
         informative(cursor, id_custom_unfin_flags);
}

Status IdBlock::load(LoadContext& ctx, const BlockHeader&) {
  FieldReader in(ctx.stream);
  std::string file_id;
  if (!in.append_text(file_id, kIdTextSize) ||
      (file_id != kFinalizedFileId && file_id != kUnfinalizedFileId)) {
    return silent_failure();
  }
  fields(in);
  return Status::success();
}

const char* IdBlock::file_id() const {
  return id_unfin_flags != 0 || id_custom_unfin_flags != 0 ? kUnfinalizedFileId : kFinalizedFileId;
}

Status IdBlock::save(SaveContext& ctx, const MdfBlock*) {
  reserve_block(ctx, *this);
  FieldWriter out(*ctx.stream, offset);
  bool written = out.text(file_id()) && fields(out) && out.finish();
  Status result = save_block(hd.get(), ctx, nullptr);
  keep_first_failure(result, fields_written(written));
  return result;
}

void IdBlock::list_children(std::vector<MdfBlock*>& out) const { out.push_back(hd.get()); }

}  // namespace busfold
