#include "tests/support/mdf_builder.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "mdf/block_codec.h"

namespace busfold::test {

namespace {

// Little-endian field writer for data sections.
class Fields {
public:
  Fields() { bytes_.reserve(128); }
  Fields& u8(std::uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  Fields& u16(std::uint16_t v) { return put(v, 2); }
  Fields& u32(std::uint32_t v) { return put(v, 4); }
  Fields& u64(std::uint64_t v) { return put(v, 8); }
  Fields& f64(double v) {
    std::uint8_t raw[8];
    store_le_f64(raw, v);
    bytes_.insert(bytes_.end(), raw, raw + 8);
    return *this;
  }
  Fields& zeros(std::size_t n) {
    bytes_.insert(bytes_.end(), n, 0);
    return *this;
  }
  Fields& text(std::string_view s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
  Fields& put(std::uint64_t v, int width) {
    std::uint8_t raw[8];
    store_le64(raw, v);
    bytes_.insert(bytes_.end(), raw, raw + width);
    return *this;
  }
  std::vector<std::uint8_t> bytes_;
};

}  // namespace

MdfBuilder::MdfBuilder() {
  Fields id;
  id.text("MDF     ").text("4.11    ").text("QK      ").zeros(4).u16(411).zeros(30).u16(0).u16(0);
  bytes_ = id.bytes();
  Fields hd;
  hd.u64(0).u16(0).u16(0).u8(2).u8(0).u8(0).u8(0).zeros(16);
  const std::uint64_t links[6] = {};
  add_block("##HD", links, hd.bytes());
}

void MdfBuilder::set_unfinalized(std::uint16_t flags, std::uint16_t custom_flags) {
  std::string_view id = flags != 0 || custom_flags != 0 ? "UnFinMF " : "MDF     ";
  patch_bytes(0, {reinterpret_cast<const std::uint8_t*>(id.data()), id.size()});
  patch_u16(60, flags);
  patch_u16(62, custom_flags);
}

void MdfBuilder::set_start_time(std::uint64_t ns) { patch_u64(kHdOffset + 72, ns); }

std::uint64_t MdfBuilder::add_block(std::string_view id, std::span<const std::uint64_t> links,
                                    std::span<const std::uint8_t> data,
                                    std::optional<std::uint64_t> length) {
  std::uint64_t at = (bytes_.size() + 7) / 8 * 8;
  std::uint64_t size = 24 + 8 * links.size() + data.size();
  // One resize per block: tests build files of hundreds of thousands of blocks.
  if (bytes_.capacity() < at + size) bytes_.reserve(2 * (at + size));
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

std::uint64_t MdfBuilder::add_text(std::string_view text) {
  Fields data;
  data.text(text).u8(0);
  return add_block("##TX", {}, data.bytes());
}

std::uint64_t MdfBuilder::add_xml(std::string_view text) {
  Fields data;
  data.text(text).u8(0);
  return add_block("##MD", {}, data.bytes());
}

std::uint64_t MdfBuilder::add_history(std::string_view comment_xml) {
  return add_history_with_comment(add_xml(comment_xml));
}

std::uint64_t MdfBuilder::add_history_with_comment(std::uint64_t comment) {
  Fields data;
  data.u64(1'700'000'000'000'000'000).u16(0).u16(0).u8(2).zeros(3);
  const std::uint64_t links[2] = {0, comment};
  std::uint64_t fh = add_block("##FH", links, data.bytes());
  append_to_chain(kHdOffset, link::kHdFhFirst, fh);
  return fh;
}

std::uint64_t MdfBuilder::add_data_group(std::uint8_t rec_id_size) {
  Fields data;
  data.u8(rec_id_size).zeros(7);
  const std::uint64_t links[4] = {};
  std::uint64_t dg = add_block("##DG", links, data.bytes());
  append_to_chain(kHdOffset, link::kHdDgFirst, dg);
  return dg;
}

std::uint64_t MdfBuilder::add_channel_group(std::uint64_t dg, const ChannelGroupOptions& o) {
  std::uint64_t name = o.acq_name.empty() ? 0 : add_text(o.acq_name);
  Fields data;
  data.u64(o.record_id).u64(o.cycle_count).u16(o.flags).u16(o.path_separator).zeros(4);
  data.u32(o.data_bytes).u32(o.inval_bytes);
  const std::uint64_t links[6] = {0, 0, name, o.source, 0, o.comment};
  std::uint64_t cg = add_block("##CG", links, data.bytes());
  append_to_chain(dg, link::kDgCgFirst, cg);
  return cg;
}

std::uint64_t MdfBuilder::add_channel_block(const ChannelOptions& o) {
  std::uint64_t name = o.name_block;
  if (name == 0 && !o.name.empty()) name = add_text(o.name);
  // Written in place rather than through Fields: tests add channels by the hundred thousand.
  std::uint8_t data[72] = {o.type, o.sync_type, o.data_type, o.bit_offset};
  store_le32(data + 4, o.byte_offset);
  store_le32(data + 8, o.bit_count);
  store_le32(data + 12, o.flags);
  const std::uint64_t links[8] = {0, 0, name, o.source, o.conversion, o.data, o.unit, o.comment};
  return add_block("##CN", links, data);
}

std::uint64_t MdfBuilder::add_channel(std::uint64_t cg, const ChannelOptions& options) {
  std::uint64_t cn = add_channel_block(options);
  append_to_chain(cg, link::kCgCnFirst, cn);
  return cn;
}

std::uint64_t MdfBuilder::add_member(std::uint64_t cn, const ChannelOptions& options) {
  std::uint64_t member = add_channel_block(options);
  append_to_chain(cn, link::kCnComposition, member);
  return member;
}

std::uint64_t MdfBuilder::add_loose_channel(const ChannelOptions& options) {
  return add_channel_block(options);
}

std::uint64_t MdfBuilder::add_conversion(std::uint8_t type, std::span<const double> values) {
  Fields data;
  data.u8(type).u8(0).u16(0).u16(0).u16(static_cast<std::uint16_t>(values.size()));
  data.f64(0).f64(0);
  for (double value : values)
    data.f64(value);
  const std::uint64_t links[4] = {};
  return add_block("##CC", links, data.bytes());
}

std::uint64_t MdfBuilder::add_linear_conversion(double offset, double factor) {
  const double values[2] = {offset, factor};
  return add_conversion(1, values);
}

std::uint64_t MdfBuilder::add_value_table(std::span<const std::pair<double, double>> pairs) {
  std::vector<double> values;
  for (const auto& [key, value] : pairs) {
    values.push_back(key);
    values.push_back(value);
  }
  return add_conversion(5, values);
}

std::uint64_t MdfBuilder::add_source(std::string_view name, std::uint8_t si_type,
                                     std::uint8_t bus_type) {
  std::uint64_t text = name.empty() ? 0 : add_text(name);
  Fields data;
  data.u8(si_type).u8(bus_type).u8(0).zeros(5);
  const std::uint64_t links[3] = {text, text, 0};
  return add_block("##SI", links, data.bytes());
}

std::uint64_t MdfBuilder::add_data(std::uint64_t dg, std::span<const std::uint8_t> bytes,
                                   std::optional<std::uint64_t> declared_length) {
  std::uint64_t dt = add_block("##DT", {}, bytes, declared_length);
  set_link(dg, link::kDgData, dt);
  return dt;
}

std::uint64_t MdfBuilder::add_signal_data(std::span<const std::uint8_t> bytes) {
  return add_block("##SD", {}, bytes);
}

void MdfBuilder::append_raw(std::span<const std::uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

void MdfBuilder::set_link(std::uint64_t block, std::size_t index, std::uint64_t target) {
  patch_u64(block + 24 + 8 * index, target);
}

void MdfBuilder::patch_u8(std::uint64_t at, std::uint8_t value) { bytes_.at(at) = value; }

void MdfBuilder::patch_u16(std::uint64_t at, std::uint16_t value) {
  std::uint8_t raw[2];
  store_le16(raw, value);
  patch_bytes(at, raw);
}

void MdfBuilder::patch_u32(std::uint64_t at, std::uint32_t value) {
  std::uint8_t raw[4];
  store_le32(raw, value);
  patch_bytes(at, raw);
}

void MdfBuilder::patch_u64(std::uint64_t at, std::uint64_t value) {
  std::uint8_t raw[8];
  store_le64(raw, value);
  patch_bytes(at, raw);
}

void MdfBuilder::patch_bytes(std::uint64_t at, std::span<const std::uint8_t> bytes) {
  if (at + bytes.size() > bytes_.size()) bytes_.resize(at + bytes.size());
  std::memcpy(bytes_.data() + at, bytes.data(), bytes.size());
}

void MdfBuilder::append_to_chain(std::uint64_t parent, std::size_t index, std::uint64_t child) {
  auto key = std::make_pair(parent, index);
  auto tail = chain_tails_.find(key);
  if (tail == chain_tails_.end()) {
    set_link(parent, index, child);
    chain_tails_.emplace(key, child);
  } else {
    set_link(tail->second, 0, child);
    tail->second = child;
  }
}

OpenedMdf open_mdf(std::span<const std::uint8_t> bytes, const ChannelClassifier* classifier) {
  OpenedMdf opened;
  opened.stream = memory_stream_from(bytes);
  if (!opened.stream) return opened;
  Result<std::unique_ptr<MdfFile>> result = mdf_open(*opened.stream, classifier, &opened.warnings);
  if (result.ok()) {
    opened.file = std::move(*result);
  } else {
    opened.status = result.take_status();
  }
  return opened;
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
