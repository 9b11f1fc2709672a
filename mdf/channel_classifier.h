// The seam through which a caller gives channels and channel groups a meaning while a
// file loads. This folder reads records without knowing what they carry: roles and group
// kinds are plain integers, and a record handler fills an output area it cannot see.
#pragma once

#include <cstdint>
#include <span>

namespace busfold {

struct ChannelDecoder;
struct Record;

// Decodes one record into the caller's output area; returns a caller-defined code.
using RecordHandler = std::uint32_t (*)(const Record& record, void* output_area);

// What a handler returns for a record it did not decode.
inline constexpr std::uint32_t kRecordNotDecoded = 9;

// Handler of the groups nobody recognised: leaves the output area alone.
inline std::uint32_t record_handler_none(const Record&, void*) { return kRecordNotDecoded; }

struct GroupClassification {
  bool recognised = false;
  RecordHandler handler = nullptr;
  std::uint32_t group_kind = 0;
};

// A constant table of operations; any slot may be empty.
struct ChannelClassifier {
  // Sets a leaf channel's role from its name (called for each decoder as it is built).
  void (*classify_name)(ChannelDecoder& decoder);
  // Recognises a channel group whose acquisition source is a bus, from its decoders.
  GroupClassification (*classify_group)(std::span<const ChannelDecoder> decoders);
  // Handler of the groups that are not recognised.
  RecordHandler default_handler;
};

}  // namespace busfold
