// One decoded bus record: what the record handlers fill and the tool consumes.
#pragma once

#include <cstdint>

#include "mdf/channel_classifier.h"

namespace busfold {

// What a record, a channel group or a record layout holds: the kind of a decoded frame
// and of a recognised group (the LIN error kinds are groups that decode to no frame).
// The values are those the tool contract reports as group kinds.
enum FrameKind : std::uint32_t {
  kFrameNone = 0,
  kCanDataFrame = 1,
  kCanRemoteFrame = 2,
  kCanErrorFrame = 3,
  kLinFrame = 4,
  kLinChecksumError = 5,
  kLinReceiveError = 6,
  kLinSyncError = 7,
  kLinTransmissionError = 8,
};

// Largest payload of a CAN FD frame, and of a LIN frame.
inline constexpr int kCanPayloadSize = 64;
inline constexpr int kLinPayloadSize = 8;

// CAN data and remote frames. The flags are 0 or 1.
struct CanFrameFields {
  std::uint32_t can_id;
  std::uint32_t seconds;
  std::uint32_t microseconds;
  std::uint8_t ide;
  std::uint8_t dir;  // 1 = Tx
  std::uint8_t edl;  // 1 = CAN FD
  std::uint8_t esi;
  std::uint8_t brs;
  std::uint8_t rtr;
  std::uint8_t bus;
  std::uint8_t dlc;
  std::uint8_t payload[kCanPayloadSize];
};

// The times of error and LIN frames are those of time_s, split as for CAN frames.
struct CanErrorFields {
  std::uint8_t bus;
  std::uint32_t error_type;  // 0..5
  std::uint32_t seconds;
  std::uint32_t microseconds;
};

struct LinFrameFields {
  std::uint8_t dir;
  std::uint8_t bus;
  std::uint8_t received_count;
  std::uint8_t id;           // the key's low 8 bits
  std::uint8_t data_length;  // 0..8
  std::uint32_t seconds;
  std::uint32_t microseconds;
  std::uint8_t payload[kLinPayloadSize];
};

// The output of the record handlers of buslog/frame_decoder.h.
struct BusFrame : RecordOutput {
  double time_s;             // converted Timestamp value, seconds
  std::uint32_t key;         // the ID value, for every kind
  const std::uint8_t* data;  // payload inside this frame, or null
  std::uint64_t data_length;
  FrameKind kind;
  // can.payload holds only zeros from this byte on, so that a handler filling a short
  // payload clears no more than the frame before it filled. A frame nobody filled yet
  // may hold anything, so it starts at the end.
  std::uint8_t can_payload_zero_from = kCanPayloadSize;
  union {
    CanFrameFields can;    // kCanDataFrame, kCanRemoteFrame
    CanErrorFields error;  // kCanErrorFrame
    LinFrameFields lin;    // kLinFrame
  };
};

}  // namespace busfold
