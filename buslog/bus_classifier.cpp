#include "buslog/bus_classifier.h"

#include <string_view>

#include "buslog/channel_role.h"
#include "buslog/frame_decoder.h"
#include "mdf/channel_decoder.h"

namespace busfold {

namespace {

struct GroupPrefix {
  std::string_view prefix;
  RecordHandler handler;
  BusGroupKind kind;
};

constexpr GroupPrefix kGroups[] = {
    {"CAN_DataFrame", decode_can_data_frame, kGroupCanDataFrame},
    {"CAN_RemoteFrame", decode_can_remote_frame, kGroupCanRemoteFrame},
    {"CAN_ErrorFrame", decode_can_error_frame, kGroupCanErrorFrame},
    {"LIN_Frame", decode_lin_frame, kGroupLinFrame},
    {"LIN_ChecksumError", decode_nothing, kGroupLinChecksumError},
    {"LIN_ReceiveError", decode_nothing, kGroupLinReceiveError},
    {"LIN_SyncError", decode_nothing, kGroupLinSyncError},
    {"LIN_TransmissionError", decode_nothing, kGroupLinTransmissionError},
};

constexpr ChannelClassifier kBusClassifier{classify_channel_name, classify_channel_group,
                                           decode_nothing};

// The longest prefix above, "LIN_TransmissionError".
constexpr std::size_t kLongestPrefix = 21;

}  // namespace

GroupClassification classify_channel_group(std::span<const ChannelDecoder> decoders) {
  GroupClassification unknown{false, decode_nothing, kGroupNone};
  std::string_view prefix;
  bool found = false;
  for (const ChannelDecoder& decoder : decoders) {
    std::string_view head = decoder.name.substr(0, kLongestPrefix + 1);
    std::size_t dot = head.find('.');
    if (dot == std::string_view::npos) {
      // A longer name without a dot near its start has no role, so no record of the group
      // could become a frame. Looking further for a dot would scan names that thousands
      // of channels may share, once for each of them.
      if (decoder.name.size() > head.size()) return unknown;
      continue;
    }
    std::string_view own = decoder.name.substr(0, dot);
    if (!found) {
      prefix = own;
      found = true;
    } else if (own != prefix) {
      return unknown;  // a group of mixed frames
    }
  }
  if (!found) return unknown;
  for (const GroupPrefix& group : kGroups) {
    if (group.prefix == prefix) return {true, group.handler, group.kind};
  }
  return unknown;
}

const ChannelClassifier& bus_channel_classifier() { return kBusClassifier; }

}  // namespace busfold
