#include "buslog/can_decode_plan.h"

#include <algorithm>
#include <bitset>
#include <cstring>

#include "buslog/channel_names.h"
#include "buslog/frame_decoder.h"
#include "buslog/frame_values.h"
#include "mdf/record_reader.h"

namespace busfold {

namespace {

// Whole values a double holds exactly: below them the bits are the value.
constexpr std::uint64_t kExactBits = 53;

// Records up to this size are copied beside 8 zero bytes, and their little-endian fields
// read with one load each; longer ones (none of a logger's) are read in place.
constexpr std::size_t kPaddedRecord = 248;
constexpr std::uint64_t kMaxLoadedByte = kPaddedRecord;
// Converted fields up to this wide are stored through a table of all their values.
constexpr std::uint64_t kTabledBits = 8;
// The widest field that one 8-byte load holds at any bit offset.
constexpr std::uint64_t kMaxOneLoadBits = 56;

using Use = PlannedField::Use;

// The roles of a CAN data frame besides DataBytes, the field each fills and how.
struct PlannedRole {
  ChannelRole role;
  PlannedField CanDataPlan::*field;
  Use use;
};
constexpr PlannedRole kPlannedRoles[] = {
    {kRoleTimestamp, &CanDataPlan::time, Use::kTime},
    {kRoleBusChannel, &CanDataPlan::bus, Use::kByte},
    {kRoleId, &CanDataPlan::id, Use::kWhole},
    {kRoleIde, &CanDataPlan::ide, Use::kFlag},
    {kRoleDir, &CanDataPlan::dir, Use::kFlag},
    {kRoleEdl, &CanDataPlan::edl, Use::kFlag},
    {kRoleEsi, &CanDataPlan::esi, Use::kFlag},
    {kRoleBrs, &CanDataPlan::brs, Use::kFlag},
    // Loggers give the DLC their DLC-to-length table: the code itself is the raw value.
    {kRoleDlc, &CanDataPlan::dlc, Use::kByte},
    {kRoleDataLength, &CanDataPlan::data_length, Use::kWhole},
};

const PlannedRole* planned_role(std::uint32_t role) {
  for (const PlannedRole& entry : kPlannedRoles) {
    if (entry.role == role) return &entry;
  }
  return nullptr;
}

}  // namespace

std::uint64_t PlannedField::stored_value(double value, Use use) {
  switch (use) {
  case Use::kFlag: return flag(value);
  case Use::kByte: return byte_field(value);
  default: return truncated(value);
  }
}

PlannedField::PlannedField(const ChannelDecoder& decoder, bool converted, Use use)
    : use_(use), converted_(converted), decoder_(decoder) {
  const bool whole = decoder.value_kind == kValueKindUnsigned;
  const bool ignores_bits =
      converted && decoder.conversion.kind == Conversion::kLinear && decoder.conversion.factor == 0;
  const bool stored_as_is = !converted || decoder.conversion.kind == Conversion::kIdentity;
  if (decoder.bit_count == 0 || (whole && ignores_bits)) {
    // Every raw value is a finite whole number here, so x * 0 + offset is the offset.
    constant_value_ = converted ? decoder.conversion.apply(0.0) : 0.0;
    constant_ = stored_value(constant_value_, use);
    source_ = Source::kConstant;
  } else if (whole && decoder.bit_count <= kExactBits && use != Use::kTime && stored_as_is) {
    source_ = Source::kBits;
    if (one_load(decoder)) {
      source_ = Source::kLoaded;
      set_load(decoder);
      // As stored_bits() stores them.
      if (use == Use::kByte) mask_ &= 0xFF;
      flag_ = use == Use::kFlag;
    }
  } else if (whole && use != Use::kTime && decoder.bit_count <= kTabledBits &&
             one_load(decoder)) {
    // Few values, each stored as the decoder's value of it is: a DLC-to-length table.
    source_ = Source::kTabled;
    set_load(decoder);
    stored_of_bits_.resize(mask_ + 1);
    for (std::uint64_t bits = 0; bits <= mask_; ++bits) {
      const auto raw = static_cast<double>(bits);
      stored_of_bits_[bits] = stored_value(converted ? decoder.conversion.apply(raw) : raw, use);
    }
  } else if (whole && one_load(decoder)) {
    source_ = Source::kLoadedValue;
    set_load(decoder);
  } else {
    source_ = Source::kValue;
  }
}

bool PlannedField::one_load(const ChannelDecoder& decoder) {
  return decoder.byte_order == kLittleEndian && decoder.bit_count <= kMaxOneLoadBits &&
         decoder.bit_position <= kMaxLoadedByte * 8;
}

void PlannedField::set_load(const ChannelDecoder& decoder) {
  first_byte_ = decoder.bit_position / 8;
  shift_ = static_cast<unsigned>(decoder.bit_position % 8);
  end_byte_ = (decoder.bit_position + decoder.bit_count + 7) / 8;
  mask_ = (std::uint64_t{1} << decoder.bit_count) - 1;
}

std::shared_ptr<const CanDataPlan> plan_can_data_group(std::span<const ChannelDecoder> decoders) {
  auto plan = std::make_shared<CanDataPlan>();
  std::bitset<64> seen;
  bool time_seen = false;
  for (const ChannelDecoder& decoder : decoders) {
    if (decoder.role >= seen.size() || seen.test(decoder.role)) return nullptr;
    seen.set(decoder.role);
    if (decoder.role == kRoleDataBytes) {
      if (decoder.value_kind != kValueKindByteArray) return nullptr;
      plan->has_data_bytes = true;
      plan->data_bytes = decoder;
      plan->time_before_data_bytes = time_seen;
      continue;
    }
    const PlannedRole* role = planned_role(decoder.role);
    if (role == nullptr || decoder.has_signal_data) return nullptr;
    (*plan).*(role->field) = PlannedField(decoder, role->role != kRoleDlc, role->use);
    time_seen = time_seen || role->role == kRoleTimestamp;
  }
  plan->simple_fields = true;
  for (const PlannedField* field : {&plan->bus, &plan->id, &plan->ide, &plan->dir, &plan->edl,
                                    &plan->esi, &plan->brs, &plan->dlc}) {
    plan->simple_fields = plan->simple_fields && field->simple();
    plan->simple_end = std::max(plan->simple_end, field->end_byte());
  }
  return plan;
}

std::uint32_t decode_planned_can_data_frame(const Record& record, RecordOutput& output) {
  const auto& plan = static_cast<const CanDataPlan&>(*record.plan);
  auto& frame = static_cast<BusFrame&>(output);
  const std::span<const std::uint8_t> bytes = record.record_bytes;
  std::uint8_t copy[kPaddedRecord + 8];
  const std::uint8_t* padded = bytes.data();
  if (!record.padded) {
    if (bytes.size() > kPaddedRecord) return decode_can_data_frame(record, output);
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    std::memset(copy + bytes.size(), 0, 8);
    padded = copy;
  }
  const double time = plan.time.value(bytes, padded);

  std::span<const std::uint8_t> payload;
  if (plan.has_data_bytes) {
    const bool found = plan.data_bytes.has_signal_data
                           ? SignalValues(record.signal_bytes).next(payload)
                           : plan.data_bytes.fixed_bytes(bytes, payload);
    if (!found || payload.size() > kCanPayloadSize) {
      frame.time_s = plan.time_before_data_bytes ? time : 0;
      return no_frame(frame);
    }
  }

  CanFrameFields& can = frame.can;
  frame.time_s = time;
  split_frame_time(time, can.seconds, can.microseconds);
  auto fill = [&](auto stored) {
    can.can_id = static_cast<std::uint32_t>(stored(plan.id));
    can.bus = static_cast<std::uint8_t>(stored(plan.bus));
    can.ide = static_cast<std::uint8_t>(stored(plan.ide));
    can.dir = static_cast<std::uint8_t>(stored(plan.dir));
    can.edl = static_cast<std::uint8_t>(stored(plan.edl));
    can.esi = static_cast<std::uint8_t>(stored(plan.esi));
    can.brs = static_cast<std::uint8_t>(stored(plan.brs));
    can.dlc = static_cast<std::uint8_t>(stored(plan.dlc));
  };
  if (plan.simple_fields && plan.simple_end <= bytes.size()) {
    fill([&](const PlannedField& field) { return field.stored_simply(padded); });
  } else {
    fill([&](const PlannedField& field) { return field.stored(bytes, padded); });
  }
  frame.key = can.can_id;
  can.rtr = 0;
  const std::size_t n = payload.size();
  // A payload within a record that has 8 bytes after it is one load, the bytes past n
  // cleared. (An empty one need not point anywhere.)
  const bool one_load = n != 0 && n <= 8 && record.padded && !plan.data_bytes.has_signal_data;
  if (one_load) {
    store_le64(can.payload, load_le64_first(payload.data(), n));
  } else if (n != 0) {
    std::memcpy(can.payload, payload.data(), n);
  }
  if (n < frame.can_payload_zero_from)
    std::memset(can.payload + n, 0, frame.can_payload_zero_from - n);
  frame.can_payload_zero_from = static_cast<std::uint8_t>(n);
  frame.data_length = plan.data_length.stored(bytes, padded);
  if (frame.data_length > kCanPayloadSize) return no_frame(frame);
  frame.kind = kCanDataFrame;
  frame.data = can.payload;
  return kCanDataFrame;
}

}  // namespace busfold
