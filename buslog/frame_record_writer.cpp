#include "buslog/frame_record_writer.h"

#include <algorithm>
#include <cstdint>

#include "base/log.h"
#include "buslog/can_record_encoding.h"

namespace busfold {

namespace {

constexpr std::uint64_t kMaxSignalOffset = UINT32_MAX;

bool write_all(Stream& output, const std::uint8_t* bytes, std::size_t n) {
  return output.write(bytes, n) == static_cast<std::int64_t>(n);
}

}  // namespace

bool FrameRecordWriter::write_can_data_frame(const CanFrameFields& frame) {
  const CanGroupRecordIds* ids = record_ids_.find(frame.bus);
  if (ids == nullptr) {
    if (!reported_missing_bus_.test(frame.bus)) {
      reported_missing_bus_.set(frame.bus);
      BUSFOLD_LOG(kLogWarning, "No output groups for CAN bus %u, frames skipped",
                  static_cast<unsigned>(frame.bus));
    }
    return false;
  }

  const unsigned direction = frame.dir != 0 ? 1 : 0;
  const CanLayoutIndex layout = can_data_layout(frame);
  const bool long_fd = layout == kCanFdOver8_11 || layout == kCanFdOver8_29;
  std::uint64_t* signal_offset = nullptr;
  if (long_fd) {
    signal_offset = &signal_offsets_[frame.bus][(layout == kCanFdOver8_29 ? 2 : 0) + direction];
    if (*signal_offset > kMaxSignalOffset) {
      if (!reported_signal_overflow_) {
        reported_signal_overflow_ = true;
        BUSFOLD_LOG(kLogError, "Signal data of CAN bus %u passed 4 GiB, long FD frames skipped",
                    static_cast<unsigned>(frame.bus));
      }
      return false;
    }
  }

  const std::uint64_t t = static_cast<std::uint64_t>(frame.seconds) * 1000000u + frame.microseconds;
  std::uint64_t& last = last_timestamps_[frame.bus][direction];
  const std::uint64_t w = std::max(t, last + 1);
  last = w;
  std::uint64_t& latest = latest_recorded_[frame.bus][direction];
  if (t < latest) {
    ++moved_frames_;
    largest_move_us_ = std::max(largest_move_us_, w - t);
  }
  latest = std::max(latest, t);

  const auto& half = direction == 0 ? ids->rx : ids->tx;
  static constexpr CanGroupSlot kSlotOfLayout[] = {kIdsClassic11,  kIdsClassic29,  kIdsFdUpTo8_11,
                                                   kIdsFdUpTo8_29, kIdsFdOver8_11, kIdsFdOver8_29};
  const CanGroupSlot slot = kSlotOfLayout[layout];

  std::uint8_t record[kMaxCanRecordSize];
  const std::size_t size = encode_can_data_record(
      record, layout, half[slot], w, frame,
      signal_offset != nullptr ? static_cast<std::uint32_t>(*signal_offset) : 0);
  if (!write_all(output_, record, size)) return false;
  if (!long_fd) return true;

  std::uint8_t vlsd[kMaxCanVlsdRecordSize];
  const std::size_t vlsd_size = encode_can_vlsd_record(vlsd, half[slot + 1], frame);
  if (!write_all(output_, vlsd, vlsd_size)) return false;
  *signal_offset += vlsd_size - kRecordIdSize;
  return true;
}

bool write_can_data_frame(FrameRecordWriter& writer, const BusFrame& frame) {
  if (frame.kind != kCanDataFrame) return false;
  return writer.write_can_data_frame(frame.can);
}

}  // namespace busfold
