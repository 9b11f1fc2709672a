// The decode plan of a CAN data-frame group: worked out once when the file loads, from
// the group's channels, so that each record is decoded by reading its fields where they
// lie, with no walk over the channels, no role lookup and no clearing of the frame.
// It decodes exactly as decode_can_data_frame does; groups it cannot plan keep that one.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/bytes.h"
#include "buslog/bus_frame.h"
#include "mdf/channel_classifier.h"
#include "mdf/channel_decoder.h"

namespace busfold {

// Where one field of the frame comes from, and how the frame stores it.
class PlannedField {
public:
  enum class Use : std::uint8_t {
    kFlag,   // 0 or 1
    kByte,   // the low 8 bits of the truncated value
    kWhole,  // the truncated value
    kTime,   // the value itself, seconds
  };

  PlannedField() = default;  // no channel: 0
  // `converted`: the channel's conversion applies (the DLC is taken raw).
  PlannedField(const ChannelDecoder& decoder, bool converted, Use use);

  // The value as the frame stores it (not for kTime). `padded` holds the record's bytes
  // followed by at least 8 more, so that a little-endian field is one load.
  [[gnu::always_inline]] std::uint64_t stored(std::span<const std::uint8_t> record,
                                              const std::uint8_t* padded) const {
    switch (source_) {
    case Source::kConstant: return constant_;
    case Source::kLoaded: {
      // A field that does not lie wholly within the record reads as 0.
      if (end_byte_ > record.size()) return 0;
      const std::uint64_t bits = loaded_bits(padded);
      return flag_ ? bits != 0 : bits;
    }
    case Source::kTabled:
      if (end_byte_ > record.size()) return 0;
      return stored_of_bits_[loaded_bits(padded)];
    case Source::kBits: return stored_bits(decoder_.raw_bits(record), use_);
    case Source::kLoadedValue:
    case Source::kValue: return stored_value(value(record, padded), use_);
    }
    return 0;
  }
  // Whether the field is a constant or an unsigned field stored as one load gives it, so
  // that stored_simply() gives what stored() does for a record that holds its bytes.
  bool simple() const { return source_ == Source::kConstant || source_ == Source::kLoaded; }
  // The end of the bytes the field is read from; 0 for a constant.
  std::uint64_t end_byte() const { return end_byte_; }
  // stored() of a simple field, for a record of at least end_byte() bytes: no branch on
  // the kind of field (a constant reads no bits, then adds itself).
  [[gnu::always_inline]] std::uint64_t stored_simply(const std::uint8_t* padded) const {
    const std::uint64_t bits = loaded_bits(padded);
    return (flag_ ? std::uint64_t{bits != 0} : bits) + constant_;
  }
  // The value before it is stored.
  [[gnu::always_inline]] double value(std::span<const std::uint8_t> record,
                                      const std::uint8_t* padded) const {
    if (source_ == Source::kConstant) return constant_value_;
    if (source_ == Source::kLoadedValue && end_byte_ <= record.size()) {
      // As the decoder computes it: the whole number as a double, then the conversion.
      const auto raw = static_cast<double>(loaded_bits(padded));
      return converted_ ? decoder_.conversion.apply(raw) : raw;
    }
    return converted_ ? decoder_.value(record) : decoder_.raw_value(record);
  }

  static std::uint64_t stored_value(double value, Use use);
  // For whole values below 2^53, which a double holds exactly.
  static std::uint64_t stored_bits(std::uint64_t bits, Use use) {
    switch (use) {
    case Use::kFlag: return bits != 0 ? 1 : 0;
    case Use::kByte: return bits & 0xFF;
    default: return bits;
    }
  }

private:
  // The field's bits by its one load (a constant's: none, so 0).
  [[gnu::always_inline]] std::uint64_t loaded_bits(const std::uint8_t* padded) const {
    return (load_le64(padded + first_byte_) >> shift_) & mask_;
  }
  // Whether the field is read with one load, and how.
  static bool one_load(const ChannelDecoder& decoder);
  void set_load(const ChannelDecoder& decoder);

  enum class Source : std::uint8_t {
    kConstant,  // no bits, or a conversion that ignores them
    kLoaded,    // an unsigned little-endian field read with one load, stored as it is
    // The same with a conversion, through a table of what each of its few values is
    // stored as: a DLC-to-length table.
    kTabled,
    kBits,      // an unsigned field read as it lies, exact without the double
    // An unsigned little-endian field read with one load, then converted: a time, or a
    // length through the DLC table.
    kLoadedValue,
    kValue,     // anything else, through the channel's decoder
  };

  Source source_ = Source::kConstant;
  Use use_ = Use::kWhole;
  bool converted_ = true;
  std::uint64_t constant_ = 0;
  std::uint64_t first_byte_ = 0, end_byte_ = 0, mask_ = 0;  // read with one load
  unsigned shift_ = 0;
  bool flag_ = false;                          // kLoaded: stored as 0 or 1
  std::vector<std::uint64_t> stored_of_bits_;  // kTabled: by the field's bits
  double constant_value_ = 0;
  ChannelDecoder decoder_;
};

struct CanDataPlan final : GroupPlan {
  PlannedField time, bus, id, ide, dir, edl, esi, brs, dlc, data_length;
  // The DataBytes channel: a fixed field or the group's signal data; none without one.
  bool has_data_bytes = false;
  ChannelDecoder data_bytes;
  // Whether the general handler reaches the time before the payload: a record whose
  // payload cannot be found keeps the time then, and 0 otherwise.
  bool time_before_data_bytes = false;
  // Whether the fields from the bus to the DLC are all simple, and the record size from
  // which every one of them lies within the record.
  bool simple_fields = false;
  std::uint64_t simple_end = 0;
};

// The plan of a CAN data-frame group, or null when a channel makes the group one that
// only the general handler decodes as it must (a channel without a CAN data-frame role,
// a role twice, signal data on a channel other than DataBytes, DataBytes not bytes).
std::shared_ptr<const CanDataPlan> plan_can_data_group(std::span<const ChannelDecoder> decoders);

// The handler of planned groups: the record's plan is a CanDataPlan.
std::uint32_t decode_planned_can_data_frame(const Record& record, RecordOutput& frame);

}  // namespace busfold
