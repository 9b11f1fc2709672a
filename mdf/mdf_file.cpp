#include "mdf/mdf_file.h"

#include "mdf/block_codec.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"

namespace busfold {

namespace {

// The header block always follows the 64-byte identification block.
constexpr std::uint64_t kHdOffset = 64;

// The last data block of an unfinalized file may have been written before its data, with
// a length that does not cover it: it runs to the end of the file.
void repair_last_data_length(IdBlock& id, const HdBlock& hd, std::uint64_t stream_size) {
  DtBlock* last = nullptr;
  for (const BlockRef& group : hd.data_groups) {
    const auto* dg = block_cast<DgBlock>(group);
    auto* dt = dg == nullptr ? nullptr : block_cast<DtBlock>(dg->data);
    if (dt != nullptr && (last == nullptr || dt->offset > last->offset)) last = dt;
  }
  if (last == nullptr) return;
  // The block header was read, so the file holds at least its 24 bytes.
  last->length = stream_size - last->offset;
  id.id_unfin_flags &= static_cast<std::uint16_t>(~kUnfinDataLengthStale);
}

Status load_tree(LoadContext& ctx, MdfFile& file) {
  BUSFOLD_TRY(load_link(ctx, 0, file.id));
  IdBlock* id = file.id_block();
  if (id == nullptr) return silent_failure();

  ctx.lenient_data_length = (id->id_unfin_flags & kUnfinDataLengthStale) != 0;
  BUSFOLD_TRY(load_link(ctx, kHdOffset, id->hd));
  const auto* hd = block_cast<HdBlock>(id->hd);
  if (hd == nullptr) return silent_failure();

  if (ctx.lenient_data_length) repair_last_data_length(*id, *hd, ctx.stream_size);
  return Status::success();
}

}  // namespace

IdBlock* MdfFile::id_block() const { return block_cast<IdBlock>(id); }

HdBlock* MdfFile::hd() const {
  IdBlock* block = id_block();
  return block == nullptr ? nullptr : block_cast<HdBlock>(block->hd);
}

Result<std::unique_ptr<MdfFile>> mdf_open(Stream& stream, const ChannelClassifier* classifier,
                                          std::vector<std::string>* warnings) {
  std::int64_t size = stream_size(&stream);
  if (size < 0) return silent_failure(ErrorCode::kIo);
  auto file = std::make_unique<MdfFile>();
  file->source = &stream;

  LoadContext ctx(stream, static_cast<std::uint64_t>(size), classifier);
  Status loaded = load_tree(ctx, *file);
  if (warnings != nullptr) {
    warnings->insert(warnings->end(), ctx.warnings.begin(), ctx.warnings.end());
  }
  if (!loaded.ok()) return loaded;
  return Result<std::unique_ptr<MdfFile>>(std::move(file));
}

}  // namespace busfold
