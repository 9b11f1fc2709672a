// Compressed containers (type 34): the common header, the lookahead field (20-23)
// and window field (24-27), both big-endian, then the LZSS payload, then, when the
// footer flag is 1, the payload's CRC-32 register big-endian in the last 4 bytes.
#pragma once

#include "io/container_header.h"
#include "io/stream.h"

namespace busfold {

inline constexpr std::int64_t kCompressedPayloadOffset = 28;

// Most bytes one payload byte can decode to: a back-reference of 30 bits (W 15, L 14)
// copies 2^14 bytes.
inline constexpr std::uint64_t kLzssMaxExpansion = 4370;

// Decompresses the whole payload into memory and returns it as a ContainerStream
// positioned at 0. The source is read (seeking as needed), never closed or
// owned; the result does not depend on it, so the caller may close it at once.
//
// A failure without a line: a header other than type 34, version 1, first flag
// 0 or 1 with an equal footer flag; fields not readable; window bits W (trailing
// zero bits of the window field) outside 4..15; lookahead bits L (low byte of its
// field) outside 3..W-1; a payload that cannot be read. A failure with its line: a
// missing footer, a checksum mismatch, content too large to hold in memory or
// larger than max_content.
Result<StreamPtr> compressed_container_open(Stream& source, const ContainerHeader& header,
                                            std::uint64_t max_content = UINT64_MAX);

}  // namespace busfold
