// A channel group: one record layout (record id, size, cycle count) and its channels.
#pragma once

#include <cstdint>
#include <vector>

#include "mdf/block.h"
#include "mdf/channel_decoder.h"

namespace busfold {

// Bits of cg_flags.
inline constexpr std::uint16_t kCgFlagVlsd = 1;
inline constexpr std::uint16_t kCgFlagBusEvent = 2;
inline constexpr std::uint16_t kCgFlagPlainBusEvent = 4;

class CgBlock final : public BlockOfKind<BlockType::kCg> {
public:
  // Where one of the fields (one of this block's members) lies from the data base, as
  // the save writes it; -1 for a member that is not a field.
  std::int64_t field_position(const void* member);
  // cg_flags is written as held; the booleans are not folded back.
  BUSFOLD_BLOCK_CODEC;

  std::vector<BlockRef> channels;  // file order
  BlockRef acq_name;               // TX
  BlockRef acq_source;             // SI
  BlockRef comment;
  std::uint64_t cg_record_id = 0;
  std::uint64_t cg_cycle_count = 0;
  std::uint16_t cg_flags = 0;
  std::uint16_t cg_path_separator = 0;
  std::uint32_t cg_data_bytes = 0;
  std::uint32_t cg_inval_bytes = 0;

  // Taken from cg_flags at load.
  bool vlsd_group = false;
  bool bus_event = false;
  bool plain_bus_event = false;

  // One per leaf channel, built at load (roles from the load's classifier, if any).
  std::vector<ChannelDecoder> decoders;

private:
  template <class Cursor> bool fields(Cursor& cursor);  // for load and save alike
};

}  // namespace busfold
