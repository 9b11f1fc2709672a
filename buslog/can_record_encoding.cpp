#include "buslog/can_record_encoding.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "base/bytes.h"

namespace busfold {

namespace {

constexpr std::uint32_t kId11Mask = 0x7FF;
constexpr std::uint32_t kId29Mask = 0x1FFFFFFF;
constexpr std::uint8_t kDlcMask = 0x0F;
constexpr std::size_t kFixedDataBytes = 8;

constexpr bool fits(const FrameLayout& layout) {
  for (const FieldSpan& span : layout.spans) {
    if (span.present() &&
        span.byte_offset * 8 + span.bit_offset + span.bit_count > layout.data_bytes * 8) {
      return false;
    }
  }
  return true;
}

// What the encoders below take for granted of a layout: it is of the kind they write,
// every field lies in the record, numeric fields fit a 64-bit store, the payload field
// holds 8 whole bytes and the timestamp 48 bits.
constexpr bool encodable(const FrameLayout& layout, FrameKind kind,
                         std::initializer_list<FrameSlot> numeric, FrameSlot payload) {
  if (layout.kind != kind || !fits(layout)) return false;
  if (kRecordIdSize + layout.data_bytes > kMaxRecordSize) return false;
  for (FrameSlot slot : numeric) {
    const FieldSpan& span = layout.span(slot);
    if (span.bit_offset + span.bit_count > 64 - 8) return false;
  }
  const FieldSpan& data = layout.span(payload);
  if (data.present() && (data.bit_offset != 0 || data.bit_count != kFixedDataBytes * 8))
    return false;
  return layout.span(kSlotTimestamp).bit_count == 48;
}

constexpr bool can_layouts_encodable() {
  for (std::size_t i = kCanClassic11; i <= kCanFdOver8_29; ++i) {
    if (!encodable(kCanLayouts[i], kCanDataFrame,
                   {kSlotId, kSlotDlc, kSlotBrs, kSlotEsi, kSlotDataOffset}, kSlotDataBytes) ||
        kRecordIdSize + kCanLayouts[i].data_bytes > kMaxCanRecordSize) {
      return false;
    }
  }
  for (std::size_t i : {kCanRemote11, kCanRemote29}) {
    if (!encodable(kCanLayouts[i], kCanRemoteFrame, {kSlotId, kSlotDlc}, kSlotDataBytes))
      return false;
  }
  return encodable(kCanLayouts[kCanErrors], kCanErrorFrame, {kSlotErrorType}, kSlotDataBytes);
}
static_assert(can_layouts_encodable());
static_assert(encodable(kLinLayouts[kLinLayoutFrame], kLinFrame,
                        {kLinSlotId, kLinSlotDir, kLinSlotDataLength, kLinSlotReceivedCount},
                        kLinSlotDataBytes) &&
              std::size_t{kLinPayloadSize} == kFixedDataBytes);

// ORs the low bits of the value into the field (the record starts zeroed).
inline void put(std::uint8_t* record, const FieldSpan& span, std::uint64_t value) {
  if (!span.present()) return;
  value = (value & ((std::uint64_t{1} << span.bit_count) - 1)) << span.bit_offset;
  std::uint8_t* at = record + span.byte_offset;
  for (std::uint32_t i = 0; i * 8 < span.bit_offset + span.bit_count; ++i)
    at[i] |= static_cast<std::uint8_t>(value >> (8 * i));
}

// Whether every field of a data-frame layout can be stored with one 8-byte store: the
// encoder's room (the largest data-frame record) reaches 8 bytes past its start.
constexpr bool stored_in_words(const FrameLayout& layout) {
  for (const FieldSpan& span : layout.spans) {
    if (span.present() && kRecordIdSize + span.byte_offset + 8 > kMaxCanRecordSize) return false;
  }
  return true;
}

// ORs the low bits of the value into the field with one 8-byte load and store; the room
// behind the record starts zeroed like the record.
inline void put_word(std::uint8_t* record, const FieldSpan& span, std::uint64_t value) {
  if (!span.present()) return;
  std::uint8_t* at = record + span.byte_offset;
  value = (value & ((std::uint64_t{1} << span.bit_count) - 1)) << span.bit_offset;
  store_le64(at, load_le64(at) | value);
}

// One instance per layout, so that every span is a constant and the stores fold.
template <CanLayoutIndex kLayout>
std::size_t encode(std::uint8_t* p, std::uint16_t record_id, std::uint64_t timestamp_us,
                   const CanFrameFields& frame, std::uint32_t signal_offset) {
  constexpr const FrameLayout& layout = kCanLayouts[kLayout];
  static_assert(stored_in_words(layout));
  constexpr std::size_t size = kRecordIdSize + layout.data_bytes;
  std::memset(p, 0, kMaxCanRecordSize);
  store_le16(p, record_id);
  std::uint8_t* r = p + kRecordIdSize;
  put_word(r, layout.span(kSlotTimestamp), timestamp_us);
  const FieldSpan& id = layout.span(kSlotId);
  put_word(r, id, frame.can_id & (id.bit_count == 11 ? kId11Mask : kId29Mask));
  put_word(r, layout.span(kSlotDlc), frame.dlc & kDlcMask);
  put_word(r, layout.span(kSlotBrs), frame.brs & 1);
  put_word(r, layout.span(kSlotEsi), frame.esi & 1);
  if constexpr (layout.uses_signal_data()) {
    put_word(r, layout.span(kSlotDataOffset), signal_offset);
  } else {
    store_le64(r + layout.span(kSlotDataBytes).byte_offset,
               load_le64_first(frame.payload, dlc_to_length(frame.dlc)));
  }
  return size;
}

}  // namespace

namespace {

// The encoder of the data-frame layout `layout`, one of the first kCanDataLayoutCount.
template <std::size_t... Layout>
std::size_t encode_as(CanLayoutIndex layout, std::uint8_t* p, std::uint16_t record_id,
                      std::uint64_t timestamp_us, const CanFrameFields& frame,
                      std::uint32_t signal_offset, std::index_sequence<Layout...>) {
  std::size_t size = 0;
  (void)((layout == Layout && (size = encode<static_cast<CanLayoutIndex>(Layout)>(
                                   p, record_id, timestamp_us, frame, signal_offset),
                               true)) ||
         ...);
  return size;
}

// Data frames have the layouts up to and including kCanFdOver8_29.
constexpr std::size_t kCanDataLayoutCount = kCanFdOver8_29 + 1;

}  // namespace

std::size_t encode_can_data_record(std::span<std::uint8_t, kMaxCanRecordSize> out,
                                   CanLayoutIndex layout, std::uint16_t record_id,
                                   std::uint64_t timestamp_us, const CanFrameFields& frame,
                                   std::uint32_t signal_offset) {
  return encode_as(layout, out.data(), record_id, timestamp_us, frame, signal_offset,
                   std::make_index_sequence<kCanDataLayoutCount>{});
}

namespace {

// Clears the record, stores its id and timestamp and returns where its data bytes start.
std::uint8_t* begin_record(std::uint8_t* p, const FrameLayout& layout, std::uint16_t record_id,
                           std::uint64_t timestamp_us) {
  std::memset(p, 0, kRecordIdSize + layout.data_bytes);
  store_le16(p, record_id);
  std::uint8_t* r = p + kRecordIdSize;
  put(r, layout.span(kSlotTimestamp), timestamp_us);
  return r;
}

}  // namespace

CanLayoutIndex can_remote_layout(const CanFrameFields& frame) {
  return frame.ide != 0 ? kCanRemote29 : kCanRemote11;
}

std::size_t encode_can_remote_record(std::span<std::uint8_t, kMaxRecordSize> out,
                                     CanLayoutIndex layout_index, std::uint16_t record_id,
                                     std::uint64_t timestamp_us, const CanFrameFields& frame) {
  const FrameLayout& layout = kCanLayouts[layout_index];
  std::uint8_t* r = begin_record(out.data(), layout, record_id, timestamp_us);
  put(r, layout.span(kSlotId), frame.can_id);
  put(r, layout.span(kSlotDlc), frame.dlc & kDlcMask);
  return kRecordIdSize + layout.data_bytes;
}

std::size_t encode_can_error_record(std::span<std::uint8_t, kMaxRecordSize> out,
                                    std::uint16_t record_id, std::uint64_t timestamp_us,
                                    const CanErrorFields& frame) {
  const FrameLayout& layout = kCanLayouts[kCanErrors];
  std::uint8_t* r = begin_record(out.data(), layout, record_id, timestamp_us);
  put(r, layout.span(kSlotErrorType), frame.error_type);
  return kRecordIdSize + layout.data_bytes;
}

std::size_t encode_lin_record(std::span<std::uint8_t, kMaxRecordSize> out, std::uint16_t record_id,
                              std::uint64_t timestamp_us, const LinFrameFields& frame) {
  const FrameLayout& layout = kLinLayouts[kLinLayoutFrame];
  std::uint8_t* r = begin_record(out.data(), layout, record_id, timestamp_us);
  put(r, layout.span(kLinSlotId), frame.id);
  put(r, layout.span(kLinSlotDir), frame.dir);
  put(r, layout.span(kLinSlotDataLength), frame.data_length);
  put(r, layout.span(kLinSlotReceivedCount), frame.received_count);
  std::memcpy(r + layout.span(kLinSlotDataBytes).byte_offset, frame.payload, kLinPayloadSize);
  return kRecordIdSize + layout.data_bytes;
}

std::size_t encode_can_vlsd_record(std::span<std::uint8_t, kMaxCanVlsdRecordSize> out,
                                   std::uint16_t record_id, const CanFrameFields& frame) {
  const std::uint8_t n = dlc_to_length(frame.dlc);
  std::uint8_t* p = out.data();
  store_le16(p, record_id);
  store_le32(p + kRecordIdSize, n);
  // The whole payload: one copy of a known size; what lies past n is not the record's.
  static_assert(sizeof frame.payload + kRecordIdSize + kVlsdLengthSize == out.size());
  std::memcpy(p + kRecordIdSize + kVlsdLengthSize, frame.payload, sizeof frame.payload);
  return kRecordIdSize + kVlsdLengthSize + n;
}

}  // namespace busfold
