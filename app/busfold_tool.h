// The busfold tool: its options, its context and the callbacks it plugs into the front end.
#pragma once

#include <memory>

#include "frontend/tool.h"

namespace busfold {

// busfold's settings: the common ones plus its own (none yet).
struct BusfoldOptions : ConverterOptions {
  BusfoldOptions();
};

// busfold's run state: the common part plus its own (none yet).
struct BusfoldContext : ToolContext {};

// The options with busfold's option hooks, or null when memory runs out.
std::unique_ptr<ConverterOptions> tool_create_options();

// The context for a run over the given roots, or null.
std::unique_ptr<ToolContext> busfold_create_context(FsRoot* input_root, FsRoot* output_root,
                                                    ConverterOptions& options);

}  // namespace busfold
