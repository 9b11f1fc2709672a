#include "io/compressed_container.h"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <memory>

#include "base/bytes.h"
#include "io/container_stream.h"
#include "io/crc32_stream.h"
#include "io/lzss_decoder.h"
#include "io/memory_stream.h"
#include "io/range_stream.h"

namespace busfold {

namespace {

constexpr std::int64_t kFooterSize = 4;

bool header_accepted(const ContainerHeader& header) {
  return header.type == kContainerTypeCompressed && header.version == kContainerVersion &&
         header.first_flag <= 1 && header.footer_flag == header.first_flag;
}

// Payload bytes read and checked at a time.
constexpr std::size_t kPayloadPiece = std::size_t{1} << 20;

// Decodes the payload [start, end) of the source into memory, straight into its buffer.
// `crc` receives the register over the payload bytes.
Status decompress_payload(Stream& source, std::int64_t end, int window_bits, int lookahead_bits,
                          std::uint64_t max_content, MemoryStream& memory, std::uint32_t& crc) {
  auto range = range_stream_new(&source, kCompressedPayloadOffset, end);
  if (!range || range->seek(0, kSeekSet) != 0) return unexplained_failure(ErrorCode::kIo);
  auto decoder = LzssDecoder::create(window_bits, lookahead_bits);
  if (!decoder) return unexplained_failure(ErrorCode::kUnsupported);

  crc = kCrc32Initial;
  std::uint64_t size = 0;
  // Room up to max_content plus one token: enough to find out that a content is too large.
  const std::uint64_t most = max_content > UINT64_MAX - decoder->room_needed()
                                 ? UINT64_MAX
                                 : max_content + decoder->room_needed();
  // Content the first pieces make, before the first growth: compression rarely goes past 4:1.
  std::uint64_t capacity =
      std::min<std::uint64_t>(max_content, 4 * kPayloadPiece) + decoder->room_needed();
  // A payload already in memory (an unwrapped outer container) is decoded where it lies.
  const std::int64_t known = stream_size(range.get());
  const std::uint8_t* whole =
      known > 0 ? range->view(0, static_cast<std::uint64_t>(known)) : nullptr;
  std::uint64_t viewed = 0;
  std::unique_ptr<std::uint8_t[]> piece;
  if (whole == nullptr) piece.reset(new std::uint8_t[kPayloadPiece]);
  for (;;) {
    std::span<const std::uint8_t> bytes;
    if (whole != nullptr) {
      bytes = {whole + viewed, static_cast<std::size_t>(std::min<std::uint64_t>(
                                   kPayloadPiece, static_cast<std::uint64_t>(known) - viewed))};
      viewed += bytes.size();
    } else {
      std::int64_t got = range->read(piece.get(), kPayloadPiece);
      if (got < 0) return unexplained_failure(ErrorCode::kIo);
      bytes = {piece.get(), static_cast<std::size_t>(got)};
    }
    // What the decoder still holds when the payload ends cannot make a whole token: padding.
    if (bytes.empty()) break;
    crc = crc32_update(crc, bytes);
    decoder->feed(bytes);
    // The outer content is read once: what lies a piece behind is done with.
    if (whole != nullptr && viewed > 2 * kPayloadPiece) range->release_before(viewed - 2 * kPayloadPiece);
    for (;;) {
      std::uint8_t* room = memory.room(capacity - size);
      if (room == nullptr) {
        return make_error(ErrorCode::kOutOfMemory,
                          "Out of memory after %" PRIu64 " bytes of decompressed content", size);
      }
      std::uint8_t* base = room - size;
      const std::uint64_t decoded = decoder->decode_onto(base, size, capacity);
      memory.commit(decoded - size);
      size = decoded;
      if (size > max_content) {
        return make_error(ErrorCode::kLimit, "Decompressed content exceeds %" PRIu64 " bytes",
                          max_content);
      }
      if (capacity - size >= decoder->room_needed()) break;  // the piece is used up
      capacity = std::min(std::max(2 * capacity, size + decoder->room_needed()), most);
    }
  }
  return Status::success();
}

}  // namespace

Result<StreamPtr> compressed_container_open(Stream& source, const ContainerHeader& header,
                                            std::uint64_t max_content) {
  if (!header_accepted(header)) return unexplained_failure(ErrorCode::kUnsupported);

  std::uint8_t fields[8];
  if (source.seek(kContainerHeaderSize, kSeekSet) !=
          static_cast<std::int64_t>(kContainerHeaderSize) ||
      !stream_read_exact(source, fields, sizeof fields)) {
    return unexplained_failure(ErrorCode::kInvalidInput);
  }
  const std::uint32_t lookahead_field = load_be32(fields);
  const std::uint32_t window_field = load_be32(fields + 4);
  const int window_bits = window_field == 0 ? 0 : std::countr_zero(window_field);
  const int lookahead_bits = static_cast<int>(lookahead_field & 0xFFu);

  auto memory = std::make_unique<MemoryStream>();

  // The payload runs to the end of the file, or stops before a 4-byte footer. The
  // size is 64-bit: files over 4 GiB must not wrap into a tiny payload.
  std::int64_t payload_end = 0;  // 0: up to the end of the source
  std::int64_t size = 0;
  const bool has_footer = header.footer_flag == 1;
  if (has_footer) {
    size = stream_size(&source);
    if (size < 0) return unexplained_failure(ErrorCode::kIo);
    payload_end = std::max(size - kFooterSize, kCompressedPayloadOffset);
  }

  std::uint32_t crc = 0;
  BUSFOLD_TRY(decompress_payload(source, payload_end, window_bits, lookahead_bits, max_content,
                                 *memory, crc));

  if (has_footer) {
    // The footer must lie after the fixed fields, not overlap them.
    std::uint8_t footer[kFooterSize];
    if (size < kCompressedPayloadOffset + kFooterSize ||
        source.seek(size - kFooterSize, kSeekSet) != size - kFooterSize ||
        !stream_read_exact(source, footer, sizeof footer)) {
      return make_error(ErrorCode::kInvalidInput,
                        "Expected to read out CRC from footer, but found none");
    }
    const std::uint32_t expected = load_be32(footer);
    if (expected != crc) {
      return make_error(ErrorCode::kInvalidInput,
                        "Could not validate checksum, expected %08X but found %08X", expected, crc);
    }
  }

  memory->seek(0, kSeekSet);
  return StreamPtr(
      std::make_unique<ContainerStream>(header, std::move(memory), window_field, lookahead_field));
}

}  // namespace busfold
