// What a channel of a bus-logging group carries, known from its ASAM name.
#pragma once

#include <string_view>

#include "buslog/channel_names.h"

namespace busfold {

struct ChannelDecoder;

// The role of a channel name (exact, case-sensitive); kRoleNone for any other name.
ChannelRole channel_role_of(std::string_view name);

// Sets the decoder's role from its name; a master channel of time without a role of
// its own is the Timestamp.
void classify_channel_name(ChannelDecoder& decoder);

}  // namespace busfold
