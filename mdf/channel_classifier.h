// The seam through which a caller gives channels and channel groups a meaning while a
// file loads. This folder reads records without knowing what they carry: roles and group
// kinds are plain integers, and a record handler fills an output it cannot see.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace busfold {

struct ChannelDecoder;
struct Record;

// What a record handler fills: the caller's own type derives from it, so that this folder
// hands it on without knowing it.
struct RecordOutput {};

// Decodes one record into the caller's output; returns a caller-defined code. One call
// per record, through the handler its group was given when the file loaded.
using RecordHandler = std::uint32_t (*)(const Record& record, RecordOutput& output);

// What a handler returns for a record it did not decode.
inline constexpr std::uint32_t kRecordNotDecoded = 9;

// Handler of the groups nobody recognised: leaves the output alone.
inline std::uint32_t record_handler_none(const Record&, RecordOutput&) { return kRecordNotDecoded; }

// What a classifier works out once for a group so that its handler need not work it out
// per record (where each field lies and how it converts); the caller's own type derives
// from it, and the handler finds it in each record of the group.
struct GroupPlan {
  virtual ~GroupPlan() = default;
};

struct GroupClassification {
  bool recognised = false;
  RecordHandler handler = nullptr;
  std::uint32_t group_kind = 0;
  std::shared_ptr<const GroupPlan> plan = nullptr;  // null: the handler needs none
};

// Gives channels and groups a meaning while a file loads (not per record). Each method
// left alone does nothing: no roles, no group recognised, groups not decoded.
class ChannelClassifier {
public:
  virtual ~ChannelClassifier() = default;

  // Sets a leaf channel's role from its name (called for each decoder as it is built).
  virtual void classify_name(ChannelDecoder&) const {}
  // Recognises a channel group whose acquisition source is a bus, from its decoders.
  virtual GroupClassification classify_group(std::span<const ChannelDecoder>) const { return {}; }
  // Handler of the groups that are not recognised.
  virtual RecordHandler default_handler() const { return record_handler_none; }
};

}  // namespace busfold
