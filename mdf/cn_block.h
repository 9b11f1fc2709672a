// A channel: where one signal lies in a record, and how to read it.
#pragma once

#include <cstdint>
#include <vector>

#include "mdf/block.h"

namespace busfold {

// Channel kinds derived from cn_type.
inline constexpr std::uint32_t kChannelFixedLength = 0;
inline constexpr std::uint32_t kChannelVlsd = 1;
inline constexpr std::uint32_t kChannelMaster = 2;
inline constexpr std::uint32_t kChannelVirtualData = 6;
inline constexpr std::uint32_t kChannelUnsupported = 7;

// cn_sync_type of a channel whose values are times, in seconds.
inline constexpr std::uint8_t kSyncTime = 1;

// Value types: cn_data_type + 1 for the data types we read; 0 for the others.
inline constexpr std::uint32_t kValueUnsupported = 0;
inline constexpr std::uint32_t kValueUnsignedLe = 1;
inline constexpr std::uint32_t kValueUnsignedBe = 2;
inline constexpr std::uint32_t kValueFloatLe = 5;
inline constexpr std::uint32_t kValueFloatBe = 6;
inline constexpr std::uint32_t kValueString = 7;
inline constexpr std::uint32_t kValueByteArray = 11;

class CnBlock final : public BlockOfKind<BlockType::kCn> {
public:
  BUSFOLD_BLOCK_CODEC;

  // Builders' setters; they write only cn_type / cn_data_type (the derived codes are set
  // by a load). Channel kinds 0, 1, 2, 6 and value types 1, 5, 11 are taken; other values
  // change nothing.
  void set_channel_kind(std::uint32_t kind);
  void set_value_type(std::uint32_t type);

  std::vector<BlockRef> members;  // composition, file order
  BlockRef name;                  // TX
  BlockRef source;                // SI
  BlockRef conversion;            // CC
  BlockRef data;                  // SD, or the CG of a VLSD group
  BlockRef unit;
  BlockRef comment;
  std::uint8_t cn_type = 0;
  std::uint8_t cn_sync_type = 0;
  std::uint8_t cn_data_type = 0;
  std::uint8_t cn_bit_offset = 0;
  std::uint32_t cn_byte_offset = 0;
  std::uint32_t cn_bit_count = 0;
  std::uint32_t cn_flags = 0;
  std::uint32_t cn_inval_bit_pos = 0;
  std::uint8_t cn_precision = 0;
  std::uint16_t cn_attachment_count = 0;
  double cn_val_range_min = 0;
  double cn_val_range_max = 0;
  double cn_limit_min = 0;
  double cn_limit_max = 0;
  double cn_limit_ext_min = 0;
  double cn_limit_ext_max = 0;

  // Derived at load.
  std::uint32_t channel_kind = 0;
  std::uint32_t value_type = 0;

private:
  template <class Cursor> bool fields(Cursor& cursor);  // for load and save alike
};

// The derived codes, from the on-disk fields.
std::uint32_t channel_kind_of(std::uint8_t cn_type);
std::uint32_t value_type_of(std::uint8_t cn_data_type);

}  // namespace busfold
