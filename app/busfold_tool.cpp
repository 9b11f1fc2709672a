#include "app/busfold_tool.h"

#include <array>
#include <cstdlib>
#include <new>

#include "base/log.h"
#include "buslog/bus_template.h"
#include "io/fs_root.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"

namespace busfold {

namespace {

bool busfold_add_options(ConverterOptions& options, OptionList& list) {
  // Only BusfoldOptions carry this definition.
  auto& busfold_options = static_cast<BusfoldOptions&>(options);
  void* entry = busfold_options.mux_option.create_entry();
  try {
    list.push_back(entry);  // a null entry is caught with the others: no option list
  } catch (const std::bad_alloc&) {
    std::free(entry);
    return false;
  }
  return true;
}

constexpr ToolDef kBusfoldToolDef = {
    busfold_add_options,
    nullptr,
    nullptr,
};

constexpr ToolOps kBusfoldOps = {
    nullptr,  // destroy
    nullptr,  // init
    busfold_on_record, busfold_on_new_file, busfold_on_end_file,
    nullptr,  // on_group_begin
    nullptr,  // on_group_end
};

BusfoldContext& busfold_context(ToolContext& ctx) { return static_cast<BusfoldContext&>(ctx); }

// Forgets the output of the current file; its partial file is removed.
void abandon_output(BusfoldContext& ctx) {
  ctx.records.reset();
  ctx.finalizer.reset();
  if (!ctx.temporary_name.empty()) fs_remove(ctx.output_root, ctx.temporary_name);
  ctx.temporary_name.clear();
}

// One state per carrier key, and the set of their target buses in ascending order.
bool build_demux_states(const DemuxTable& table, BusfoldContext& ctx) {
  try {
    std::array<bool, 256> targets{};
    for (const auto& [key, channel_list] : table) {
      const DemuxState& state = ctx.demux_states.try_emplace(key, channel_list).first->second;
      for (std::uint8_t bus : state.channels)
        targets[bus] = true;
    }
    for (std::size_t bus = 1; bus < targets.size(); ++bus) {
      if (targets[bus]) ctx.demux_buses.push_back(static_cast<std::uint8_t>(bus));
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

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
  if (auto* busfold_options = dynamic_cast<BusfoldOptions*>(&options)) {
    if (!build_demux_states(busfold_options->demux_table, *ctx)) return nullptr;
  }
  return ctx;
}

bool busfold_on_new_file(ToolContext& base, std::string_view output_path, MdfFile& input) {
  BusfoldContext& ctx = busfold_context(base);
  abandon_output(ctx);
  ctx.record_write_failed = false;
  ctx.output_name.assign(output_path);
  ctx.output_name += kOutputSuffix;
  ctx.temporary_name = ctx.output_name + kTemporarySuffix;

  StreamPtr output = fs_open(ctx.output_root, ctx.temporary_name, 6);
  if (!output) {
    ctx.temporary_name.clear();
    BUSFOLD_LOG(kLogError, "Could not open output file for finalization: %s",
                ctx.output_name.c_str());
    return false;
  }

  BusLoggingFile built = create_bus_logging_file();
  ctx.bus_record_ids = CanRecordIdTable();
  Status groups =
      add_output_bus_groups(*built.file, built.bus_template, ctx.demux_buses, ctx.bus_record_ids);
  log_status(groups);
  HdBlock* out_hd = groups.ok() ? built.file->hd() : nullptr;
  auto* dg = out_hd != nullptr && !out_hd->data_groups.empty()
                 ? block_cast<DgBlock>(out_hd->data_groups.front())
                 : nullptr;
  BlockRef dt = create_block(BlockType::kDt);
  if (dg == nullptr || !dt) {
    output.reset();
    abandon_output(ctx);
    return false;
  }
  if (const HdBlock* in_hd = input.hd()) out_hd->hd_start_time_ns = in_hd->hd_start_time_ns;
  dg->data = dt;
  dg->dg_rec_id_size = 2;

  // Records take about as many bytes as the input: reserve that once.
  std::int64_t input_size = input.source != nullptr ? stream_size(input.source) : 0;
  ctx.finalizer =
      finalizing_stream_new(std::move(output), std::move(built.file),
                            input_size > 0 ? static_cast<std::uint64_t>(input_size) : 0);
  if (!ctx.finalizer) {
    abandon_output(ctx);
    return false;
  }
  ctx.records.emplace(*ctx.finalizer, ctx.bus_record_ids);
  return true;
}

bool busfold_on_record(ToolContext& base, const BusFrame& frame) {
  BusfoldContext& ctx = busfold_context(base);
  if (frame.kind != kCanDataFrame) return false;
  if (!ctx.records) return false;
  if (!ctx.demux_states.empty()) {
    auto carrier = ctx.demux_states.find(frame_key(frame.can));
    if (carrier != ctx.demux_states.end()) {
      // The carrier itself is not written, only the frames it holds; when one of those is
      // lost, the file must not count as converted.
      if (demux_frame(*ctx.records, carrier->second, frame.can)) return true;
      ctx.record_write_failed = true;
      return false;
    }
  }
  ToolRecord record;
  record.kind = kCanDataFrame;
  record.frame = frame.can;
  if (!ctx.records->write_record(record)) {
    // The frame is lost from the output: the file must not count as converted.
    ctx.record_write_failed = true;
    return false;
  }
  return true;
}

bool busfold_on_end_file(ToolContext& base, std::string_view) {
  BusfoldContext& ctx = busfold_context(base);
  if (!ctx.records) return true;
  bool ok = ctx.records->close() == 0;
  ctx.records.reset();
  ctx.finalizer.reset();
  if (ok && !fs_rename(ctx.output_root, ctx.temporary_name, ctx.output_name)) ok = false;
  if (!ok) {
    BUSFOLD_LOG(kLogError, "Could not write output file %s", ctx.output_name.c_str());
    abandon_output(ctx);
    return false;
  }
  ctx.temporary_name.clear();
  return !ctx.record_write_failed;
}

}  // namespace busfold
