// Builds input files shaped like our loggers write them: one unsorted data group with
// 2-byte record ids and, per bus, one channel group per frame layout and direction,
// described by the ASAM bus-logging channel names. Used by end-to-end tests, the sample
// generator and the benchmarks.
//
//   std::vector<LoggerFrame> frames = {can_frame(1, 0x123, {1, 2, 3}, 1000)};
//   std::vector<std::uint8_t> file = build_logger_file(frames, {.finalized = false});
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tests/support/mdf_builder.h"

namespace busfold::test {

enum class LoggerFrameKind { can_data, can_remote, can_error, lin };

struct LoggerFrame {
  LoggerFrameKind kind = LoggerFrameKind::can_data;
  std::uint8_t bus = 1;
  bool tx = false;
  bool ide = false;  // 29-bit identifier
  bool edl = false;  // CAN FD
  bool brs = false;
  bool esi = false;
  std::uint32_t id = 0;  // CAN error frames: the error type
  std::uint8_t dlc = 0;  // CAN: the DLC code; LIN: the data length
  std::uint64_t time_us = 0;
  std::vector<std::uint8_t> payload;  // dlc_to_length(dlc) bytes for CAN data frames
};

// How the master channel holds times: 48-bit microseconds as loggers write them, float64
// seconds, or 64-bit nanoseconds (a linear conversion makes each of them seconds).
enum class MasterTime { micros48, float_seconds, nanoseconds };

struct LoggerFileOptions {
  // Finalized files say "MDF     " and carry cycle counts and the data block's length;
  // unfinalized ones say "UnFinMF " with flag 4 and a data block written with length 24.
  bool finalized = false;
  std::uint64_t start_time_ns = 1700000000000000000ull;
  // Data groups that record side by side: frame i goes into data group i % data_groups.
  std::size_t data_groups = 1;
  std::uint8_t record_id_size = 2;  // bytes of each record id: 2, as loggers write them, or 1
  // Payloads of FD frames over 8 bytes: records of a VLSD group, as loggers write them,
  // or one SD block per channel group.
  bool signal_data_blocks = false;
  // How each data group's data and each SD block are stored.
  Storage storage = Storage::plain;
  std::size_t piece_bytes = 1000;  // of each piece of equal lists and header lists
  // The tool id the history names (none when empty).
  std::string tool_id = "QK";
  // Shaped as other writers write CAN data frames (other frames are left out), finalized:
  // records sorted, without ids, one data group per bus and kind (classic frames with 8
  // data bytes, FD ones with 64, beside a DataLength), the master channel named "time"
  // with times as master_time says.
  bool sorted = false;
  MasterTime master_time = MasterTime::micros48;
};

// A CAN data frame on the bus: classic when the payload fits 8 bytes and fd is false,
// otherwise FD with the smallest DLC that holds the payload (padded with zeros).
LoggerFrame can_frame(std::uint8_t bus, std::uint32_t id, std::vector<std::uint8_t> payload,
                      std::uint64_t time_us, bool tx = false, bool fd = false);

std::vector<std::uint8_t> build_logger_file(const std::vector<LoggerFrame>& frames,
                                            const LoggerFileOptions& options = {});

// A reproducible mix of frames: classic, FD up to 8 and FD over 8 bytes, 11- and 29-bit,
// Rx and Tx, on buses 1, 2 and 9, timestamps increasing by a few hundred microseconds.
std::vector<LoggerFrame> mixed_can_frames(std::size_t count, std::uint32_t seed = 1);

}  // namespace busfold::test
