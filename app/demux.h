// Demultiplexing of tunnelled CAN frames: some CAN identifiers carry, in ISO 15765-2
// transport messages, a stream of other CAN frames packed by a gateway, each tagged with a
// 3-bit sub-channel index. Their carrier frames are reassembled, and the frames inside are
// written onto the buses chosen for their sub-channels.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "buslog/bus_frame.h"

namespace busfold {

class RecordStream;

// A frame key is the CAN identifier, with this bit set for a 29-bit identifier.
inline constexpr std::uint32_t kExtendedKeyBit = 0x80000000u;

inline std::uint32_t frame_key(const CanFrameFields& frame) {
  return frame.ide != 0 ? frame.can_id | kExtendedKeyBit : frame.can_id;
}

// Carrier key → target bus of each sub-channel index, in the order given on the command line.
using DemuxTable = std::map<std::uint32_t, std::vector<std::uint32_t>>;

// Results of parsing the values of the mux option.
enum DemuxParseCode : int {
  kDemuxParsed = 0,
  kDemuxMissingColon = -1,
  kDemuxBadKeyLength = -2,
  kDemuxBadKey = -3,
  kDemuxBadChannel = -4,
};

// Parses "hex id:channel 1;channel 2;..." values, in order, into the table; stops at the
// first bad value and sets failed_index to it. The key is 3 hex digits (an 11-bit id) or 8
// (a 29-bit id, which gets kExtendedKeyBit) and nothing else: no sign, prefix, blanks or
// trailing characters. Each channel is decimal digits only and fits 32 bits; an empty one
// is 0 (its sub-channel is dropped). A key given twice keeps its first list.
int parse_demux_values(std::span<const char* const> values, DemuxTable& table,
                       std::size_t& failed_index);

// Logs the message of a parse code for the value that failed.
void report_demux_error(int code, const char* value);

// Reassembly and routing state of one carrier key; kept for the whole run, so that a
// message cut by the end of a file goes on in the next one.
struct DemuxState {
  // Entry i: the low 8 bits of the i-th channel of the list (values beyond the 256th are
  // ignored); 0 drops the frames of that sub-channel index.
  explicit DemuxState(std::span<const std::uint32_t> channel_list);

  std::uint16_t expected_length = 0;  // of the multi-frame message in progress; 0: none
  std::uint8_t next_sequence = 0;     // 0..15
  std::vector<std::uint8_t> message;  // reserved once for the longest message
  std::array<std::uint8_t, 256> channels{};
};

// Longest message a first frame can announce (12-bit length).
inline constexpr std::size_t kMaxMessageLength = 0x0FFF;

// Takes the next carrier payload; a complete message when this one ends it. A single
// frame's message points into `data`, a multi-frame one into the state's buffer; either
// holds until the next call.
std::optional<std::span<const std::uint8_t>> reassemble(DemuxState& state,
                                                        std::span<const std::uint8_t> data);

// Decodes the embedded frame at the start of `bytes` into `record` (cleared first; the
// sub-channel index goes into the bus number); the bytes it takes, or 0 when none can be
// decoded there.
std::size_t decode_embedded_frame(std::span<const std::uint8_t> bytes, CanFrameFields& record);

// The payload a carrier frame carries: its DLC's length, at most 8 bytes for a classic frame.
std::span<const std::uint8_t> carrier_payload(const CanFrameFields& frame);

// Unpacks a carrier frame: the frames of a message it completes are written, with the
// carrier's timestamp, onto the buses of their sub-channels; remote frames among them only
// with `remote_frames` (else they are counted in `remote_not_carried`). False when one of
// them could not be written (the others still are).
bool demux_frame(RecordStream& records, DemuxState& state, const CanFrameFields& carrier,
                 bool remote_frames, std::uint64_t& remote_not_carried);

}  // namespace busfold
