// Record handlers of the bus-logging groups: each reads one record through its channel
// decoders and fills a BusFrame (the output). They return the kind of the frame
// made, or kRecordNotDecoded (9) when the record yields no frame (the frame's kind is
// then kFrameNone).
#pragma once

#include <cstdint>

#include "buslog/bus_frame.h"
#include "mdf/channel_classifier.h"

namespace busfold {

// CAN data frames: kind 1. A byte payload larger than 64 bytes, a DataLength above 64, a
// channel without a role, or a value missing from the signal data yields no frame. The DLC
// is the channel's raw value: the DLC-to-length table loggers put on it is not applied.
std::uint32_t decode_can_data_frame(const Record& record, RecordOutput& frame);
// CAN remote frames: kind 2; rtr is set and the payload stays empty.
std::uint32_t decode_can_remote_frame(const Record& record, RecordOutput& frame);
// CAN error frames: kind 3; error types outside 1..5 become 0.
std::uint32_t decode_can_error_frame(const Record& record, RecordOutput& frame);
// LIN frames: kind 4; the payload is the first 8 bytes of the DataBytes value.
std::uint32_t decode_lin_frame(const Record& record, RecordOutput& frame);
// Any other group: kind 0.
std::uint32_t decode_nothing(const Record& record, RecordOutput& frame);

// Seconds and microseconds of a time in seconds, to the nearest microsecond (so that the
// microsecond counts of a logger come out exactly). Times below 0 and NaN give 0 s 0 µs;
// times beyond the 32-bit seconds give the largest time that fits.
inline void split_frame_time(double time_s, std::uint32_t& seconds, std::uint32_t& microseconds) {
  seconds = 0;
  microseconds = 0;
  if (!(time_s > 0)) return;  // negative, zero or NaN
  // Rounding, not truncation: raw microseconds times 0.000001 is rarely exact in binary
  // and often lands just below the whole microsecond.
  double total = time_s * 1e6 + 0.5;
  constexpr double kLimit = 4294967296.0 * 1e6;  // the first time beyond 32-bit seconds
  if (total >= kLimit) {
    seconds = UINT32_MAX;
    microseconds = 999999;
    return;
  }
  auto micros = static_cast<std::uint64_t>(total);
  seconds = static_cast<std::uint32_t>(micros / 1000000);
  microseconds = static_cast<std::uint32_t>(micros % 1000000);
}

}  // namespace busfold
