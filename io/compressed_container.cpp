#include "io/compressed_container.h"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <new>

#include "base/bytes.h"
#include "base/log.h"
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

// Decodes the payload [start, end) of the source into memory; false when anything
// fails. `crc` receives the register over the payload bytes the decoder consumed.
bool decompress_payload(Stream& source, std::int64_t end, int window_bits, int lookahead_bits,
                        std::uint64_t max_content, MemoryStream& memory, std::uint32_t& crc) {
  auto range = range_stream_new(&source, kCompressedPayloadOffset, end);
  if (!range || range->seek(0, kSeekSet) != 0) return false;
  auto checksum = crc32_stream_new(*range);
  if (!checksum) return false;
  auto decompress = decompress_stream_new(*checksum, window_bits, lookahead_bits);
  if (!decompress) return false;

  std::uint64_t copied = 0;
  CopyStatus status = container_copy(*decompress, memory, copied, max_content);
  if (status == CopyStatus::kWriteFailed) {
    BUSFOLD_LOG(kLogError, "Out of memory after %" PRIu64 " bytes of decompressed content", copied);
  }
  if (status == CopyStatus::kTooLarge) {
    BUSFOLD_LOG(kLogError, "Decompressed content exceeds %" PRIu64 " bytes", max_content);
  }
  if (status != CopyStatus::kDone) return false;
  crc = crc32_stream_value(*checksum);
  return true;
}

}  // namespace

StreamPtr compressed_container_open(Stream& source, const ContainerHeader& header,
                                    std::uint64_t max_content) {
  if (!header_accepted(header)) return nullptr;

  std::uint8_t fields[8];
  if (source.seek(kContainerHeaderSize, kSeekSet) !=
          static_cast<std::int64_t>(kContainerHeaderSize) ||
      !stream_read_exact(source, fields, sizeof fields)) {
    return nullptr;
  }
  const std::uint32_t lookahead_field = load_be32(fields);
  const std::uint32_t window_field = load_be32(fields + 4);
  const int window_bits = window_field == 0 ? 0 : std::countr_zero(window_field);
  const int lookahead_bits = static_cast<int>(lookahead_field & 0xFFu);

  auto memory = memory_stream_new();
  if (!memory) return nullptr;

  // The payload runs to the end of the file, or stops before a 4-byte footer. The
  // size is 64-bit: files over 4 GiB must not wrap into a tiny payload.
  std::int64_t payload_end = 0;  // 0: up to the end of the source
  std::int64_t size = 0;
  const bool has_footer = header.footer_flag == 1;
  if (has_footer) {
    size = stream_size(&source);
    if (size < 0) return nullptr;
    payload_end = std::max(size - kFooterSize, kCompressedPayloadOffset);
  }

  std::uint32_t crc = 0;
  if (!decompress_payload(source, payload_end, window_bits, lookahead_bits, max_content, *memory,
                          crc)) {
    return nullptr;
  }

  if (has_footer) {
    // The footer must lie after the fixed fields, not overlap them.
    std::uint8_t footer[kFooterSize];
    if (size < kCompressedPayloadOffset + kFooterSize ||
        source.seek(size - kFooterSize, kSeekSet) != size - kFooterSize ||
        !stream_read_exact(source, footer, sizeof footer)) {
      BUSFOLD_LOG(kLogError, "Expected to read out CRC from footer, but found none");
      return nullptr;
    }
    const std::uint32_t expected = load_be32(footer);
    if (expected != crc) {
      BUSFOLD_LOG(kLogError, "Could not validate checksum, expected %08X but found %08X", expected,
                  crc);
      return nullptr;
    }
  }

  memory->seek(0, kSeekSet);
  return StreamPtr(new (std::nothrow)
                       ContainerStream(header, std::move(memory), window_field, lookahead_field));
}

}  // namespace busfold
