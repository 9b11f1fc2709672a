// The whole per-file path: the bytes are written as an input file and converted by the
// busfold tool (containers unwrapped with the password "password") in a scratch folder,
// once read whole into memory and once through a tiny read-ahead window. Both must give
// the same code, record count and output bytes; a converted file must load again and hold
// one frame per record delivered (CAN data frames only, unless the input's size is odd:
// those are converted with --all-frames); no temporary output may be left behind.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "app/busfold_tool.h"
#include "frontend/convert_file.h"
#include "fuzz/fuzz_support.h"
#include "io/memory_stream.h"

namespace busfold::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr const char* kInput = "input.mf4";
constexpr const char* kOutput = "input_fin.MF4";  // the tool's name for the output of "input"

// The tool on a scratch folder (in /dev/shm where there is one: no disk writes), removed
// at exit.
struct Scratch {
  std::string folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm/bf_XXXXXX" : "/tmp/bf_XXXXXX";
  std::unique_ptr<ConverterOptions> options = tool_create_options();
  std::unique_ptr<ToolContext> ctx;

  Scratch() {
    FUZZ_CHECK(mkdtemp(folder.data()) != nullptr && options != nullptr);
    options->input_root = fs_root_new(folder);
    options->output_root = options->input_root.get();
    options->passwords.insert("default", "password");
    ctx = busfold_create_context(options->input_root.get(), options->output_root, *options);
    FUZZ_CHECK(ctx != nullptr);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
};

struct Conversion {
  int code = 0;
  std::uint64_t records = 0;
  std::optional<std::vector<std::uint8_t>> output;
  bool operator==(const Conversion&) const = default;
};

Conversion convert(Scratch& s, std::int64_t buffer_size) {
  s.options->buffer_size = buffer_size;
  const std::uint64_t before = s.ctx->record_count;
  Conversion result{.code = convert_file(*s.ctx, kInput, "input")};
  result.records = s.ctx->record_count - before;
  if (std::ifstream in(fs::path(s.folder) / kOutput, std::ios::binary); in)
    result.output.emplace(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  for (const fs::directory_entry& entry : fs::directory_iterator(s.folder))
    FUZZ_CHECK(entry.path().filename() == kInput || entry.path().filename() == kOutput);
  fs::remove(fs::path(s.folder) / kOutput);
  return result;
}

}  // namespace
}  // namespace busfold::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace busfold;
  static fuzz::Scratch scratch;
  const bool all_frames = size % 2 == 1;
  static_cast<BusfoldContext&>(*scratch.ctx).all_frames = all_frames;
  const std::vector<std::uint8_t> bytes = fuzz::with_small_iterations(data, size);
  std::ofstream(scratch.folder + "/" + fuzz::kInput, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
  const fuzz::Conversion whole = fuzz::convert(scratch, -1);
  FUZZ_CHECK(fuzz::convert(scratch, 40) == whole);
  if (whole.code != kConvertOk) return 0;
  std::unique_ptr<MemoryStream> output = memory_stream_from(whole.output.value());
  std::uint64_t frames = 0;
  auto on_frame = [&frames, all_frames](const RecordIterator&, const BusFrame& frame) {
    FUZZ_CHECK(frame.kind == kCanDataFrame ||
               (all_frames && frame.kind >= kCanRemoteFrame && frame.kind <= kLinFrame));
    ++frames;
  };
  auto on_group_end = [](const DgBlock&, ReadEnd end) { FUZZ_CHECK(end == ReadEnd::kEndOfData); };
  FUZZ_CHECK(output != nullptr && fuzz::walk_records(*output, on_frame, on_group_end));
  FUZZ_CHECK(frames == whole.records);
  return 0;
}
