// The MDF 4 block: the common part of every block kind, the kind table and the
// checked downcast. The codec that loads and saves blocks is in mdf/block_codec.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include "base/result.h"

namespace busfold {

// Offset of a block that has not been placed yet, and of a link that is empty.
inline constexpr std::uint64_t kNoOffset = ~std::uint64_t{0};

// Size of the on-disk header that every block but the identification block starts with.
inline constexpr std::uint64_t kBlockHeaderSize = 24;
// Where in that header the block's length lies (after the id and 4 reserved bytes), and
// its link count.
inline constexpr std::uint64_t kBlockLengthAt = 8;
inline constexpr std::uint64_t kBlockLinkCountAt = 16;

enum class BlockType : std::uint32_t {
  kUnknown = 0,
  kId = 1,
  kCc = 2,
  kCg = 3,
  kCn = 4,
  kDg = 5,
  kDt = 6,
  kFh = 7,
  kHd = 8,
  kMd = 9,
  kSd = 10,
  kSi = 11,
  kTx = 12,
  // Data stored in a list of blocks or zipped: loaded as the DT or SD they stand for.
  kDl = 13,
  kDz = 14,
  kHl = 15,
};

// One row per kind: what its header says and what a freshly created block of it starts
// with (a block without optional parts).
struct BlockDescriptor {
  BlockType kind;
  const char* id;  // "##CG"; "" for the identification block and unknown kinds
  std::uint64_t length;
  std::uint64_t link_count;
  bool chained;  // the first link is the next element of a chain
};

inline constexpr BlockDescriptor kBlockKinds[] = {
    {BlockType::kUnknown, "", 0, 0, false},  {BlockType::kId, "", 64, 0, false},
    {BlockType::kCc, "##CC", 80, 4, false},  {BlockType::kCg, "##CG", 104, 6, true},
    {BlockType::kCn, "##CN", 160, 8, true},  {BlockType::kDg, "##DG", 64, 4, true},
    {BlockType::kDt, "##DT", 24, 0, false},  {BlockType::kFh, "##FH", 56, 2, true},
    {BlockType::kHd, "##HD", 104, 6, false}, {BlockType::kMd, "##MD", 24, 0, false},
    {BlockType::kSd, "##SD", 24, 0, false},  {BlockType::kSi, "##SI", 56, 3, false},
    {BlockType::kTx, "##TX", 24, 0, false},  {BlockType::kDl, "##DL", 40, 1, true},
    {BlockType::kDz, "##DZ", 48, 0, false},  {BlockType::kHl, "##HL", 40, 1, false},
};

// The descriptor of a kind; unknown kinds get a descriptor of zeros.
constexpr const BlockDescriptor& block_descriptor(BlockType kind) {
  auto index = static_cast<std::size_t>(kind);
  return index < std::size(kBlockKinds) ? kBlockKinds[index] : kBlockKinds[0];
}

// Bytes of a kind's fixed fields: what its length holds after the header and the links.
constexpr std::uint64_t fixed_field_bytes(BlockType kind) {
  const BlockDescriptor& row = block_descriptor(kind);
  return row.id[0] == '\0' ? row.length : row.length - kBlockHeaderSize - 8 * row.link_count;
}

constexpr bool kinds_match_enum() {
  for (std::size_t i = 0; i < std::size(kBlockKinds); ++i) {
    const BlockDescriptor& row = kBlockKinds[i];
    if (static_cast<std::size_t>(row.kind) != i) return false;
    if (row.id[0] != '\0' && row.length < kBlockHeaderSize + 8 * row.link_count) return false;
  }
  return true;
}
static_assert(std::size(kBlockKinds) == static_cast<std::size_t>(BlockType::kHl) + 1);
static_assert(kinds_match_enum(), "one row per kind, in enum order, links within the length");

// Whether the kind's first link is the next element of a chain (DG, CG, CN, FH).
constexpr bool has_next_link(BlockType kind) { return block_descriptor(kind).chained; }

class MdfBlock;
using BlockRef = std::shared_ptr<MdfBlock>;

struct BlockHeader;
struct LoadContext;
struct SaveContext;

class MdfBlock {
public:
  MdfBlock(const MdfBlock&) = delete;
  MdfBlock& operator=(const MdfBlock&) = delete;
  virtual ~MdfBlock() = default;

  BlockType kind() const { return kind_; }

  // Fills the block from ctx.stream, which stands right after the block header (at the
  // block's own start for the identification block). Linked blocks are loaded through
  // the codec with the same context; a chain element does not load its successors, its
  // owner walks the chain (see chain_next). A failure carries the lines that explain it.
  virtual Status load(LoadContext& ctx, const BlockHeader& header) = 0;

  // Writes the block at its offset, after saving the blocks it links to. `next` is the
  // already saved block that a chain element's next link points to, or null. Fails
  // when a write failed, the links do not match link_count, or a linked block's save
  // failed.
  virtual Status save(SaveContext& ctx, const MdfBlock* next) = 0;

  // Appends the blocks this block references, in collect order.
  virtual void list_children(std::vector<MdfBlock*>& out) const;

  // Next link as read by the load, for kinds that form chains; kNoOffset otherwise.
  std::uint64_t chain_next() const { return next_link_; }

  // Position of the data section: after the header and the links.
  std::uint64_t data_base() const { return offset + kBlockHeaderSize + 8 * link_count; }

  std::uint64_t length;
  std::uint64_t link_count;
  std::uint64_t offset = kNoOffset;

protected:
  explicit MdfBlock(BlockType kind);

  std::uint64_t next_link_ = kNoOffset;  // set by the loads of chain kinds

private:
  BlockType kind_;
};

// What each kind declares of the codec above, alike for all of them.
#define BUSFOLD_BLOCK_CODEC                                                                        \
  Status load(LoadContext& ctx, const BlockHeader& header) override;                               \
  Status save(SaveContext& ctx, const MdfBlock* next) override;                                    \
  void list_children(std::vector<MdfBlock*>& out) const override

// A block class of one kind: the kind block_cast tests for, set by the constructor.
template <BlockType Kind, class Base = MdfBlock> class BlockOfKind : public Base {
public:
  static constexpr BlockType kKind = Kind;
  static bool matches(BlockType kind) { return kind == Kind; }

protected:
  BlockOfKind() : Base(Kind) {}
};

// Kinds that stand where a DT or SD may and are loaded as one (mdf/data_list.h).
constexpr bool is_data_list_kind(BlockType kind) {
  return kind == BlockType::kDl || kind == BlockType::kDz || kind == BlockType::kHl;
}

// A new block of the kind with the kind's defaults, or null for an unknown kind and the
// data list kinds.
BlockRef create_block(BlockType kind);

// Checked downcasts: null when the block is null or of another kind.
template <class T> T* block_cast(MdfBlock* block) {
  return block != nullptr && T::matches(block->kind()) ? static_cast<T*>(block) : nullptr;
}
template <class T> const T* block_cast(const MdfBlock* block) {
  return block != nullptr && T::matches(block->kind()) ? static_cast<const T*>(block) : nullptr;
}
template <class T> T* block_cast(const BlockRef& ref) { return block_cast<T>(ref.get()); }

}  // namespace busfold
