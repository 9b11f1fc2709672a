#include "buslog/bus_classifier.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "buslog/can_decode_plan.h"
#include "buslog/channel_names.h"
#include "buslog/channel_role.h"
#include "buslog/frame_decoder.h"
#include "mdf/channel_decoder.h"

namespace busfold {

namespace {

struct GroupPrefix {
  std::string_view prefix;
  RecordHandler handler;
  FrameKind kind;
};

constexpr GroupPrefix kGroups[] = {
    {group_prefix(kNameCanDataFrame), decode_can_data_frame, kCanDataFrame},
    {group_prefix(kNameCanRemoteFrame), decode_can_remote_frame, kCanRemoteFrame},
    {group_prefix(kNameCanErrorFrame), decode_can_error_frame, kCanErrorFrame},
    {group_prefix(kNameLinFrame), decode_lin_frame, kLinFrame},
    {group_prefix(kNameLinChecksumError), decode_nothing, kLinChecksumError},
    {group_prefix(kNameLinReceiveError), decode_nothing, kLinReceiveError},
    // The template has no structure channel for this group, only its bus channel.
    {group_prefix(kNameLinSyncErrorBusChannel), decode_nothing, kLinSyncError},
    {group_prefix(kNameLinTransmissionError), decode_nothing, kLinTransmissionError},
};

class BusChannelClassifier final : public ChannelClassifier {
public:
  void classify_name(ChannelDecoder& decoder) const override { classify_channel_name(decoder); }
  GroupClassification classify_group(std::span<const ChannelDecoder> decoders) const override {
    return classify_channel_group(decoders);
  }
  RecordHandler default_handler() const override { return decode_nothing; }
};

constexpr std::size_t kLongestPrefix = [] {
  std::size_t longest = 0;
  for (const GroupPrefix& group : kGroups)
    longest = std::max(longest, group.prefix.size());
  return longest;
}();
static_assert(kLongestPrefix == std::string_view("LIN_TransmissionError").size());

}  // namespace

GroupClassification classify_channel_group(std::span<const ChannelDecoder> decoders) {
  GroupClassification unknown{false, decode_nothing, kFrameNone};
  std::string_view prefix;
  bool found = false;
  for (const ChannelDecoder& decoder : decoders) {
    // The time belongs to every group, whatever its name.
    if (decoder.role == kRoleTimestamp) continue;
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
    if (group.prefix != prefix) continue;
    if (group.kind == kCanDataFrame) {
      if (std::shared_ptr<const CanDataPlan> plan = plan_can_data_group(decoders)) {
        return {true, decode_planned_can_data_frame, group.kind, std::move(plan)};
      }
    }
    return {true, group.handler, group.kind};
  }
  return unknown;
}

const ChannelClassifier& bus_channel_classifier() {
  static const BusChannelClassifier classifier;
  return classifier;
}

}  // namespace busfold
