// Builds MDF 4 files byte by byte for tests. Blocks are appended at 8-byte aligned
// offsets in the order they are added, and chains are linked as elements are added, so
// every add returns the block's offset and any link or field can be patched afterwards to
// make malformed inputs.
//
//   MdfBuilder b;
//   b.add_history();                                   // "<tool_id>QK</tool_id>"
//   std::uint64_t dg = b.add_data_group(1);
//   std::uint64_t cg = b.add_channel_group(dg, {.record_id = 1, .data_bytes = 8});
//   b.add_channel(cg, {.name = "Speed", .byte_offset = 0, .bit_count = 16});
//   b.add_data(dg, record_bytes);
//   OpenedMdf mdf = open_mdf(b.bytes());
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io/memory_stream.h"
#include "mdf/block.h"
#include "mdf/mdf_file.h"

namespace busfold::test {

// Link indexes of the kinds, for set_link.
namespace link {
inline constexpr std::size_t kHdDgFirst = 0, kHdFhFirst = 1, kHdChFirst = 2, kHdAtFirst = 3,
                             kHdEvFirst = 4, kHdComment = 5;
inline constexpr std::size_t kFhNext = 0, kFhComment = 1;
inline constexpr std::size_t kDgNext = 0, kDgCgFirst = 1, kDgData = 2, kDgComment = 3;
inline constexpr std::size_t kCgNext = 0, kCgCnFirst = 1, kCgAcqName = 2, kCgAcqSource = 3,
                             kCgSrFirst = 4, kCgComment = 5;
inline constexpr std::size_t kCnNext = 0, kCnComposition = 1, kCnName = 2, kCnSource = 3,
                             kCnConversion = 4, kCnData = 5, kCnUnit = 6, kCnComment = 7;
inline constexpr std::size_t kCcName = 0, kCcUnit = 1, kCcComment = 2, kCcInverse = 3;
inline constexpr std::size_t kSiName = 0, kSiPath = 1, kSiComment = 2;
}  // namespace link

// A history comment that carries our loggers' tool id.
inline constexpr std::string_view kQkHistoryComment =
    "<FHcomment>\n    <TX>Creation and logging of data.</TX>\n    <tool_id>QK</tool_id>\n"
    "</FHcomment>";

struct ChannelGroupOptions {
  std::string acq_name{};  // a new TX when not empty
  std::uint64_t record_id = 0;
  std::uint64_t cycle_count = 0;
  std::uint16_t flags = 0;
  std::uint16_t path_separator = 0;
  std::uint32_t data_bytes = 0;
  std::uint32_t inval_bytes = 0;
  std::uint64_t source = 0;   // SI offset
  std::uint64_t comment = 0;  // TX or MD offset
};

struct ChannelOptions {
  std::string name{};            // a new TX when not empty and name_block is 0
  std::uint64_t name_block = 0;  // an existing TX
  std::uint8_t type = 0;
  std::uint8_t sync_type = 0;
  std::uint8_t data_type = 0;
  std::uint8_t bit_offset = 0;
  std::uint32_t byte_offset = 0;
  std::uint32_t bit_count = 8;
  std::uint32_t flags = 0;
  std::uint64_t conversion = 0;  // CC offset
  std::uint64_t source = 0;      // SI offset
  std::uint64_t data = 0;        // SD offset, or the CG of a VLSD group
  std::uint64_t unit = 0;
  std::uint64_t comment = 0;
};

class MdfBuilder {
public:
  // Identification block ("MDF     ", version 4.11, program "QK") and an empty header.
  MdfBuilder();

  static constexpr std::uint64_t kIdOffset = 0;
  static constexpr std::uint64_t kHdOffset = 64;

  // Sets the flags; any nonzero flag makes the file id "UnFinMF ".
  void set_unfinalized(std::uint16_t flags, std::uint16_t custom_flags = 0);
  void set_start_time(std::uint64_t ns);

  // Any block: header, links (0 = none), data section. The length is 24 + 8 × links +
  // data unless given.
  std::uint64_t add_block(std::string_view id, std::span<const std::uint64_t> links,
                          std::span<const std::uint8_t> data,
                          std::optional<std::uint64_t> length = std::nullopt);
  std::uint64_t add_text(std::string_view text);  // TX: text + zero byte
  std::uint64_t add_xml(std::string_view text);   // MD: text + zero byte

  // A history entry chained after the others; its comment is a new MD with the text.
  std::uint64_t add_history(std::string_view comment_xml = kQkHistoryComment);
  // A history entry with an existing comment block (or 0 for none).
  std::uint64_t add_history_with_comment(std::uint64_t comment);

  std::uint64_t add_data_group(std::uint8_t rec_id_size = 0);
  std::uint64_t add_channel_group(std::uint64_t dg, const ChannelGroupOptions& options);
  // Appends to the channel group's channel chain.
  std::uint64_t add_channel(std::uint64_t cg, const ChannelOptions& options);
  // Appends to the channel's composition chain.
  std::uint64_t add_member(std::uint64_t cn, const ChannelOptions& options);
  // A channel block that belongs to no chain yet.
  std::uint64_t add_loose_channel(const ChannelOptions& options);

  std::uint64_t add_linear_conversion(double offset, double factor);
  std::uint64_t add_value_table(std::span<const std::pair<double, double>> pairs);
  std::uint64_t add_conversion(std::uint8_t type, std::span<const double> values);
  // An SI whose name and path are a new TX with the name (none when empty).
  std::uint64_t add_source(std::string_view name, std::uint8_t si_type, std::uint8_t bus_type);

  // A DT with the bytes, linked as the data group's data. With declared_length the header
  // claims that length instead (an unfinalized logger writes 24 before the data).
  std::uint64_t add_data(std::uint64_t dg, std::span<const std::uint8_t> bytes,
                         std::optional<std::uint64_t> declared_length = std::nullopt);
  std::uint64_t add_signal_data(std::span<const std::uint8_t> bytes);

  // Bytes at the end of the file, not aligned (data an unfinalized DT did not count).
  void append_raw(std::span<const std::uint8_t> bytes);

  // Patches; a link of 0 means none.
  void set_link(std::uint64_t block, std::size_t index, std::uint64_t target);
  void patch_u8(std::uint64_t at, std::uint8_t value);
  void patch_u16(std::uint64_t at, std::uint16_t value);
  void patch_u32(std::uint64_t at, std::uint32_t value);
  void patch_u64(std::uint64_t at, std::uint64_t value);
  void patch_bytes(std::uint64_t at, std::span<const std::uint8_t> bytes);

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::uint64_t size() const { return bytes_.size(); }

private:
  std::uint64_t add_channel_block(const ChannelOptions& options);
  // Links the child after the last element of the parent's chain at link `index`.
  void append_to_chain(std::uint64_t parent, std::size_t index, std::uint64_t child);

  std::vector<std::uint8_t> bytes_;
  std::map<std::pair<std::uint64_t, std::size_t>, std::uint64_t> chain_tails_;
};

// A file opened from bytes held in memory; the stream lives as long as the file.
struct OpenedMdf {
  std::unique_ptr<MemoryStream> stream;
  std::unique_ptr<MdfFile> file;
  Status status;  // the open's failure
  std::vector<std::string> warnings;

  explicit operator bool() const { return file != nullptr; }
  MdfFile* operator->() const { return file.get(); }
};
OpenedMdf open_mdf(std::span<const std::uint8_t> bytes,
                   const ChannelClassifier* classifier = nullptr);

// An output for saves: blocks are written children first, beyond what was written so far,
// so the stream must take seeks past its end; a memory stream does so within its capacity.
std::unique_ptr<MemoryStream> save_output(std::uint64_t capacity = 1 << 20);

// Saves a tree from its root into new memory, with the end mark after every placed block.
// Null when the save failed.
std::optional<std::vector<std::uint8_t>> save_to_bytes(MdfBlock& root);

}  // namespace busfold::test
