// Data that other writers store in pieces: a DL list of data blocks (its chain of DLs,
// perhaps under an HL) and DZ blocks that hold a DT or SD zipped. Each is loaded as the
// one DT or SD block it stands for, whose data is that of its pieces one after another;
// readers of records and signal data see no difference.
#pragma once

#include <cstdint>

#include "base/result.h"
#include "mdf/block.h"

namespace busfold {

struct BlockHeader;
struct LoadContext;

// A zipped block inflates to no more than this: writers zip blocks of a few MiB, and a
// piece is held in memory whole while its records are read.
inline constexpr std::uint64_t kMaxInflatedBlock = std::uint64_t{64} << 20;
// Deflate gives at most 1032 bytes for each byte of its stream (258 bytes per
// 2-bit code, a few bytes of header aside).
inline constexpr std::uint64_t kMaxDeflateRatio = 1032;

// For a header of a DL, HL or DZ block read at `offset` (already checked): the DT or SD
// block its pieces make up, in `out`. Fails, with the reason, on a piece of another kind,
// lengths that disagree with what the pieces hold, a chain that meets itself, a piece
// listed twice, or a zipped block that claims more than it can inflate to.
Status load_data_list(LoadContext& ctx, std::uint64_t offset, const BlockHeader& header,
                      BlockRef& out);

}  // namespace busfold
