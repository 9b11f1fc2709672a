#include "app/busfold_tool.h"

#include <argtable2.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/format.h"
#include "base/log.h"
#include "buslog/bus_template.h"
#include "io/fs_root.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"

namespace busfold {

namespace {

BusfoldContext& busfold_context(ToolContext& ctx) { return static_cast<BusfoldContext&>(ctx); }

// Forgets the output of the current file; its partial file is removed.
void abandon_output(BusfoldContext& ctx) {
  ctx.records.reset();
  ctx.finalizer.reset();
  if (!ctx.temporary_name.empty()) fs_remove(ctx.output_root, ctx.temporary_name);
  ctx.temporary_name.clear();
}

// The output file of the run's bus set, laid out for its records; null when it cannot be
// built (the reason is logged).
std::unique_ptr<OutputLayout> build_output_layout(BusfoldContext& ctx) {
  BusLoggingFile built = create_bus_logging_file();
  ctx.bus_record_ids = BusRecordIdTable();
  Status groups =
      add_output_bus_groups(*built.file, built.bus_template, ctx.demux_buses, ctx.bus_record_ids);
  log_status(groups);
  HdBlock* hd = groups.ok() ? built.file->hd() : nullptr;
  auto* dg = hd != nullptr && !hd->data_groups.empty() ? block_cast<DgBlock>(hd->data_groups.front())
                                                        : nullptr;
  BlockRef dt = create_block(BlockType::kDt);
  if (dg == nullptr || !dt) return nullptr;
  dg->data = dt;
  dg->dg_rec_id_size = 2;
  return OutputLayout::create(std::move(built.file));
}

class BusfoldToolDef final : public ToolDef {
public:
  bool add_options(ConverterOptions& options, OptionList& list) const override {
    // Only BusfoldOptions carry this definition.
    auto& busfold_options = static_cast<BusfoldOptions&>(options);
    list.push_back(busfold_options.mux_option.create_entry());  // a null entry: no list
    busfold_options.all_frames_entry = arg_lit0(
        nullptr, "all-frames", "also carries LIN frames and CAN remote and error frames over");
    list.push_back(busfold_options.all_frames_entry);
    return true;
  }
  bool after_parse(ConverterOptions& options) const override {
    auto& busfold_options = static_cast<BusfoldOptions&>(options);
    const arg_lit* entry = busfold_options.all_frames_entry;
    busfold_options.all_frames = entry != nullptr && entry->count > 0;
    busfold_options.all_frames_entry = nullptr;  // freed with the option list
    return true;
  }
};

class BusfoldOps final : public ToolOps {
public:
  // A conversion cut short (out of memory) leaves no temporary file behind.
  void destroy(ToolContext& ctx) const override { abandon_output(busfold_context(ctx)); }
  bool takes_records() const override { return true; }
  bool on_record(ToolContext& ctx, const BusFrame& frame) const override {
    return busfold_on_record(ctx, frame);
  }
  bool on_new_file(ToolContext& ctx, std::string_view output_path, MdfFile& input) const override {
    return busfold_on_new_file(ctx, output_path, input);
  }
  bool on_end_file(ToolContext& ctx, std::string_view output_path) const override {
    return busfold_on_end_file(ctx, output_path);
  }
  std::unique_ptr<ToolContext> new_worker(ToolContext& ctx) const override {
    // A demultiplexed message may go on in the next file: then files go in order.
    if (ctx.options == nullptr || !busfold_context(ctx).demux_states.empty()) return nullptr;
    return busfold_create_context(ctx.input_root, ctx.output_root, *ctx.options);
  }
  std::string_view output_suffix() const override { return kOutputSuffix; }
};

const BusfoldToolDef kBusfoldToolDef;
const BusfoldOps kBusfoldOps;

bool deletes_inputs(const ToolContext& ctx) {
  return ctx.options != nullptr && ctx.options->delete_converted == 1;
}

// One state per carrier key, and the set of their target buses in ascending order.
void build_demux_states(const DemuxTable& table, BusfoldContext& ctx) {
  std::array<bool, 256> targets{};
  for (const auto& [key, channel_list] : table) {
    const DemuxState& state = ctx.demux_states.try_emplace(key, channel_list).first->second;
    for (std::uint8_t bus : state.channels)
      targets[bus] = true;
  }
  for (std::size_t bus = 1; bus < targets.size(); ++bus) {
    if (targets[bus]) ctx.demux_buses.push_back(static_cast<std::uint8_t>(bus));
  }
}

// A frame the output did not take is lost: the file must not count as converted.
bool carried(BusfoldContext& ctx, bool written) {
  if (!written) ctx.record_write_failed = true;
  return written;
}

// Counts a frame that is not written; the file fails.
bool count_not_carried(std::uint64_t& count) {
  ++count;
  return false;
}

// "<input>: 12 LIN frames and 3 CAN remote frames not carried over", when there are any.
void log_not_carried(const BusfoldContext& ctx) {
  const FramesNotCarried& n = ctx.not_carried;
  const std::pair<std::uint64_t, const char*> kinds[] = {{n.lin, "LIN frame"},
                                                         {n.remote, "CAN remote frame"},
                                                         {n.error, "CAN error frame"},
                                                         {n.other, "other record"}};
  std::vector<std::string> parts;
  for (const auto& [count, name] : kinds) {
    if (count == 0) continue;
    char part[64];
    std::snprintf(part, sizeof part, "%llu %s%s", static_cast<unsigned long long>(count), name,
                  count == 1 ? "" : "s");
    parts.emplace_back(part);
  }
  if (parts.empty()) return;
  std::string text = parts[0];
  for (std::size_t i = 1; i < parts.size(); ++i)
    text += (i + 1 == parts.size() ? " and " : ", ") + parts[i];
  const std::string_view input = ctx.shown_input.empty() ? ctx.input_path : ctx.shown_input;
  BUSFOLD_LOG(kLogError, "%.*s: %s not carried over",
              print_length(input), input.data(),
              text.c_str());
}

// The line that says why an output failed: the text, the output's full path, and the
// platform's reason when there is one.
void log_output_failure(const BusfoldContext& ctx, const char* what, int error_number) {
  const std::string path =
      ctx.output_root != nullptr ? ctx.output_root->full_path(ctx.output_name) : ctx.output_name;
  if (error_number == 0) {
    BUSFOLD_LOG(kLogError, "%s%s", what, path.c_str());
  } else {
    BUSFOLD_LOG(kLogError, "%s%s: %s", what, path.c_str(), error_text(error_number).c_str());
  }
}

}  // namespace

BusfoldOptions::BusfoldOptions() : ConverterOptions(kBusfoldToolDef) {}

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
  if (auto* busfold_options = dynamic_cast<BusfoldOptions*>(&options)) {
    build_demux_states(busfold_options->demux_table, *ctx);
    ctx->all_frames = busfold_options->all_frames;
  }
  return ctx;
}

bool busfold_on_new_file(ToolContext& base, std::string_view output_path, MdfFile& input) {
  BusfoldContext& ctx = busfold_context(base);
  abandon_output(ctx);
  ctx.record_write_failed = false;
  ctx.not_carried = {};
  ctx.output_name.assign(output_path);
  ctx.output_name += kOutputSuffix;

  // A name of our own: another run converting the same input at the same time writes
  // its own file, and neither truncates the other's.
  std::unique_ptr<FileStream> file =
      fs_create_temporary(ctx.output_root, ctx.output_name, ctx.temporary_name);
  if (!file) {
    const int why = errno;
    ctx.temporary_name.clear();
    log_output_failure(ctx, "Could not open output file for finalization: ", why);
    return false;
  }
  // An input is deleted only once its output is on the disk, not just in the page cache.
  file->set_sync_on_close(deletes_inputs(ctx));
  StreamPtr output = std::move(file);

  // Every output of a run has the same blocks: they are built and laid out once.
  if (!ctx.output_layout) ctx.output_layout = build_output_layout(ctx);
  HdBlock* out_hd = ctx.output_layout ? ctx.output_layout->file().hd() : nullptr;
  if (out_hd == nullptr) {
    output.reset();
    log_output_failure(ctx, "Could not prepare output file ", 0);
    abandon_output(ctx);
    return false;
  }
  if (const HdBlock* in_hd = input.hd()) out_hd->hd_start_time_ns = in_hd->hd_start_time_ns;

  ctx.finalizer = finalizing_stream_new(std::move(output), *ctx.output_layout);
  if (!ctx.finalizer) {
    log_output_failure(ctx, "Could not prepare output file ", 0);
    abandon_output(ctx);
    return false;
  }
  ctx.records.emplace(*ctx.finalizer, ctx.bus_record_ids);
  return true;
}

bool busfold_on_record(ToolContext& base, const BusFrame& frame) {
  BusfoldContext& ctx = busfold_context(base);
  if (!ctx.records) return false;
  if (frame.kind == kCanDataFrame && ctx.demux_states.empty()) {
    return carried(ctx, ctx.records->write_can_data_frame(frame.can));
  }
  ToolRecord record;
  record.kind = frame.kind;
  // Without --all-frames only data frames are written; the others make the file fail and
  // are counted for its message.
  switch (frame.kind) {
  case kCanDataFrame: record.frame = frame.can; break;
  case kCanRemoteFrame:
    if (!ctx.all_frames) return count_not_carried(ctx.not_carried.remote);
    record.frame = frame.can;
    break;
  case kCanErrorFrame:
    if (!ctx.all_frames) return count_not_carried(ctx.not_carried.error);
    record.error = frame.error;
    break;
  case kLinFrame:
    if (!ctx.all_frames) return count_not_carried(ctx.not_carried.lin);
    record.lin = frame.lin;
    break;
  default: return count_not_carried(ctx.not_carried.other);
  }
  if (frame.kind == kCanDataFrame && !ctx.demux_states.empty()) {
    auto carrier = ctx.demux_states.find(frame_key(frame.can));
    if (carrier != ctx.demux_states.end()) {
      // The carrier itself is not written, only the frames it holds.
      return carried(ctx, demux_frame(*ctx.records, carrier->second, frame.can,
                                      ctx.all_frames, ctx.not_carried.remote));
    }
  }
  return carried(ctx, ctx.records->write_record(record));
}

bool busfold_on_end_file(ToolContext& base, std::string_view) {
  BusfoldContext& ctx = busfold_context(base);
  if (!ctx.records) return true;
  log_not_carried(ctx);
  if (const std::uint64_t moved = ctx.records->writer().moved_frames(); moved != 0) {
    BUSFOLD_LOG(kLogWarning,
                "%llu frames of %s were recorded earlier than frames before them on their bus "
                "and were moved forward in time by up to %llu us",
                static_cast<unsigned long long>(moved), ctx.output_name.c_str(),
                static_cast<unsigned long long>(ctx.records->writer().largest_move_us()));
  }
  bool ok = ctx.records->close() == 0;
  int why = ok ? 0 : ctx.finalizer->error_number();
  const std::uint64_t size = ctx.finalizer->size();
  ctx.records.reset();
  ctx.finalizer.reset();
  if (ok) {
    ctx.earlier_temporaries.remove_stale(ctx.output_root, ctx.output_name, ctx.temporary_name);
  }
  if (ok && !fs_rename(ctx.output_root, ctx.temporary_name, ctx.output_name)) {
    why = errno;
    ok = false;
  }
  if (ok && deletes_inputs(ctx)) {
    const std::size_t slash = ctx.output_name.rfind('/');
    ok = fs_sync_folder(ctx.output_root, slash == std::string::npos
                                             ? std::string_view()
                                             : std::string_view(ctx.output_name).substr(0, slash));
    if (!ok) {
      why = errno;
      ctx.temporary_name.clear();  // renamed already: nothing of ours to remove
    }
  }
  if (!ok) {
    log_output_failure(ctx, "Could not write output file ", why);
    abandon_output(ctx);
    return false;
  }
  ctx.temporary_name.clear();
  ctx.output_bytes += size;
  return !ctx.record_write_failed;
}

}  // namespace busfold
