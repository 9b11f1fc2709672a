// Builds MDF 4 files byte by byte for tests. Blocks are appended 8-byte aligned and chained
// as they are added; each add returns the block's offset, for patches into broken inputs.
#pragma once

#include <map>
#include <optional>
#include <string_view>

#include "io/memory_stream.h"
#include "mdf/cg_block.h"
#include "mdf/mdf_file.h"

namespace busfold::test {

// Link indexes within their block kinds, for set_link.
namespace link {
inline constexpr std::size_t kHdDgFirst = 0, kHdFhFirst = 1, kHdChFirst = 2, kHdAtFirst = 3,
                             kHdEvFirst = 4, kHdComment = 5;
inline constexpr std::size_t kDgNext = 0, kDgCgFirst = 1, kDgData = 2, kDgComment = 3;
inline constexpr std::size_t kCgNext = 0, kCgCnFirst = 1, kCgSrFirst = 4;
inline constexpr std::size_t kCnComposition = 1, kCnName = 2, kCnConversion = 4, kCnData = 5;
inline constexpr std::size_t kCcUnit = 1, kCcInverse = 3;
}  // namespace link

// Carries our loggers' tool id.
inline constexpr std::string_view kQkHistoryComment =
    "<FHcomment>\n    <TX>Creation and logging of data.</TX>\n    <tool_id>QK</tool_id>\n"
    "</FHcomment>";

// How the bytes of a DT or SD are stored, as other writers store them: as the block
// itself, zipped (deflate, or transposed in columns then deflate), or as pieces listed by
// DLs (two of them chained), of equal or unequal lengths, kept and zipped mixed, and
// under an HL.
enum class Storage { plain, zipped, transposed, equal_list, unequal_list, header_list };

struct ChannelGroupOptions {
  std::string acq_name{};  // a new TX when not empty
  std::uint64_t record_id = 0;
  std::uint16_t flags = 0, path_separator = 0;
  std::uint32_t data_bytes = 0;
  std::uint64_t source = 0;  // SI offset
};

struct ChannelOptions {
  std::string name{};            // a new TX when not empty and name_block is 0
  std::uint64_t name_block = 0;  // an existing TX
  std::uint8_t type = 0, sync_type = 0, data_type = 0, bit_offset = 0;
  std::uint32_t byte_offset = 0, bit_count = 8, flags = 0;
  std::uint64_t conversion = 0, source = 0;  // CC and SI offsets
  std::uint64_t data = 0;                    // SD offset, or the CG of a VLSD group
};

class MdfBuilder {
public:
  MdfBuilder();  // identification block ("MDF     ", 4.11, "QK") and an empty header
  static constexpr std::uint64_t kHdOffset = 64;

  // Any nonzero flag makes the file id "UnFinMF ".
  void set_unfinalized(std::uint16_t flags, std::uint16_t custom_flags = 0);
  void set_start_time(std::uint64_t ns) { patch_u64(kHdOffset + 72, ns); }

  // The length is 24 + 8 × links + data unless given.
  std::uint64_t add_block(std::string_view id, std::span<const std::uint64_t> links,
                          std::span<const std::uint8_t> data,
                          std::optional<std::uint64_t> length = std::nullopt);
  // A TX (or MD) with the text and a zero byte.
  std::uint64_t add_text(std::string_view text, std::string_view id = "##TX");
  std::uint64_t add_xml(std::string_view text) { return add_text(text, "##MD"); }

  // A history entry commented by a new MD with the text, or by a block (0 for none).
  std::uint64_t add_history(std::string_view comment_xml = kQkHistoryComment) {
    return add_history_with_comment(add_xml(comment_xml));
  }
  std::uint64_t add_history_with_comment(std::uint64_t comment);

  std::uint64_t add_data_group(std::uint8_t rec_id_size = 0);
  std::uint64_t add_channel_group(std::uint64_t dg, const ChannelGroupOptions& options);
  // Appended to the group's channels, or to the channel's composition.
  std::uint64_t add_channel(std::uint64_t cg, const ChannelOptions& options) {
    return add_chained_channel(cg, link::kCgCnFirst, options);
  }
  std::uint64_t add_member(std::uint64_t cn, const ChannelOptions& options) {
    return add_chained_channel(cn, link::kCnComposition, options);
  }

  std::uint64_t add_linear_conversion(double offset, double factor);
  std::uint64_t add_value_table(std::span<const std::pair<double, double>> pairs);
  // Name and path are a new TX with the name (none when empty).
  std::uint64_t add_source(std::string_view name, std::uint8_t si_type, std::uint8_t bus_type);

  // A DT as the group's data; an unfinalized logger declares a length of 24.
  std::uint64_t add_data(std::uint64_t dg, std::span<const std::uint8_t> bytes,
                         std::optional<std::uint64_t> declared_length = std::nullopt);
  std::uint64_t add_signal_data(std::span<const std::uint8_t> b) {
    return add_block("##SD", {}, b);
  }
  // The bytes of a block of kind `id` ("##DT", "##SD") stored as `storage` says; the
  // offset to link. `columns` is the row size of transposed pieces; equal lists have
  // pieces of `piece_bytes`.
  std::uint64_t add_stored(std::string_view id, std::span<const std::uint8_t> bytes,
                           Storage storage, std::uint32_t columns = 1,
                           std::size_t piece_bytes = 1000);
  // A DZ that holds the bytes of a block of kind `id`, transposed in `columns` when not 0.
  std::uint64_t add_zipped(std::string_view id, std::span<const std::uint8_t> bytes,
                           std::uint32_t columns = 0);
  // A DL of the blocks; equal lengths when `equal_length` is not 0, else the offsets
  // their sizes add up to from `first_offset`.
  std::uint64_t add_list(std::span<const std::uint64_t> blocks,
                         std::span<const std::uint64_t> sizes, std::uint64_t equal_length,
                         std::uint64_t first_offset = 0);
  // Patches, also past the end; a link of 0 means none.
  void set_link(std::uint64_t block, std::size_t index, std::uint64_t target) {
    patch_u64(block + 24 + 8 * index, target);
  }
  void patch_u8(std::uint64_t at, std::uint8_t value) { patch_le(at, value, 1); }
  void patch_u16(std::uint64_t at, std::uint16_t value) { patch_le(at, value, 2); }
  void patch_u32(std::uint64_t at, std::uint32_t value) { patch_le(at, value, 4); }
  void patch_u64(std::uint64_t at, std::uint64_t value) { patch_le(at, value, 8); }
  void patch_bytes(std::uint64_t at, std::string_view bytes);

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::uint64_t size() const { return bytes_.size(); }

private:
  std::uint64_t add_conversion(std::uint8_t type, std::span<const double> values);
  std::uint64_t add_chained_channel(std::uint64_t parent, std::size_t index,
                                    const ChannelOptions& options);
  void patch_le(std::uint64_t at, std::uint64_t value, int width);
  // Links the child after the last element of the chain at the parent's link `index`.
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
                   const ChannelClassifier* classifier = nullptr,
                   const MdfOpenOptions& options = {});

CgBlock& group_at(const MdfFile& file, std::size_t dg = 0, std::size_t cg = 0);

// Saves write beyond what was written so far: a memory stream seeks there within capacity.
std::unique_ptr<MemoryStream> save_output(std::uint64_t capacity = 1 << 20);

// Saves a tree from its root into new memory; null when the save failed.
std::optional<std::vector<std::uint8_t>> save_to_bytes(MdfBlock& root);

}  // namespace busfold::test
