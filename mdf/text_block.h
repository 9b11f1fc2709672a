// TX (plain text) and MD (XML text) blocks: a header followed by the text bytes.
#pragma once

#include <string>
#include <string_view>

#include "mdf/block.h"

namespace busfold {

class TextBlock : public MdfBlock {
public:
  static bool matches(BlockType kind) { return kind == BlockType::kTx || kind == BlockType::kMd; }

  Status load(LoadContext& ctx, const BlockHeader& header) override;
  // Writes the text as held; the length is not recomputed (set_text keeps it right).
  Status save(SaveContext& ctx, const MdfBlock* next) override;

  // The text becomes the bytes followed by one zero byte; length 24 + n + 1.
  void set_text(std::string_view value);
  // The text up to its first zero byte.
  std::string_view view() const;

  // The data section exactly as read: terminator and any padding included. Changed only
  // through load and set_text, which keep view() right.
  std::string text;

protected:
  explicit TextBlock(BlockType kind);

private:
  // Where the first zero byte of the text is: a text that many blocks link to is viewed
  // once per link, and must not be scanned each time.
  void find_view();
  std::size_t view_size_ = 0;
};

class TxBlock final : public BlockOfKind<BlockType::kTx, TextBlock> {};

class MdBlock final : public BlockOfKind<BlockType::kMd, TextBlock> {};

// The text of a TX or MD block up to its first zero byte; empty for none or another kind.
std::string_view block_text(const MdfBlock* block);
inline std::string_view block_text(const BlockRef& block) { return block_text(block.get()); }

}  // namespace busfold
