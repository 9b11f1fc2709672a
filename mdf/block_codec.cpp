#include "mdf/block_codec.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/bytes.h"
#include "base/format.h"
#include "mdf/data_list.h"
#include "mdf/id_block.h"

namespace busfold {

namespace {

// The kind whose header id the bytes start with; unknown for none.
BlockType match_id(const std::uint8_t* raw) {
  for (const BlockDescriptor& row : kBlockKinds) {
    if (row.id[0] != '\0' && std::memcmp(raw, row.id, 4) == 0) return row.kind;
  }
  return BlockType::kUnknown;
}


}  // namespace

Status check_header(LoadContext& ctx, std::uint64_t offset, const BlockHeader& header) {
  if (header.kind == BlockType::kId) {
    ctx.loaded_bytes += block_descriptor(BlockType::kId).length;
    return Status::success();
  }
  const BlockDescriptor& kind = block_descriptor(header.kind);
  if (header.length < std::max(kind.length, kBlockHeaderSize) ||
      header.link_count > (header.length - kBlockHeaderSize) / 8) {
    return make_error(ErrorCode::kInvalidInput,
                      "Block %s at offset %llu has length %llu, too short for %llu links", kind.id,
                      ull(offset), ull(header.length), ull(header.link_count));
  }
  std::uint64_t held = header.length;
  if (offset > ctx.stream_size || header.length > ctx.stream_size - offset) {
    // Only the records' own block can have been left with a stale length; signal data
    // must lie in the file, as the budget of a record walk is what its SD blocks hold.
    if (!(header.kind == BlockType::kDt && ctx.lenient_data_length)) {
      return make_error(
          ErrorCode::kInvalidInput,
          "Block %s at offset %llu with length %llu ends past the end of the file (%llu bytes)",
          kind.id, ull(offset), ull(header.length), ull(ctx.stream_size));
    }
    // The header was read, so the block starts inside the file.
    held = ctx.stream_size - offset;
  }
  // Blocks of a well-formed file never overlap, so together they fit in it; this bounds
  // what a file of crossed blocks can make us hold, and, counting data blocks too, how
  // many records all the data groups together can make us read.
  ctx.loaded_bytes += held;
  if (ctx.loaded_bytes > ctx.stream_size) {
    return make_error(ErrorCode::kLimit, "Block %s at offset %llu overlaps other blocks", kind.id,
                      ull(offset));
  }
  return Status::success();
}

Status silent_failure(ErrorCode code) {
  // The empty format is make_error's way of saying "no line"; the compilers cannot know.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
  return make_error(code, "");
#pragma GCC diagnostic pop
}

void keep_first_failure(Status& first, Status next) {
  if (first.ok()) first = std::move(next);
}

void LoadContext::warn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  warnings.push_back(format_va(format, args));
  va_end(args);
}

Result<BlockHeader> read_block_header(Stream& stream) {
  std::uint8_t raw[kBlockHeaderSize];
  if (!stream_read_exact(stream, raw, sizeof raw)) return silent_failure();

  BlockHeader header;
  header.kind = match_id(raw);
  if (header.kind == BlockType::kUnknown && (std::memcmp(raw, kUnfinalizedFileId, 8) == 0 ||
                                             std::memcmp(raw, kFinalizedFileId, 8) == 0)) {
    // The identification block has no header: read it from its own start.
    if (stream.seek(-static_cast<std::int64_t>(kBlockHeaderSize), kSeekCur) < 0)
      return silent_failure();
    header.kind = BlockType::kId;
    header.length = block_descriptor(BlockType::kId).length;
    header.link_count = 0;
    return header;
  }
  if (header.kind == BlockType::kUnknown) {
    // The first 8 bytes as text; control bytes are masked so a hostile file cannot write
    // terminal sequences into the log.
    char text[9] = {};
    for (int i = 0; i < 8 && raw[i] != 0; ++i) {
      text[i] = raw[i] >= 0x20 && raw[i] < 0x7F ? static_cast<char>(raw[i]) : '?';
    }
    return make_error(ErrorCode::kInvalidInput, "Unable to load block header for type %s", text);
  }
  header.length = load_le64(raw + 8);
  header.link_count = load_le64(raw + 16);
  return header;
}

bool write_block_header(const MdfBlock& block, Stream& stream) {
  const BlockDescriptor& kind = block_descriptor(block.kind());
  if (kind.id[0] == '\0') return true;
  std::uint8_t raw[kBlockHeaderSize] = {};
  std::memcpy(raw, kind.id, 4);
  store_le64(raw + kBlockLengthAt, block.length);
  store_le64(raw + kBlockLinkCountAt, block.link_count);
  return stream.write(raw, sizeof raw) == static_cast<std::int64_t>(sizeof raw);
}

Status read_links(Stream& stream, std::span<std::uint64_t> links) {
  std::uint8_t raw[64];
  std::size_t done = 0;
  while (done < links.size()) {
    std::size_t batch = std::min<std::size_t>(links.size() - done, sizeof raw / 8);
    const std::int64_t at = stream.tell();
    if (!stream_read_exact(stream, raw, batch * 8)) return silent_failure(ErrorCode::kIo);
    for (std::size_t i = 0; i < batch; ++i) {
      std::uint64_t link = load_le64(raw + 8 * i);
      // 0 is the only "no link"; all ones, which stands for none in here, is no offset
      // of a block either and must not make a damaged link disappear.
      if (link == kNoOffset) {
        return make_error(ErrorCode::kInvalidInput,
                          "Link 0x%016llX at offset %lld is no block offset", ull(link),
                          static_cast<long long>(at) + static_cast<long long>(8 * i));
      }
      links[done + i] = link == 0 ? kNoOffset : link;
    }
    done += batch;
  }
  return Status::success();
}

BlockRef BlockCache::find(std::uint64_t offset) const {
  const std::weak_ptr<MdfBlock>* entry = entries_.find(offset);
  return entry == nullptr ? nullptr : entry->lock();
}

void BlockCache::insert(std::uint64_t offset, const BlockRef& block) {
  *entries_.try_emplace(offset).first = block;
}

Status read_kind_links(LoadContext& ctx, const BlockHeader& header,
                       std::span<std::uint64_t> links) {
  if (header.link_count != links.size()) return silent_failure();
  return read_links(ctx.stream, links);
}

Status load_links(LoadContext& ctx, std::span<const std::uint64_t> links, std::size_t first,
                  std::initializer_list<BlockRef*> into) {
  for (BlockRef* out : into)
    BUSFOLD_TRY(load_link(ctx, links[first++], *out));
  return Status::success();
}

void save_linked(SaveContext& ctx, Status& result, std::initializer_list<const BlockRef*> linked) {
  for (const BlockRef* block : linked)
    keep_first_failure(result, save_block(block->get(), ctx, nullptr));
}

Status load_link(LoadContext& ctx, std::uint64_t offset, BlockRef& out) {
  out = nullptr;
  if (offset == kNoOffset) return Status::success();
  if (BlockRef cached = ctx.cache.find(offset)) {
    out = std::move(cached);
    return Status::success();
  }
  if (std::find(ctx.in_progress.begin(), ctx.in_progress.end(), offset) != ctx.in_progress.end()) {
    return make_error(ErrorCode::kInvalidInput, "Cyclic link to the block at offset %llu",
                      ull(offset));
  }
  if (ctx.in_progress.size() >= kMaxLoadDepth) {
    return make_error(ErrorCode::kLimit, "Blocks nested more than %u deep at offset %llu",
                      kMaxLoadDepth, ull(offset));
  }
  if (!stream_seek_exact(ctx.stream, offset)) return silent_failure();
  Result<BlockHeader> header = read_block_header(ctx.stream);
  if (!header.ok()) return header.take_status();
  BUSFOLD_TRY(check_header(ctx, offset, *header));

  if (is_data_list_kind(header->kind)) {
    BlockRef data;
    BUSFOLD_TRY(load_data_list(ctx, offset, *header, data));
    ctx.cache.insert(offset, data);
    out = std::move(data);
    return Status::success();
  }
  BlockRef block = create_block(header->kind);
  if (!block) {
    return make_error(ErrorCode::kInvalidInput, "Could not parse block at offset %llu",
                      ull(offset));
  }
  block->offset = offset;
  block->length = header->length;
  block->link_count = header->link_count;

  ctx.in_progress.push_back(offset);
  Status loaded = block->load(ctx, *header);
  ctx.in_progress.pop_back();
  BUSFOLD_TRY(std::move(loaded));
  ctx.cache.insert(offset, block);
  out = std::move(block);
  return Status::success();
}

Status claim_chain_element(LoadContext& ctx, std::uint64_t at) {
  if (ctx.chained.try_emplace(at).second) return Status::success();
  return make_error(ErrorCode::kInvalidInput, "Chain of blocks meets the block at offset %llu twice",
                    ull(at));
}

Status load_chain(LoadContext& ctx, std::uint64_t first, std::vector<BlockRef>& out) {
  // Walked in a loop, so chains of any length cost no stack.
  for (std::uint64_t at = first; at != kNoOffset;) {
    BUSFOLD_TRY(claim_chain_element(ctx, at));
    BlockRef element;
    BUSFOLD_TRY(load_link(ctx, at, element));
    at = element->chain_next();
    out.push_back(std::move(element));
  }
  return Status::success();
}

std::uint64_t link_to(const MdfBlock* block) {
  return block == nullptr || block->offset == kNoOffset ? 0 : block->offset;
}

const MdfBlock* chain_first(const std::vector<BlockRef>& chain) {
  for (const BlockRef& element : chain) {
    if (element) return element.get();
  }
  return nullptr;
}

Status save_block(MdfBlock* block, SaveContext& ctx, const MdfBlock* next) {
  if (block == nullptr || ctx.stream == nullptr) return Status::success();
  // Marked before its save runs: a block shared by several parents is written once, and
  // a tree that links back into itself cannot recurse forever.
  if (!ctx.saved.insert(block).second) return Status::success();
  if (block->offset == kNoOffset) {
    block->offset = block->kind() == BlockType::kId ? 0 : ctx.end_mark;
  }
  if (!stream_seek_exact(*ctx.stream, block->offset)) return silent_failure(ErrorCode::kIo);
  return block->save(ctx, next);
}

Status save_chain(SaveContext& ctx, const std::vector<BlockRef>& chain) {
  Status result;
  const MdfBlock* next = nullptr;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    MdfBlock* element = it->get();
    if (element == nullptr) continue;
    if (ctx.saved.count(element) != 0) {
      // Written before through another link (a VLSD group is also a channel's data) with
      // no next: point its next link at its successor now.
      if (has_next_link(element->kind()) && element->link_count > 0 &&
          element->offset != kNoOffset) {
        std::uint8_t raw[8];
        store_le64(raw, link_to(next));
        if (!stream_seek_exact(*ctx.stream, element->offset + kBlockHeaderSize) ||
            ctx.stream->write(raw, sizeof raw) != static_cast<std::int64_t>(sizeof raw)) {
          keep_first_failure(result, silent_failure(ErrorCode::kIo));
        }
      }
    } else {
      keep_first_failure(result, save_block(element, ctx, next));
    }
    next = element;
  }
  return result;
}

void reserve_block(SaveContext& ctx, const MdfBlock& block, bool round_to_8) {
  std::int64_t at = ctx.stream->tell();
  if (at < 0 || static_cast<std::uint64_t>(at) != ctx.end_mark) return;
  std::uint64_t end = ctx.end_mark + block.length;
  if (end < ctx.end_mark) end = kNoOffset;
  if (round_to_8 && end <= kNoOffset - 7) end = (end + 7) & ~std::uint64_t{7};
  ctx.end_mark = end;
}

Status write_block_start(SaveContext& ctx, const MdfBlock& block,
                         std::span<const std::uint64_t> links) {
  if (links.size() != block.link_count) return silent_failure();
  if (!stream_seek_exact(*ctx.stream, block.offset) || !write_block_header(block, *ctx.stream)) {
    return silent_failure(ErrorCode::kIo);
  }
  std::uint8_t raw[64];
  std::size_t done = 0;
  while (done < links.size()) {
    std::size_t batch = std::min<std::size_t>(links.size() - done, sizeof raw / 8);
    for (std::size_t i = 0; i < batch; ++i) {
      std::uint64_t link = links[done + i];
      store_le64(raw + 8 * i, link == kNoOffset ? 0 : link);
    }
    auto bytes = static_cast<std::int64_t>(batch * 8);
    if (ctx.stream->write(raw, static_cast<std::uint64_t>(bytes)) != bytes) {
      return silent_failure(ErrorCode::kIo);
    }
    done += batch;
  }
  return Status::success();
}

void collect_blocks(MdfBlock* block, BlockCollection& into) {
  // An explicit stack keeps deep or long trees off the call stack; children are pushed in
  // reverse so they come off in order.
  std::vector<MdfBlock*> stack{block};
  std::vector<MdfBlock*> children;
  while (!stack.empty()) {
    MdfBlock* current = stack.back();
    stack.pop_back();
    if (current == nullptr || !into.seen.insert(current).second) continue;
    into.blocks.push_back(current);
    children.clear();
    current->list_children(children);
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
}

std::vector<MdfBlock*> collect_blocks(MdfBlock* block) {
  BlockCollection collection;
  collect_blocks(block, collection);
  return std::move(collection.blocks);
}

std::uint64_t end_of_placed_blocks(std::span<MdfBlock* const> blocks) {
  std::uint64_t end = 0;
  for (const MdfBlock* block : blocks) {
    if (block == nullptr || block->offset == kNoOffset) continue;
    end = std::max(end, block->offset + block->length);
  }
  return end;
}

Status save_tree(MdfBlock& root, Stream& out) {
  std::vector<MdfBlock*> blocks = collect_blocks(&root);
  SaveContext ctx;
  ctx.stream = &out;
  ctx.end_mark = end_of_placed_blocks(blocks);
  return save_block(&root, ctx, nullptr);
}

}  // namespace busfold
