// Recognising the channel groups of a bus-logging file: which frame kind a group holds
// and which handler decodes its records. This is what mdf_open is given to make sense of
// a logger's file.
#pragma once

#include <cstdint>
#include <span>

#include "buslog/bus_frame.h"
#include "mdf/channel_classifier.h"

namespace busfold {

// From the text before the first "." of the leaf channels' names: a group whose names
// carry exactly one known prefix is recognised; any other gets decode_nothing and kFrameNone.
GroupClassification classify_channel_group(std::span<const ChannelDecoder> decoders);

// Channel roles, group handlers and decode_nothing for the rest: pass it to mdf_open.
const ChannelClassifier& bus_channel_classifier();

}  // namespace busfold
