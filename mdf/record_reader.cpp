#include "mdf/record_reader.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "base/bytes.h"
#include "mdf/cg_block.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"

namespace busfold {

namespace {

// Largest piece read at once when a source offers no view: buffers grow by what really
// arrived, never by what a length field claims.
constexpr std::uint64_t kReadChunk = std::uint64_t{1} << 20;

// The largest sample a recording that stopped can have been writing: the data of the
// longest bus frame (CAN FD). A cut sample that claims more is a damaged length.
constexpr std::uint64_t kMaxCutSampleLength = 64;

// What a span must still show of a record: a CAN or LIN record with the VLSD record of
// its payload takes well under 200 bytes.
constexpr std::uint64_t kRecordSpan = 4096;
// What a span shows when the source says how long its views last: the records of many
// records' worth, each read without a call to the source.
constexpr std::uint64_t kKeptSpan = 16384;

inline std::uint64_t record_id_of(const std::uint8_t* p, unsigned size) {
  switch (size) {
  case 1: return p[0];
  case 2: return load_le16(p);
  case 4: return load_le32(p);
  default: return load_le64(p);
  }
}

}  // namespace

RecordReader::RecordReader(DgBlock& group) : group_(group) {
  id_size_ = group.dg_rec_id_size;
  rewind();
}

std::uint64_t RecordReader::data_size() const {
  return data_ != nullptr ? data_->data_size() : 0;
}

void RecordReader::rewind() {
  position_ = 0;
  end_ = ReadEnd::kNotEnded;
  end_status_ = Status::success();
  record_ = Record{};
  data_ = nullptr;
  span_ = nullptr;
  span_size_ = 0;
  epoch_ = nullptr;
  if (group_.data == nullptr) {
    end_ = ReadEnd::kEndOfData;  // a group that never got data has no records
  } else if ((data_ = block_cast<DtBlock>(group_.data.get())) == nullptr) {
    finish(ReadEnd::kNotADataBlock,
           make_error(ErrorCode::kInvalidInput,
                      "Data of the data group at offset %llu is not a DT block",
                      static_cast<unsigned long long>(group_.offset)));
  }
  // What the group's SD blocks hold, each counted once, and as much again as its records
  // take: room for values that records share, but no more than the file can back. (The
  // DT of an unfinalized file may claim more than its source holds.)
  signal_budget_ = 0;
  if (data_ != nullptr) {
    std::int64_t source_size = stream_size(data_->source());
    if (source_size > 0 && static_cast<std::uint64_t>(source_size) > data_->data_start()) {
      signal_budget_ = std::min(data_->data_size(),
                                static_cast<std::uint64_t>(source_size) - data_->data_start());
    }
  }
  std::unordered_set<const MdfBlock*> counted;
  for (const RecordLayout& layout : group_.layouts.all()) {
    for (const ChannelDecoder& decoder : layout.decoders) {
      if (decoder.signal_source != SignalSource::kSdBlock ||
          !counted.insert(decoder.signal_data).second) {
        continue;
      }
      std::uint64_t size = static_cast<const DataBlock*>(decoder.signal_data)->data_size();
      signal_budget_ = size > UINT64_MAX - signal_budget_ ? UINT64_MAX : signal_budget_ + size;
    }
  }
}

const Record* RecordReader::next() {
  while (end_ == ReadEnd::kNotEnded) {
    if (read_one()) return &record_;
  }
  return nullptr;
}

bool RecordReader::finish(ReadEnd end) {
  end_ = end;
  return false;
}

bool RecordReader::finish(ReadEnd end, Status why) {
  end_status_ = std::move(why);
  return finish(end);
}

bool RecordReader::read_failed(const DataBlock& block) {
  return finish(ReadEnd::kReadFailed, block.read_failure());
}

bool RecordReader::end_inside_record(std::uint64_t sample_length) {
  const auto* dt = block_cast<DtBlock>(data_);
  if (dt != nullptr && dt->may_end_inside_record && sample_length <= kMaxCutSampleLength) {
    return finish(ReadEnd::kTruncatedRecord);
  }
  const unsigned long long at = data_->data_start() + position_;
  const unsigned long long left = data_->data_size() - position_;
  if (sample_length > kMaxCutSampleLength) {
    return finish(ReadEnd::kDamagedRecord,
                  make_error(ErrorCode::kInvalidInput,
                             "Record at offset %llu claims a sample of %llu bytes, more than the "
                             "data holds; %llu bytes left unread",
                             at, static_cast<unsigned long long>(sample_length), left));
  }
  return finish(ReadEnd::kDamagedRecord,
                make_error(ErrorCode::kInvalidInput,
                           "Record at offset %llu is cut short; %llu bytes left unread", at, left));
}

const std::uint8_t* RecordReader::view(DataBlock& block, std::uint64_t at, std::uint64_t n) {
  if (&block == data_) {
    if (const std::uint8_t* p = in_span(at, n)) return p;
  }
  // Another view may refill the window the span lies in: what the record shows of it is
  // copied first.
  pin_views();
  return block.read_stream().view(at, n);
}

bool RecordReader::span_holds(std::uint64_t at, std::uint64_t size) const {
  return span_ != nullptr && epoch_ != nullptr && *epoch_ == span_epoch_ &&
         in_span(at, std::min(size - at, kRecordSpan));
}

void RecordReader::take_span(std::uint64_t at) {
  const std::uint64_t left = data_->data_size() - at;
  const std::uint64_t needed = std::min(left, kRecordSpan);
  Stream& stream = data_->read_stream();
  epoch_ = stream.view_epoch();
  span_start_ = at;
  span_size_ = std::min(left, kKeptSpan);
  span_ = epoch_ != nullptr ? stream.view(at, span_size_) : nullptr;
  if (span_ == nullptr) {
    span_size_ = needed;
    span_ = stream.view(at, span_size_);
  }
  if (span_ == nullptr) span_size_ = 0;
  // Read after the view, which may itself have refilled the source.
  if (epoch_ != nullptr) span_epoch_ = *epoch_;
}

void RecordReader::pin_views() {
  span_ = nullptr;
  span_size_ = 0;
  record_.padded = false;
  if (record_is_view_) {
    record_buffer_.assign(record_.record_bytes.begin(), record_.record_bytes.end());
    record_.record_bytes = record_buffer_;
    record_is_view_ = false;
  }
  if (signal_is_view_) {
    signal_buffer_.assign(record_.signal_bytes.begin(), record_.signal_bytes.end());
    record_.signal_bytes = signal_buffer_;
    signal_is_view_ = false;
  }
}

bool RecordReader::read_into(DataBlock& block, std::uint64_t at, std::uint64_t n,
                             std::vector<std::uint8_t>& buffer, std::size_t offset) {
  pin_views();
  Stream& stream = block.read_stream();
  if (!stream_seek_exact(stream, at)) return read_failed(block);
  std::uint64_t done = 0;
  while (done < n) {
    std::uint64_t chunk = std::min(n - done, kReadChunk);
    buffer.resize(offset + done + chunk);
    std::int64_t got = stream.read(buffer.data() + offset + done, chunk);
    if (got <= 0) {
      buffer.resize(offset + done);
      return read_failed(block);
    }
    done += static_cast<std::uint64_t>(got);
    buffer.resize(offset + done);
  }
  return true;
}

bool RecordReader::read_small(DataBlock& block, std::uint64_t at, std::uint64_t n,
                              std::uint8_t* out) {
  if (const std::uint8_t* p = view(block, at, n)) {
    std::memcpy(out, p, n);
    return true;
  }
  pin_views();
  Stream& stream = block.read_stream();
  if (!stream_seek_exact(stream, at)) return read_failed(block);
  return stream_read_exact(stream, out, n) || read_failed(block);
}

bool RecordReader::take_record_bytes(std::uint64_t at, std::uint64_t n) {
  if (const std::uint8_t* p = view(*data_, at, n)) {
    record_.record_bytes = {p, static_cast<std::size_t>(n)};
    record_is_view_ = true;
    return true;
  }
  record_buffer_.clear();
  if (!read_into(*data_, at, n, record_buffer_, 0)) return false;
  record_.record_bytes = record_buffer_;
  return true;
}

bool RecordReader::add_signal_piece(DataBlock& block, std::uint64_t at, std::uint64_t n) {
  if (signal_pieces_++ == 0) {
    // One piece, as a VLSD record or an SD entry holds it (length, then bytes), is shown
    // in place; only several are gathered into the buffer.
    if (const std::uint8_t* p = view(block, at, n)) {
      record_.signal_bytes = {p, static_cast<std::size_t>(n)};
      signal_is_view_ = true;
      return true;
    }
    signal_buffer_.clear();
    if (!read_into(block, at, n, signal_buffer_, 0)) return false;
    record_.signal_bytes = signal_buffer_;
    return true;
  }
  if (signal_is_view_) {
    signal_buffer_.assign(record_.signal_bytes.begin(), record_.signal_bytes.end());
    signal_is_view_ = false;
  }
  if (const std::uint8_t* p = view(block, at, n)) {
    signal_buffer_.insert(signal_buffer_.end(), p, p + n);
  } else if (!read_into(block, at, n, signal_buffer_, signal_buffer_.size())) {
    return false;
  }
  record_.signal_bytes = signal_buffer_;
  return true;
}

bool RecordReader::gather_signal_data(const RecordLayout& layout, std::uint64_t& at) {
  const std::uint64_t size = data_->data_size();
  std::uint8_t raw[8];
  // A value that cannot be found stops the gathering: the pieces found so far stay in
  // decoder order, and a handler finds nothing for the rest.
  for (const ChannelDecoder& decoder : layout.decoders.subspan(layout.first_signal_decoder)) {
    if (!decoder.has_signal_data) continue;
    if (decoder.signal_source == SignalSource::kVlsdGroup) {
      if (id_size_ == 0) break;
      // The value is the record that follows, when that is one of the VLSD group.
      if (size - at < id_size_) return end_inside_record(0);
      const std::uint8_t* head = small_data(at, id_size_, raw);
      if (head == nullptr) return false;
      const auto* vlsd = static_cast<const CgBlock*>(decoder.signal_data);
      if (record_id_of(head, id_size_) != vlsd->cg_record_id) break;
      std::uint64_t piece = at + id_size_;
      if (size - piece < 4) return end_inside_record(0);
      const std::uint8_t* length_bytes = small_data(piece, 4, raw);
      if (length_bytes == nullptr) return false;
      std::uint64_t length = load_le32(length_bytes);
      if (size - piece - 4 < length) return end_inside_record(length);
      if (!add_signal_piece(*data_, piece, 4 + length)) return false;
      at = piece + 4 + length;
    } else if (decoder.signal_source == SignalSource::kSdBlock) {
      auto* sd = static_cast<DataBlock*>(decoder.signal_data);
      std::uint64_t offset = decoder.raw_bits(record_.record_bytes);
      std::uint64_t sd_size = sd->data_size();
      if (offset > sd_size || sd_size - offset < 4) break;
      if (!read_small(*sd, offset, 4, raw)) return false;
      std::uint64_t length = load_le32(raw);
      if (sd_size - offset - 4 < length) break;
      if (4 + length > signal_budget_) {
        return finish(ReadEnd::kSignalDataReused,
                      make_error(ErrorCode::kLimit,
                                 "Records of the data group at offset %llu refer to more signal "
                                 "data than the file holds",
                                 static_cast<unsigned long long>(group_.offset)));
      }
      signal_budget_ -= 4 + length;
      if (!add_signal_piece(*sd, offset, 4 + length)) return false;
    } else {
      break;
    }
  }
  return true;
}

bool RecordReader::read_one() {
  const std::uint64_t size = data_->data_size();
  record_.record_bytes = {};
  record_.padded = false;
  record_.signal_bytes = {};
  record_is_view_ = signal_is_view_ = false;
  signal_pieces_ = 0;

  std::uint64_t at = position_;
  if (at >= size) return finish(ReadEnd::kEndOfData);
  if (!span_holds(at, size)) take_span(at);
  const RecordLayout* layout;
  std::uint64_t id = 0;
  if (id_size_ == 0) {
    layout = group_.layouts.find(0);
    // Records of no bytes, or length-prefixed ones without ids, cannot be told apart.
    if (layout == nullptr || layout->vlsd || layout->record_size == 0) {
      return finish(ReadEnd::kEndOfData);
    }
  } else {
    std::uint8_t raw[8];
    if (size - at < id_size_) return end_inside_record(0);
    const std::uint8_t* head = small_data(at, id_size_, raw);
    if (head == nullptr) return false;
    id = record_id_of(head, id_size_);
    layout = group_.layouts.find(id);
    if (layout == nullptr) {
      return finish(ReadEnd::kUnknownRecordId,
                    make_error(ErrorCode::kInvalidInput, "Unknown record id %llu at offset %llu",
                               static_cast<unsigned long long>(id),
                               static_cast<unsigned long long>(at)));
    }
    at += id_size_;
    if (layout->vlsd) {
      // A VLSD record that no record before it claimed: step over it.
      if (size - at < 4) return end_inside_record(0);
      const std::uint8_t* length_bytes = small_data(at, 4, raw);
      if (length_bytes == nullptr) return false;
      std::uint64_t length = load_le32(length_bytes);
      at += 4;
      if (size - at < length) return end_inside_record(length);
      position_ = at + length;
      return false;
    }
  }
  const std::uint64_t n = layout->record_size;
  if (size - at < n) return end_inside_record(0);
  if (const std::uint8_t* p = in_span(at, n)) {
    record_.record_bytes = {p, static_cast<std::size_t>(n)};
    record_.padded = in_span(at, n + 8) != nullptr;
    record_is_view_ = true;
  } else if (!take_record_bytes(at, n)) {
    return false;
  }
  at += n;
  if (layout->first_signal_decoder < layout->decoders.size() &&
      !gather_signal_data(*layout, at)) {
    return false;
  }

  position_ = at;
  record_.record_id = id;
  record_.position = at;
  record_.decoders = layout->decoders;
  record_.handler = layout->handler;
  record_.plan = layout->plan.get();
  record_.group_kind = layout->group_kind;
  return true;
}

bool RecordIterator::begin() {
  reader_.rewind();
  last_result_ = kRecordNotDecoded;
  return handle(reader_.next());
}

bool RecordIterator::next() { return record_ != nullptr && handle(reader_.next()); }

bool RecordIterator::handle(const Record* record) {
  record_ = record;
  if (record == nullptr) return false;
  if (output_ != nullptr && record->handler != nullptr) {
    last_result_ = record->handler(*record, *output_);
  }
  return true;
}

}  // namespace busfold
