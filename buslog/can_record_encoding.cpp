#include "buslog/can_record_encoding.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"

namespace busfold {

namespace {

constexpr std::uint32_t kId11Mask = 0x7FF;
constexpr std::uint32_t kId29Mask = 0x1FFFFFFF;
constexpr std::size_t kFixedDataBytes = 8;

// DLC in the low 4 bits, BRS in bit 6, ESI in bit 7.
std::uint8_t fd_flags_byte(const CanFrameFields& frame) {
  return static_cast<std::uint8_t>(((frame.esi & 1) << 7) | ((frame.brs & 1) << 6) |
                                   (frame.dlc & 0x0F));
}

void copy_fixed_data(std::uint8_t* to, const CanFrameFields& frame) {
  std::memcpy(to, frame.payload, std::min<std::size_t>(dlc_to_length(frame.dlc), kFixedDataBytes));
}

}  // namespace

CanLayoutIndex can_data_layout(const CanFrameFields& frame) {
  bool wide = frame.ide != 0;
  if (frame.edl == 0) return wide ? kCanClassic29 : kCanClassic11;
  if ((frame.dlc & 0x0F) <= 8) return wide ? kCanFdUpTo8_29 : kCanFdUpTo8_11;
  return wide ? kCanFdOver8_29 : kCanFdOver8_11;
}

std::size_t encode_can_data_record(std::span<std::uint8_t, kMaxCanRecordSize> out,
                                   CanLayoutIndex layout, std::uint16_t record_id,
                                   std::uint64_t timestamp_us, const CanFrameFields& frame,
                                   std::uint32_t signal_offset) {
  if (layout > kCanFdOver8_29) return 0;
  const std::size_t size = kRecordIdSize + kCanLayouts[layout].data_bytes;
  std::uint8_t* p = out.data();
  std::memset(p, 0, size);
  store_le16(p, record_id);
  std::uint8_t* r = p + kRecordIdSize;
  store_le48(r, timestamp_us);
  switch (layout) {
  case kCanClassic11:
    store_le16(r + 6,
               static_cast<std::uint16_t>(((frame.dlc & 0x0F) << 12) | (frame.can_id & kId11Mask)));
    copy_fixed_data(r + 8, frame);
    break;
  case kCanClassic29:
    store_le32(r + 6, frame.can_id & kId29Mask);
    r[10] = frame.dlc & 0x0F;
    copy_fixed_data(r + 11, frame);
    break;
  case kCanFdUpTo8_11:
    store_le16(r + 6, static_cast<std::uint16_t>(frame.can_id & kId11Mask));
    r[8] = fd_flags_byte(frame);
    copy_fixed_data(r + 9, frame);
    break;
  case kCanFdUpTo8_29:
    store_le32(r + 6, frame.can_id & kId29Mask);
    r[10] = fd_flags_byte(frame);
    copy_fixed_data(r + 11, frame);
    break;
  case kCanFdOver8_11:
    store_le16(r + 6, static_cast<std::uint16_t>(frame.can_id & kId11Mask));
    r[8] = fd_flags_byte(frame);
    store_le32(r + 9, signal_offset);
    break;
  case kCanFdOver8_29:
    store_le32(r + 6, frame.can_id & kId29Mask);
    r[10] = fd_flags_byte(frame);
    store_le32(r + 11, signal_offset);
    break;
  default: return 0;
  }
  return size;
}

std::size_t encode_can_vlsd_record(std::span<std::uint8_t, kMaxCanVlsdRecordSize> out,
                                   std::uint16_t record_id, const CanFrameFields& frame) {
  const std::uint8_t n = dlc_to_length(frame.dlc);
  std::uint8_t* p = out.data();
  store_le16(p, record_id);
  store_le32(p + kRecordIdSize, n);
  std::memcpy(p + kRecordIdSize + 4, frame.payload, n);
  return kRecordIdSize + 4 + n;
}

}  // namespace busfold
