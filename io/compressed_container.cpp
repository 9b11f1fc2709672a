#include "io/compressed_container.h"

#include <algorithm>
#include <bit>
#include <cinttypes>

#include "base/bytes.h"
#include "io/container_stream.h"
#include "io/crc32_stream.h"
#include "io/decompress_stream.h"
#include "io/memory_stream.h"
#include "io/range_stream.h"

namespace busfold {

namespace {

constexpr std::int64_t kFooterSize = 4;

bool header_accepted(const ContainerHeader& header) {
  return header.type == kContainerTypeCompressed && header.version == kContainerVersion &&
         header.first_flag <= 1 && header.footer_flag == header.first_flag;
}

// Decodes the payload [start, end) of the source into memory. `crc` receives the
// register over the payload bytes the decoder consumed.
Status decompress_payload(Stream& source, std::int64_t end, int window_bits, int lookahead_bits,
                          std::uint64_t max_content, MemoryStream& memory, std::uint32_t& crc) {
  auto range = range_stream_new(&source, kCompressedPayloadOffset, end);
  if (!range || range->seek(0, kSeekSet) != 0) return unexplained_failure(ErrorCode::kIo);
  Crc32Stream checksum(*range);
  auto decompress = decompress_stream_new(checksum, window_bits, lookahead_bits);
  if (!decompress) return unexplained_failure(ErrorCode::kUnsupported);

  std::uint64_t copied = 0;
  switch (stream_copy(*decompress, memory, copied, max_content)) {
  case CopyStatus::kDone: break;
  case CopyStatus::kReadFailed: return unexplained_failure(ErrorCode::kIo);
  case CopyStatus::kWriteFailed:
    return make_error(ErrorCode::kOutOfMemory,
                      "Out of memory after %" PRIu64 " bytes of decompressed content", copied);
  case CopyStatus::kTooLarge:
    return make_error(ErrorCode::kLimit, "Decompressed content exceeds %" PRIu64 " bytes",
                      max_content);
  }
  crc = checksum.value();
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
