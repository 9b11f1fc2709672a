#include "mdf/dg_block.h"

#include "mdf/block_codec.h"
#include "mdf/cg_block.h"
#include "mdf/field_cursor.h"

namespace busfold {

namespace {
// Channels a record may carry per byte of it (record id included), and a few more for
// virtual channels: a record's bits hold at most eight channels a byte.
constexpr std::uint64_t kChannelsPerRecordByte = 64;
}  // namespace

template <class Cursor> bool DgBlock::fields(Cursor& cursor) {
  return cursor.field(dg_rec_id_size) && cursor.reserved(7);
}

Status DgBlock::load(LoadContext& ctx, const BlockHeader& header) {
  KindLinks<kKind> links;
  BUSFOLD_TRY(read_kind_links(ctx, header, links));
  next_link_ = links[0];
  BUSFOLD_TRY(load_chain(ctx, links[1], channel_groups));
  BUSFOLD_TRY(load_links(ctx, links, 2, {&data, &comment}));
  // Each data group has records of its own: groups sharing one data block would read it
  // again and again.
  if (data != nullptr && !ctx.group_data.emplace(data->offset, offset).second) {
    return make_error(ErrorCode::kLimit,
                      "Data block at offset %llu belongs to more than one data group",
                      static_cast<unsigned long long>(data->offset));
  }
  FieldReader in(ctx.stream, data_base());
  BUSFOLD_TRY(fields_read(fields(in)));
  return build_layouts(ctx);
}

Status DgBlock::build_layouts(LoadContext& ctx) {
  layouts.clear();
  if (dg_rec_id_size != 0 && dg_rec_id_size != 1 && dg_rec_id_size != 2 && dg_rec_id_size != 4 &&
      dg_rec_id_size != 8) {
    return make_error(
        ErrorCode::kUnsupported, "Unsupported record id size %u in the data group at offset %llu",
        static_cast<unsigned>(dg_rec_id_size), static_cast<unsigned long long>(offset));
  }
  // Without record ids nothing tells the records of several groups apart: reading them
  // with any one layout would turn the data into garbage.
  if (dg_rec_id_size == 0 && channel_groups.size() > 1) {
    return make_error(ErrorCode::kInvalidInput,
                      "Data group at offset %llu holds %zu channel groups without record ids",
                      static_cast<unsigned long long>(offset), channel_groups.size());
  }
  for (const BlockRef& ref : channel_groups) {
    const auto* group = block_cast<CgBlock>(ref.get());
    if (group == nullptr) continue;
    // The signal data of a group is read as often as its records refer to it; only the
    // walk of one data group keeps count.
    for (const ChannelDecoder& decoder : group->decoders) {
      if (decoder.signal_source != SignalSource::kSdBlock) continue;
      std::uint64_t sd = decoder.signal_data->offset;
      auto [owner, fresh] = ctx.group_data.emplace(sd, offset);
      if (!fresh && owner->second != offset) {
        return make_error(ErrorCode::kLimit,
                          "Signal data block at offset %llu belongs to more than one data group",
                          static_cast<unsigned long long>(sd));
      }
    }
    RecordLayout layout = make_record_layout(*group, ctx.classifier);
    // Every record is decoded channel by channel: thousands of channels on records of a
    // few bytes would make the time a small file takes grow with the square of its size.
    const std::uint64_t record_bytes = std::uint64_t{dg_rec_id_size} + layout.record_size;
    if (!layout.vlsd && layout.decoders.size() > kChannelsPerRecordByte * (record_bytes + 1)) {
      return make_error(ErrorCode::kLimit,
                        "Channel group at offset %llu has %zu channels for records of %llu bytes",
                        static_cast<unsigned long long>(group->offset), layout.decoders.size(),
                        static_cast<unsigned long long>(record_bytes));
    }
    if (dg_rec_id_size == 0) layout.record_id = 0;
    if (!layouts.insert(layout)) {
      ctx.warn("Record id %llu is used by more than one channel group; the first one is kept",
               static_cast<unsigned long long>(layout.record_id));
    }
  }
  return Status::success();
}

const RecordLayout* DgBlock::layout_of(const CgBlock& group) const {
  return layouts.find(dg_rec_id_size == 0 ? 0 : group.cg_record_id);
}

std::uint32_t DgBlock::group_kind_of(const CgBlock& group) const {
  const RecordLayout* layout = layout_of(group);
  return layout == nullptr ? 0 : layout->group_kind;
}

Status DgBlock::save(SaveContext& ctx, const MdfBlock* next) {
  reserve_block(ctx, *this);
  Status result = save_chain(ctx, channel_groups);
  save_linked(ctx, result, {&data, &comment});
  const std::uint64_t links[] = {link_to(next), link_to(chain_first(channel_groups)), link_to(data),
                                 link_to(comment)};
  return write_block(ctx, *this, links, std::move(result),
                     [this](FieldWriter& out) { return fields(out); });
}

void DgBlock::list_children(std::vector<MdfBlock*>& out) const {
  out.push_back(comment.get());
  out.push_back(data.get());
  for (const BlockRef& group : channel_groups)
    out.push_back(group.get());
}

}  // namespace busfold
