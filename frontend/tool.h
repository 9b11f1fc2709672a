// The contract between the converter front end and a tool: the option hooks, the
// per-file callbacks, and the two records that carry the run's settings and state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/password_store.h"
#include "io/fs_root.h"

namespace busfold {

struct BusFrame;
struct MdfFile;
struct ConverterOptions;
struct ToolContext;
class RunProgress;

// argtable entries, in the order of the usage line and the glossary.
using OptionList = std::vector<void*>;

// Option hooks of a tool. Each default does nothing and lets the run go on.
class ToolDef {
public:
  virtual ~ToolDef() = default;
  // Adds the tool's own entries; false ends the run before parsing.
  virtual bool add_options(ConverterOptions&, OptionList&) const { return true; }
  // Called once the common settings are applied; its result replaces the parse result.
  virtual bool after_parse(ConverterOptions&) const { return true; }
  // First step of releasing the options; frees the tool's extension.
  virtual void release_options(ConverterOptions&) const {}
};

struct GroupSummaryEntry {
  std::string_view acquisition_name;
  std::uint64_t group_number;  // counts channel groups over all data groups of the file
  std::uint32_t group_kind;
};
using GroupSummary = std::vector<GroupSummaryEntry>;

// Per-file callbacks of a tool. Each default does nothing and reports success.
class ToolOps {
public:
  virtual ~ToolOps() = default;
  virtual void destroy(ToolContext&) const {}
  virtual bool init(ToolContext&) const { return true; }
  // Whether the tool takes records at all: without, no record is read and a file
  // counts as converted once its callbacks succeed.
  virtual bool takes_records() const { return false; }
  // False marks the current file failed; the records that follow are still delivered.
  virtual bool on_record(ToolContext&, const BusFrame&) const { return true; }
  // output_path is relative to the output root, without extension.
  virtual bool on_new_file(ToolContext&, std::string_view /*output_path*/, MdfFile&) const {
    return true;
  }
  virtual bool on_end_file(ToolContext&, std::string_view /*output_path*/) const { return true; }
  // Only a result of exactly 1 lets the group's records be read.
  virtual int on_group_begin(ToolContext&, const GroupSummary&) const { return 1; }
  virtual void on_group_end(ToolContext&, const GroupSummary&) const {}
  // A context of its own for a worker converting files beside the run's others (-j), or
  // null when the tool's files depend on one another: they are then converted in order.
  virtual std::unique_ptr<ToolContext> new_worker(ToolContext&) const { return nullptr; }
  // What the tool appends to a file's output path to name the file it writes: a folder
  // walk leaves files so named alone, so that a second run does not convert the first
  // one's outputs. Empty: none.
  virtual std::string_view output_suffix() const { return {}; }
};

// The run's settings; a tool derives from it for its own fields.
struct ConverterOptions {
  explicit ConverterOptions(const ToolDef& tool_def) : tool(tool_def) {}
  ConverterOptions(const ConverterOptions&) = delete;
  ConverterOptions& operator=(const ConverterOptions&) = delete;
  virtual ~ConverterOptions() = default;

  const ToolDef& tool;
  std::uint8_t delete_converted = 0;
  std::uint8_t no_append_root = 0;
  std::uint8_t non_interactive = 0;
  std::int64_t buffer_size = -1;  // -1: the whole file; 0: no read-ahead buffer
  std::int64_t jobs = 1;          // files converted at once (-j); 1: one after another
  std::uint8_t any_writer = 0;    // 1: files of other writers are converted too
  PasswordStore passwords;
  std::string root;                 // common folder of the inputs, ending with "/"
  std::vector<std::string> inputs;  // absolute after parsing, then relative to root
  // The same inputs as they were given, for messages.
  std::vector<std::string> typed_inputs;
  // Leave an input alone when its finished output exists.
  std::uint8_t skip_existing = 0;
  // 1 or 2: --help writes the man page's synopsis or its options instead of the usage.
  std::uint8_t help_as_man_page = 0;
  std::vector<std::string> password_files;
  std::vector<std::string> output_dirs;
  std::unique_ptr<FsRoot> input_root;
  std::unique_ptr<FsRoot> owned_output_root;  // set only when an output folder was given
  FsRoot* output_root = nullptr;              // owned_output_root or input_root
};

// The per-file step the walk calls for every accepted file.
using FileConverter = int (*)(ToolContext&, std::string_view input, std::string_view output);

// The run's state; a tool derives from it for its own fields.
struct ToolContext {
  ToolContext() = default;
  ToolContext(const ToolContext&) = delete;
  ToolContext& operator=(const ToolContext&) = delete;
  virtual ~ToolContext() = default;

  const ToolOps* ops = nullptr;
  FsRoot* input_root = nullptr;   // borrowed from the options
  FsRoot* output_root = nullptr;  // borrowed from the options
  std::uint8_t make_dirs = 0;     // 1: the walk creates each file's output folder
  std::uint64_t total_bytes = 0;
  std::uint64_t record_count = 0;
  // Bytes of the output files the tool finished.
  std::uint64_t output_bytes = 0;
  std::uint64_t file_count = 0;
  ConverterOptions* options = nullptr;  // borrowed
  // The input being converted, relative to the input root, while convert_file runs.
  std::string_view input_path;
  // Inputs left alone because their output exists.
  std::uint64_t skipped_count = 0;
  // The file being converted as messages name it: below the input as the user typed it.
  std::string_view shown_input;
  // While convert_file runs: the run's progress, told how far the file has been read, and
  // the file's size as the walk found it.
  RunProgress* progress = nullptr;
  std::uint64_t input_size = 0;
  // Null means convert_file; tests put an observer here to watch the walk.
  FileConverter file_converter = nullptr;
};

// Stores the roots, flag and options, zeroes the counters and runs the tool's init.
// False when a root or the options are missing.
// What the run's tool appends to a file's output path to name the file it writes; empty
// without a tool.
std::string_view tool_output_suffix(const ToolContext& ctx);

bool tool_context_init(ToolContext& ctx, FsRoot* input_root, FsRoot* output_root,
                       std::uint8_t make_dirs, ConverterOptions* options);

// Calls the tool's destroy, then frees the context. A null context is ignored.
void tool_context_destroy(std::unique_ptr<ToolContext> ctx);

// Calls the tool's release_options, then frees the options and all they own.
void tool_release_options(std::unique_ptr<ConverterOptions> options);

// Builds and parses the command line and applies it to the options: true when
// conversion is to follow. Exit codes are written into status.
bool converter_parse(ConverterOptions& options, int argc, char** argv, int& status);

// Walks the inputs (relative to the input root) in order; the OR of their codes.
int converter_run(ToolContext& ctx, const std::vector<std::string>& inputs);

}  // namespace busfold
