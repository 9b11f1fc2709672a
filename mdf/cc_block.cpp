#include "mdf/cc_block.h"

#include <limits>

#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

template <class Cursor> bool CcBlock::fields(Cursor& cursor, std::uint16_t& count) {
  return cursor.field(cc_type) && cursor.field(cc_precision) && cursor.field(cc_flags) &&
         cursor.field(cc_ref_count) && cursor.field(count) && cursor.field(cc_phy_range_min) &&
         cursor.field(cc_phy_range_max);
}

template <class Cursor> bool CcBlock::value_fields(Cursor& cursor) {
  for (double& value : values) {
    if (!cursor.field(value)) return false;
  }
  return true;
}

Status CcBlock::load(LoadContext& ctx, const BlockHeader& header) {
  KindLinks<kKind> links;
  BUSFOLD_TRY(read_kind_links(ctx, header, links));
  BUSFOLD_TRY(load_links(ctx, links, 0, {&name, &unit, &comment, &inverse}));

  FieldReader in(ctx.stream, data_base());
  std::uint16_t count = 0;
  BUSFOLD_TRY(fields_read(fields(in, count)));
  // The values must lie inside the block, which the codec has checked against the file.
  std::uint64_t data_size = length - (data_base() - offset);
  if (fixed_field_bytes(kKind) + 8 * std::uint64_t{count} > data_size) {
    return make_error(ErrorCode::kInvalidInput,
                      "Conversion at offset %llu holds %u values but is only %llu bytes long",
                      static_cast<unsigned long long>(offset), static_cast<unsigned>(count),
                      static_cast<unsigned long long>(length));
  }
  values.resize(count);
  return fields_read(value_fields(in));
}

Status CcBlock::save(SaveContext& ctx, const MdfBlock*) {
  reserve_block(ctx, *this);
  Status result;
  save_linked(ctx, result, {&name, &unit, &comment, &inverse});
  const std::uint64_t links[] = {link_to(name), link_to(unit), link_to(comment), link_to(inverse)};
  std::uint16_t count = cc_val_count();
  return write_block(ctx, *this, links, std::move(result),
                     [&](FieldWriter& out) { return fields(out, count) && value_fields(out); });
}

void CcBlock::set_linear(double offset_value, double factor) {
  cc_type = kCcLinear;
  values = {offset_value, factor};
  length = block_descriptor(kKind).length + 8 * values.size();
}

bool CcBlock::set_value_table(std::span<const std::pair<double, double>> pairs) {
  if (pairs.size() > std::numeric_limits<std::uint16_t>::max() / 2) return false;
  cc_type = kCcValueTable;
  values.clear();
  values.reserve(2 * pairs.size());
  for (const auto& [key, value] : pairs) {
    values.push_back(key);
    values.push_back(value);
  }
  length = block_descriptor(kKind).length + 8 * values.size();
  return true;
}

std::optional<double> CcBlock::value(std::size_t i) const {
  if (i >= values.size()) return std::nullopt;
  return values[i];
}

void CcBlock::list_children(std::vector<MdfBlock*>& out) const {
  for (const BlockRef* linked : {&name, &unit, &comment, &inverse})
    out.push_back(linked->get());
}

}  // namespace busfold
