#include "mdf/id_block.h"

#include <cstring>

#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

namespace {

constexpr std::size_t kIdTextSize = 8;

// Reads an 8-byte text field; a short read leaves the text as it was.
void read_id_text(FieldCursor& fields, std::string& text) {
  std::string read;
  if (fields.append_text(read, kIdTextSize)) {
    text = std::move(read);
  } else {
    fields.skip(kIdTextSize);
  }
}

bool write_id_text(FieldCursor& fields, std::string_view text) {
  char padded[kIdTextSize] = {};
  std::memcpy(padded, text.data(), std::min(text.size(), kIdTextSize));
  return fields.write_text(std::string_view(padded, kIdTextSize));
}

}  // namespace

IdBlock::IdBlock() : MdfBlock(kKind) {}

bool IdBlock::load(LoadContext& ctx, const BlockHeader&) {
  FieldCursor fields(ctx.stream);
  std::string file_id;
  if (!fields.append_text(file_id, kIdTextSize) ||
      (file_id != kFinalizedFileId && file_id != kUnfinalizedFileId)) {
    return false;
  }
  // The remaining fields are informative: a short read keeps the block.
  read_id_text(fields, id_vers);
  read_id_text(fields, id_prog);
  fields.skip(4);
  if (!fields.read_u16(id_ver)) fields.skip(2);
  fields.skip(30);
  if (!fields.read_u16(id_unfin_flags)) fields.skip(2);
  fields.read_u16(id_custom_unfin_flags);
  return true;
}

const char* IdBlock::file_id() const {
  return id_unfin_flags != 0 || id_custom_unfin_flags != 0 ? kUnfinalizedFileId : kFinalizedFileId;
}

bool IdBlock::save(SaveContext& ctx, const MdfBlock*) {
  reserve_block(ctx, *this);
  FieldCursor fields(*ctx.stream, offset);
  bool ok = fields.write_text(file_id()) && write_id_text(fields, id_vers) &&
            write_id_text(fields, id_prog);
  fields.skip(4);
  ok = ok && fields.write_u16(id_ver);
  fields.skip(30);
  ok = ok && fields.write_u16(id_unfin_flags) && fields.write_u16(id_custom_unfin_flags);
  return save_block(hd.get(), ctx, nullptr) && ok;
}

void IdBlock::list_children(std::vector<MdfBlock*>& out) const { out.push_back(hd.get()); }

}  // namespace busfold
