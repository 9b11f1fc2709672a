#include "buslog/frame_record_writer.h"

#include <algorithm>
#include <cstdint>

#include "buslog/can_record_encoding.h"

namespace busfold {

namespace {

constexpr std::uint64_t kMaxSignalOffset = UINT32_MAX;

// Encodes one record of at most kMax bytes in place into the sink.
template <std::size_t kMax, class Encode>
FrameWrite put_record(RecordSink& sink, Encode encode) {
  std::uint8_t* at = sink.room(kMax);
  if (at == nullptr) return FrameWrite::kOutputFailed;
  sink.commit(encode(std::span<std::uint8_t, kMax>(at, kMax)));
  return FrameWrite::kWritten;
}

}  // namespace

std::uint64_t FrameRecordWriter::stamp(Clock& clock, std::uint32_t seconds,
                                       std::uint32_t microseconds) {
  const std::uint64_t t = static_cast<std::uint64_t>(seconds) * 1000000u + microseconds;
  const std::uint64_t w = std::max(t, clock.last + 1);
  clock.last = w;
  if (t < clock.latest) {
    ++moved_frames_;
    largest_move_us_ = std::max(largest_move_us_, w - t);
  }
  clock.latest = std::max(clock.latest, t);
  return w;
}

FrameWrite FrameRecordWriter::bus_without_groups(std::bitset<256>& reported, std::uint8_t bus) {
  const bool first = !reported.test(bus);
  reported.set(bus);
  return first ? FrameWrite::kFirstBusWithoutGroups : FrameWrite::kSkipped;
}

const CanGroupRecordIds* FrameRecordWriter::can_ids(std::uint8_t bus, FrameWrite& missing) {
  const CanGroupRecordIds* ids = record_ids_.find(bus);
  if (ids == nullptr) missing = bus_without_groups(reported_missing_bus_, bus);
  return ids;
}

FrameWrite FrameRecordWriter::write_can_data_frame(const CanFrameFields& frame) {
  FrameWrite missing{};
  const CanGroupRecordIds* ids = can_ids(frame.bus, missing);
  if (ids == nullptr) return missing;

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

  const std::uint64_t w =
      stamp(can_clocks_[frame.bus][direction], frame.seconds, frame.microseconds);
  const auto& half = direction == 0 ? ids->rx : ids->tx;
  static constexpr CanGroupSlot kSlotOfLayout[] = {kIdsClassic11,  kIdsClassic29,  kIdsFdUpTo8_11,
                                                   kIdsFdUpTo8_29, kIdsFdOver8_11, kIdsFdOver8_29};
  const CanGroupSlot slot = kSlotOfLayout[layout];

  const std::uint32_t offset =
      signal_offset != nullptr ? static_cast<std::uint32_t>(*signal_offset) : 0;
  if (const FrameWrite written = put_record<kMaxCanRecordSize>(
          output_,
          [&](auto out) { return encode_can_data_record(out, layout, half[slot], w, frame, offset); });
      written != FrameWrite::kWritten || !long_fd) {
    return written;
  }

  std::size_t vlsd_size = 0;
  if (const FrameWrite written = put_record<kMaxCanVlsdRecordSize>(output_, [&](auto out) {
        return vlsd_size = encode_can_vlsd_record(out, half[slot + 1], frame);
      });
      written != FrameWrite::kWritten) {
    return written;
  }
  *signal_offset += vlsd_size - kRecordIdSize;
  return FrameWrite::kWritten;
}

FrameWrite FrameRecordWriter::write_can_remote_frame(const CanFrameFields& frame) {
  FrameWrite missing{};
  const CanGroupRecordIds* ids = can_ids(frame.bus, missing);
  if (ids == nullptr) return missing;
  const unsigned direction = frame.dir != 0 ? 1 : 0;
  const CanLayoutIndex layout = can_remote_layout(frame);
  const auto& half = direction == 0 ? ids->rx : ids->tx;
  const std::uint16_t record_id = half[layout == kCanRemote29 ? kIdsRemote29 : kIdsRemote11];
  const std::uint64_t w =
      stamp(can_clocks_[frame.bus][direction], frame.seconds, frame.microseconds);
  return put_record<kMaxRecordSize>(output_, [&](auto out) {
    return encode_can_remote_record(out, layout, record_id, w, frame);
  });
}

FrameWrite FrameRecordWriter::write_can_error_frame(const CanErrorFields& frame) {
  FrameWrite missing{};
  const CanGroupRecordIds* ids = can_ids(frame.bus, missing);
  if (ids == nullptr) return missing;
  const std::uint64_t w = stamp(error_clocks_[frame.bus], frame.seconds, frame.microseconds);
  return put_record<kMaxRecordSize>(
      output_, [&](auto out) { return encode_can_error_record(out, ids->errors, w, frame); });
}

FrameWrite FrameRecordWriter::write_lin_frame(const LinFrameFields& frame) {
  const LinGroupRecordIds* ids = record_ids_.find_lin(frame.bus);
  if (ids == nullptr) return bus_without_groups(reported_missing_lin_bus_, frame.bus);
  const std::uint64_t w = stamp(lin_clocks_[frame.bus], frame.seconds, frame.microseconds);
  return put_record<kMaxRecordSize>(
      output_, [&](auto out) { return encode_lin_record(out, ids->frames, w, frame); });
}

}  // namespace busfold
