#include "mdf/record_layout.h"

#include <utility>

#include "mdf/cg_block.h"
#include "mdf/si_block.h"

namespace busfold {

bool RecordLayouts::insert(const RecordLayout& layout) {
  if (find(layout.record_id) != nullptr) return false;
  auto slot = static_cast<std::uint32_t>(layouts_.size());
  layouts_.push_back(layout);
  if (layout.record_id < kDirectIds) {
    if (direct_.size() <= layout.record_id) direct_.resize(layout.record_id + 1, 0);
    direct_[layout.record_id] = slot + 1;
  } else {
    by_id_.emplace(layout.record_id, slot);
  }
  return true;
}

const RecordLayout* RecordLayouts::find_slow(std::uint64_t record_id) const {
  if (record_id < kDirectIds) return nullptr;
  auto at = by_id_.find(record_id);
  return at == by_id_.end() ? nullptr : &layouts_[at->second];
}

void RecordLayouts::clear() {
  layouts_.clear();
  direct_.clear();
  by_id_.clear();
}

RecordLayout make_record_layout(const CgBlock& group, const ChannelClassifier* classifier) {
  RecordLayout layout;
  layout.record_id = group.cg_record_id;
  layout.group = &group;
  if (classifier != nullptr) layout.handler = classifier->default_handler();
  if (group.vlsd_group) {
    layout.record_size = kVlsdRecordSize;
    layout.vlsd = true;
    return layout;
  }
  layout.record_size = group.cg_data_bytes;
  layout.decoders = group.decoders;
  while (layout.first_signal_decoder < layout.decoders.size() &&
         !layout.decoders[layout.first_signal_decoder].has_signal_data) {
    ++layout.first_signal_decoder;
  }
  const auto* source = block_cast<SiBlock>(group.acq_source.get());
  if (classifier != nullptr && source != nullptr && source->source_kind == kSourceBus) {
    GroupClassification found = classifier->classify_group(layout.decoders);
    if (found.recognised && found.handler != nullptr) {
      layout.handler = found.handler;
      layout.group_kind = found.group_kind;
      layout.plan = std::move(found.plan);
    }
  }
  return layout;
}

}  // namespace busfold
