#include "tests/support/can_logger.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "io/bytes.h"

namespace busfold::test {

namespace {

struct Shape {
  std::uint32_t record_size;
  std::uint32_t id_bits;
  std::uint32_t dlc_bit;
  std::uint32_t data_bit;  // DataBytes, or the VLSD offset field
  bool fd;
  bool vlsd;
};

Shape shape_of(CanShape shape) {
  switch (shape) {
  case CanShape::kClassic: return {16, 11, 60, 64, false, false};
  case CanShape::kClassicIde: return {19, 29, 80, 88, false, false};
  case CanShape::kFd: return {17, 11, 64, 72, true, false};
  case CanShape::kFdIde: return {19, 29, 80, 88, true, false};
  case CanShape::kFdLong: return {13, 11, 64, 72, true, true};
  case CanShape::kFdLongIde: return {15, 29, 80, 88, true, true};
  }
  return {};
}

const char* shape_suffix(CanShape shape) {
  switch (shape) {
  case CanShape::kClassic: return "";
  case CanShape::kClassicIde: return "_IDE";
  case CanShape::kFd: return "_FD_DLC_up_to_8";
  case CanShape::kFdIde: return "_FD_IDE_DLC_up_to_8";
  case CanShape::kFdLong: return "_FD_DLC_over_8";
  case CanShape::kFdLongIde: return "_FD_IDE_DLC_over_8";
  }
  return "";
}

// Little-endian bit field writer for records.
void put_bits(std::uint8_t* record, std::uint32_t bit, std::uint32_t count, std::uint64_t value) {
  for (std::uint32_t i = 0; i < count; ++i, ++bit) {
    auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
    if ((value >> i) & 1) {
      record[bit / 8] |= mask;
    } else {
      record[bit / 8] &= static_cast<std::uint8_t>(~mask);
    }
  }
}

}  // namespace

std::uint32_t dlc_length(std::uint8_t dlc) {
  static constexpr std::uint8_t kLengths[16] = {0, 1,  2,  3,  4,  5,  6,  7,
                                                8, 12, 16, 20, 24, 32, 48, 64};
  return kLengths[dlc & 15];
}

CanLogger::CanLogger(MdfBuilder& builder) : b_(builder) {
  dg_ = b_.add_data_group(2);
  time_conversion_ = b_.add_linear_conversion(0, 1e-6);
  std::vector<std::pair<double, double>> table;
  for (std::uint8_t dlc = 0; dlc < 16; ++dlc)
    table.emplace_back(dlc, dlc_length(dlc));
  dlc_table_ = b_.add_value_table(table);
}

CanGroup CanLogger::add_group(CanShape shape, std::uint8_t bus, bool tx) {
  const Shape s = shape_of(shape);
  CanGroup group{shape};
  group.record_id = next_record_id_++;
  std::string bus_name = "CAN" + std::to_string(bus);
  std::uint64_t source = b_.add_source(bus_name, 2, 2);
  group.cg =
      b_.add_channel_group(dg_, {.acq_name = bus_name + (tx ? "_Tx" : "_Rx") + shape_suffix(shape),
                                 .record_id = group.record_id,
                                 .flags = 6,
                                 .data_bytes = s.record_size,
                                 .source = source});
  std::uint64_t vlsd = 0;
  if (s.vlsd) {
    group.vlsd_record_id = next_record_id_++;
    vlsd = b_.add_channel_group(dg_, {.record_id = group.vlsd_record_id, .flags = 1});
  }
  auto constant = [&](double value) { return b_.add_linear_conversion(value, 0); };
  b_.add_channel(group.cg, {.name = "Timestamp",
                            .type = 2,
                            .bit_count = 48,
                            .conversion = time_conversion_,
                            .source = source});
  std::uint64_t frame = b_.add_channel(group.cg, {.name = "CAN_DataFrame",
                                                  .data_type = 10,
                                                  .byte_offset = 6,
                                                  .bit_count = (s.record_size - 6) * 8,
                                                  .source = source});
  auto at = [](std::uint32_t bit) {
    return std::pair<std::uint32_t, std::uint8_t>{bit / 8, static_cast<std::uint8_t>(bit % 8)};
  };
  auto member = [&](const char* name, std::uint32_t bit, std::uint32_t count,
                    std::uint64_t conversion = 0, std::uint8_t type = 0, std::uint8_t data_type = 0,
                    std::uint64_t data = 0) {
    auto [byte, offset] = at(bit);
    b_.add_member(frame, {.name = name,
                          .type = type,
                          .data_type = data_type,
                          .bit_offset = offset,
                          .byte_offset = byte,
                          .bit_count = count,
                          .conversion = conversion,
                          .data = data});
  };
  auto virtual_member = [&](const char* name, double value) {
    b_.add_member(frame, {.name = name, .type = 6, .bit_count = 0, .conversion = constant(value)});
  };
  virtual_member("CAN_DataFrame.BusChannel", bus);
  member("CAN_DataFrame.ID", 48, s.id_bits);
  virtual_member("CAN_DataFrame.IDE", s.id_bits == 29 ? 1 : 0);
  member("CAN_DataFrame.DLC", s.dlc_bit, 4, dlc_table_);
  member("CAN_DataFrame.DataLength", s.dlc_bit, 4, dlc_table_);
  if (s.vlsd) {
    member("CAN_DataFrame.DataBytes", s.data_bit, 32, 0, 1, 10, vlsd);
  } else {
    member("CAN_DataFrame.DataBytes", s.data_bit, 64, 0, 0, 10);
  }
  virtual_member("CAN_DataFrame.Dir", tx ? 1 : 0);
  if (s.fd) {
    virtual_member("CAN_DataFrame.EDL", 1);
    member("CAN_DataFrame.ESI", s.dlc_bit + 7, 1);
    member("CAN_DataFrame.BRS", s.dlc_bit + 6, 1);
  }
  return group;
}

void CanLogger::add_frame(const CanGroup& group, const CanFrameSpec& frame) {
  const Shape s = shape_of(group.shape);
  std::uint8_t head[2];
  store_le16(head, group.record_id);
  data_.insert(data_.end(), head, head + 2);
  std::size_t start = data_.size();
  data_.resize(start + s.record_size, 0);
  std::uint8_t* record = data_.data() + start;
  put_bits(record, 0, 48, frame.timestamp_us);
  put_bits(record, 48, s.id_bits, frame.id);
  put_bits(record, s.dlc_bit, 4, frame.dlc);
  if (s.fd) {
    put_bits(record, s.dlc_bit + 6, 1, frame.brs);
    put_bits(record, s.dlc_bit + 7, 1, frame.esi);
  }
  if (!s.vlsd) {
    std::memcpy(record + s.data_bit / 8, frame.data.data(),
                std::min<std::size_t>(frame.data.size(), 8));
    return;
  }
  put_bits(record, s.data_bit, 32, vlsd_bytes_);
  std::uint8_t vlsd_head[6];
  store_le16(vlsd_head, group.vlsd_record_id);
  store_le32(vlsd_head + 2, static_cast<std::uint32_t>(frame.data.size()));
  data_.insert(data_.end(), vlsd_head, vlsd_head + 6);
  data_.insert(data_.end(), frame.data.begin(), frame.data.end());
  vlsd_bytes_ += 4 + frame.data.size();
}

void CanLogger::add_raw(std::span<const std::uint8_t> bytes) {
  data_.insert(data_.end(), bytes.begin(), bytes.end());
}

std::uint64_t CanLogger::finish() { return b_.add_data(dg_, data_); }

}  // namespace busfold::test
