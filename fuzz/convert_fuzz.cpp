// The whole per-file path: the bytes are written as an input file and converted by the
// busfold tool (containers unwrapped with the password "password", the MDF loaded, every
// frame handed to the callbacks, the output finalized and saved) into a scratch folder.
//
// Each input is converted twice, once read whole into memory and once through a tiny
// read-ahead window; both must give the same code and the same output bytes. A converted
// file must load again and hold one CAN data frame per input record; no temporary output
// may be left behind.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "app/busfold_tool.h"
#include "buslog/bus_classifier.h"
#include "buslog/bus_frame.h"
#include "frontend/convert_file.h"
#include "fuzz/fuzz_support.h"
#include "io/memory_stream.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/mdf_file.h"
#include "mdf/record_reader.h"

namespace busfold::fuzz {
namespace {

constexpr const char* kInput = "input.mf4";
constexpr const char* kOutputPath = "input";  // the tool appends its suffix
constexpr const char* kOutputName = "input_fin.MF4";

struct Scratch {
  std::string folder;
  std::unique_ptr<ConverterOptions> options;
  std::unique_ptr<ToolContext> ctx;

  std::string path(const char* name) const { return folder + "/" + name; }
};

Scratch* scratch = nullptr;

void remove_scratch() {
  if (scratch == nullptr) return;
  for (const char* name : {kInput, kOutputName})
    std::remove(scratch->path(name).c_str());
  rmdir(scratch->folder.c_str());
}

Scratch& make_scratch() {
  auto* made = new Scratch;
  std::string pattern =
      (access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm") : std::string("/tmp")) +
      "/busfold_fuzz_XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
  made->folder = pattern;
  made->options = tool_create_options();
  FUZZ_CHECK(made->options != nullptr);
  made->options->input_root = fs_root_new(made->folder);
  FUZZ_CHECK(made->options->input_root != nullptr);
  made->options->output_root = made->options->input_root.get();
  made->options->passwords.insert("default", "password");
  made->ctx = busfold_create_context(made->options->input_root.get(), made->options->output_root,
                                     *made->options);
  FUZZ_CHECK(made->ctx != nullptr);
  scratch = made;
  std::atexit(remove_scratch);
  return *made;
}

std::optional<std::vector<std::uint8_t>> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct Conversion {
  int code = 0;
  std::uint64_t records = 0;
  std::optional<std::vector<std::uint8_t>> output;
};

Conversion convert(Scratch& s, std::int64_t buffer_size) {
  s.options->buffer_size = buffer_size;
  Conversion result;
  std::uint64_t before = s.ctx->record_count;
  result.code = convert_file(*s.ctx, kInput, kOutputPath);
  result.records = s.ctx->record_count - before;
  result.output = read_file(s.path(kOutputName));
  // Nothing but the input and the output is left: no temporary file.
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(s.folder)) {
    (void)entry;
    ++entries;
  }
  FUZZ_CHECK(entries <= 2);
  std::remove(s.path(kOutputName).c_str());
  return result;
}

// The CAN data frames a converted file holds.
std::uint64_t frames_in(const std::vector<std::uint8_t>& file) {
  auto stream = memory_stream_from(file);
  FUZZ_CHECK(stream != nullptr);
  std::unique_ptr<MdfFile> mdf = file_or_null(mdf_open(*stream, &bus_channel_classifier()));
  FUZZ_CHECK(mdf != nullptr && mdf->hd() != nullptr);
  std::uint64_t frames = 0;
  for (const BlockRef& group : mdf->hd()->data_groups) {
    DgBlock* dg = block_cast<DgBlock>(group);
    FUZZ_CHECK(dg != nullptr);
    RecordReader reader(*dg);
    BusFrame frame{};
    RecordIterator records(reader, &frame);
    for (bool more = records.begin(); more; more = records.next()) {
      FUZZ_CHECK(frame.kind == kCanDataFrame);
      ++frames;
    }
    FUZZ_CHECK(records.end() == ReadEnd::kEndOfData);
  }
  return frames;
}

}  // namespace
}  // namespace busfold::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace busfold::fuzz;
  Scratch& s = scratch != nullptr ? *scratch : make_scratch();
  std::vector<std::uint8_t> bytes = with_small_iterations(data, size);
  {
    std::ofstream out(s.path(kInput), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(static_cast<bool>(out));
  }
  Conversion whole = convert(s, -1);
  Conversion windowed = convert(s, 40);
  FUZZ_CHECK(whole.code == windowed.code);
  FUZZ_CHECK(whole.records == windowed.records);
  FUZZ_CHECK(whole.output == windowed.output);
  if (whole.code == busfold::kConvertOk) {
    FUZZ_CHECK(whole.output.has_value());
    FUZZ_CHECK(frames_in(*whole.output) == whole.records);
  }
  return 0;
}
