// The header block: root of the tree below the identification block.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "mdf/block.h"

namespace busfold {

class HdBlock final : public BlockOfKind<BlockType::kHd> {
public:
  // Where one of the fields (one of this block's members) lies from the data base, as
  // the save writes it; -1 for a member that is not a field.
  std::int64_t field_position(const void* member);
  BUSFOLD_BLOCK_CODEC;

  std::vector<BlockRef> data_groups;   // file order
  std::vector<BlockRef> file_history;  // file order
  BlockRef comment;                    // TX or MD
  std::uint64_t hd_start_time_ns = 0;
  std::int16_t hd_tz_offset_min = 0;
  std::int16_t hd_dst_offset_min = 0;
  std::uint8_t hd_time_flags = 0;
  std::uint8_t hd_time_class = 0;
  std::uint8_t hd_flags = 0;
  std::array<std::uint8_t, 8> hd_start_angle_rad{};   // kept as stored
  std::array<std::uint8_t, 8> hd_start_distance_m{};  // kept as stored

private:
  template <class Cursor> bool fields(Cursor& cursor);  // for load and save alike
};

}  // namespace busfold
