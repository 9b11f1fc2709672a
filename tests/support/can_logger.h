// Builds CAN logger files the way real loggers lay them out: one unsorted data group
// with 2-byte record ids, one CAN_DataFrame channel group per bus, direction and frame
// shape (classic, FD up to 8 bytes, FD over 8 bytes with its VLSD group; 11- or 29-bit
// ids), the DLC-to-length table on DLC and DataLength, microsecond timestamps.
//
//   MdfBuilder b;
//   CanLogger logger(b);
//   CanGroup rx = logger.add_group(CanShape::kFdLong, 1, false);
//   logger.add_frame(rx, {.timestamp_us = 5000, .id = 0x10, .dlc = 9, .data = bytes});
//   logger.finish();
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tests/support/mdf_builder.h"

namespace busfold::test {

enum class CanShape { kClassic, kClassicIde, kFd, kFdIde, kFdLong, kFdLongIde };

struct CanGroup {
  CanShape shape;
  std::uint64_t cg = 0;  // offset of the channel group
  std::uint16_t record_id = 0;
  std::uint16_t vlsd_record_id = 0;  // the VLSD group's, for the FD-over-8 shapes
};

struct CanFrameSpec {
  std::uint64_t timestamp_us = 0;
  std::uint32_t id = 0;
  std::uint8_t dlc = 0;
  std::span<const std::uint8_t> data{};  // 8 bytes at most for the fixed shapes
  bool brs = false;
  bool esi = false;
};

// Payload bytes of a DLC.
std::uint32_t dlc_length(std::uint8_t dlc);

class CanLogger {
public:
  explicit CanLogger(MdfBuilder& builder);

  CanGroup add_group(CanShape shape, std::uint8_t bus, bool tx);
  // Appends the frame's record, and its VLSD record for the FD-over-8 shapes.
  void add_frame(const CanGroup& group, const CanFrameSpec& frame);
  // Appends raw bytes to the data (for malformed tails).
  void add_raw(std::span<const std::uint8_t> bytes);
  // Writes the data block; returns its offset.
  std::uint64_t finish();

  std::uint64_t data_group() const { return dg_; }
  const std::vector<std::uint8_t>& data() const { return data_; }

private:
  MdfBuilder& b_;
  std::uint64_t dg_;
  std::uint64_t time_conversion_;
  std::uint64_t dlc_table_;
  std::uint16_t next_record_id_ = 1;
  std::uint64_t vlsd_bytes_ = 0;
  std::vector<std::uint8_t> data_;
};

}  // namespace busfold::test
