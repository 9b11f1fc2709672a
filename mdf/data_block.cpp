#include "mdf/data_block.h"

#include <algorithm>

#include "mdf/block_codec.h"

namespace busfold {

namespace {
constexpr std::uint64_t kMaxStreamOffset = static_cast<std::uint64_t>(INT64_MAX);
}  // namespace

DataBlock::DataBlock(BlockType kind) : MdfBlock(kind) {}

DataBlock::~DataBlock() {
  if (owned_source_) owned_source_->close();
}

Status DataBlock::load(LoadContext& ctx, const BlockHeader&) {
  // The data stays in the file: records are read through the read stream when needed.
  data_start_ = offset + kBlockHeaderSize;
  source_ = &ctx.stream;
  owned_source_.reset();
  pieces_ = nullptr;
  position_ = 0;
  return Status::success();
}

Status DataBlock::save(SaveContext& ctx, const MdfBlock*) {
  reserve_block(ctx, *this);
  BUSFOLD_TRY(write_block_start(ctx, *this, {}));
  if (source_ == nullptr) return Status::success();
  if (reader_.seek(0, kSeekSet) != 0) return silent_failure(ErrorCode::kIo);
  std::uint64_t copied = 0;
  (void)stream_copy(reader_, *ctx.stream, copied);
  // A source that held less than the length says, or a failed write, leaves the block short.
  std::int64_t end = ctx.stream->tell();
  return fields_written(end >= 0 && static_cast<std::uint64_t>(end) == data_base() + data_size());
}

void DataBlock::set_source(Stream* source, std::uint64_t data_start, std::uint64_t size) {
  if (owned_source_) {
    owned_source_->close();
    owned_source_.reset();
  }
  pieces_ = nullptr;
  source_ = source;
  data_start_ = data_start;
  length = kBlockHeaderSize + size;
  position_ = 0;
}

void DataBlock::set_source(StreamPtr source, std::uint64_t data_start, std::uint64_t size) {
  Stream* raw = source.get();
  set_source(raw, data_start, size);
  owned_source_ = std::move(source);
}

void DataBlock::set_pieces(std::unique_ptr<PieceStream> pieces) {
  PieceStream* raw = pieces.get();
  const std::uint64_t size = raw != nullptr ? raw->size() : 0;
  set_source(StreamPtr(std::move(pieces)), 0, size);
  pieces_ = raw;
}

bool DataBlock::ReadStream::seek_source(std::uint64_t at) {
  Stream* source = block_.source_;
  if (source == nullptr) return false;
  std::uint64_t target = block_.data_start_ + at;
  return target >= at && stream_seek_exact(*source, target);
}

std::int64_t DataBlock::ReadStream::read(void* buffer, std::uint64_t n) {
  std::uint64_t size = block_.data_size();
  std::uint64_t position = std::min(block_.position_, size);
  std::uint64_t k = std::min(n, size - position);
  if (k == 0) return 0;
  if (!seek_source(position)) return kStreamError;
  std::int64_t got = block_.source_->read(buffer, k);
  if (got > 0) block_.position_ = position + static_cast<std::uint64_t>(got);
  return got;
}

std::int64_t DataBlock::ReadStream::tell() {
  return static_cast<std::int64_t>(std::min(block_.position_, kMaxStreamOffset));
}

std::int64_t DataBlock::ReadStream::seek(std::int64_t offset, int whence) {
  auto size = static_cast<std::int64_t>(std::min(block_.data_size(), kMaxStreamOffset));
  std::int64_t base;
  switch (whence) {
  case kSeekSet: base = 0; break;
  case kSeekCur:
    base = static_cast<std::int64_t>(std::min(block_.position_, kMaxStreamOffset));
    break;
  case kSeekEnd: base = size; break;
  default: return kStreamError;
  }
  // Targets beyond the data land at its end, as reads there find nothing anyway.
  if ((offset > 0 && base > INT64_MAX - offset)) return kStreamError;
  std::int64_t target = std::min(base + offset, size);
  if (target < 0) return kStreamError;
  if (!seek_source(static_cast<std::uint64_t>(target))) return kStreamError;
  block_.position_ = static_cast<std::uint64_t>(target);
  return target;
}

const std::uint64_t* DataBlock::ReadStream::view_epoch() const {
  return block_.source_ != nullptr ? block_.source_->view_epoch() : nullptr;
}

const std::uint8_t* DataBlock::ReadStream::view(std::uint64_t position, std::uint64_t n) {
  std::uint64_t size = block_.data_size();
  if (block_.source_ == nullptr || position > size || n > size - position) return nullptr;
  std::uint64_t at = block_.data_start_ + position;
  if (at < position) return nullptr;
  return block_.source_->view(at, n);
}

}  // namespace busfold
