#include "mdf/data_list.h"

#include <array>
#include <vector>

#include "base/format.h"
#include "io/piece_stream.h"
#include "mdf/block_codec.h"
#include "mdf/data_block.h"
#include "mdf/field_cursor.h"

namespace busfold {

namespace {


// dl_flags: every data block of the list but the last holds dl_equal_length bytes.
constexpr std::uint8_t kDlEqualLength = 1;
// Bytes of the DZ fields before the zipped data.
constexpr std::uint64_t kDzFieldBytes = 24;

struct ListLoad {
  LoadContext& ctx;
  std::uint64_t list_offset;
  BlockType kind = BlockType::kUnknown;  // DT or SD, from the first piece
  std::vector<StreamPiece> pieces;
  std::uint64_t total = 0;
};

const char* kind_name(BlockType kind) { return block_descriptor(kind).id; }

// The kind the pieces stand for: all of them alike.
Status take_kind(ListLoad& list, BlockType kind, std::uint64_t at) {
  if (list.kind == BlockType::kUnknown) list.kind = kind;
  if (list.kind == kind) return Status::success();
  return make_error(ErrorCode::kInvalidInput,
                    "Data list at offset %llu holds %s data at offset %llu among %s data",
                    ull(list.list_offset), kind_name(kind), ull(at), kind_name(list.kind));
}

Result<BlockHeader> read_header_at(LoadContext& ctx, std::uint64_t at) {
  if (!stream_seek_exact(ctx.stream, at)) return silent_failure();
  Result<BlockHeader> header = read_block_header(ctx.stream);
  if (!header.ok()) return header;
  // A piece must lie in the file whatever the file says of its last block's length.
  if (header->kind != BlockType::kId &&
      (at > ctx.stream_size || header->length > ctx.stream_size - at)) {
    return make_error(
        ErrorCode::kInvalidInput,
        "Block %s at offset %llu with length %llu ends past the end of the file (%llu bytes)",
        kind_name(header->kind), ull(at), ull(header->length), ull(ctx.stream_size));
  }
  BUSFOLD_TRY(check_header(ctx, at, *header));
  return header;
}

Status add_zipped(ListLoad& list, std::uint64_t at, const BlockHeader& header) {
  std::array<std::uint8_t, 2> original{};
  std::uint8_t zip_type = 0;
  std::uint32_t zip_parameter = 0;
  std::uint64_t original_length = 0, zipped_length = 0;
  FieldReader in(list.ctx.stream, at + kBlockHeaderSize + 8 * header.link_count);
  BUSFOLD_TRY(fields_read(in.field(original) && in.field(zip_type) && in.reserved(1) &&
                          in.field(zip_parameter) && in.field(original_length) &&
                          in.field(zipped_length)));
  BlockType kind = BlockType::kUnknown;
  if (original[0] == 'D' && original[1] == 'T') kind = BlockType::kDt;
  if (original[0] == 'S' && original[1] == 'D') kind = BlockType::kSd;
  if (kind == BlockType::kUnknown) {
    return make_error(ErrorCode::kUnsupported,
                      "Zipped block at offset %llu holds a block of type ##%c%c, not DT or SD",
                      ull(at), original[0] >= 0x20 && original[0] < 0x7F ? original[0] : '?',
                      original[1] >= 0x20 && original[1] < 0x7F ? original[1] : '?');
  }
  BUSFOLD_TRY(take_kind(list, kind, at));
  if (zip_type > 1 || (zip_type == 1 && zip_parameter == 0)) {
    return make_error(ErrorCode::kUnsupported,
                      "Zipped block at offset %llu uses zip type %u with parameter %u", ull(at),
                      static_cast<unsigned>(zip_type), static_cast<unsigned>(zip_parameter));
  }
  const std::uint64_t fields_end = kBlockHeaderSize + 8 * header.link_count + kDzFieldBytes;
  if (header.length < fields_end || zipped_length > header.length - fields_end) {
    return make_error(ErrorCode::kInvalidInput,
                      "Zipped block at offset %llu with length %llu claims %llu bytes of zipped "
                      "data",
                      ull(at), ull(header.length), ull(zipped_length));
  }
  if (original_length > kMaxInflatedBlock ||
      original_length > zipped_length * kMaxDeflateRatio + 64) {
    return make_error(ErrorCode::kLimit,
                      "Zipped block at offset %llu claims %llu bytes from %llu zipped ones; at "
                      "most %llu bytes and %llu per zipped byte are taken",
                      ull(at), ull(original_length), ull(zipped_length), ull(kMaxInflatedBlock),
                      ull(kMaxDeflateRatio));
  }
  list.pieces.push_back({at + fields_end, zipped_length, original_length,
                         zip_type == 0 ? PieceCoding::kDeflate : PieceCoding::kTransposedDeflate,
                         zip_parameter});
  return Status::success();
}

// Appends the piece of the data block at `at`, whose header was read; `size` is what it
// gives.
Status add_piece(ListLoad& list, std::uint64_t at, const BlockHeader& header, std::uint64_t& size) {
  if (header.kind == BlockType::kDz) {
    BUSFOLD_TRY(add_zipped(list, at, header));
  } else if (header.kind == BlockType::kDt || header.kind == BlockType::kSd) {
    BUSFOLD_TRY(take_kind(list, header.kind, at));
    if (header.link_count != 0) return silent_failure();
    list.pieces.push_back({at + kBlockHeaderSize, header.length - kBlockHeaderSize,
                           header.length - kBlockHeaderSize, PieceCoding::kStored, 0});
  } else {
    return make_error(ErrorCode::kInvalidInput,
                      "Data list at offset %llu lists a block %s at offset %llu",
                      ull(list.list_offset), kind_name(header.kind), ull(at));
  }
  size = list.pieces.back().size;
  return Status::success();
}

// A listed data block: read once, as one listed again and again would multiply the records.
Status add_listed_piece(ListLoad& list, std::uint64_t at, std::uint64_t& size) {
  if (!list.ctx.group_data.emplace(at, list.list_offset).second) {
    return make_error(ErrorCode::kLimit, "Data block at offset %llu is listed more than once",
                      ull(at));
  }
  Result<BlockHeader> header = read_header_at(list.ctx, at);
  if (!header.ok()) return header.take_status();
  return add_piece(list, at, *header, size);
}

// One DL: its data blocks, in order, with the lengths it gives checked against them.
Status add_list(ListLoad& list, std::uint64_t at, const BlockHeader& header, std::uint64_t& next) {
  std::vector<std::uint64_t> links(header.link_count);
  if (links.empty()) return silent_failure();
  BUSFOLD_TRY(read_links(list.ctx.stream, links));
  next = links[0];
  std::uint8_t flags = 0;
  std::uint32_t count = 0;
  FieldReader in(list.ctx.stream, at + kBlockHeaderSize + 8 * header.link_count);
  BUSFOLD_TRY(fields_read(in.field(flags) && in.reserved(3) && in.field(count)));
  if (count != links.size() - 1) {
    return make_error(ErrorCode::kInvalidInput,
                      "Data list at offset %llu counts %llu data blocks but links %llu", ull(at),
                      ull(count), ull(links.size() - 1));
  }
  const bool equal = (flags & kDlEqualLength) != 0;
  // The length checked by the header bounds the count by what the file holds.
  if (header.length - kBlockHeaderSize - 8 * header.link_count <
      8 + (equal ? 8 : 8 * std::uint64_t{count})) {
    return make_error(ErrorCode::kInvalidInput,
                      "Data list at offset %llu is too short for the lengths of its %llu blocks",
                      ull(at), ull(count));
  }
  std::uint64_t equal_length = 0;
  std::vector<std::uint64_t> offsets;
  if (equal) {
    BUSFOLD_TRY(fields_read(in.field(equal_length)));
  } else {
    offsets.resize(count);
    for (std::uint64_t& offset : offsets)
      BUSFOLD_TRY(fields_read(in.field(offset)));
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t piece_at = links[i + 1];
    if (piece_at == kNoOffset) {
      return make_error(ErrorCode::kInvalidInput, "Data list at offset %llu has an empty link",
                        ull(at));
    }
    if (!equal && offsets[i] != list.total) {
      return make_error(ErrorCode::kInvalidInput,
                        "Data list at offset %llu places its block %u at %llu, after %llu bytes",
                        ull(at), static_cast<unsigned>(i), ull(offsets[i]), ull(list.total));
    }
    std::uint64_t size = 0;
    BUSFOLD_TRY(add_listed_piece(list, piece_at, size));
    // Only the last block of a list may hold less.
    if (equal && (size > equal_length || (size != equal_length && i + 1 != count))) {
      return make_error(ErrorCode::kInvalidInput,
                        "Data list at offset %llu gives its blocks %llu bytes; block %u holds "
                        "%llu",
                        ull(at), ull(equal_length), static_cast<unsigned>(i), ull(size));
    }
    if (size > UINT64_MAX - list.total) return silent_failure(ErrorCode::kLimit);
    list.total += size;
  }
  return Status::success();
}

// The chain of DLs that starts at `first`.
Status add_chain(ListLoad& list, std::uint64_t first) {
  for (std::uint64_t at = first; at != kNoOffset;) {
    BUSFOLD_TRY(claim_chain_element(list.ctx, at));
    Result<BlockHeader> header = read_header_at(list.ctx, at);
    if (!header.ok()) return header.take_status();
    if (header->kind != BlockType::kDl) {
      return make_error(ErrorCode::kInvalidInput,
                        "Data list at offset %llu goes on with a block %s at offset %llu",
                        ull(list.list_offset), kind_name(header->kind), ull(at));
    }
    BUSFOLD_TRY(add_list(list, at, *header, at));
  }
  return Status::success();
}

}  // namespace

Status load_data_list(LoadContext& ctx, std::uint64_t offset, const BlockHeader& header,
                      BlockRef& out) {
  ListLoad list{ctx, offset, BlockType::kUnknown, {}, 0};
  if (header.kind == BlockType::kDz) {
    // Claimed by the group or channel that links it, like a DT or SD.
    BUSFOLD_TRY(add_piece(list, offset, header, list.total));  // the list's only piece
  } else if (header.kind == BlockType::kHl) {
    KindLinks<BlockType::kHl> links;
    BUSFOLD_TRY(read_kind_links(ctx, header, links));
    BUSFOLD_TRY(add_chain(list, links[0]));
  } else {
    // The first DL of the chain: its header was read and counted by the caller.
    BUSFOLD_TRY(claim_chain_element(ctx, offset));
    std::uint64_t next = kNoOffset;
    BUSFOLD_TRY(add_list(list, offset, header, next));
    BUSFOLD_TRY(add_chain(list, next));
  }
  BlockRef block = create_block(list.kind == BlockType::kSd ? BlockType::kSd : BlockType::kDt);
  auto* data = block_cast<DataBlock>(block.get());
  std::unique_ptr<PieceStream> pieces = piece_stream_new(ctx.stream, std::move(list.pieces));
  if (data == nullptr || !pieces) return silent_failure(ErrorCode::kLimit);
  data->set_pieces(std::move(pieces));
  data->offset = offset;
  out = std::move(block);
  return Status::success();
}

}  // namespace busfold
