// Loading blocks by offset (with a cache so that a block linked from several places
// becomes one shared object), saving a tree of blocks, and collecting the blocks of a tree.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/offset_map.h"
#include "base/result.h"
#include "io/stream.h"
#include "mdf/block.h"
#include "mdf/conversion.h"
#include "mdf/field_cursor.h"

namespace busfold {

struct BlockHeader {
  BlockType kind = BlockType::kUnknown;
  std::uint64_t length = 0;
  std::uint64_t link_count = 0;
};

// A failure that needs no words: a short read, a structure the loads refuse silently.
Status silent_failure(ErrorCode code = ErrorCode::kInvalidInput);

// Keeps the first failure of several steps that all run (a save writes what it can).
void keep_first_failure(Status& first, Status next);

// A read or write of fields: a silent failure when it did not go through.
inline Status fields_read(bool done) { return done ? Status::success() : silent_failure(); }
inline Status fields_written(bool done) {
  return done ? Status::success() : silent_failure(ErrorCode::kIo);
}

// Reads the 24-byte header at the stream position. An identification block is
// recognised by its file id; the stream is then moved back to the block's start and the
// header says length 64, no links. Fails on a short read (no line) or an unknown id.
Result<BlockHeader> read_block_header(Stream& stream);

// One write of 24 bytes: id, four zero bytes, length, link count. Nothing for the
// identification block or unknown kinds (true).
bool write_block_header(const MdfBlock& block, Stream& stream);

// Reads links.size() links from the stream position; a 0 link becomes kNoOffset.
Status read_links(Stream& stream, std::span<std::uint64_t> links);

// The links of a kind, as many as its row of kBlockKinds says.
template <BlockType kKind>
using KindLinks = std::array<std::uint64_t, block_descriptor(kKind).link_count>;

// Offset → block of one open. The entries do not own their blocks.
class BlockCache {
public:
  BlockRef find(std::uint64_t offset) const;
  void insert(std::uint64_t offset, const BlockRef& block);

private:
  OffsetMap<std::weak_ptr<MdfBlock>> entries_;
};

// Nesting allowed below the identification block before a load gives up; real files
// stay far below it (structures of structures of channels).
inline constexpr unsigned kMaxLoadDepth = 100;

class ChannelClassifier;

// State of one open, handed to every block's load.
struct LoadContext {
  LoadContext(Stream& source, std::uint64_t source_size,
              const ChannelClassifier* channel_classifier = nullptr)
      : stream(source), stream_size(source_size), classifier(channel_classifier) {}

  Stream& stream;
  std::uint64_t stream_size;
  BlockCache cache;
  // Gives channels their roles and channel groups their handlers; none: every group is
  // read with a handler that decodes nothing.
  const ChannelClassifier* classifier = nullptr;
  // Set while the last data block's length is known to be stale: DT blocks may then
  // claim more than the file holds until the open repairs the length.
  bool lenient_data_length = false;

  // Guards against hostile link structures.
  // Blocks whose load has not finished, outermost first: as many as the loads nest.
  std::vector<std::uint64_t> in_progress;
  OffsetMap<bool> chained;  // blocks already met as chain elements
  // Value tables made so far: channels sharing a CC block share its table.
  ConversionCache conversions;
  // History comments already judged (our tool id, or another taken with any_writer): one
  // comment may serve many entries.
  std::unordered_set<std::uint64_t> history_comments;
  // Whether files whose history names another tool are taken; when they are not, the
  // refusal ends with the hint, when given.
  bool any_writer = false;
  std::string_view writer_hint;
  // The tool id of the first history entry of another tool (empty: it names none).
  std::optional<std::string> other_writer;
  // Data and signal data blocks already given to a data group: offset → the group's offset.
  std::unordered_map<std::uint64_t, std::uint64_t> group_data;
  std::uint64_t loaded_bytes = 0;  // lengths of the distinct blocks loaded (as far as the
                                   // file holds them)
  // Lines about what the load let pass, in the order they arose; the caller logs them as
  // warnings.
  std::vector<std::string> warnings;
  void warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// Checks a header read at the offset against what its kind needs and what the stream
// holds, so that no load reads or allocates from a size the file cannot back, and counts
// the block's bytes towards what the file can hold.
Status check_header(LoadContext& ctx, std::uint64_t offset, const BlockHeader& header);

// For a kind's load: reads the header's links, which must be as many as the kind has
// (a silent failure otherwise).
Status read_kind_links(LoadContext& ctx, const BlockHeader& header, std::span<std::uint64_t> links);

// Loads the block a link leads to, or takes it from the cache; null for kNoOffset.
Status load_link(LoadContext& ctx, std::uint64_t link, BlockRef& out);

// Loads the blocks links[first], links[first + 1], ... lead to into `into`, in order.
Status load_links(LoadContext& ctx, std::span<const std::uint64_t> links, std::size_t first,
                  std::initializer_list<BlockRef*> into);

// Marks the block at `at` as met in a chain; meeting one again means a cycle or chains that
// merge, which would loop forever or multiply the work.
Status claim_chain_element(LoadContext& ctx, std::uint64_t at);

// Loads the chain that starts at `first` by following next links, appending the elements
// to `out` in file order. Fails on a failing element, and on an element met twice in the
// chains of a file (a cycle or chains that merge).
Status load_chain(LoadContext& ctx, std::uint64_t first, std::vector<BlockRef>& out);

struct SaveContext {
  Stream* stream = nullptr;
  // First offset at which a block without an offset is placed.
  std::uint64_t end_mark = 0;
  std::unordered_set<const MdfBlock*> saved;
};

// Places the block at the end mark when it has no offset yet (the identification block
// at 0), seeks there and runs the kind's save; a block is written once per save. A null
// block or stream counts as saved.
Status save_block(MdfBlock* block, SaveContext& ctx, const MdfBlock* next);

// Saves a chain from the last element to the first, each given the previously saved one
// as next. An element that was saved before through another link gets its next link
// rewritten, so the chain stays intact whatever order the tree is walked in.
Status save_chain(SaveContext& ctx, const std::vector<BlockRef>& chain);

// For a kind's save: saves each linked block (none of them a chain), keeping the first
// failure in `result`.
void save_linked(SaveContext& ctx, Status& result, std::initializer_list<const BlockRef*> linked);

// For a kind's save: advances the end mark past a block that was just placed there, so
// that two new blocks never share an offset. `round_to_8` rounds the new end mark up.
void reserve_block(SaveContext& ctx, const MdfBlock& block, bool round_to_8 = false);

// For a kind's save: seeks to the block, writes its header and links. Fails, with nothing
// written, when the number of links differs from the block's link count.
Status write_block_start(SaveContext& ctx, const MdfBlock& block,
                         std::span<const std::uint64_t> links);

// For a kind's save, once its linked blocks are saved with the outcome `linked`: the
// header and links, then the fields `write_fields` puts through a FieldWriter. The first
// failure, of the linked blocks or of the block itself, is the result.
template <class WriteFields>
Status write_block(SaveContext& ctx, const MdfBlock& block, std::span<const std::uint64_t> links,
                   Status linked, WriteFields write_fields) {
  BUSFOLD_TRY(write_block_start(ctx, block, links));
  FieldWriter out(*ctx.stream, block.data_base());
  keep_first_failure(linked, fields_written(write_fields(out) && out.finish()));
  return linked;
}

// The on-disk link value of a block: its offset, 0 for none.
std::uint64_t link_to(const MdfBlock* block);
inline std::uint64_t link_to(const BlockRef& block) { return link_to(block.get()); }
// The first element of a chain, or null.
const MdfBlock* chain_first(const std::vector<BlockRef>& chain);

// The blocks of a tree in depth-first pre-order, each once.
struct BlockCollection {
  std::vector<MdfBlock*> blocks;
  std::unordered_set<const MdfBlock*> seen;
  bool contains(const MdfBlock* block) const { return seen.count(block) != 0; }
};
void collect_blocks(MdfBlock* block, BlockCollection& into);
std::vector<MdfBlock*> collect_blocks(MdfBlock* block);

// Largest offset + length among the blocks that have an offset (0 for none): where a
// save of a tree that holds them places its new blocks.
std::uint64_t end_of_placed_blocks(std::span<MdfBlock* const> blocks);

// Saves a whole tree from its root with the end mark after every placed block.
Status save_tree(MdfBlock& root, Stream& out);

}  // namespace busfold
