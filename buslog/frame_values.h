// How channel values become the fields of a frame, shared by the general record handlers
// and the planned one. Every double is checked before it becomes an integer, so hostile
// values cannot make the conversion undefined.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/bytes.h"
#include "buslog/bus_frame.h"
#include "mdf/channel_classifier.h"

namespace busfold {

// A flag is set when the value truncated toward zero is not 0.
inline std::uint8_t flag(double value) { return std::fabs(value) >= 1.0 ? 1 : 0; }

// The value truncated to a 64-bit integer (two's complement for negative values); 0 for
// NaN and values beyond 64 bits.
inline std::uint64_t truncated(double value) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (value >= 0) return value < 2 * kTwo63 ? static_cast<std::uint64_t>(value) : 0;
  if (value >= -kTwo63) return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
  return 0;  // below -2^63, or NaN
}

inline std::uint8_t byte_field(double value) { return static_cast<std::uint8_t>(truncated(value)); }

// Walks the signal data of a record: one value (u32 length, bytes) per decoder with
// signal data, in decoder order.
class SignalValues {
public:
  explicit SignalValues(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool next(std::span<const std::uint8_t>& value) {
    if (bytes_.size() - at_ < 4) return false;
    std::uint64_t length = load_le32(bytes_.data() + at_);
    if (bytes_.size() - at_ - 4 < length) return false;
    value = bytes_.subspan(at_ + 4, static_cast<std::size_t>(length));
    at_ += 4 + static_cast<std::size_t>(length);
    return true;
  }

private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// Marks the frame as none made from the record.
inline std::uint32_t no_frame(BusFrame& frame) {
  frame.kind = kFrameNone;
  frame.data = nullptr;
  frame.data_length = 0;
  return kRecordNotDecoded;
}

}  // namespace busfold
