// What a channel of a bus-logging group carries, known from its ASAM name.
#pragma once

#include <cstdint>
#include <string_view>

namespace busfold {

struct ChannelDecoder;

enum ChannelRole : std::uint32_t {
  kRoleNone = 0,
  kRoleBrs = 1,
  kRoleBusChannel = 2,
  kRoleDataBytes = 3,
  kRoleDataLength = 4,
  kRoleDir = 5,
  kRoleDlc = 6,
  kRoleEdl = 7,
  kRoleErrorType = 8,
  kRoleEsi = 9,
  kRoleId = 10,
  kRoleIde = 11,
  kRoleLinBusChannel = 12,
  kRoleLinDataBytes = 13,
  kRoleLinDataLength = 14,
  kRoleLinDir = 15,
  kRoleLinId = 16,
  kRoleLinReceivedDataByteCount = 17,
  kRoleTimestamp = 18,
};

// The role of a channel name (exact, case-sensitive); kRoleNone for any other name.
ChannelRole channel_role_of(std::string_view name);

// Sets the decoder's role from its name.
void classify_channel_name(ChannelDecoder& decoder);

}  // namespace busfold
