// The busfold tool: its options, its context and the callbacks it plugs into the front end.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/demux.h"
#include "app/finalizing_stream.h"
#include "app/mux_option.h"
#include "app/record_stream.h"
#include "buslog/output_groups.h"
#include "frontend/tool.h"
#include "io/fs_root.h"

struct arg_lit;

namespace busfold {

// busfold's settings: the common ones plus its own.
struct BusfoldOptions : ConverterOptions {
  BusfoldOptions();

  // Carrier key → target bus of each sub-channel (-m/--mux).
  DemuxTable demux_table;
  // The entry that fills demux_table while the command line is parsed.
  MuxOption mux_option{demux_table};
  // --all-frames: LIN frames and CAN remote and error frames are written too. Its entry
  // lives only while the command line is parsed.
  bool all_frames = false;
  arg_lit* all_frames_entry = nullptr;
};

// Frames of a file that were not written, by kind ("other": records that give no frame).
struct FramesNotCarried {
  std::uint64_t lin = 0;
  std::uint64_t remote = 0;
  std::uint64_t error = 0;
  std::uint64_t other = 0;
};

// busfold's run state: the common part, then the output file being written.
struct BusfoldContext : ToolContext {
  // The output file every input of the run is written into, built by the first; the
  // record ids of its groups. Declared first: the finalizer borrows the layout.
  std::unique_ptr<OutputLayout> output_layout;
  // Of the current output file, from on_new_file to on_end_file.
  std::unique_ptr<FinalizingStream> finalizer;
  std::optional<RecordStream> records;
  BusRecordIdTable bus_record_ids;
  std::string output_name;     // relative to the output root
  std::string temporary_name;  // where the file is written until it is complete
  TemporaryFiles earlier_temporaries;  // of the output folder, left by killed runs
  bool record_write_failed = false;
  FramesNotCarried not_carried;
  bool all_frames = false;  // of the options

  // Per carrier key, for the whole run: a message cut by the end of a file goes on in the
  // next one.
  std::unordered_map<std::uint32_t, DemuxState> demux_states;
  // The nonzero target buses of the demux states: every output file has groups for them.
  std::vector<std::uint8_t> demux_buses;
};

// Suffix of every output file, appended to the pipeline's output path.
inline constexpr const char* kOutputSuffix = "_fin.MF4";

// The options with busfold's option hooks, or null when memory runs out.
std::unique_ptr<ConverterOptions> tool_create_options();

// The context for a run over the given roots, or null.
std::unique_ptr<ToolContext> busfold_create_context(FsRoot* input_root, FsRoot* output_root,
                                                    ConverterOptions& options);

// The callbacks, exposed for tests.
bool busfold_on_new_file(ToolContext& ctx, std::string_view output_path, MdfFile& input);
bool busfold_on_record(ToolContext& ctx, const BusFrame& frame);
bool busfold_on_end_file(ToolContext& ctx, std::string_view output_path);

}  // namespace busfold
