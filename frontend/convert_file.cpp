#include "frontend/convert_file.h"

#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/result.h"
#include "buslog/bus_classifier.h"
#include "buslog/bus_frame.h"
#include "frontend/progress.h"
#include "io/buffered_stream.h"
#include "io/compressed_container.h"
#include "io/container_header.h"
#include "io/encrypted_container.h"
#include "io/fs_root.h"
#include "io/window_stream.h"
#include "mdf/cg_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/mdf_file.h"
#include "mdf/record_reader.h"
#include "mdf/text_block.h"

namespace busfold {

namespace {

// Holds the one stream the pipeline reads the input through and closes it on every way out.
class CurrentStream {
public:
  explicit CurrentStream(StreamPtr stream) : stream_(std::move(stream)) {}
  CurrentStream(const CurrentStream&) = delete;
  CurrentStream& operator=(const CurrentStream&) = delete;
  ~CurrentStream() { stream_close(stream_); }

  Stream* get() const { return stream_.get(); }
  StreamPtr& ptr() { return stream_; }

private:
  StreamPtr stream_;
};

// The password of a device: its own entry, else the "default" one.
const std::string* find_password(const PasswordStore& store, std::uint32_t device_id) {
  char key[9];
  std::snprintf(key, sizeof key, "%08X", device_id);
  const std::string* password = store.find(key);
  return password != nullptr ? password : store.find("default");
}

// Replaces the current stream by the content of every container wrapped around it,
// to any depth and in any order. Returns kConvertOk or the file's failure code.
int unwrap_containers(ToolContext& ctx, StreamPtr& current) {
  // A compressed container inside another multiplies what a small file can expand to.
  // Together they may give no more than one container could from the whole file, which
  // nesting of real files never comes near.
  const std::int64_t file_size = stream_size(current.get());
  const std::uint64_t max_content =
      file_size < 0 || static_cast<std::uint64_t>(file_size) > UINT64_MAX / kLzssMaxExpansion
          ? UINT64_MAX
          : static_cast<std::uint64_t>(file_size) * kLzssMaxExpansion;
  ContainerHeader header;
  while (container_identify(*current, header)) {
    StreamPtr inner;
    if (header.type == kContainerTypeCompressed) {
      BUSFOLD_LOG(kLogInfo, "Found compressed file");
      Result<StreamPtr> opened = compressed_container_open(*current, header, max_content);
      if (!opened.ok()) {
        log_status(opened.status());
        BUSFOLD_LOG(kLogError, "Could not decompress file");
        return kConvertDecompressFailed;
      }
      inner = std::move(*opened);
    } else if (header.type == kContainerTypeEncrypted) {
      BUSFOLD_LOG(kLogInfo, "Found encrypted file");
      const std::string* password = ctx.options != nullptr
                                        ? find_password(ctx.options->passwords, header.device_id)
                                        : nullptr;
      if (password == nullptr) {
        BUSFOLD_LOG(kLogError, "No password found for device %08X", header.device_id);
        return kConvertPasswordFailed;
      }
      Result<StreamPtr> opened = encrypted_container_open(
          *current, header,
          {reinterpret_cast<const std::uint8_t*>(password->data()), password->size()});
      if (!opened.ok()) {
        log_status(opened.status());
        BUSFOLD_LOG(kLogError, "Could not decrypt file");
        return kConvertPasswordFailed;
      }
      inner = std::move(*opened);
    } else {
      return kConvertFailed;
    }
    // The unwrapped content lives in memory of its own; the outer stream is done.
    stream_close(current);
    current = std::move(inner);
  }
  return kConvertOk;
}

// The records of one data group as its walk reaches them, each decoded into its own frame.
struct GroupWalk {
  explicit GroupWalk(DgBlock& dg) : reader(dg), records(reader, &frame) {}
  RecordReader reader;
  BusFrame frame{};
  RecordIterator records;
  std::size_t order = 0;  // among the data groups being read
  double time = 0;        // merge_time of the frame waiting
};

// Records delivered between two reports of how far a file has been read.
constexpr std::uint64_t kRecordsPerProgress = 1 << 15;

// Tells the run's progress which share of the file's size the walks have read, taken as
// the share of their data they have read.
void report_reading(ToolContext& ctx, const std::vector<std::unique_ptr<GroupWalk>>& walks) {
  if (ctx.progress == nullptr) return;
  std::uint64_t read = 0, total = 0;
  for (const std::unique_ptr<GroupWalk>& walk : walks) {
    read += walk->reader.position();
    total += walk->reader.data_size();
  }
  if (total == 0) return;
  const double share = std::min(1.0, static_cast<double>(read) / static_cast<double>(total));
  ctx.progress->reading(ctx.shown_input,
                        static_cast<std::uint64_t>(share * static_cast<double>(ctx.input_size)));
}

// Orders frames by time as the output stores them: negative and NaN times count as 0.
double merge_time(const BusFrame& frame) { return frame.time_s > 0 ? frame.time_s : 0; }

// Hands every data group's records to the tool. Data groups record side by side, so
// their walks are merged by time; a tie keeps data group order, and the records of one
// group keep theirs. False when a callback failed or a group's records could not all be
// read.
// Records of groups that no classifier recognised are not handed on from files of other
// writers (`only_recognised`), which record much besides bus frames.
bool deliver_data_groups(ToolContext& ctx, const HdBlock& hd, bool only_recognised) {
  const ToolOps& ops = *ctx.ops;
  std::uint64_t group_number = 0;
  std::vector<GroupSummary> summaries;
  std::vector<std::unique_ptr<GroupWalk>> walks;
  for (const BlockRef& group : hd.data_groups) {
    DgBlock* dg = block_cast<DgBlock>(group);
    if (dg == nullptr || dg->channel_groups.empty()) continue;
    GroupSummary& summary = summaries.emplace_back();
    for (const BlockRef& channel_group : dg->channel_groups) {
      const CgBlock* cg = block_cast<CgBlock>(channel_group);
      if (cg == nullptr) continue;
      summary.push_back({block_text(cg->acq_name), group_number++, dg->group_kind_of(*cg)});
    }
    const bool recognised =
        std::any_of(summary.begin(), summary.end(),
                    [](const GroupSummaryEntry& e) { return e.group_kind != 0; });
    const int go = ops.on_group_begin(ctx, summary);
    if (go == 1 && ops.takes_records() && (recognised || !only_recognised)) {
      walks.push_back(std::make_unique<GroupWalk>(*dg));
    }
  }

  bool ok = true;
  // Walks that have a frame waiting, earliest on top: a binary heap, so that the walk
  // delivering stays out of it while its frames come first and swaps places with the top
  // in one pass down when another's come first.
  auto later = [](const GroupWalk* a, const GroupWalk* b) {
    return a->time != b->time ? a->time > b->time : a->order > b->order;
  };
  std::vector<GroupWalk*> waiting;
  auto sift_down = [&] {
    std::size_t at = 0;
    while (true) {
      std::size_t earliest = at;
      for (std::size_t child = 2 * at + 1; child <= 2 * at + 2 && child < waiting.size(); ++child)
        if (later(waiting[earliest], waiting[child])) earliest = child;
      if (earliest == at) return;
      std::swap(waiting[at], waiting[earliest]);
      at = earliest;
    }
  };
  // A walk is over: one stopped early (an unknown record id, say) left records unconverted.
  auto finish = [&](GroupWalk& walk) {
    log_status(walk.records.end_status());
    if (read_end_failed(walk.records.end())) ok = false;
  };
  for (std::size_t i = 0; i < walks.size(); ++i) {
    GroupWalk& walk = *walks[i];
    walk.order = i;
    if (!walk.records.begin()) {
      finish(walk);
      continue;
    }
    walk.time = merge_time(walk.frame);
    waiting.push_back(&walk);
    std::push_heap(waiting.begin(), waiting.end(), later);
  }
  // The walk whose frame comes first, out of the heap; null when none waits.
  auto take_earliest = [&]() -> GroupWalk* {
    if (waiting.empty()) return nullptr;
    std::pop_heap(waiting.begin(), waiting.end(), later);
    GroupWalk* earliest = waiting.back();
    waiting.pop_back();
    return earliest;
  };
  GroupWalk* walk = take_earliest();
  std::uint64_t until_report = kRecordsPerProgress;
  while (walk != nullptr) {
    if (!only_recognised || walk->records.record().group_kind != 0) {
      ++ctx.record_count;
      ok = ops.on_record(ctx, walk->frame) && ok;
    }
    if (--until_report == 0) {
      until_report = kRecordsPerProgress;
      report_reading(ctx, walks);
    }
    if (!walk->records.next()) {
      finish(*walk);
      walk = take_earliest();
      continue;
    }
    if (waiting.empty()) continue;  // nothing can overtake it
    walk->time = merge_time(walk->frame);
    if (later(walk, waiting.front())) {
      std::swap(walk, waiting.front());
      sift_down();
    }
  }

  for (const GroupSummary& summary : summaries) {
    ops.on_group_end(ctx, summary);
  }
  return ok;
}

}  // namespace

namespace {

int convert(ToolContext& ctx, std::string_view input, std::string_view output) {
  // Messages name the file as the user typed it.
  const std::string_view shown = ctx.shown_input.empty() ? input : ctx.shown_input;
  const int shown_length = print_length(shown);
  std::unique_ptr<FileStream> file = fs_open(ctx.input_root, input, kFsRead);
  if (!file) {
    BUSFOLD_LOG(kLogError, "Could not open input file %.*s", shown_length, shown.data());
    return kConvertFailed;
  }

  // What was read is what may be deleted: taken before the first byte is.
  const std::optional<FileIdentity> opened_as = file->identity();
  std::int64_t buffer_size = ctx.options != nullptr ? ctx.options->buffer_size : -1;
  StreamPtr opened;
  if (buffer_size < 0) {
    // By default a regular file is read through windows of it, so that memory does not
    // grow with it; another kind is read whole into memory.
    opened = window_stream_new(file);
    if (!opened) buffer_size = stream_size(file.get());
  }
  if (!opened) opened = std::move(file);
  if (buffer_size > 0) {
    StreamPtr buffered =
        buffered_stream_new(std::move(opened), static_cast<std::uint64_t>(buffer_size));
    if (!buffered) {
      BUSFOLD_LOG(kLogError, "Could not allocate buffer of size %zd",
                  static_cast<ssize_t>(buffer_size));
      return kConvertFailed;
    }
    opened = std::move(buffered);
  }
  CurrentStream current(std::move(opened));

  if (int code = unwrap_containers(ctx, current.ptr()); code != kConvertOk) return code;

  std::vector<std::string> warnings;
  MdfOpenOptions open_options;
  open_options.any_writer = ctx.options != nullptr && ctx.options->any_writer == 1;
  open_options.writer_hint = "use --any-writer to convert files of other writers";
  Result<std::unique_ptr<MdfFile>> open_result =
      mdf_open(*current.get(), &bus_channel_classifier(), &warnings, open_options);
  for (const std::string& line : warnings)
    BUSFOLD_LOG(kLogWarning, "%s", line.c_str());
  if (!open_result.ok()) {
    log_status(open_result.status());
    BUSFOLD_LOG(kLogError, "Could not open MDF");
    return kConvertFailed;
  }
  std::unique_ptr<MdfFile> mdf = std::move(*open_result);
  if (mdf->id_block() == nullptr) {
    BUSFOLD_LOG(kLogError, "Could not read ID block");
    return kConvertFailed;
  }
  const HdBlock* hd = mdf->hd();
  if (hd == nullptr) {
    BUSFOLD_LOG(kLogError, "Could not read HD block");
    return kConvertFailed;
  }

  const ToolOps& ops = *ctx.ops;
  // The tool says why a callback failed; these lines only say which one, for debugging.
  bool ok = ops.on_new_file(ctx, output, *mdf);
  if (!ok) BUSFOLD_LOG(kLogDebug, "Error during new file callback");
  if (ok) ok = deliver_data_groups(ctx, *hd, mdf->other_writer.has_value());
  const bool ended = ops.on_end_file(ctx, output);
  if (!(ended && ok)) BUSFOLD_LOG(kLogDebug, "Error during end file callback");
  ok = ok && ended;

  if (stream_close(current.ptr()) != 0) {
    BUSFOLD_LOG(kLogError, "Could not close input file after conversion: %.*s", shown_length,
                shown.data());
    return kConvertFailed;
  }
  if (!ok) return kConvertFailed;
  if (ctx.options == nullptr || ctx.options->delete_converted != 1) return kConvertOk;
  // The name may by now stand for another file (replaced, or rewritten in place), which
  // was never converted.
  FsStat now;
  if (!opened_as || !fs_stat(ctx.input_root, input, now) || !same_file(now, *opened_as)) {
    BUSFOLD_LOG(kLogWarning, "Input file %.*s changed while it was converted; it is kept",
                shown_length, shown.data());
    return kConvertOk;
  }
  if (!fs_remove(ctx.input_root, input)) {
    BUSFOLD_LOG(kLogError, "Could not remove input file after conversion: %.*s", shown_length,
                shown.data());
  }
  return kConvertOk;
}

}  // namespace

int convert_file(ToolContext& ctx, std::string_view input, std::string_view output) {
  // Running out of memory fails this file alone; what it held is released on the way out.
  int code = kConvertFailed;
  ctx.input_path = input;
  try {
    code = convert(ctx, input, output);
  } catch (const std::bad_alloc&) {
    const std::string_view shown = ctx.shown_input.empty() ? input : ctx.shown_input;
    BUSFOLD_LOG(kLogError, "Out of memory while converting %.*s",
                print_length(shown), shown.data());
  }
  ctx.input_path = {};
  return code;
}

}  // namespace busfold
