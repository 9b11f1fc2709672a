// The per-file pipeline: open, read ahead, unwrap, load, hand to the tool.
#pragma once

#include <string_view>

#include "frontend/exit_codes.h"
#include "frontend/tool.h"

namespace busfold {

// Converts one file; input is relative to the input root, output to the output root
// (without extension). Returns a per-input code of frontend/exit_codes.h.
int convert_file(ToolContext& ctx, std::string_view input, std::string_view output);

}  // namespace busfold
