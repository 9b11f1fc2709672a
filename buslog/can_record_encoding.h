// The bytes of the records of the output file: record id, then the data bytes of the
// frame's layout; a long FD frame's payload goes into a VLSD record of its own. CAN data
// frames and, for the groups that take them, CAN remote and error frames and LIN frames.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "buslog/bus_frame.h"
#include "buslog/frame_layout.h"
#include "buslog/record_sink.h"

namespace busfold {

// The largest data-frame record.
inline constexpr std::size_t kMaxCanRecordSize = kRecordIdSize + [] {
  std::uint32_t largest = 0;
  for (std::size_t i = kCanClassic11; i <= kCanFdOver8_29; ++i)
    largest = std::max(largest, kCanLayouts[i].data_bytes);
  return largest;
}();
// The largest record of any layout, CAN or LIN.
inline constexpr std::size_t kMaxRecordSize = kRecordIdSize + [] {
  std::uint32_t largest = 0;
  for (const FrameLayout& layout : kCanLayouts)
    largest = std::max(largest, layout.data_bytes);
  for (const FrameLayout& layout : kLinLayouts)
    largest = std::max(largest, layout.data_bytes);
  return largest;
}();
// A VLSD record: record id, u32 length, up to 64 payload bytes.
inline constexpr std::size_t kVlsdLengthSize = 4;
inline constexpr std::size_t kMaxCanVlsdRecordSize =
    kRecordIdSize + kVlsdLengthSize + kCanPayloadSize;

// The data-frame layout of a frame, by its ID width, FD flag and DLC.
inline CanLayoutIndex can_data_layout(const CanFrameFields& frame) {
  const bool wide = frame.ide != 0;
  if (frame.edl == 0) return wide ? kCanClassic29 : kCanClassic11;
  if ((frame.dlc & 0x0F) <= 8) return wide ? kCanFdUpTo8_29 : kCanFdUpTo8_11;
  return wide ? kCanFdOver8_29 : kCanFdOver8_11;
}

// Encodes the record id and the record in a data-frame layout; returns the bytes used.
// Only the low 4 bits of the DLC are a DLC. Fixed layouts hold 8 data bytes: the first
// dlc_to_length(DLC) payload bytes, at most 8 (a classic frame with a DLC above 8 keeps its
// DLC and its first 8 bytes), the rest zero. The FD over 8 layouts hold `signal_offset`.
std::size_t encode_can_data_record(std::span<std::uint8_t, kMaxCanRecordSize> out,
                                   CanLayoutIndex layout, std::uint16_t record_id,
                                   std::uint64_t timestamp_us, const CanFrameFields& frame,
                                   std::uint32_t signal_offset);

// The remote-frame layout of a frame, by its ID width.
CanLayoutIndex can_remote_layout(const CanFrameFields& frame);

// The records of the other kinds, each in the layout of its group; they return the bytes
// used. A remote frame keeps its ID and DLC (low 4 bits), an error frame its error type,
// a LIN frame its ID (6 bits), direction, data length, received byte count and all 8
// payload bytes.
std::size_t encode_can_remote_record(std::span<std::uint8_t, kMaxRecordSize> out,
                                     CanLayoutIndex layout, std::uint16_t record_id,
                                     std::uint64_t timestamp_us, const CanFrameFields& frame);
std::size_t encode_can_error_record(std::span<std::uint8_t, kMaxRecordSize> out,
                                    std::uint16_t record_id, std::uint64_t timestamp_us,
                                    const CanErrorFields& frame);
std::size_t encode_lin_record(std::span<std::uint8_t, kMaxRecordSize> out, std::uint16_t record_id,
                              std::uint64_t timestamp_us, const LinFrameFields& frame);

// Encodes the VLSD record of a long FD frame: record id, length n, the first n payload
// bytes, where n = dlc_to_length(DLC). Returns the bytes used.
std::size_t encode_can_vlsd_record(std::span<std::uint8_t, kMaxCanVlsdRecordSize> out,
                                   std::uint16_t record_id, const CanFrameFields& frame);

}  // namespace busfold
