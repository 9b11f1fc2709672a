// The channel names of bus-logging files, each once: the texts the output template
// creates (in this order, which is the order they are placed in the file) and the role a
// channel of that name plays when a logger's file is read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace busfold {

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

// X(enumerator, text, role). "s" is the unit of the time conversion, not a channel.
#define BUSFOLD_CHANNEL_NAMES(X)                                                                   \
  X(kNameTimestamp, "Timestamp", kRoleTimestamp)                                                   \
  X(kNameUnitS, "s", kRoleNone)                                                                    \
  X(kNameCanDataFrame, "CAN_DataFrame", kRoleNone)                                                 \
  X(kNameCanDataFrameBusChannel, "CAN_DataFrame.BusChannel", kRoleBusChannel)                      \
  X(kNameCanDataFrameId, "CAN_DataFrame.ID", kRoleId)                                              \
  X(kNameCanDataFrameIde, "CAN_DataFrame.IDE", kRoleIde)                                           \
  X(kNameCanDataFrameDir, "CAN_DataFrame.Dir", kRoleDir)                                           \
  X(kNameCanDataFrameBrs, "CAN_DataFrame.BRS", kRoleBrs)                                           \
  X(kNameCanDataFrameDlc, "CAN_DataFrame.DLC", kRoleDlc)                                           \
  X(kNameCanDataFrameDataLength, "CAN_DataFrame.DataLength", kRoleDataLength)                      \
  X(kNameCanDataFrameDataBytes, "CAN_DataFrame.DataBytes", kRoleDataBytes)                         \
  X(kNameCanDataFrameEdl, "CAN_DataFrame.EDL", kRoleEdl)                                           \
  X(kNameCanDataFrameEsi, "CAN_DataFrame.ESI", kRoleEsi)                                           \
  X(kNameCanErrorFrame, "CAN_ErrorFrame", kRoleNone)                                               \
  X(kNameCanErrorFrameBusChannel, "CAN_ErrorFrame.BusChannel", kRoleBusChannel)                    \
  X(kNameCanErrorFrameErrorType, "CAN_ErrorFrame.ErrorType", kRoleErrorType)                       \
  X(kNameCanRemoteFrame, "CAN_RemoteFrame", kRoleNone)                                             \
  X(kNameCanRemoteFrameBusChannel, "CAN_RemoteFrame.BusChannel", kRoleBusChannel)                  \
  X(kNameCanRemoteFrameDataLength, "CAN_RemoteFrame.DataLength", kRoleDataLength)                  \
  X(kNameCanRemoteFrameDir, "CAN_RemoteFrame.Dir", kRoleDir)                                       \
  X(kNameCanRemoteFrameDlc, "CAN_RemoteFrame.DLC", kRoleDlc)                                       \
  X(kNameCanRemoteFrameId, "CAN_RemoteFrame.ID", kRoleId)                                          \
  X(kNameCanRemoteFrameIde, "CAN_RemoteFrame.IDE", kRoleIde)                                       \
  X(kNameLinChecksumError, "LIN_ChecksumError", kRoleNone)                                         \
  X(kNameLinChecksumErrorBusChannel, "LIN_ChecksumError.BusChannel", kRoleNone)                    \
  X(kNameLinChecksumErrorChecksum, "LIN_ChecksumError.Checksum", kRoleNone)                        \
  X(kNameLinChecksumErrorChecksumModel, "LIN_ChecksumError.ChecksumModel", kRoleNone)              \
  X(kNameLinChecksumErrorDataBytes, "LIN_ChecksumError.DataBytes", kRoleNone)                      \
  X(kNameLinChecksumErrorDataLength, "LIN_ChecksumError.DataLength", kRoleNone)                    \
  X(kNameLinChecksumErrorDir, "LIN_ChecksumError.Dir", kRoleNone)                                  \
  X(kNameLinChecksumErrorId, "LIN_ChecksumError.ID", kRoleNone)                                    \
  X(kNameLinChecksumErrorReceivedDataByteCount, "LIN_ChecksumError.ReceivedDataByteCount",         \
    kRoleNone)                                                                                     \
  X(kNameLinFrame, "LIN_Frame", kRoleNone)                                                         \
  X(kNameLinFrameBusChannel, "LIN_Frame.BusChannel", kRoleLinBusChannel)                           \
  X(kNameLinFrameDataBytes, "LIN_Frame.DataBytes", kRoleLinDataBytes)                              \
  X(kNameLinFrameDataLength, "LIN_Frame.DataLength", kRoleLinDataLength)                           \
  X(kNameLinFrameDir, "LIN_Frame.Dir", kRoleLinDir)                                                \
  X(kNameLinFrameId, "LIN_Frame.ID", kRoleLinId)                                                   \
  X(kNameLinFrameReceivedDataByteCount, "LIN_Frame.ReceivedDataByteCount",                         \
    kRoleLinReceivedDataByteCount)                                                                 \
  X(kNameLinReceiveError, "LIN_ReceiveError", kRoleNone)                                           \
  X(kNameLinReceiveErrorBusChannel, "LIN_ReceiveError.BusChannel", kRoleNone)                      \
  X(kNameLinReceiveErrorId, "LIN_ReceiveError.ID", kRoleNone)                                      \
  X(kNameLinSyncErrorBusChannel, "LIN_SyncError.BusChannel", kRoleNone)                            \
  X(kNameLinTransmissionError, "LIN_TransmissionError", kRoleNone)                                 \
  X(kNameLinTransmissionErrorBusChannel, "LIN_TransmissionError.BusChannel", kRoleNone)            \
  X(kNameLinTransmissionErrorId, "LIN_TransmissionError.ID", kRoleNone)

enum TemplateName : std::size_t {
#define BUSFOLD_NAME_ENUMERATOR(name, text, role) name,
  BUSFOLD_CHANNEL_NAMES(BUSFOLD_NAME_ENUMERATOR)
#undef BUSFOLD_NAME_ENUMERATOR
      kTemplateNameCount,
};

struct ChannelName {
  std::string_view text;
  ChannelRole role;
};

inline constexpr std::array<ChannelName, kTemplateNameCount> kChannelNames = {{
#define BUSFOLD_NAME_ENTRY(name, text, role) {text, role},
    BUSFOLD_CHANNEL_NAMES(BUSFOLD_NAME_ENTRY)
#undef BUSFOLD_NAME_ENTRY
}};

// The text before the first "." of a name: the structure channel's name, which is what
// the groups of a logger's file are recognised by.
constexpr std::string_view group_prefix(TemplateName name) {
  std::string_view text = kChannelNames[name].text;
  return text.substr(0, text.find('.'));
}

}  // namespace busfold
