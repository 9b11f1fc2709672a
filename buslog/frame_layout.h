// The record layouts of the output groups: where each field of a CAN or LIN record lies,
// and how many data bytes the group's records carry. The channel trees that describe the
// records to a reader and the record encoder both work from these tables.
#pragma once

#include <array>
#include <cstdint>

#include "buslog/bus_frame.h"

namespace busfold {

// A bit field of a record, counted from the first byte after the record id. A bit count
// of 0 means that the layout has no such field.
struct FieldSpan {
  std::uint32_t bit_count;
  std::uint32_t byte_offset;
  std::uint32_t bit_offset;  // 0..7

  constexpr bool present() const { return bit_count != 0; }
};

// The nine fields of a layout. What each holds depends on the bus (names below).
enum FrameSlot : std::uint32_t { kS1, kS2, kS3, kS4, kS5, kS6, kS7, kS8, kS9, kFrameSlotCount };

// CAN layouts. S4 is never used.
inline constexpr FrameSlot kSlotTimestamp = kS1;  // every layout, bus type and kind
inline constexpr FrameSlot kSlotFrame = kS2;      // the structure channel (LIN too)
inline constexpr FrameSlot kSlotId = kS3;
inline constexpr FrameSlot kSlotErrorType = kS3;  // the error layout's only field
inline constexpr FrameSlot kSlotDlc = kS5;        // DLC and DataLength
inline constexpr FrameSlot kSlotBrs = kS6;
inline constexpr FrameSlot kSlotEsi = kS7;
inline constexpr FrameSlot kSlotDataBytes = kS8;   // DataBytes inside the record
inline constexpr FrameSlot kSlotDataOffset = kS9;  // DataBytes as a signal-data offset

// LIN frame, receive-error and transmission-error layouts.
inline constexpr FrameSlot kLinSlotId = kS3;
inline constexpr FrameSlot kLinSlotDir = kS4;
inline constexpr FrameSlot kLinSlotDataLength = kS5;
inline constexpr FrameSlot kLinSlotReceivedCount = kS6;
inline constexpr FrameSlot kLinSlotDataBytes = kS7;

// The LIN checksum-error layout, which has two fields more.
inline constexpr FrameSlot kLinCsSlotChecksum = kS3;
inline constexpr FrameSlot kLinCsSlotChecksumModel = kS4;
inline constexpr FrameSlot kLinCsSlotId = kS5;
inline constexpr FrameSlot kLinCsSlotDir = kS6;
inline constexpr FrameSlot kLinCsSlotDataLength = kS7;
inline constexpr FrameSlot kLinCsSlotReceivedCount = kS8;
inline constexpr FrameSlot kLinCsSlotDataBytes = kS9;

struct FrameLayout {
  FrameKind kind;
  std::array<FieldSpan, kFrameSlotCount> spans;
  std::uint32_t data_bytes;  // cg_data_bytes

  constexpr const FieldSpan& span(FrameSlot slot) const { return spans[slot]; }
  // For CAN layouts: FD layouts carry an ESI bit.
  constexpr bool is_fd() const { return spans[kSlotEsi].present(); }
  // For CAN layouts: long FD frames keep their bytes in a VLSD group, and the record holds
  // the offset of those bytes instead.
  constexpr bool uses_signal_data() const {
    return !spans[kSlotDataBytes].present() && spans[kSlotDataOffset].present();
  }
};

// Indexes into kCanLayouts. The first six are the data-frame layouts.
enum CanLayoutIndex : std::uint32_t {
  kCanClassic11 = 0,
  kCanClassic29 = 1,
  kCanFdUpTo8_11 = 2,
  kCanFdUpTo8_29 = 3,
  kCanFdOver8_11 = 4,
  kCanFdOver8_29 = 5,
  kCanRemote11 = 6,
  kCanRemote29 = 7,
  kCanErrors = 8,
  kCanLayoutCount = 9,
};

// Indexes into kLinLayouts.
enum LinLayoutIndex : std::uint32_t {
  kLinLayoutChecksumError = 0,
  kLinLayoutFrame = 1,
  kLinLayoutReceiveError = 2,
  kLinLayoutSyncError = 3,
  kLinLayoutTransmissionError = 4,
  kLinLayoutCount = 5,
};

namespace layout_detail {
inline constexpr FieldSpan kNone{0, 0, 0};
inline constexpr FieldSpan kTime{48, 0, 0};
constexpr FieldSpan at(std::uint32_t byte, std::uint32_t bit, std::uint32_t bits) {
  return FieldSpan{bits, byte, bit};
}
}  // namespace layout_detail

inline constexpr std::array<FrameLayout, kCanLayoutCount> kCanLayouts = [] {
  using namespace layout_detail;
  return std::array<FrameLayout, kCanLayoutCount>{{
      // Spans: timestamp, frame, ID, S4, DLC, BRS, ESI, DataBytes, DataBytes offset.
      // classic 11
      {kCanDataFrame,
       {kTime, at(6, 0, 80), at(6, 0, 11), kNone, at(7, 4, 4), kNone, kNone, at(8, 0, 64), kNone},
       16},
      // classic 29
      {kCanDataFrame,
       {kTime, at(6, 0, 104), at(6, 0, 29), kNone, at(10, 0, 4), kNone, kNone, at(11, 0, 64),
        kNone},
       19},
      // FD <= 8, 11
      {kCanDataFrame,
       {kTime, at(6, 0, 88), at(6, 0, 11), kNone, at(8, 0, 4), at(8, 6, 1), at(8, 7, 1),
        at(9, 0, 64), kNone},
       17},
      // FD <= 8, 29
      {kCanDataFrame,
       {kTime, at(6, 0, 104), at(6, 0, 29), kNone, at(10, 0, 4), at(10, 6, 1), at(10, 7, 1),
        at(11, 0, 64), kNone},
       19},
      // FD > 8, 11
      {kCanDataFrame,
       {kTime, at(6, 0, 56), at(6, 0, 11), kNone, at(8, 0, 4), at(8, 6, 1), at(8, 7, 1), kNone,
        at(9, 0, 32)},
       13},
      // FD > 8, 29
      {kCanDataFrame,
       {kTime, at(6, 0, 72), at(6, 0, 29), kNone, at(10, 0, 4), at(10, 6, 1), at(10, 7, 1), kNone,
        at(11, 0, 32)},
       15},
      // remote 11
      {kCanRemoteFrame,
       {kTime, at(6, 0, 16), at(6, 0, 11), kNone, at(7, 4, 4), kNone, kNone, kNone, kNone},
       8},
      // remote 29
      {kCanRemoteFrame,
       {kTime, at(6, 0, 40), at(6, 0, 29), kNone, at(10, 4, 4), kNone, kNone, kNone, kNone},
       11},
      // errors: frame, ErrorType
      {kCanErrorFrame,
       {kTime, at(6, 0, 8), at(6, 0, 6), kNone, kNone, kNone, kNone, kNone, kNone},
       8},
  }};
}();

inline constexpr std::array<FrameLayout, kLinLayoutCount> kLinLayouts = [] {
  using namespace layout_detail;
  return std::array<FrameLayout, kLinLayoutCount>{{
      // checksum error: frame, Checksum, ChecksumModel, ID, Dir, DataLength,
      // ReceivedDataByteCount, DataBytes
      {kLinChecksumError,
       {kTime, at(6, 0, 88), at(8, 0, 8), at(6, 6, 1), at(6, 0, 6), at(6, 7, 1), at(7, 0, 4),
        at(7, 4, 4), at(9, 0, 64)},
       17},
      // frame: frame, ID, Dir, DataLength, ReceivedDataByteCount, DataBytes
      {kLinFrame,
       {kTime, at(6, 0, 80), at(6, 0, 6), at(6, 7, 1), at(7, 0, 4), at(7, 4, 4), at(8, 0, 64),
        kNone, kNone},
       16},
      // receive error
      {kLinReceiveError,
       {kTime, at(6, 0, 8), at(6, 0, 6), kNone, kNone, kNone, kNone, kNone, kNone},
       7},
      // synchronization error: no structure, no fields
      {kLinSyncError, {kTime, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone}, 6},
      // transmission error
      {kLinTransmissionError,
       {kTime, at(6, 0, 8), at(6, 0, 6), kNone, kNone, kNone, kNone, kNone, kNone},
       7},
  }};
}();

// Payload bytes of a CAN DLC (also the DLC conversion table of the output files).
inline constexpr std::array<std::uint8_t, 16> kDlcLengths = {0, 1,  2,  3,  4,  5,  6,  7,
                                                             8, 12, 16, 20, 24, 32, 48, 64};

// Bytes of payload for a DLC; only its low 4 bits count.
constexpr std::uint8_t dlc_to_length(std::uint8_t dlc) { return kDlcLengths[dlc & 0x0F]; }

}  // namespace busfold
