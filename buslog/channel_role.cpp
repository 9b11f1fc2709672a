#include "buslog/channel_role.h"

#include "mdf/channel_decoder.h"

namespace busfold {

ChannelRole channel_role_of(std::string_view name) {
  for (const ChannelName& entry : kChannelNames) {
    if (entry.role != kRoleNone && entry.text == name) return entry.role;
  }
  return kRoleNone;
}

void classify_channel_name(ChannelDecoder& decoder) {
  decoder.role = channel_role_of(decoder.name);
  // Writers name the master channel as they like ("Timestamp", "time", "t"); its type
  // says what it is.
  if (decoder.role == kRoleNone && decoder.time_master) decoder.role = kRoleTimestamp;
}

}  // namespace busfold
