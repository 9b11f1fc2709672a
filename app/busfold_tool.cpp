#include "app/busfold_tool.h"

#include <new>

namespace busfold {

namespace {

bool busfold_add_options(ConverterOptions&, OptionList&) { return true; }

constexpr ToolDef kBusfoldToolDef = {
    busfold_add_options,
    nullptr,
    nullptr,
};

constexpr ToolOps kBusfoldOps = {
    nullptr,  // destroy
    nullptr,  // init
    nullptr,  // on_record
    nullptr,  // on_new_file
    nullptr,  // on_end_file
    nullptr,  // on_group_begin
    nullptr,  // on_group_end
};

}  // namespace

BusfoldOptions::BusfoldOptions() : ConverterOptions(&kBusfoldToolDef) {}

std::unique_ptr<ConverterOptions> tool_create_options() {
  return std::unique_ptr<ConverterOptions>(new (std::nothrow) BusfoldOptions());
}

std::unique_ptr<ToolContext> busfold_create_context(FsRoot* input_root, FsRoot* output_root,
                                                    ConverterOptions& options) {
  std::unique_ptr<BusfoldContext> ctx(new (std::nothrow) BusfoldContext());
  if (!ctx) return nullptr;
  ctx->ops = &kBusfoldOps;
  tool_context_init(*ctx, input_root, output_root, 1, &options);
  if (ctx->input_root == nullptr) return nullptr;
  return ctx;
}

}  // namespace busfold
