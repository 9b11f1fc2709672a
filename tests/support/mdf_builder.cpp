#include "tests/support/mdf_builder.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include <zlib.h>

#include "base/bytes.h"
#include "mdf/block_codec.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"

namespace busfold::test {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t kTimeFlagsOffsetValid = 2;

MdfBuilder::MdfBuilder() {
  bytes_.assign(64, 0);
  patch_bytes(0, "MDF     4.11    QK      ");
  patch_u16(28, 411);
  const std::uint64_t links[6] = {};
  add_block("##HD", links, Bytes(32));
  patch_u8(kHdOffset + 84, kTimeFlagsOffsetValid);
}

void MdfBuilder::set_unfinalized(std::uint16_t flags, std::uint16_t custom_flags) {
  patch_bytes(0, flags != 0 || custom_flags != 0 ? "UnFinMF " : "MDF     ");
  patch_u16(60, flags);
  patch_u16(62, custom_flags);
}

std::uint64_t MdfBuilder::add_block(std::string_view id, std::span<const std::uint64_t> links,
                                    std::span<const std::uint8_t> data,
                                    std::optional<std::uint64_t> length) {
  std::uint64_t at = (bytes_.size() + 7) / 8 * 8;
  std::uint64_t size = 24 + 8 * links.size() + data.size();
  bytes_.resize(at + size, 0);
  std::uint8_t* block = bytes_.data() + at;
  std::memcpy(block, id.data(), std::min<std::size_t>(id.size(), 4));
  store_le64(block + 8, length.value_or(size));
  store_le64(block + 16, links.size());
  for (std::size_t i = 0; i < links.size(); ++i)
    store_le64(block + 24 + 8 * i, links[i]);
  if (!data.empty()) std::memcpy(block + 24 + 8 * links.size(), data.data(), data.size());
  return at;
}

std::uint64_t MdfBuilder::add_text(std::string_view text, std::string_view id) {
  std::string data(text);
  return add_block(id, {}, {reinterpret_cast<const std::uint8_t*>(data.c_str()), data.size() + 1});
}

std::uint64_t MdfBuilder::add_history_with_comment(std::uint64_t comment) {
  const std::uint64_t links[2] = {0, comment};
  std::uint64_t fh = add_block("##FH", links, Bytes(16));
  patch_u64(fh + 40, 1'700'000'000'000'000'000);
  patch_u8(fh + 52, kTimeFlagsOffsetValid);
  append_to_chain(kHdOffset, link::kHdFhFirst, fh);
  return fh;
}

std::uint64_t MdfBuilder::add_data_group(std::uint8_t rec_id_size) {
  const std::uint64_t links[4] = {};
  const std::uint8_t data[8] = {rec_id_size};
  std::uint64_t dg = add_block("##DG", links, data);
  append_to_chain(kHdOffset, link::kHdDgFirst, dg);
  return dg;
}

std::uint64_t MdfBuilder::add_channel_group(std::uint64_t dg, const ChannelGroupOptions& o) {
  std::uint64_t name = o.acq_name.empty() ? 0 : add_text(o.acq_name);
  const std::uint64_t links[6] = {0, 0, name, o.source, 0, 0};
  std::uint64_t cg = add_block("##CG", links, Bytes(32));
  patch_u64(cg + 72, o.record_id);
  patch_u16(cg + 88, o.flags);
  patch_u16(cg + 90, o.path_separator);
  patch_u32(cg + 96, o.data_bytes);
  append_to_chain(dg, link::kDgCgFirst, cg);
  return cg;
}

std::uint64_t MdfBuilder::add_chained_channel(std::uint64_t parent, std::size_t index,
                                              const ChannelOptions& o) {
  std::uint64_t name = o.name_block;
  if (name == 0 && !o.name.empty()) name = add_text(o.name);
  // Written in place rather than patched: tests add channels by the hundred thousand.
  std::uint8_t data[72] = {o.type, o.sync_type, o.data_type, o.bit_offset};
  store_le32(data + 4, o.byte_offset);
  store_le32(data + 8, o.bit_count);
  store_le32(data + 12, o.flags);
  const std::uint64_t links[8] = {0, 0, name, o.source, o.conversion, o.data, 0, 0};
  std::uint64_t cn = add_block("##CN", links, data);
  append_to_chain(parent, index, cn);
  return cn;
}

std::uint64_t MdfBuilder::add_conversion(std::uint8_t type, std::span<const double> values) {
  // Type, precision, flags, reference count, value count, then the physical range.
  Bytes data(24 + 8 * values.size());
  data[0] = type;
  store_le16(data.data() + 6, static_cast<std::uint16_t>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i)
    store_le_f64(data.data() + 24 + 8 * i, values[i]);
  const std::uint64_t links[4] = {};
  return add_block("##CC", links, data);
}

std::uint64_t MdfBuilder::add_linear_conversion(double offset, double factor) {
  const double values[2] = {offset, factor};
  return add_conversion(1, values);
}

std::uint64_t MdfBuilder::add_value_table(std::span<const std::pair<double, double>> pairs) {
  std::vector<double> values;
  for (const auto& [key, value] : pairs)
    values.insert(values.end(), {key, value});
  return add_conversion(5, values);
}

std::uint64_t MdfBuilder::add_source(std::string_view name, std::uint8_t si_type,
                                     std::uint8_t bus_type) {
  std::uint64_t text = name.empty() ? 0 : add_text(name);
  const std::uint64_t links[3] = {text, text, 0};
  const std::uint8_t data[8] = {si_type, bus_type};
  return add_block("##SI", links, data);
}

std::uint64_t MdfBuilder::add_data(std::uint64_t dg, std::span<const std::uint8_t> bytes,
                                   std::optional<std::uint64_t> declared_length) {
  std::uint64_t dt = add_block("##DT", {}, bytes, declared_length);
  set_link(dg, link::kDgData, dt);
  return dt;
}

std::uint64_t MdfBuilder::add_zipped(std::string_view id, std::span<const std::uint8_t> bytes,
                                     std::uint32_t columns) {
  Bytes in(bytes.begin(), bytes.end());
  if (columns != 0) {
    const std::size_t rows = in.size() / columns;
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t c = 0; c < columns; ++c)
        in[c * rows + r] = bytes[r * columns + c];
    }
  }
  uLongf zipped_size = compressBound(in.size());
  Bytes data(24 + zipped_size);
  compress2(data.data() + 24, &zipped_size, in.data(), in.size(), 6);
  data.resize(24 + zipped_size);
  data[0] = static_cast<std::uint8_t>(id[2]);
  data[1] = static_cast<std::uint8_t>(id[3]);
  data[2] = columns != 0 ? 1 : 0;
  store_le32(data.data() + 4, columns);
  store_le64(data.data() + 8, bytes.size());
  store_le64(data.data() + 16, zipped_size);
  return add_block("##DZ", {}, data);
}

std::uint64_t MdfBuilder::add_list(std::span<const std::uint64_t> blocks,
                                   std::span<const std::uint64_t> sizes, std::uint64_t equal_length,
                                   std::uint64_t first_offset) {
  std::vector<std::uint64_t> links{0};
  links.insert(links.end(), blocks.begin(), blocks.end());
  Bytes data(equal_length != 0 ? 16 : 8 + 8 * blocks.size());
  data[0] = equal_length != 0 ? 1 : 0;
  store_le32(data.data() + 4, static_cast<std::uint32_t>(blocks.size()));
  if (equal_length != 0) store_le64(data.data() + 8, equal_length);
  for (std::size_t i = 0; equal_length == 0 && i < blocks.size(); ++i) {
    store_le64(data.data() + 8 + 8 * i, first_offset);
    first_offset += sizes[i];
  }
  return add_block("##DL", links, data);
}

std::uint64_t MdfBuilder::add_stored(std::string_view id, std::span<const std::uint8_t> bytes,
                                     Storage storage, std::uint32_t columns,
                                     std::size_t piece_bytes) {
  if (storage == Storage::plain) return add_block(id, {}, bytes);
  if (storage == Storage::zipped || storage == Storage::transposed)
    return add_zipped(id, bytes, storage == Storage::transposed ? columns : 0);
  // Pieces that need not end with a record; unequal ones alternate kept and zipped.
  const bool equal = storage != Storage::unequal_list;
  std::vector<std::uint64_t> blocks, sizes;
  for (std::size_t at = 0, i = 0; at < bytes.size(); ++i) {
    const std::size_t n =
        std::min<std::size_t>(bytes.size() - at, equal ? piece_bytes : 300 + 500 * (i % 3));
    const auto piece = bytes.subspan(at, n);
    const bool zip = storage == Storage::header_list || (!equal && i % 2 == 1);
    blocks.push_back(zip ? add_zipped(id, piece, i % 2 == 0 ? 0 : columns)
                         : add_block(id, {}, piece));
    sizes.push_back(n);
    at += n;
  }
  // Two lists chained: the second starts where the first ends.
  const std::size_t half = blocks.size() / 2;
  const std::uint64_t first_size = std::accumulate(sizes.begin(), sizes.begin() + half, 0ull);
  const std::uint64_t second =
      add_list(std::span(blocks).subspan(half), std::span(sizes).subspan(half),
               equal ? piece_bytes : 0, first_size);
  const std::uint64_t first = add_list(std::span(blocks).first(half), std::span(sizes).first(half),
                                       equal ? piece_bytes : 0);
  set_link(first, 0, second);
  if (storage != Storage::header_list) return first;
  const std::uint64_t links[1] = {first};
  return add_block("##HL", links, Bytes(8));
}

void MdfBuilder::patch_bytes(std::uint64_t at, std::string_view bytes) {
  if (at + bytes.size() > bytes_.size()) bytes_.resize(at + bytes.size());
  std::memcpy(bytes_.data() + at, bytes.data(), bytes.size());
}

void MdfBuilder::patch_le(std::uint64_t at, std::uint64_t value, int width) {
  std::uint8_t raw[8];
  store_le64(raw, value);
  patch_bytes(at, {reinterpret_cast<const char*>(raw), static_cast<std::size_t>(width)});
}

void MdfBuilder::append_to_chain(std::uint64_t parent, std::size_t index, std::uint64_t child) {
  auto [tail, first] = chain_tails_.try_emplace({parent, index}, child);
  set_link(first ? parent : tail->second, first ? index : 0, child);
  tail->second = child;
}

OpenedMdf open_mdf(std::span<const std::uint8_t> bytes, const ChannelClassifier* classifier,
                   const MdfOpenOptions& options) {
  OpenedMdf opened;
  opened.stream = memory_stream_from(bytes);
  Result<std::unique_ptr<MdfFile>> result =
      mdf_open(*opened.stream, classifier, &opened.warnings, options);
  opened.status = result.status();
  if (result.ok()) opened.file = std::move(*result);
  return opened;
}

CgBlock& group_at(const MdfFile& file, std::size_t dg, std::size_t cg) {
  return *block_cast<CgBlock>(
      block_cast<DgBlock>(file.hd()->data_groups.at(dg))->channel_groups.at(cg));
}

std::unique_ptr<MemoryStream> save_output(std::uint64_t capacity) {
  auto out = memory_stream_new();
  if (out && !out->reserve(capacity)) return nullptr;
  return out;
}

std::optional<std::vector<std::uint8_t>> save_to_bytes(MdfBlock& root) {
  // Room for every block after the placed ones, with alignment.
  std::vector<MdfBlock*> blocks = collect_blocks(&root);
  std::uint64_t capacity = end_of_placed_blocks(blocks);
  for (const MdfBlock* block : blocks)
    capacity += block->length + 8;
  auto out = save_output(capacity);
  if (!out || !save_tree(root, *out).ok()) return std::nullopt;
  auto bytes = out->bytes();
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace busfold::test
