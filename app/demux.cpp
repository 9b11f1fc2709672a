#include "app/demux.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <string_view>

#include "app/record_stream.h"
#include "base/bytes.h"
#include "base/log.h"
#include "buslog/frame_layout.h"

namespace busfold {

namespace {

// Failures other than a bad value (running out of memory).
constexpr int kDemuxOtherError = -5;

// The whole text as a number of the base: digits only, no sign, prefix or blanks, and it
// fits 32 bits. strtoul would take " +0x7DF", "1x" or "-1" and make something else of them.
bool parse_number(std::string_view text, int base, std::uint32_t& value) {
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value, base);
  return error == std::errc() && stop == end;
}

int parse_demux_value(std::string_view value, DemuxTable& table) {
  std::size_t colon = value.find(':');
  if (colon == std::string_view::npos) return kDemuxMissingColon;
  std::string_view key_text = value.substr(0, colon);
  if (key_text.size() != 3 && key_text.size() != 8) return kDemuxBadKeyLength;
  std::uint32_t key = 0;
  if (!parse_number(key_text, 16, key)) return kDemuxBadKey;
  if (key_text.size() == 8) key |= kExtendedKeyBit;

  // "1;2" gives [1, 2]; an empty piece (an empty list, a trailing ";") gives 0.
  std::vector<std::uint32_t> channels;
  std::string_view rest = value.substr(colon + 1);
  for (;;) {
    std::size_t separator = rest.find(';');
    std::string_view piece = rest.substr(0, separator);
    std::uint32_t channel = 0;
    if (!piece.empty() && !parse_number(piece, 10, channel)) return kDemuxBadChannel;
    channels.push_back(channel);
    if (separator == std::string_view::npos) break;
    rest.remove_prefix(separator + 1);
  }
  table.emplace(key, std::move(channels));  // a key given again keeps its first list
  return kDemuxParsed;
}

void reset_multi_frame(DemuxState& state) {
  state.expected_length = 0;
  state.next_sequence = 0;
}

}  // namespace

int parse_demux_values(std::span<const char* const> values, DemuxTable& table,
                       std::size_t& failed_index) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    int code = kDemuxParsed;
    try {
      code = parse_demux_value(values[i], table);
    } catch (const std::bad_alloc&) {
      code = kDemuxOtherError;
    }
    if (code != kDemuxParsed) {
      failed_index = i;
      return code;
    }
  }
  return kDemuxParsed;
}

void report_demux_error(int code, const char* value) {
  switch (code) {
  case kDemuxMissingColon:
    BUSFOLD_LOG(kLogError, "Could not parse mux information, missing \":\" - %s", value);
    break;
  case kDemuxBadKeyLength:
    BUSFOLD_LOG(kLogError,
                "Could not parse mux information, key must be either 3 or 8 characters long - %s",
                value);
    break;
  case kDemuxBadKey:
    BUSFOLD_LOG(kLogError, "Could not parse mux information, error decoding hex key - %s", value);
    break;
  case kDemuxBadChannel:
    BUSFOLD_LOG(kLogError, "Could not parse mux information, error decoding channel - %s", value);
    break;
  default: BUSFOLD_LOG(kLogError, "Could not parse mux information - %s", value); break;
  }
}

DemuxState::DemuxState(std::span<const std::uint32_t> channel_list) {
  std::size_t n = std::min(channel_list.size(), channels.size());
  for (std::size_t i = 0; i < n; ++i) {
    channels[i] = static_cast<std::uint8_t>(channel_list[i] & 0xFF);
  }
  // Once, so that reassembling never allocates: no message grows beyond this.
  message.reserve(kMaxMessageLength);
}

std::optional<std::span<const std::uint8_t>> reassemble(DemuxState& state,
                                                        std::span<const std::uint8_t> data) {
  if (data.empty()) return std::nullopt;
  const std::uint8_t low_nibble = data[0] & 0x0F;
  switch (data[0] & 0xF0) {
  case 0x00: {  // single frame; length 0 is the CAN FD escape: the length follows
    std::size_t length = low_nibble;
    std::size_t start = 1;
    if (length == 0) {
      if (data.size() < 2) return std::nullopt;
      length = data[1];
      start = 2;
    }
    if (start + length > data.size()) return std::nullopt;
    reset_multi_frame(state);
    return data.subspan(start, length);
  }
  case 0x10:  // first frame: 12-bit length, then the message's first bytes
    reset_multi_frame(state);
    state.message.clear();
    if (data.size() < 2) return std::nullopt;
    state.expected_length = load_be16(data.data()) & 0x0FFF;
    state.next_sequence = 1;
    state.message.insert(state.message.end(), data.begin() + 2, data.end());
    return std::nullopt;
  case 0x20: {  // consecutive frame
    // Out of sequence, or with no message in progress: whatever was under way is lost.
    if (state.expected_length == 0 || low_nibble != state.next_sequence) {
      reset_multi_frame(state);
      return std::nullopt;
    }
    state.next_sequence = (state.next_sequence + 1) % 16;
    std::size_t held = state.message.size();
    if (held < state.expected_length) {
      std::size_t take = std::min(data.size() - 1, state.expected_length - held);
      state.message.insert(state.message.end(), data.begin() + 1, data.begin() + 1 + take);
    }
    if (state.message.size() != state.expected_length) return std::nullopt;
    reset_multi_frame(state);
    return std::span<const std::uint8_t>(state.message);
  }
  default:  // flow control and undefined types
    reset_multi_frame(state);
    return std::nullopt;
  }
}

std::size_t decode_embedded_frame(std::span<const std::uint8_t> bytes, CanFrameFields& record) {
  std::memset(&record, 0, sizeof record);
  if (bytes.empty() || (bytes[0] & 0x1F) == 0x07) return 0;
  const std::uint8_t b0 = bytes[0];
  const bool ide = (b0 & 0x10) != 0;
  const std::size_t header = ide ? 5 : 3;
  if (bytes.size() < header) return 0;
  const std::uint8_t b1 = bytes[1];
  const bool edl = (b0 & 0x08) != 0;
  const bool bit5 = (b1 & 0x20) != 0;  // BRS of an FD frame, RTR of a classic one
  const bool rtr = !edl && bit5;
  const auto dlc = static_cast<std::uint8_t>(((b0 & 0x07) << 1) | (b1 >> 7));
  const std::size_t length = rtr ? 0 : dlc_to_length(dlc);
  if (bytes.size() - header < length) return 0;

  record.can_id = ide ? load_be32(&bytes[1]) & 0x1FFFFFFF : load_be16(&bytes[1]) & 0x07FF;
  record.ide = ide ? 1 : 0;
  record.edl = edl ? 1 : 0;
  record.dir = (b1 & 0x40) != 0 ? 1 : 0;
  record.brs = edl && bit5 ? 1 : 0;
  record.rtr = rtr ? 1 : 0;
  record.dlc = dlc;
  record.bus = static_cast<std::uint8_t>(b0 >> 5);
  if (length > 0) std::memcpy(record.payload, &bytes[header], length);
  return header + length;
}

std::span<const std::uint8_t> carrier_payload(const CanFrameFields& frame) {
  std::size_t length = dlc_to_length(frame.dlc);
  if (frame.edl == 0) length = std::min<std::size_t>(length, 8);
  return {frame.payload, length};
}

bool demux_frame(RecordStream& records, DemuxState& state, const CanFrameFields& carrier,
                 bool remote_frames, std::uint64_t& remote_not_carried) {
  std::optional<std::span<const std::uint8_t>> message =
      reassemble(state, carrier_payload(carrier));
  if (!message) return true;
  bool carried = true;
  ToolRecord record;
  std::span<const std::uint8_t> rest = *message;
  while (!rest.empty()) {
    std::size_t used = decode_embedded_frame(rest, record.frame);
    // What follows an undecodable frame has no known boundary: the message ends there.
    if (used == 0) break;
    rest = rest.subspan(used);
    std::uint8_t bus = state.channels[record.frame.bus];
    if (bus == 0) continue;
    // Remote frames go into the remote-frame groups or, as on input, are not carried over;
    // the file then counts as not wholly converted.
    if (record.frame.rtr != 0 && !remote_frames) {
      ++remote_not_carried;
      carried = false;
      continue;
    }
    record.kind = record.frame.rtr != 0 ? kCanRemoteFrame : kCanDataFrame;
    record.frame.bus = bus;
    record.frame.seconds = carrier.seconds;
    record.frame.microseconds = carrier.microseconds;
    if (!records.write_record(record)) carried = false;
  }
  return carried;
}

}  // namespace busfold
