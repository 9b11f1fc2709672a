#include "mdf/text_block.h"

#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

TextBlock::TextBlock(BlockType kind) : MdfBlock(kind) {}
TxBlock::TxBlock() : TextBlock(kKind) {}
MdBlock::MdBlock() : TextBlock(kKind) {}

bool TextBlock::load(LoadContext& ctx, const BlockHeader& header) {
  if (header.link_count != 0) return false;
  // The codec has checked that the block lies within the stream.
  FieldCursor fields(ctx.stream, data_base());
  text.clear();
  return fields.append_text(text, length - kBlockHeaderSize);
}

bool TextBlock::save(SaveContext& ctx, const MdfBlock*) {
  // XML texts keep the blocks after them 8-byte aligned.
  reserve_block(ctx, *this, kind() == BlockType::kMd);
  if (!write_block_start(ctx, *this, {})) return false;
  FieldCursor fields(*ctx.stream, data_base());
  return fields.write_text(text);
}

void TextBlock::set_text(std::string_view value) {
  text.assign(value);
  text.push_back('\0');
  length = kBlockHeaderSize + text.size();
}

std::string_view TextBlock::view() const {
  std::string_view all(text);
  return all.substr(0, all.find('\0'));
}

std::string_view block_text(const MdfBlock* block) {
  const auto* text = block_cast<TextBlock>(block);
  return text == nullptr ? std::string_view() : text->view();
}

}  // namespace busfold
