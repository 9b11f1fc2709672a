// Walking the records of a data group one by one: sorted groups (no record ids, one
// channel group) and unsorted ones (each record preceded by its id), with the values of
// VLSD channels gathered from the VLSD group's records or from SD blocks.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/result.h"
#include "mdf/channel_classifier.h"
#include "mdf/record_layout.h"

namespace busfold {

class DataBlock;
class DgBlock;

// One record as read; its byte views stay valid until the reader reads again.
struct Record {
  std::uint64_t record_id = 0;
  std::uint64_t position = 0;                  // the reader's position after the record
  std::span<const std::uint8_t> record_bytes;  // the fixed part, record id excluded
  // At least 8 more bytes can be read behind record_bytes (what they hold is not the
  // record's), so that a field near its end is read with one 8-byte load.
  bool padded = false;
  // For each decoder with signal data, in decoder order, as far as it was found: a u32
  // length (little-endian) and that many bytes.
  std::span<const std::uint8_t> signal_bytes;
  std::span<const ChannelDecoder> decoders;
  RecordHandler handler = record_handler_none;
  const GroupPlan* plan = nullptr;  // the group's plan for its handler, if it has one
  std::uint32_t group_kind = 0;
};

// Why a walk is over.
enum class ReadEnd : std::uint8_t {
  kNotEnded,
  kEndOfData,         // every record was read
  kTruncatedRecord,   // the data ends inside a record: the tail of an unfinalized file
  kUnknownRecordId,   // a record id without a layout: the rest cannot be read
  kReadFailed,        // the source did not deliver bytes the data block holds
  kNotADataBlock,     // the group's data link leads to a block that is not a DT
  kSignalDataReused,  // records refer to more signal data than its blocks hold
  kDamagedRecord,     // the data ends inside a record where no recording can have stopped
};

// Whether the walk lost data that the file claims to hold.
inline bool read_end_failed(ReadEnd end) {
  return end == ReadEnd::kUnknownRecordId || end == ReadEnd::kReadFailed ||
         end == ReadEnd::kNotADataBlock || end == ReadEnd::kSignalDataReused ||
         end == ReadEnd::kDamagedRecord;
}

class RecordReader {
public:
  // The group must outlive the reader.
  explicit RecordReader(DgBlock& group);
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // Back to the first record.
  void rewind();
  // The next record, or null when the walk is over (end() says why). Records whose data
  // sits in memory are views of it; otherwise they are read into buffers that are reused
  // from record to record.
  const Record* next();

  ReadEnd end() const { return end_; }
  // For an end that lost data (read_end_failed): the lines that say why, if any.
  const Status& end_status() const { return end_status_; }
  // Offset of the next record within the data block's data.
  std::uint64_t position() const { return position_; }
  // Bytes of the data block's data; 0 when the group has none it can read.
  std::uint64_t data_size() const;

private:
  // Reads at the position: true with a record; false when it skipped a record or ended.
  bool read_one();
  bool finish(ReadEnd end);
  bool finish(ReadEnd end, Status why);
  // The block's data could not be read: its source may say why.
  bool read_failed(const DataBlock& block);
  // The data ends inside the record at position_ (a VLSD sample of sample_length bytes,
  // or 0): the tail of a stopped recording, or damage.
  bool end_inside_record(std::uint64_t sample_length);
  // The n bytes at `at` of a block's data, when its source can show them in place.
  const std::uint8_t* view(DataBlock& block, std::uint64_t at, std::uint64_t n);
  // Whether the span still shows the record at `at` (of a block of `size` bytes).
  bool span_holds(std::uint64_t at, std::uint64_t size) const;
  // Views anew from `at`.
  void take_span(std::uint64_t at);
  // The n bytes at `at` of the group's data block, when the record's span shows them.
  const std::uint8_t* in_span(std::uint64_t at, std::uint64_t n) const {
    return at >= span_start_ && n <= span_size_ && at - span_start_ <= span_size_ - n
               ? span_ + (at - span_start_)
               : nullptr;
  }
  // Reads n ≤ 8 bytes into `out`. The read functions end the walk when they fail.
  bool read_small(DataBlock& block, std::uint64_t at, std::uint64_t n, std::uint8_t* out);
  // The n ≤ 8 bytes at `at` of the data block: in its span, or read into `raw`; null when
  // the walk ended.
  const std::uint8_t* small_data(std::uint64_t at, std::uint64_t n, std::uint8_t* raw) {
    if (const std::uint8_t* p = in_span(at, n)) return p;
    return read_small(*data_, at, n, raw) ? raw : nullptr;
  }
  // Reads n bytes into the buffer from `offset` on, growing it only as bytes arrive.
  bool read_into(DataBlock& block, std::uint64_t at, std::uint64_t n,
                 std::vector<std::uint8_t>& buffer, std::size_t offset);
  // Copies what the record views show into the buffers: a read may refill the window
  // that a view points into.
  void pin_views();
  // The record bytes where the span does not show them: another view, or a copy.
  bool take_record_bytes(std::uint64_t at, std::uint64_t n);
  bool add_signal_piece(DataBlock& block, std::uint64_t at, std::uint64_t n);
  // Signal data of the record, for its decoders in order; false when the walk ended.
  bool gather_signal_data(const RecordLayout& layout, std::uint64_t& at);

  DgBlock& group_;
  DataBlock* data_ = nullptr;
  unsigned id_size_ = 0;
  std::uint64_t position_ = 0;
  // Bytes of SD blocks the rest of the walk may still gather. Each value of a well-formed
  // file is read once, so what the group's SD blocks and records hold is plenty; records
  // that point at the same large value again and again would otherwise make every record
  // copy it, however small the file.
  std::uint64_t signal_budget_ = 0;
  ReadEnd end_ = ReadEnd::kNotEnded;
  Status end_status_;
  // A view of the block's data from where a record starts, as far as a record and its
  // signal data usually reach or further, so that their pieces are read without a call
  // each. It is kept from record to record only while the source's view epoch stays (the
  // walks of other groups read the same source); else it is taken anew for each record.
  const std::uint8_t* span_ = nullptr;
  std::uint64_t span_start_ = 0;
  std::uint64_t span_size_ = 0;
  const std::uint64_t* epoch_ = nullptr;  // the source's, when it keeps one
  std::uint64_t span_epoch_ = 0;          // its value when the span was taken

  Record record_;
  std::vector<std::uint8_t> record_buffer_;
  std::vector<std::uint8_t> signal_buffer_;
  std::size_t signal_pieces_ = 0;
  bool record_is_view_ = false;
  bool signal_is_view_ = false;
};

// The walk the pipeline drives: each record read is handed to its handler together with
// the caller's output.
class RecordIterator {
public:
  // Without an output the handlers are not run.
  RecordIterator(RecordReader& reader, RecordOutput* output) : reader_(reader), output_(output) {}

  // Rewinds, reads the first record and runs its handler; false when there is none.
  bool begin();
  // Reads the next record and runs its handler; false when the walk is over.
  bool next();

  bool done() const { return record_ == nullptr; }
  const Record& record() const { return *record_; }
  // The handler's result for the current record; kRecordNotDecoded before the first.
  std::uint32_t last_result() const { return last_result_; }
  ReadEnd end() const { return reader_.end(); }
  const Status& end_status() const { return reader_.end_status(); }

private:
  bool handle(const Record* record);

  RecordReader& reader_;
  RecordOutput* output_;
  const Record* record_ = nullptr;
  std::uint32_t last_result_ = kRecordNotDecoded;
};

}  // namespace busfold
