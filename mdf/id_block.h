// The identification block: the 64 bytes at offset 0 that name the file format.
#pragma once

#include <cstdint>
#include <string>

#include "mdf/block.h"

namespace busfold {

inline constexpr char kFinalizedFileId[] = "MDF     ";
inline constexpr char kUnfinalizedFileId[] = "UnFinMF ";

// Bit of id_unfin_flags: the length of the last data block was not updated.
inline constexpr std::uint16_t kUnfinDataLengthStale = 4;

class IdBlock final : public BlockOfKind<BlockType::kId> {
public:
  // Writes the block at 0, then saves the header block; succeeds when that save does.
  BUSFOLD_BLOCK_CODEC;

  // "MDF     " when no unfinalized flag is set, else "UnFinMF ".
  const char* file_id() const;

  BlockRef hd;
  // The texts are written as 8 bytes, cut or padded with zero bytes.
  std::string id_vers;
  std::string id_prog;
  std::uint16_t id_ver = 0;
  std::uint16_t id_unfin_flags = 0;
  std::uint16_t id_custom_unfin_flags = 0;

private:
  template <class Cursor> bool fields(Cursor& cursor);  // after the file id; load and save
};

}  // namespace busfold
