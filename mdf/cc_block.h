// A conversion: how raw channel values become physical values.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "mdf/block.h"

namespace busfold {

inline constexpr std::uint8_t kCcLinear = 1;
inline constexpr std::uint8_t kCcValueTable = 5;

class CcBlock final : public BlockOfKind<BlockType::kCc> {
public:
  BUSFOLD_BLOCK_CODEC;

  // Type 1 with the values (offset, factor); length 96.
  void set_linear(double offset, double factor);
  // Type 5 with the values key, value, key, value, ...; length 80 + 8 × values.
  // False (nothing changed) when the values would not fit the 16-bit count.
  bool set_value_table(std::span<const std::pair<double, double>> pairs);
  // The i-th value; none when i is not below the value count.
  std::optional<double> value(std::size_t i) const;
  std::uint16_t cc_val_count() const { return static_cast<std::uint16_t>(values.size()); }

  BlockRef name;
  BlockRef unit;
  BlockRef comment;
  BlockRef inverse;
  std::uint8_t cc_type = 0;
  std::uint8_t cc_precision = 0;
  std::uint16_t cc_flags = 0;
  std::uint16_t cc_ref_count = 0;
  double cc_phy_range_min = 0;
  double cc_phy_range_max = 0;
  // cc_val; its size is cc_val_count.
  std::vector<double> values;

private:
  // The fixed fields (count = cc_val_count), then the values: for load and save alike.
  template <class Cursor> bool fields(Cursor& cursor, std::uint16_t& count);
  template <class Cursor> bool value_fields(Cursor& cursor);
};

}  // namespace busfold
