// Where the output's records go: each is encoded in place at the end of a buffer, which
// the sink's owner empties into the output file when it runs out of room, and the bytes
// of each record id are counted for the blocks written at the end.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/bytes.h"

namespace busfold {

// Bytes of the record id in front of each output record.
inline constexpr std::size_t kRecordIdSize = 2;

// The bytes of the records written under each 2-byte record id, record ids not included.
class RecordCounts {
public:
  RecordCounts() : bytes_(kRecordIds, 0) {}

  void add(std::uint16_t record_id, std::uint64_t n) {
    bytes_[record_id] += n;
    if (!seen_[record_id]) {
      seen_.set(record_id);
      seen_ids_.push_back(record_id);
    }
  }
  std::uint64_t bytes(std::uint16_t record_id) const { return bytes_[record_id]; }
  bool seen(std::uint16_t record_id) const { return seen_[record_id]; }
  // Back to no records, in time of the ids seen rather than of all of them.
  void clear() {
    for (std::uint16_t record_id : seen_ids_) {
      bytes_[record_id] = 0;
      seen_.reset(record_id);
    }
    seen_ids_.clear();
  }

private:
  static constexpr std::size_t kRecordIds = 65536;
  std::vector<std::uint64_t> bytes_;
  std::bitset<kRecordIds> seen_;
  std::vector<std::uint16_t> seen_ids_;
};

class RecordSink {
public:
  RecordSink(const RecordSink&) = delete;
  RecordSink& operator=(const RecordSink&) = delete;

  // Room for a record of n bytes at the end of the buffer; null once the output failed.
  std::uint8_t* room(std::size_t n) {
    return n <= static_cast<std::size_t>(end_ - at_) ? at_ : make_room(n);
  }
  // The n bytes at room() are one record, its record id first: they are kept.
  void commit(std::size_t n) {
    counts_->add(load_le16(at_), n - kRecordIdSize);
    at_ += n;
  }
  // Copies one whole record in; false once the output failed.
  bool put(const std::uint8_t* record, std::size_t n);

protected:
  RecordSink() = default;
  ~RecordSink() = default;
  // Empties the buffer into the output and returns room for n bytes (the buffer holds
  // any record), or null when the output failed.
  virtual std::uint8_t* make_room(std::size_t n) = 0;
  // The sink fills [begin, end) and counts into `counts`.
  void attach(std::uint8_t* begin, std::uint8_t* end, RecordCounts& counts) {
    begin_ = at_ = begin;
    end_ = end;
    counts_ = &counts;
  }
  // Bytes in the buffer, from its start.
  std::size_t buffered() const { return static_cast<std::size_t>(at_ - begin_); }
  std::uint8_t* buffer() const { return begin_; }

private:
  std::uint8_t* begin_ = nullptr;
  std::uint8_t* at_ = nullptr;
  std::uint8_t* end_ = nullptr;
  RecordCounts* counts_ = nullptr;
};

inline bool RecordSink::put(const std::uint8_t* record, std::size_t n) {
  std::uint8_t* p = room(n);
  if (p == nullptr) return false;
  std::memcpy(p, record, n);
  commit(n);
  return true;
}

}  // namespace busfold
