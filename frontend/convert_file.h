// The per-file pipeline: open, read ahead, unwrap, load, hand to the tool.
#pragma once

#include <string_view>

#include "frontend/tool.h"

namespace busfold {

// Per-file result codes, ORed into the exit status by the walk.
inline constexpr int kConvertOk = 0;
inline constexpr int kConvertPasswordFailed = 2;
inline constexpr int kConvertDecompressFailed = 4;
inline constexpr int kConvertFailed = 8;

// Converts one file; input is relative to the input root, output to the output root
// (without extension). Returns one of the codes above.
int convert_file(ToolContext& ctx, std::string_view input, std::string_view output);

}  // namespace busfold
