#include <new>

#include "app/busfold_tool.h"
#include "base/log.h"
#include "frontend/exit_codes.h"
#include "frontend/tool.h"

namespace {

int run(int argc, char** argv) {
  using namespace busfold;
  int status = kExitSuccess;
  std::unique_ptr<ConverterOptions> options = tool_create_options();
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

}  // namespace

int main(int argc, char** argv) {
  // Running out of memory fails the file being converted (the per-file conversion says
  // so and goes on); anywhere else it ends the run.
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    BUSFOLD_LOG(busfold::kLogFatal, "Out of memory");
    return busfold::kExitNotExamined;
  }
}
