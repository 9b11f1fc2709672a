// Writes frames as records of the output file, in the order they arrive: CAN data, remote
// and error frames and LIN frames, each kind into the groups of its bus.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>

#include "buslog/bus_frame.h"
#include "buslog/output_groups.h"
#include "buslog/record_sink.h"

namespace busfold {

// What became of a frame handed to the writer. The two "first" outcomes are returned
// once per writer (bus without groups: once per bus) so that the caller reports them once.
enum class FrameWrite : std::uint8_t {
  kWritten,
  kSkipped,                // nowhere to go, already reported
  kFirstBusWithoutGroups,  // report: "No output groups for CAN (LIN) bus %u, frames skipped"
  kFirstSignalDataFull,  // report: "Signal data of CAN bus %u passed 4 GiB, long FD frames skipped"
  kOutputFailed,         // the output did not take every byte
};

class FrameRecordWriter {
public:
  // Records are encoded in place into the sink. The table says where each bus's frames
  // go. Offsets and timestamps start from zero.
  FrameRecordWriter(RecordSink& output, const BusRecordIdTable& record_ids)
      : output_(output), record_ids_(record_ids) {}

  // Encodes and writes one CAN data frame into the group of its bus, direction, ID width,
  // FD flag and length; a long FD frame's payload follows as a VLSD record of its own.
  // Timestamps strictly increase per bus and direction: a frame not later than the one
  // before it is written 1 µs after that one. Nothing is written for a bus without groups
  // or once the frame's signal data could no longer be addressed.
  FrameWrite write_can_data_frame(const CanFrameFields& frame);
  // The other kinds, into the remote-frame group of the bus, direction and ID width, the
  // error group of the bus, and the frame group of the LIN bus. Remote frames share the
  // timestamps of the data frames of their bus and direction; the error and the LIN frames
  // of a bus each have their own, as their groups hold both directions.
  FrameWrite write_can_remote_frame(const CanFrameFields& frame);
  FrameWrite write_can_error_frame(const CanErrorFields& frame);
  FrameWrite write_lin_frame(const LinFrameFields& frame);

  // Frames recorded earlier than a frame already written on their bus and direction
  // (their own recording went back in time), and the most one of them was moved forward
  // to keep the order, in microseconds. Frames of equal time are a 1 µs tie-break, not
  // a move.
  std::uint64_t moved_frames() const { return moved_frames_; }
  std::uint64_t largest_move_us() const { return largest_move_us_; }
  const BusRecordIdTable& record_ids() const { return record_ids_; }

private:
  // The last timestamp written into some groups, and the latest time recorded for them.
  struct Clock {
    std::uint64_t last = 0;
    std::uint64_t latest = 0;
  };
  // The timestamp a frame recorded at `seconds`/`microseconds` is written with.
  std::uint64_t stamp(Clock& clock, std::uint32_t seconds, std::uint32_t microseconds);
  // What a frame on a bus without groups gives: the report the first time, then nothing.
  static FrameWrite bus_without_groups(std::bitset<256>& reported, std::uint8_t bus);
  // The CAN bus's ids, or null with the outcome to return when it has no groups.
  const CanGroupRecordIds* can_ids(std::uint8_t bus, FrameWrite& missing);
  RecordSink& output_;
  BusRecordIdTable record_ids_;
  // Per bus: next signal-data offset of the 11-bit Rx, 11-bit Tx, 29-bit Rx and 29-bit Tx
  // VLSD groups. Wider than the 32-bit offset field so that running past it is seen.
  std::array<std::array<std::uint64_t, 4>, 256> signal_offsets_{};
  // Per CAN bus, Rx and Tx; per CAN bus for error frames; per LIN bus. Microseconds.
  std::array<std::array<Clock, 2>, 256> can_clocks_{};
  std::array<Clock, 256> error_clocks_{};
  std::array<Clock, 256> lin_clocks_{};
  std::uint64_t moved_frames_ = 0;
  std::uint64_t largest_move_us_ = 0;
  std::bitset<256> reported_missing_bus_;
  std::bitset<256> reported_missing_lin_bus_;
  bool reported_signal_overflow_ = false;
};

}  // namespace busfold
