#include "app/busfold_tool.h"
#include "frontend/tool.h"

int main(int argc, char** argv) {
  using namespace busfold;
  int status = 0;
  std::unique_ptr<ConverterOptions> options = tool_create_options();
  if (!options) return 0;
  if (converter_parse(*options, argc, argv, status)) {
    std::unique_ptr<ToolContext> ctx =
        busfold_create_context(options->input_root.get(), options->output_root, *options);
    if (ctx) {
      status = converter_run(*ctx, options->inputs);
      tool_context_destroy(std::move(ctx));
    }
  }
  tool_release_options(std::move(options));
  return status;
}
