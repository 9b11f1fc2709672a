// Source information: which bus or tool a channel group's data came from.
#pragma once

#include <cstdint>
#include <vector>

#include "mdf/block.h"

namespace busfold {

inline constexpr std::uint8_t kSiTypeBus = 2;
inline constexpr std::uint8_t kSiBusCan = 2;
inline constexpr std::uint8_t kSiBusLin = 3;

// Derived codes.
inline constexpr std::uint32_t kSourceBus = 2;
inline constexpr std::uint32_t kSourceOther = 6;
inline constexpr std::uint32_t kBusNone = 0;
inline constexpr std::uint32_t kBusCan = 2;
inline constexpr std::uint32_t kBusLin = 3;
inline constexpr std::uint32_t kBusOther = 4;

class SiBlock final : public BlockOfKind<BlockType::kSi> {
public:
  BUSFOLD_BLOCK_CODEC;

  BlockRef name;  // TX
  BlockRef path;  // TX
  BlockRef comment;
  std::uint8_t si_type = 0;
  std::uint8_t si_bus_type = 0;
  std::uint8_t si_flags = 0;

  // Derived at load.
  std::uint32_t source_kind = 0;
  std::uint32_t bus_kind = 0;

private:
  template <class Cursor> bool fields(Cursor& cursor);  // for load and save alike
};

}  // namespace busfold
