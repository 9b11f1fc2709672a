#include "app/finalizing_stream.h"

#include <cstring>
#include <new>
#include <vector>

#include "base/bytes.h"
#include "base/log.h"
#include "mdf/block_codec.h"
#include "mdf/cg_block.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"

namespace busfold {

namespace {

// Records are handed to the output this much at a time.
constexpr std::size_t kRecordBuffer = std::size_t{4} << 20;

// Takes every byte and keeps only the position: where a save would put what.
class PlacingSink final : public Stream {
public:
  std::int64_t write(const void*, std::uint64_t n) override {
    position_ += static_cast<std::int64_t>(n);
    return static_cast<std::int64_t>(n);
  }
  std::int64_t tell() override { return position_; }
  std::int64_t seek(std::int64_t offset, int whence) override {
    if (whence != kSeekSet || offset < 0) return kStreamError;
    return position_ = offset;
  }

private:
  std::int64_t position_ = 0;
};

// Takes the final save's blocks, which lie before and after the records, scattered in
// the order the tree is walked, and gives them to the output in two writes: all before
// the records, then all after.
class BlockImage final : public Stream {
public:
  BlockImage(std::uint64_t records_start, std::uint64_t records_end)
      : records_start_(records_start), records_end_(records_end) {}

  std::int64_t write(const void* buffer, std::uint64_t n) override {
    std::vector<std::uint8_t>* image;
    std::uint64_t at;
    if (position_ <= records_start_ && n <= records_start_ - position_) {
      image = &before_;
      at = position_;
    } else if (position_ >= records_end_ && position_ - records_end_ <= kMaxAfter &&
               n <= kMaxAfter) {
      image = &after_;
      at = position_ - records_end_;
    } else {
      return kStreamError;  // over the records
    }
    if (image->size() < at + n) image->resize(static_cast<std::size_t>(at + n));
    if (n != 0) std::memcpy(image->data() + at, buffer, static_cast<std::size_t>(n));
    position_ += n;
    return static_cast<std::int64_t>(n);
  }
  std::int64_t tell() override { return static_cast<std::int64_t>(position_); }
  std::int64_t seek(std::int64_t offset, int whence) override {
    if (whence != kSeekSet || offset < 0) return kStreamError;
    position_ = static_cast<std::uint64_t>(offset);
    return offset;
  }

  std::vector<std::uint8_t>& before() { return before_; }
  bool nothing_after() const { return after_.empty(); }

  // Writes both parts where they belong. Bytes before the records that the save left
  // out stay zero, as the unwritten start of the output reads.
  bool write_to(Stream& output) const {
    const auto put = [&output](std::uint64_t at, const std::vector<std::uint8_t>& bytes) {
      return bytes.empty() ||
             (stream_seek_exact(output, at) &&
              output.write(bytes.data(), bytes.size()) == static_cast<std::int64_t>(bytes.size()));
    };
    return put(0, before_) && put(records_end_, after_);
  }

private:
  // Blocks after the records are the few the save adds; far more is a fault.
  static constexpr std::uint64_t kMaxAfter = std::uint64_t{1} << 30;
  std::uint64_t records_start_, records_end_;
  std::uint64_t position_ = 0;
  std::vector<std::uint8_t> before_, after_;
};

}  // namespace

std::unique_ptr<OutputLayout> OutputLayout::create(std::unique_ptr<MdfFile> file) {
  if (!file) return nullptr;
  std::unique_ptr<OutputLayout> layout(new (std::nothrow) OutputLayout());
  if (!layout) return nullptr;
  layout->file_ = std::move(file);
  if (!layout->record_buffer_.resize(2 * kRecordBuffer) || !layout->place_records())
    return nullptr;
  return layout;
}

bool OutputLayout::place_records() {
  IdBlock* id = file_->id_block();
  HdBlock* hd = file_->hd();
  auto* dg = hd != nullptr && !hd->data_groups.empty() ? block_cast<DgBlock>(hd->data_groups.front())
                                                        : nullptr;
  dt_ = dg != nullptr ? block_cast<DtBlock>(dg->data) : nullptr;
  if (id == nullptr || dt_ == nullptr) return false;
  unfin_flags_ = id->id_unfin_flags;
  start_time_ns_ = hd->hd_start_time_ns;
  custom_unfin_flags_ = id->id_custom_unfin_flags;
  const std::vector<MdfBlock*> blocks = collect_blocks(id);
  placed_end_ = end_of_placed_blocks(blocks);
  for (MdfBlock* block : blocks) {
    if (block->offset == kNoOffset) unplaced_.push_back(block);
    CgBlock* cg = block_cast<CgBlock>(block);
    if (cg == nullptr) continue;
    const bool vlsd = (cg->cg_flags & kCgFlagVlsd) != 0;
    Group& group =
        groups_.emplace_back(Group{cg, cg->cg_cycle_count, cg->cg_data_bytes, vlsd, {}});
    if (vlsd) continue;
    for (MdfBlock* reachable : collect_blocks(cg)) {
      CgBlock* other = block_cast<CgBlock>(reachable);
      if (other != nullptr && other != cg) group.reachable.push_back(other);
    }
  }
  dt_->set_source(nullptr, 0, 0);
  PlacingSink sink;
  SaveContext ctx;
  ctx.stream = &sink;
  ctx.end_mark = placed_end_;
  const bool placed = save_block(id, ctx, nullptr).ok() && dt_->offset != kNoOffset;
  records_start_ = dt_->offset + kBlockHeaderSize;
  restore();  // the real save places them again, around the records
  return placed;
}

void OutputLayout::keep_image(std::vector<std::uint8_t> before, bool nothing_after) {
  HdBlock* hd = file_->hd();
  const std::int64_t start_time = hd->field_position(&hd->hd_start_time_ns);
  if (!nothing_after || start_time < 0) return;
  start_time_at_ = hd->data_base() + static_cast<std::uint64_t>(start_time);
  dt_length_at_ = dt_->offset + kBlockLengthAt;
  // Each field where it is found must hold what the save wrote there.
  const auto holds = [&before](std::uint64_t at, std::uint64_t value, std::size_t size) {
    if (at > before.size() || size > before.size() - at) return false;
    const std::uint8_t* field = before.data() + at;
    return (size == 8 ? load_le64(field) : load_le32(field)) == value;
  };
  bool found = holds(start_time_at_, hd->hd_start_time_ns, 8) &&
               holds(dt_length_at_, dt_->length, 8);
  for (Group& group : groups_) {
    CgBlock* cg = group.cg;
    const std::int64_t cycles = cg->field_position(&cg->cg_cycle_count);
    const std::int64_t bytes = cg->field_position(&cg->cg_data_bytes);
    if (cycles < 0 || bytes < 0) return;
    group.cycle_count_at = cg->data_base() + static_cast<std::uint64_t>(cycles);
    group.data_bytes_at = cg->data_base() + static_cast<std::uint64_t>(bytes);
    found = found && holds(group.cycle_count_at, cg->cg_cycle_count, 8) &&
            holds(group.data_bytes_at, cg->cg_data_bytes, 4);
  }
  if (found) image_ = std::move(before);
}

const std::vector<std::uint8_t>& OutputLayout::patched_image() {
  std::uint8_t* image = image_.data();
  store_le64(image + start_time_at_, file_->hd()->hd_start_time_ns);
  store_le64(image + dt_length_at_, dt_->length);
  for (const Group& group : groups_) {
    store_le64(image + group.cycle_count_at, group.cg->cg_cycle_count);
    store_le32(image + group.data_bytes_at, group.cg->cg_data_bytes);
  }
  return image_;
}

void OutputLayout::restore() {
  for (MdfBlock* block : unplaced_)
    block->offset = kNoOffset;
  for (const Group& group : groups_) {
    group.cg->cg_cycle_count = group.cycle_count;
    group.cg->cg_data_bytes = group.data_bytes;
  }
  if (IdBlock* id = file_->id_block()) {
    id->id_unfin_flags = unfin_flags_;
    id->id_custom_unfin_flags = custom_unfin_flags_;
  }
  file_->hd()->hd_start_time_ns = start_time_ns_;
  dt_->set_source(nullptr, 0, 0);
}

std::unique_ptr<FinalizingStream> finalizing_stream_new(StreamPtr output, OutputLayout& layout) {
  if (!output) return nullptr;
  std::unique_ptr<FinalizingStream> stream(new (std::nothrow) FinalizingStream());
  if (!stream) return nullptr;
  stream->output_ = std::move(output);
  stream->layout_ = &layout;
  layout.counts_.clear();
  layout.writer_.wait();  // what an output before left said is not this one's
  stream->attach(layout.record_buffer_.data(), layout.record_buffer_.data() + kRecordBuffer,
                 layout.counts_);
  if (!stream_seek_exact(*stream->output_, layout.records_start_)) return nullptr;
  return stream;
}

std::unique_ptr<FinalizingStream> finalizing_stream_new(StreamPtr output,
                                                        std::unique_ptr<MdfFile> file) {
  std::unique_ptr<OutputLayout> layout = OutputLayout::create(std::move(file));
  if (!output || !layout) return nullptr;
  std::unique_ptr<FinalizingStream> stream = finalizing_stream_new(std::move(output), *layout);
  if (stream) stream->owned_layout_ = std::move(layout);
  return stream;
}

FinalizingStream::~FinalizingStream() {
  if (layout_ == nullptr) return;
  if (output_) layout_->writer_.wait();  // no write may outlive the output
  layout_->restore();
}

bool FinalizingStream::flush() {
  const std::size_t n = buffered();
  if (n == 0 || failed_) return !failed_;
  records_size_ += n;
  if (!layout_->writer_.write(*output_, buffer(), n)) return refuse_records();
  half_ ^= 1;
  std::uint8_t* next = layout_->record_buffer_.data() + half_ * kRecordBuffer;
  attach(next, next + kRecordBuffer, layout_->counts_);
  return true;
}

bool FinalizingStream::settle() {
  return layout_->writer_.wait() ? !failed_ : refuse_records();
}

bool FinalizingStream::flush_here() {
  if (!settle()) return false;
  const std::size_t n = buffered();
  if (n == 0) return true;
  records_size_ += n;
  if (output_->write(buffer(), n) != static_cast<std::int64_t>(n)) return refuse_records();
  attach(buffer(), buffer() + kRecordBuffer, layout_->counts_);
  return true;
}

bool FinalizingStream::refuse_records() {
  failed_ = true;
  attach(buffer(), buffer(), layout_->counts_);  // no room from now on
  return false;
}

std::uint8_t* FinalizingStream::make_room(std::size_t n) {
  if (closed_ || !flush() || n > kRecordBuffer) return nullptr;
  return buffer();
}

std::int64_t FinalizingStream::write(const void* buffer, std::uint64_t n) {
  if (closed_ || failed_ || n < kRecordIdSize) return kStreamError;
  const auto* record = static_cast<const std::uint8_t*>(buffer);
  if (n <= kRecordBuffer) return put(record, n) ? static_cast<std::int64_t>(n) : kStreamError;
  // Larger than the buffer: straight through.
  if (!flush() || !settle() || output_->write(buffer, n) != static_cast<std::int64_t>(n)) {
    failed_ = true;
    return kStreamError;
  }
  records_size_ += n;
  layout_->counts_.add(load_le16(record), n - kRecordIdSize);
  return static_cast<std::int64_t>(n);
}

bool FinalizingStream::finalize() {
  if (!flush_here()) return false;
  IdBlock* id = layout_->file_->id_block();
  if (id == nullptr) return false;
  for (const OutputLayout::Group& group : layout_->groups_) {
    if (group.vlsd) continue;
    CgBlock* cg = group.cg;
    const auto record_id = static_cast<std::uint16_t>(cg->cg_record_id);
    if (!layout_->counts_.seen(record_id)) continue;
    if (cg->cg_data_bytes != 0)
      cg->cg_cycle_count = layout_->counts_.bytes(record_id) / cg->cg_data_bytes;
    // The group's signal data sits in the first other group reachable from it that got
    // records: its VLSD group. The 4-byte length of each of its records is not data.
    for (CgBlock* vlsd : group.reachable) {
      const auto vlsd_id = static_cast<std::uint16_t>(vlsd->cg_record_id);
      if (!layout_->counts_.seen(vlsd_id)) continue;
      vlsd->cg_data_bytes =
          static_cast<std::uint32_t>(layout_->counts_.bytes(vlsd_id) - 4 * cg->cg_cycle_count);
      break;
    }
  }

  // The records are in place already: the data block's save writes its header only.
  DtBlock* dt = layout_->dt_;
  dt->set_source(nullptr, 0, records_size_);

  const std::uint64_t records_start = layout_->records_start_;
  id->id_unfin_flags = 0;
  id->id_custom_unfin_flags = 0;
  if (!layout_->image_.empty()) {
    // Every output of the layout has the same blocks: only the fields of the counts,
    // the start time and the data length differ.
    const std::vector<std::uint8_t>& before = layout_->patched_image();
    if (!stream_seek_exact(*output_, 0) ||
        output_->write(before.data(), before.size()) != static_cast<std::int64_t>(before.size())) {
      return false;
    }
  } else {
    BlockImage image(records_start, records_start + records_size_);
    SaveContext ctx;
    ctx.stream = &image;
    ctx.end_mark = layout_->placed_end_;
    Status saved = save_block(id, ctx, nullptr);
    log_status(saved);
    if (!saved.ok() || dt->offset + kBlockHeaderSize != records_start) return false;
    if (!image.write_to(*output_)) return false;
    layout_->keep_image(std::move(image.before()), image.nothing_after());
  }
  const std::int64_t end = output_->seek(0, kSeekEnd);
  size_ = end > 0 ? static_cast<std::uint64_t>(end) : 0;
  return end >= 0;
}

std::int64_t FinalizingStream::close() {
  if (closed_) return kStreamError;
  closed_ = true;
  bool ok = finalize();
  ok = settle() && ok;  // however far finalize got, no write is under way now
  error_ = output_->error_number();
  std::int64_t closed = stream_close(output_);
  if (closed != 0) {
    ok = false;
    if (error_ == 0) error_ = output_->error_number();
  }
  output_.reset();
  layout_->restore();
  return ok ? 0 : kStreamError;
}

}  // namespace busfold
