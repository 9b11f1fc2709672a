// Channel decoders: one per leaf channel of a channel group, saying where the channel's
// bits lie in a record, how to read them and which conversion applies.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "mdf/block.h"
#include "mdf/conversion.h"

namespace busfold {

class ChannelClassifier;

enum ValueKind : std::uint32_t {
  kValueKindUnsigned = 0,
  kValueKindByteArray = 1,
  kValueKindFloat = 2,
};

enum ByteOrder : std::uint32_t {
  kBigEndian = 0,
  kLittleEndian = 1,
};

// Where a variable-length channel keeps its values.
enum class SignalSource : std::uint8_t {
  kNone,       // not a VLSD channel, or its data link leads nowhere usable
  kSdBlock,    // an SD block; the record holds the offset of the value in it
  kVlsdGroup,  // the records of a VLSD channel group that follow the record
};

// Raw unsigned value of the bit field, or 0 when the field does not lie within the bytes
// or has no bits. Little-endian: the value's least significant bit is record bit
// `bit_position` (bit 0 is the least significant bit of byte 0). Big-endian: record bit 0
// is the most significant bit of byte 0 and the field's first bit is the value's most
// significant. Fields wider than 64 bits keep the 64 bits a bit-by-bit read would keep:
// the lowest for little-endian, the last for big-endian.
std::uint64_t extract_bits(std::span<const std::uint8_t> bytes, std::uint64_t bit_position,
                           std::uint64_t bit_count, ByteOrder order);

// An IEEE float of 32 or 64 bits from its bit pattern; 0 for other widths.
double float_of_bits(std::uint64_t bits, std::uint64_t bit_count);

struct ChannelDecoder {
  std::uint64_t bit_position = 0;  // from the start of the record bytes, record id excluded
  std::uint64_t bit_count = 0;
  ValueKind value_kind = kValueKindUnsigned;
  ByteOrder byte_order = kBigEndian;
  Conversion conversion;
  // The channel's name; the text stays in the TX block, which lives as long as the tree.
  std::string_view name;
  std::uint32_t role = 0;  // given by the classifier; 0 without one
  // The group's master channel of time: its converted values are seconds, whatever its
  // name.
  bool time_master = false;
  // A VLSD channel: its value lies in signal data, the record holds only a reference.
  bool has_signal_data = false;
  SignalSource signal_source = SignalSource::kNone;
  MdfBlock* signal_data = nullptr;  // the SD block or the VLSD CgBlock; not owned

  std::uint64_t raw_bits(std::span<const std::uint8_t> record) const {
    // The usual field: little-endian, narrow, with a whole word of record behind it.
    std::uint64_t first = bit_position / 8;
    if (byte_order == kLittleEndian && bit_count - 1 < 56 && first + 8 <= record.size()) {
      std::uint64_t word = load_le64(record.data() + first) >> (bit_position % 8);
      return word & ((std::uint64_t{1} << bit_count) - 1);
    }
    return extract_bits(record, bit_position, bit_count, byte_order);
  }
  // The value before conversion: the unsigned integer, or the IEEE float of 32 or 64
  // bits (other float widths give 0).
  double raw_value(std::span<const std::uint8_t> record) const {
    std::uint64_t bits = raw_bits(record);
    if (value_kind != kValueKindFloat) return static_cast<double>(bits);
    return float_of_bits(bits, bit_count);
  }
  double value(std::span<const std::uint8_t> record) const {
    return conversion.apply(raw_value(record));
  }
  // The bytes of a fixed byte-array field: bit count / 8 bytes from byte bit position / 8.
  // False when they do not lie within the record.
  bool fixed_bytes(std::span<const std::uint8_t> record, std::span<const std::uint8_t>& out) const;
};

// The decoders of a channel list, in order: a channel with members gets none itself, its
// members (recursively) get theirs. The classifier, when given, sets each role.
// Channels that share a CC block share its conversion's table through the cache, when given.
// A channel of a data type we do not read gets a decoder all the same, and a line in
// `warnings`, when given.
std::vector<ChannelDecoder> build_channel_decoders(std::span<const BlockRef> channels,
                                                   const ChannelClassifier* classifier,
                                                   ConversionCache* conversions = nullptr,
                                                   std::vector<std::string>* warnings = nullptr);

}  // namespace busfold
