#include "frontend/tool.h"

namespace busfold {

std::string_view tool_output_suffix(const ToolContext& ctx) {
  return ctx.ops != nullptr ? ctx.ops->output_suffix() : std::string_view();
}

bool tool_context_init(ToolContext& ctx, FsRoot* input_root, FsRoot* output_root,
                       std::uint8_t make_dirs, ConverterOptions* options) {
  if (input_root == nullptr || output_root == nullptr || options == nullptr) return false;
  ctx.input_root = input_root;
  ctx.output_root = output_root;
  ctx.make_dirs = make_dirs;
  ctx.options = options;
  ctx.total_bytes = 0;
  ctx.record_count = 0;
  ctx.output_bytes = 0;
  ctx.file_count = 0;
  ctx.skipped_count = 0;
  return ctx.ops == nullptr || ctx.ops->init(ctx);
}

void tool_context_destroy(std::unique_ptr<ToolContext> ctx) {
  if (!ctx) return;
  if (ctx->ops != nullptr) ctx->ops->destroy(*ctx);
}

void tool_release_options(std::unique_ptr<ConverterOptions> options) {
  if (!options) return;
  options->tool.release_options(*options);
}

}  // namespace busfold
