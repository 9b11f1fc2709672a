#include "app/finalizing_stream.h"

#include <new>

#include "base/bytes.h"
#include "base/log.h"
#include "mdf/block_codec.h"
#include "mdf/cg_block.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"

namespace busfold {

std::unique_ptr<FinalizingStream> finalizing_stream_new(StreamPtr output,
                                                        std::unique_ptr<MdfFile> file,
                                                        std::uint64_t expected_bytes) {
  if (!output || !file) return nullptr;
  std::unique_ptr<FinalizingStream> stream(new (std::nothrow) FinalizingStream());
  if (!stream) return nullptr;
  stream->data_ = memory_stream_new();
  if (!stream->data_) return nullptr;
  // A failed reservation is no failure: the buffer then grows as records arrive.
  if (expected_bytes > 0) stream->data_->reserve(expected_bytes);
  stream->counts_.assign(65536, 0);
  stream->output_ = std::move(output);
  stream->file_ = std::move(file);
  return stream;
}

std::int64_t FinalizingStream::write(const void* buffer, std::uint64_t n) {
  if (closed_ || n < 2) return kStreamError;
  const std::uint16_t record_id = load_le16(static_cast<const std::uint8_t*>(buffer));
  std::int64_t written = data_->write(buffer, n);
  // Only what reached the data block counts, so cycle counts never exceed the records.
  if (written == static_cast<std::int64_t>(n)) {
    counts_[record_id] += n - 2;
    seen_.set(record_id);
  }
  return written;
}

std::int64_t FinalizingStream::read(void* buffer, std::uint64_t n) {
  return closed_ ? kStreamError : data_->read(buffer, n);
}
std::int64_t FinalizingStream::tell() { return closed_ ? kStreamError : data_->tell(); }
std::int64_t FinalizingStream::seek(std::int64_t offset, int whence) {
  return closed_ ? kStreamError : data_->seek(offset, whence);
}

DtBlock* FinalizingStream::data_block() const {
  HdBlock* hd = file_->hd();
  if (hd == nullptr || hd->data_groups.empty()) return nullptr;
  auto* dg = block_cast<DgBlock>(hd->data_groups.front());
  return dg != nullptr ? block_cast<DtBlock>(dg->data) : nullptr;
}

bool FinalizingStream::finalize() {
  IdBlock* id = file_->id_block();
  if (id == nullptr) return false;
  std::vector<MdfBlock*> blocks = collect_blocks(id);

  for (MdfBlock* block : blocks) {
    CgBlock* cg = block_cast<CgBlock>(block);
    if (cg == nullptr || (cg->cg_flags & kCgFlagVlsd) != 0) continue;
    const auto record_id = static_cast<std::uint16_t>(cg->cg_record_id);
    if (!seen_[record_id]) continue;
    if (cg->cg_data_bytes != 0) cg->cg_cycle_count = counts_[record_id] / cg->cg_data_bytes;
    // The group's signal data sits in the first other group reachable from it that got
    // records: its VLSD group. The 4-byte length of each of its records is not data.
    for (MdfBlock* reachable : collect_blocks(cg)) {
      CgBlock* vlsd = block_cast<CgBlock>(reachable);
      if (vlsd == nullptr || vlsd == cg) continue;
      const auto vlsd_id = static_cast<std::uint16_t>(vlsd->cg_record_id);
      if (!seen_[vlsd_id]) continue;
      vlsd->cg_data_bytes = static_cast<std::uint32_t>(counts_[vlsd_id] - 4 * cg->cg_cycle_count);
      break;
    }
  }

  DtBlock* dt = data_block();
  if (dt == nullptr) return false;
  dt->set_source(data_.get(), 0, data_->size());

  SaveContext ctx;
  ctx.stream = output_.get();
  ctx.end_mark = end_of_placed_blocks(blocks);
  id->id_unfin_flags = 0;
  id->id_custom_unfin_flags = 0;
  Status saved = save_block(id, ctx, nullptr);
  log_status(saved);
  if (!saved.ok()) return false;
  return output_->seek(0, kSeekEnd) >= 0;
}

std::int64_t FinalizingStream::close() {
  if (closed_) return kStreamError;
  closed_ = true;
  bool ok = finalize();
  // The data block must not outlive the buffer it reads from.
  if (DtBlock* dt = data_block()) dt->set_source(nullptr, 0, 0);
  data_.reset();
  std::int64_t closed = stream_close(output_);
  if (closed != 0) ok = false;
  output_.reset();
  file_.reset();
  return ok ? 0 : kStreamError;
}

}  // namespace busfold
