#include "buslog/channel_role.h"

#include "mdf/channel_decoder.h"

namespace busfold {

namespace {

struct NamedRole {
  std::string_view name;
  ChannelRole role;
};

constexpr NamedRole kRoles[] = {
    {"CAN_DataFrame.BRS", kRoleBrs},
    {"CAN_DataFrame.BusChannel", kRoleBusChannel},
    {"CAN_RemoteFrame.BusChannel", kRoleBusChannel},
    {"CAN_ErrorFrame.BusChannel", kRoleBusChannel},
    {"CAN_DataFrame.DataBytes", kRoleDataBytes},
    {"CAN_DataFrame.DataLength", kRoleDataLength},
    {"CAN_RemoteFrame.DataLength", kRoleDataLength},
    {"CAN_DataFrame.Dir", kRoleDir},
    {"CAN_RemoteFrame.Dir", kRoleDir},
    {"CAN_DataFrame.DLC", kRoleDlc},
    {"CAN_RemoteFrame.DLC", kRoleDlc},
    {"CAN_DataFrame.EDL", kRoleEdl},
    {"CAN_ErrorFrame.ErrorType", kRoleErrorType},
    {"CAN_DataFrame.ESI", kRoleEsi},
    {"CAN_DataFrame.ID", kRoleId},
    {"CAN_RemoteFrame.ID", kRoleId},
    {"CAN_DataFrame.IDE", kRoleIde},
    {"CAN_RemoteFrame.IDE", kRoleIde},
    {"LIN_Frame.BusChannel", kRoleLinBusChannel},
    {"LIN_Frame.DataBytes", kRoleLinDataBytes},
    {"LIN_Frame.DataLength", kRoleLinDataLength},
    {"LIN_Frame.Dir", kRoleLinDir},
    {"LIN_Frame.ID", kRoleLinId},
    {"LIN_Frame.ReceivedDataByteCount", kRoleLinReceivedDataByteCount},
    {"Timestamp", kRoleTimestamp},
};

}  // namespace

ChannelRole channel_role_of(std::string_view name) {
  for (const NamedRole& entry : kRoles) {
    if (entry.name == name) return entry.role;
  }
  return kRoleNone;
}

void classify_channel_name(ChannelDecoder& decoder) {
  decoder.role = channel_role_of(decoder.name);
}

}  // namespace busfold
