// The skeleton every output file starts from: identification block, header with its
// comment, one history entry, and the names, conversions and comments that all output
// channel groups share, with one empty data group.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "buslog/channel_names.h"
#include "mdf/block.h"
#include "mdf/mdf_file.h"

namespace busfold {

// The shared blocks the group builders link to. Every member is also part of the file's
// tree (the names and conversions once a channel links them).
struct BusTemplate {
  std::array<BlockRef, kTemplateNameCount> names;  // TX
  BlockRef unit_s;                                 // the same block as names[kNameUnitS]

  // Conversions (CC); seven blocks even where the values coincide.
  BlockRef time;       // 0 + 0.000001 × raw, unit "s": microseconds to seconds
  BlockRef ide_11;     // constant 0
  BlockRef ide_29;     // constant 1
  BlockRef dir_rx;     // constant 0
  BlockRef dir_tx;     // constant 1
  BlockRef dlc_table;  // DLC → payload bytes
  BlockRef edl;        // constant 1

  // Comments (MD).
  BlockRef can_source_comment;
  BlockRef lin_source_comment;
  BlockRef can_channel_comment;
  BlockRef lin_channel_comment;

  // Constant conversion (n, 0) per bus number, made when the first group of the bus is
  // added and shared by the CAN and the LIN groups of that number.
  std::array<BlockRef, 256> bus_constants;

  const BlockRef& name(TemplateName which) const { return names[which]; }
};

struct BusLoggingFile {
  std::unique_ptr<MdfFile> file;  // in memory only: no source stream
  BusTemplate bus_template;
};

// Builds the skeleton with every block at its file offset: identification block at 0
// (unfinalized flags 37 until the file is finalized), header at 64, then the names,
// comments, history entry, conversions and the data group.
BusLoggingFile create_bus_logging_file();

}  // namespace busfold
