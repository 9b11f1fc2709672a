#include "buslog/frame_decoder.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "base/bytes.h"
#include "buslog/channel_role.h"
#include "buslog/frame_values.h"
#include "mdf/channel_decoder.h"
#include "mdf/record_reader.h"

namespace busfold {

namespace {

// The bytes of a byte-array channel: its field in the record, or its next signal value.
bool byte_value(const ChannelDecoder& decoder, const Record& record, SignalValues& signal,
                std::span<const std::uint8_t>& value) {
  if (decoder.value_kind != kValueKindByteArray) return false;
  if (decoder.has_signal_data) return signal.next(value);
  return decoder.fixed_bytes(record.record_bytes, value);
}

void clear(BusFrame& frame) { std::memset(static_cast<void*>(&frame), 0, sizeof frame); }

void set_time(BusFrame& frame, double value) {
  frame.time_s = value;
  split_frame_time(value, frame.can.seconds, frame.can.microseconds);
}

// Stores the value of a CAN frame channel by its role; false for a role a CAN frame does
// not have.
bool store_can_field(BusFrame& frame, const ChannelDecoder& decoder, const Record& record) {
  double raw = decoder.raw_value(record.record_bytes);
  if (decoder.role == kRoleDlc) {
    // Loggers give the DLC their DLC-to-length table: the code itself is the raw value.
    frame.can.dlc = byte_field(raw);
    return true;
  }
  double value = decoder.conversion.apply(raw);
  switch (decoder.role) {
  case kRoleBrs: frame.can.brs = flag(value); return true;
  case kRoleBusChannel: frame.can.bus = byte_field(value); return true;
  case kRoleDataLength: frame.data_length = truncated(value); return true;
  case kRoleDir: frame.can.dir = flag(value); return true;
  case kRoleEdl: frame.can.edl = flag(value); return true;
  case kRoleEsi: frame.can.esi = flag(value); return true;
  case kRoleId:
    frame.can.can_id = static_cast<std::uint32_t>(truncated(value));
    frame.key |= frame.can.can_id;
    return true;
  case kRoleIde: frame.can.ide = flag(value); return true;
  case kRoleTimestamp: set_time(frame, value); return true;
  default: return false;
  }
}

// data_length says how much of the payload is meant; it cannot reach past it.
std::uint32_t finish_can_frame(BusFrame& frame, FrameKind kind) {
  if (frame.data_length > kCanPayloadSize) return no_frame(frame);
  frame.kind = kind;
  frame.data = frame.can.payload;
  return kind;
}

}  // namespace

std::uint32_t decode_can_data_frame(const Record& record, RecordOutput& output) {
  auto& frame = static_cast<BusFrame&>(output);
  clear(frame);
  SignalValues signal(record.signal_bytes);
  for (const ChannelDecoder& decoder : record.decoders) {
    if (decoder.role == kRoleDataBytes) {
      std::span<const std::uint8_t> bytes;
      if (!byte_value(decoder, record, signal, bytes) || bytes.size() > kCanPayloadSize) {
        return no_frame(frame);
      }
      if (!bytes.empty()) std::memcpy(frame.can.payload, bytes.data(), bytes.size());
      frame.can_payload_zero_from = static_cast<std::uint8_t>(bytes.size());
      continue;
    }
    if (decoder.has_signal_data || !store_can_field(frame, decoder, record)) {
      return no_frame(frame);
    }
  }
  return finish_can_frame(frame, kCanDataFrame);
}

std::uint32_t decode_can_remote_frame(const Record& record, RecordOutput& output) {
  auto& frame = static_cast<BusFrame&>(output);
  clear(frame);
  frame.can.rtr = 1;
  for (const ChannelDecoder& decoder : record.decoders) {
    // The flags and the payload of data frames have no place in a remote frame.
    bool data_frame_only =
        decoder.role == kRoleBrs || decoder.role == kRoleEdl || decoder.role == kRoleEsi;
    if (decoder.has_signal_data || data_frame_only || !store_can_field(frame, decoder, record)) {
      return no_frame(frame);
    }
  }
  return finish_can_frame(frame, kCanRemoteFrame);
}

std::uint32_t decode_can_error_frame(const Record& record, RecordOutput& output) {
  auto& frame = static_cast<BusFrame&>(output);
  clear(frame);
  for (const ChannelDecoder& decoder : record.decoders) {
    if (decoder.has_signal_data) return no_frame(frame);
    double value = decoder.value(record.record_bytes);
    switch (decoder.role) {
    case kRoleBusChannel: frame.error.bus = byte_field(value); break;
    case kRoleErrorType: {
      std::uint64_t type = truncated(value);
      frame.error.error_type = type >= 1 && type <= 5 ? static_cast<std::uint32_t>(type) : 0;
      break;
    }
    case kRoleTimestamp:
      frame.time_s = value;
      split_frame_time(value, frame.error.seconds, frame.error.microseconds);
      break;
    default: return no_frame(frame);
    }
  }
  frame.kind = kCanErrorFrame;
  frame.data = nullptr;
  return kCanErrorFrame;
}

std::uint32_t decode_lin_frame(const Record& record, RecordOutput& output) {
  auto& frame = static_cast<BusFrame&>(output);
  clear(frame);
  SignalValues signal(record.signal_bytes);
  for (const ChannelDecoder& decoder : record.decoders) {
    if (decoder.role == kRoleLinDataBytes) {
      std::span<const std::uint8_t> bytes;
      if (!byte_value(decoder, record, signal, bytes)) return no_frame(frame);
      if (!bytes.empty()) {
        std::memcpy(frame.lin.payload, bytes.data(),
                    std::min<std::size_t>(bytes.size(), kLinPayloadSize));
      }
      continue;
    }
    if (decoder.has_signal_data) return no_frame(frame);
    double value = decoder.value(record.record_bytes);
    switch (decoder.role) {
    case kRoleLinBusChannel: frame.lin.bus = byte_field(value); break;
    case kRoleLinDataLength: frame.data_length = truncated(value); break;
    case kRoleLinDir: frame.lin.dir = value == 0.0 ? 0 : 1; break;
    case kRoleLinId:
      frame.key |= static_cast<std::uint32_t>(truncated(value));
      frame.lin.id = static_cast<std::uint8_t>(frame.key);
      break;
    case kRoleLinReceivedDataByteCount: frame.lin.received_count = byte_field(value); break;
    case kRoleTimestamp:
      frame.time_s = value;
      split_frame_time(value, frame.lin.seconds, frame.lin.microseconds);
      break;
    default: return no_frame(frame);
    }
  }
  if (frame.data_length > kLinPayloadSize) return no_frame(frame);
  frame.lin.data_length = static_cast<std::uint8_t>(frame.data_length);
  frame.kind = kLinFrame;
  frame.data = frame.lin.payload;
  return kLinFrame;
}

std::uint32_t decode_nothing(const Record&, RecordOutput& output) {
  return no_frame(static_cast<BusFrame&>(output));
}

}  // namespace busfold
