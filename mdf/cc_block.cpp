#include "mdf/cc_block.h"

#include <limits>

#include "base/log.h"
#include "mdf/block_codec.h"
#include "mdf/field_cursor.h"

namespace busfold {

namespace {
// Bytes of the fixed fields before the values.
constexpr std::uint64_t kFixedFields = 24;
}  // namespace

CcBlock::CcBlock() : MdfBlock(kKind) {}

bool CcBlock::load(LoadContext& ctx, const BlockHeader& header) {
  if (header.link_count != 4) return false;
  std::uint64_t links[4];
  if (!read_links(ctx.stream, links)) return false;
  if (!load_link(ctx, links[0], name) || !load_link(ctx, links[1], unit) ||
      !load_link(ctx, links[2], comment) || !load_link(ctx, links[3], inverse)) {
    return false;
  }

  FieldCursor fields(ctx.stream, data_base());
  std::uint16_t count = 0;
  if (!(fields.read_u8(cc_type) && fields.read_u8(cc_precision) && fields.read_u16(cc_flags) &&
        fields.read_u16(cc_ref_count) && fields.read_u16(count) &&
        fields.read_f64(cc_phy_range_min) && fields.read_f64(cc_phy_range_max))) {
    return false;
  }
  // The values must lie inside the block, which the codec has checked against the file.
  std::uint64_t data_size = length - (data_base() - offset);
  if (kFixedFields + 8 * std::uint64_t{count} > data_size) {
    BUSFOLD_LOG(kLogError, "Conversion at offset %llu holds %u values but is only %llu bytes long",
                static_cast<unsigned long long>(offset), static_cast<unsigned>(count),
                static_cast<unsigned long long>(length));
    return false;
  }
  values.resize(count);
  for (double& value : values) {
    if (!fields.read_f64(value)) return false;
  }
  return true;
}

bool CcBlock::save(SaveContext& ctx, const MdfBlock*) {
  reserve_block(ctx, *this);
  bool ok = true;
  for (const BlockRef* linked : {&name, &unit, &comment, &inverse}) {
    ok = save_block(linked->get(), ctx, nullptr) && ok;
  }
  const std::uint64_t links[] = {link_to(name), link_to(unit), link_to(comment), link_to(inverse)};
  if (!write_block_start(ctx, *this, links)) return false;
  FieldCursor fields(*ctx.stream, data_base());
  ok = fields.write_u8(cc_type) && fields.write_u8(cc_precision) && fields.write_u16(cc_flags) &&
       fields.write_u16(cc_ref_count) && fields.write_u16(cc_val_count()) &&
       fields.write_f64(cc_phy_range_min) && fields.write_f64(cc_phy_range_max) && ok;
  for (double value : values)
    ok = fields.write_f64(value) && ok;
  return ok;
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
