#include "buslog/frame_record_writer.h"

#include <algorithm>
#include <cstdint>

#include "buslog/can_record_encoding.h"

namespace busfold {

namespace {

constexpr std::uint64_t kMaxSignalOffset = UINT32_MAX;

bool write_all(Stream& output, const std::uint8_t* bytes, std::size_t n) {
  return output.write(bytes, n) == static_cast<std::int64_t>(n);
}

}  // namespace

FrameWrite FrameRecordWriter::write_can_data_frame(const CanFrameFields& frame) {
  const CanGroupRecordIds* ids = record_ids_.find(frame.bus);
  if (ids == nullptr) {
    if (reported_missing_bus_.test(frame.bus)) return FrameWrite::kSkipped;
    reported_missing_bus_.set(frame.bus);
    return FrameWrite::kFirstBusWithoutGroups;
  }

  const unsigned direction = frame.dir != 0 ? 1 : 0;
  const CanLayoutIndex layout = can_data_layout(frame);
  const bool long_fd = layout == kCanFdOver8_11 || layout == kCanFdOver8_29;
  std::uint64_t* signal_offset = nullptr;
  if (long_fd) {
    signal_offset = &signal_offsets_[frame.bus][(layout == kCanFdOver8_29 ? 2 : 0) + direction];
    if (*signal_offset > kMaxSignalOffset) {
      if (reported_signal_overflow_) return FrameWrite::kSkipped;
      reported_signal_overflow_ = true;
      return FrameWrite::kFirstSignalDataFull;
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
  if (!write_all(output_, record, size)) return FrameWrite::kOutputFailed;
  if (!long_fd) return FrameWrite::kWritten;

  std::uint8_t vlsd[kMaxCanVlsdRecordSize];
  const std::size_t vlsd_size = encode_can_vlsd_record(vlsd, half[slot + 1], frame);
  if (!write_all(output_, vlsd, vlsd_size)) return FrameWrite::kOutputFailed;
  *signal_offset += vlsd_size - kRecordIdSize;
  return FrameWrite::kWritten;
}

}  // namespace busfold
