#include "mdf/text_block.h"

#include <algorithm>

#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

TextBlock::TextBlock(BlockType kind) : MdfBlock(kind) {}

Status TextBlock::load(LoadContext& ctx, const BlockHeader& header) {
  KindLinks<BlockType::kTx> none;
  static_assert(none.size() == block_descriptor(BlockType::kMd).link_count);
  BUSFOLD_TRY(read_kind_links(ctx, header, none));
  // The codec has checked that the block lies within the stream.
  FieldReader in(ctx.stream, data_base());
  text.clear();
  bool read = in.append_text(text, length - kBlockHeaderSize);
  find_view();
  return fields_read(read);
}

Status TextBlock::save(SaveContext& ctx, const MdfBlock*) {
  // XML texts keep the blocks after them 8-byte aligned.
  reserve_block(ctx, *this, kind() == BlockType::kMd);
  BUSFOLD_TRY(write_block_start(ctx, *this, {}));
  FieldWriter out(*ctx.stream, data_base());
  return fields_written(out.text(text) && out.finish());
}

void TextBlock::set_text(std::string_view value) {
  text.assign(value);
  text.push_back('\0');
  length = kBlockHeaderSize + text.size();
  find_view();
}

void TextBlock::find_view() { view_size_ = std::min(text.find('\0'), text.size()); }

std::string_view TextBlock::view() const {
  return std::string_view(text).substr(0, std::min(view_size_, text.size()));
}

std::string_view block_text(const MdfBlock* block) {
  const auto* text = block_cast<TextBlock>(block);
  return text == nullptr ? std::string_view() : text->view();
}

}  // namespace busfold
