// Unwraps the bytes as the pipeline does: identify a container, open it as compressed or
// encrypted (password "password"), and go on with its content while that is a container
// again. Every compressed payload is also decoded by a plain bit-by-bit decoder written
// from the format's description, and by the decompressing stream read in odd piece
// sizes: all three must agree byte for byte, and a footer that passed must match the CRC.
#include <algorithm>
#include <bit>

#include "fuzz/fuzz_support.h"
#include "io/compressed_container.h"
#include "io/container_stream.h"
#include "io/crc32_stream.h"
#include "io/encrypted_container.h"
#include "io/memory_stream.h"
#include "tests/support/lzss_encoder.h"

namespace busfold::fuzz {
namespace {

constexpr std::uint8_t kPassword[] = {'p', 'a', 's', 's', 'w', 'o', 'r', 'd'};
// Deeper levels are only unwrapped while the content stays small, to keep each run fast.
constexpr std::size_t kMaxNestedContent = std::size_t{1} << 20;
constexpr int kMaxLevels = 4;

void check_compressed(MemoryStream& source, const ContainerStream& container) {
  const int w = std::countr_zero(container.window_field());
  const int l = static_cast<int>(container.lookahead_field() & 0xFFu);
  const bool footer = container.header().footer_flag == 1;
  std::span<const std::uint8_t> all = source.bytes();
  FUZZ_CHECK(all.size() >= kCompressedPayloadOffset + (footer ? 4u : 0u));
  const std::size_t end = footer ? all.size() - 4 : all.size();
  std::span<const std::uint8_t> payload = all.first(end).subspan(kCompressedPayloadOffset);
  const std::vector<std::uint8_t> expected = lzss_reference_decode(payload, w, l);
  FUZZ_CHECK(std::ranges::equal(container.bytes(), expected));
  if (footer) FUZZ_CHECK(crc32_update(0xFFFFFFFFu, payload) == load_be32(all.data() + end));

  // The decoder fed the payload in pieces of changing odd sizes.
  static constexpr std::size_t kPieces[] = {1, 7, 333, 4096, 2, 65537};
  FUZZ_CHECK(lzss_decode_in_pieces(payload, w, l, kPieces) == expected);
}

}  // namespace
}  // namespace busfold::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace busfold;
  std::unique_ptr<MemoryStream> current =
      memory_stream_from(fuzz::with_small_iterations(data, size));
  // What the pipeline allows every level of a file.
  const std::uint64_t max_content = size * kLzssMaxExpansion;
  for (int level = 0; current && level < fuzz::kMaxLevels; ++level) {
    if (level > 0 && current->size() > fuzz::kMaxNestedContent) break;
    ContainerHeader header;
    if (!container_identify(*current, header)) break;
    Result<StreamPtr> opened = make_error(ErrorCode::kInvalidInput, "no container");
    if (header.type == kContainerTypeCompressed) {
      opened = compressed_container_open(*current, header, max_content);
    } else if (header.type == kContainerTypeEncrypted) {
      opened = encrypted_container_open(*current, header, fuzz::kPassword);
    }
    if (!opened.ok() || *opened == nullptr) break;
    auto& container = static_cast<ContainerStream&>(**opened);
    if (header.type == kContainerTypeCompressed) fuzz::check_compressed(*current, container);
    FUZZ_CHECK(container.tell() == 0);
    // Go on with a copy of the content, so that the next level's input may be patched.
    current = memory_stream_from(
        fuzz::with_small_iterations(container.bytes().data(), container.bytes().size()));
  }
  return 0;
}
