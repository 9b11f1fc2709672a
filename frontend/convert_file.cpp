#include "frontend/convert_file.h"

#include <sys/types.h>

#include <algorithm>
#include <cstdio>

#include "base/log.h"
#include "buslog/bus_classifier.h"
#include "buslog/bus_frame.h"
#include "io/buffered_stream.h"
#include "io/compressed_container.h"
#include "io/container_header.h"
#include "io/encrypted_container.h"
#include "io/fs_root.h"
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

// Hands every data group's records to the tool, group by group. False when a callback
// failed or a group's records could not all be read.
bool deliver_data_groups(ToolContext& ctx, const HdBlock& hd) {
  const ToolOps& ops = *ctx.ops;
  bool ok = true;
  std::uint64_t group_number = 0;
  GroupSummary summary;
  for (const BlockRef& group : hd.data_groups) {
    DgBlock* dg = block_cast<DgBlock>(group);
    if (dg == nullptr || dg->channel_groups.empty()) continue;
    summary.clear();
    for (const BlockRef& channel_group : dg->channel_groups) {
      const CgBlock* cg = block_cast<CgBlock>(channel_group);
      if (cg == nullptr) continue;
      summary.push_back({block_text(cg->acq_name), group_number++, dg->group_kind_of(*cg)});
    }
    int go = ops.on_group_begin != nullptr ? ops.on_group_begin(ctx, summary) : 1;
    if (go == 1 && ops.on_record != nullptr) {
      RecordReader reader(*dg);
      BusFrame frame{};
      RecordIterator records(reader, &frame);
      for (bool more = records.begin(); more; more = records.next()) {
        ++ctx.record_count;
        ok = ops.on_record(ctx, frame) && ok;
      }
      // A walk stopped early (an unknown record id, say) left records unconverted.
      if (read_end_failed(records.end())) ok = false;
    }
    if (ops.on_group_end != nullptr) ops.on_group_end(ctx, summary);
  }
  return ok;
}

}  // namespace

int convert_file(ToolContext& ctx, std::string_view input, std::string_view output) {
  const int input_length = static_cast<int>(std::min<std::size_t>(input.size(), 0x7fffffff));
  std::unique_ptr<FileStream> file = fs_open(ctx.input_root, input, kFsRead | 4);
  if (!file) {
    BUSFOLD_LOG(kLogError, "Could not open input file %.*s", input_length, input.data());
    return kConvertFailed;
  }

  std::int64_t buffer_size = ctx.options != nullptr ? ctx.options->buffer_size : -1;
  if (buffer_size < 0) buffer_size = stream_size(file.get());
  StreamPtr opened = std::move(file);
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

  std::unique_ptr<MdfFile> mdf = mdf_open(*current.get(), &bus_channel_classifier());
  if (!mdf) {
    BUSFOLD_LOG(kLogError, "Could not open MDF");
    return kConvertFailed;
  }
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
  bool ok = true;
  if (ops.on_new_file != nullptr) {
    ok = ops.on_new_file(ctx, output, *mdf);
    if (!ok) BUSFOLD_LOG(kLogError, "Error during new file callback");
  }
  if (ok) ok = deliver_data_groups(ctx, *hd);
  if (ops.on_end_file != nullptr) {
    bool ended = ops.on_end_file(ctx, output);
    if (!(ended && ok)) BUSFOLD_LOG(kLogError, "Error during end file callback");
    ok = ok && ended;
  }

  if (stream_close(current.ptr()) != 0) {
    BUSFOLD_LOG(kLogError, "Could not close input file after conversion: %.*s", input_length,
                input.data());
    return kConvertFailed;
  }
  if (!ok) return kConvertFailed;
  if (ctx.options != nullptr && ctx.options->delete_converted == 1 &&
      !fs_remove(ctx.input_root, input)) {
    BUSFOLD_LOG(kLogError, "Could not remove input file after conversion: %.*s", input_length,
                input.data());
  }
  return kConvertOk;
}

}  // namespace busfold
