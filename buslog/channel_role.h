// What a channel of a bus-logging group carries, known from its ASAM name.
#pragma once

#include <string_view>

#include "buslog/channel_names.h"

namespace busfold {

struct ChannelDecoder;

// The role of a channel name (exact, case-sensitive); kRoleNone for any other name.
ChannelRole channel_role_of(std::string_view name);

// Sets the decoder's role from its name.
void classify_channel_name(ChannelDecoder& decoder);

}  // namespace busfold
