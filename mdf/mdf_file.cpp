#include "mdf/mdf_file.h"

#include "mdf/block_codec.h"
#include "mdf/cg_block.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/fh_block.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"

namespace busfold {

namespace {

// The header block always follows the 64-byte identification block.
constexpr std::uint64_t kHdOffset = 64;

// The data block a logger was writing when it stopped: the last one in the file.
DtBlock* last_data_block(const HdBlock& hd) {
  DtBlock* last = nullptr;
  for (const BlockRef& group : hd.data_groups) {
    const auto* dg = block_cast<DgBlock>(group);
    auto* dt = dg == nullptr ? nullptr : block_cast<DtBlock>(dg->data);
    // Data gathered from pieces was written by a tool that knew its lengths.
    if (dt == nullptr || dt->from_pieces()) continue;
    if (last == nullptr || dt->offset > last->offset) last = dt;
  }
  return last;
}

// In a finalized file a data group whose channel groups count records must hold them.
Status check_data_groups_hold_their_records(const HdBlock& hd) {
  for (const BlockRef& group : hd.data_groups) {
    const auto* dg = block_cast<DgBlock>(group);
    if (dg == nullptr || dg->data != nullptr) continue;
    std::uint64_t records = 0;
    for (const BlockRef& channel_group : dg->channel_groups) {
      if (const auto* cg = block_cast<CgBlock>(channel_group)) records += cg->cg_cycle_count;
    }
    if (records != 0) {
      return make_error(ErrorCode::kInvalidInput,
                        "Data group at offset %llu counts %llu records but has no data block",
                        static_cast<unsigned long long>(dg->offset),
                        static_cast<unsigned long long>(records));
    }
  }
  return Status::success();
}

// Whether a group of the file has a kind: what another writer's file must hold to be
// worth converting.
bool holds_recognised_group(const HdBlock& hd) {
  for (const BlockRef& group : hd.data_groups) {
    const auto* dg = block_cast<DgBlock>(group);
    if (dg == nullptr) continue;
    for (const RecordLayout& layout : dg->layouts.all()) {
      if (layout.group_kind != 0) return true;
    }
  }
  return false;
}

Status load_tree(LoadContext& ctx, MdfFile& file) {
  BUSFOLD_TRY(load_link(ctx, 0, file.id));
  IdBlock* id = file.id_block();
  if (id == nullptr) return silent_failure();

  ctx.lenient_data_length = (id->id_unfin_flags & kUnfinDataLengthStale) != 0;
  BUSFOLD_TRY(load_link(ctx, kHdOffset, id->hd));
  const auto* hd = block_cast<HdBlock>(id->hd);
  if (hd == nullptr) return silent_failure();

  if (id->file_id() == kFinalizedFileId) return check_data_groups_hold_their_records(*hd);
  if (DtBlock* last = last_data_block(*hd)) {
    last->may_end_inside_record = true;
    if (ctx.lenient_data_length) {
      // Written before its data, with a length that does not cover it: it runs to the
      // end of the file. The block header was read, so the file holds its 24 bytes.
      last->length = ctx.stream_size - last->offset;
      id->id_unfin_flags &= static_cast<std::uint16_t>(~kUnfinDataLengthStale);
    }
  }
  return Status::success();
}

}  // namespace

IdBlock* MdfFile::id_block() const { return block_cast<IdBlock>(id); }

HdBlock* MdfFile::hd() const {
  IdBlock* block = id_block();
  return block == nullptr ? nullptr : block_cast<HdBlock>(block->hd);
}

Result<std::unique_ptr<MdfFile>> mdf_open(Stream& stream, const ChannelClassifier* classifier,
                                          std::vector<std::string>* warnings,
                                          const MdfOpenOptions& options) {
  std::int64_t size = stream_size(&stream);
  if (size < 0) return silent_failure(ErrorCode::kIo);
  auto file = std::make_unique<MdfFile>();
  file->source = &stream;

  LoadContext ctx(stream, static_cast<std::uint64_t>(size), classifier);
  ctx.any_writer = options.any_writer;
  ctx.writer_hint = options.writer_hint;
  Status loaded = load_tree(ctx, *file);
  file->other_writer = std::move(ctx.other_writer);
  if (loaded.ok() && file->other_writer && !holds_recognised_group(*file->hd())) {
    loaded = make_error(ErrorCode::kUnsupported,
                        "Unsupported MF4 file: %s, without a group of bus frames",
                        written_by(*file->other_writer).c_str());
  }
  if (warnings != nullptr) {
    warnings->insert(warnings->end(), ctx.warnings.begin(), ctx.warnings.end());
  }
  if (!loaded.ok()) return loaded;
  return Result<std::unique_ptr<MdfFile>>(std::move(file));
}

}  // namespace busfold
