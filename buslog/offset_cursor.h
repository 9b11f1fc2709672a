// File offsets handed out to the blocks of a new output file before it is saved, so that
// the template and the group blocks land in a fixed order at the start of the file.
#pragma once

#include <cstdint>

#include "mdf/block.h"

namespace busfold {

class OffsetCursor {
public:
  explicit OffsetCursor(std::uint64_t start) : next_(start) {}

  // The block goes at the cursor, which moves past it. After a text (TX or MD) the cursor
  // is rounded up to a multiple of 8; the other kinds are not rounded.
  void place(MdfBlock& block) {
    block.offset = next_;
    next_ += block.length;
    if (block.kind() == BlockType::kTx || block.kind() == BlockType::kMd) {
      next_ = (next_ + 7) & ~std::uint64_t{7};
    }
  }

  std::uint64_t position() const { return next_; }

private:
  std::uint64_t next_;
};

}  // namespace busfold
