// Record layouts of a data group: for each record id, the size of its records, the
// decoders of their channels and the handler that decodes them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "mdf/channel_classifier.h"
#include "mdf/channel_decoder.h"

namespace busfold {

class CgBlock;

// Record size of a VLSD channel group: its records are a u32 length and that many bytes.
inline constexpr std::uint32_t kVlsdRecordSize = 0xFFFFFFFF;

struct RecordLayout {
  std::uint64_t record_id = 0;
  std::uint32_t record_size = 0;  // cg_data_bytes; kVlsdRecordSize for a VLSD group
  bool vlsd = false;
  // The channel group's decoders (held by the group); empty for a VLSD group.
  std::span<const ChannelDecoder> decoders;
  // The first of the decoders whose value lies in signal data (decoders.size(): none).
  std::size_t first_signal_decoder = 0;
  RecordHandler handler = record_handler_none;
  std::uint32_t group_kind = 0;
  std::shared_ptr<const GroupPlan> plan;  // the handler's, shared by copies of the layout
  const CgBlock* group = nullptr;
};

// Record id → layout; the first layout given for an id stays.
class RecordLayouts {
public:
  // False, with nothing changed, when the id already has a layout.
  bool insert(const RecordLayout& layout);
  const RecordLayout* find(std::uint64_t record_id) const {
    if (record_id < direct_.size()) {
      std::uint32_t slot = direct_[record_id];
      return slot == 0 ? nullptr : &layouts_[slot - 1];
    }
    return find_slow(record_id);
  }

  std::size_t size() const { return layouts_.size(); }
  bool empty() const { return layouts_.empty(); }
  void clear();
  std::span<const RecordLayout> all() const { return layouts_; }

private:
  const RecordLayout* find_slow(std::uint64_t record_id) const;

  // Loggers number their groups from 1 up: small ids are found by index.
  static constexpr std::uint64_t kDirectIds = 1024;

  std::vector<RecordLayout> layouts_;  // in insertion order
  std::vector<std::uint32_t> direct_;  // id → index + 1 (0: none), for ids below kDirectIds
  // The other ids → index. Hashed: a sorted vector took a move of all larger ids for each
  // insertion, quadratic in a file of many groups with descending ids.
  std::unordered_map<std::uint64_t, std::uint32_t> by_id_;
};

// The layout of one channel group: its own for a VLSD group, else its decoders with the
// classifier's handler and kind when the classifier recognises a group of a bus source.
RecordLayout make_record_layout(const CgBlock& group, const ChannelClassifier* classifier);

}  // namespace busfold
