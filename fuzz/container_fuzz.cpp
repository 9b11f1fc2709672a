// Unwraps the bytes as the pipeline does: identify a container, open it as compressed or
// encrypted (password "password"), and go on with its content while that is a container
// again. Every compressed payload is also decoded by a plain bit-by-bit decoder written
// from the format's description, and by the decompressing stream read in odd piece
// sizes: all three must agree byte for byte.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "io/compressed_container.h"
#include "io/container_header.h"
#include "io/container_stream.h"
#include "io/crc32_stream.h"
#include "io/decompress_stream.h"
#include "io/encrypted_container.h"
#include "io/memory_stream.h"
#include "io/range_stream.h"

namespace busfold::fuzz {
namespace {

constexpr std::string_view kPassword = "password";
// Deeper levels are only unwrapped while the content stays small, to keep each run fast.
constexpr std::size_t kMaxNestedContent = std::size_t{1} << 20;
constexpr int kMaxLevels = 4;

// MSB-first bit reader over the payload.
class Bits {
public:
  explicit Bits(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool has(int n) const { return bytes_.size() * 8 - at_ >= static_cast<std::size_t>(n); }
  std::uint32_t take(int n) {
    std::uint32_t value = 0;
    for (int i = 0; i < n; ++i, ++at_)
      value = (value << 1) | ((bytes_[at_ / 8] >> (7 - at_ % 8)) & 1u);
    return value;
  }

private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// The LZSS bit stream decoded one token at a time, straight from its description.
std::vector<std::uint8_t> reference_decode(std::span<const std::uint8_t> payload, int w, int l) {
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> window(std::size_t{1} << w, 0);
  const std::uint32_t mask = (1u << w) - 1;
  std::uint32_t head = 0;
  Bits bits(payload);
  auto emit = [&](std::uint8_t byte) {
    out.push_back(byte);
    window[head & mask] = byte;
    ++head;
  };
  while (bits.has(1)) {
    if (bits.take(1) == 1) {
      if (!bits.has(8)) break;
      emit(static_cast<std::uint8_t>(bits.take(8)));
      continue;
    }
    if (!bits.has(w)) break;
    std::uint32_t distance = bits.take(w) + 1;
    if (!bits.has(l)) break;
    std::uint32_t length = bits.take(l) + 1;
    for (std::uint32_t i = 0; i < length; ++i)
      emit(window[(head - distance) & mask]);
  }
  return out;
}

// The decompressing stream over the payload, read in pieces of changing odd sizes.
std::vector<std::uint8_t> stream_decode(Stream& source, std::int64_t end, int w, int l) {
  std::vector<std::uint8_t> out;
  auto range = range_stream_new(&source, kCompressedPayloadOffset, end);
  FUZZ_CHECK(range != nullptr);
  range->seek(0, kSeekSet);
  auto decompress = decompress_stream_new(*range, w, l);
  FUZZ_CHECK(decompress != nullptr);
  static constexpr std::uint64_t kPieces[] = {1, 7, 333, 4096, 2, 65537};
  std::uint8_t buffer[65537];
  for (std::size_t i = 0;; ++i) {
    std::uint64_t want = kPieces[i % std::size(kPieces)];
    std::int64_t got = decompress->read(buffer, want);
    FUZZ_CHECK(got >= 0 && static_cast<std::uint64_t>(got) <= want);
    out.insert(out.end(), buffer, buffer + got);
    if (static_cast<std::uint64_t>(got) < want) break;
  }
  return out;
}

void check_compressed(MemoryStream& source, const ContainerStream& container) {
  const std::uint32_t window_field = container.window_field();
  const int w = window_field == 0 ? 0 : std::countr_zero(window_field);
  const int l = static_cast<int>(container.lookahead_field() & 0xFFu);
  std::span<const std::uint8_t> all = source.bytes();
  const bool footer = container.header().footer_flag == 1;
  FUZZ_CHECK(all.size() >= kCompressedPayloadOffset + (footer ? 4u : 0u));
  const std::size_t end = footer ? all.size() - 4 : all.size();
  std::span<const std::uint8_t> payload =
      all.subspan(kCompressedPayloadOffset, end - kCompressedPayloadOffset);

  std::span<const std::uint8_t> content = container.bytes();
  std::vector<std::uint8_t> expected = reference_decode(payload, w, l);
  FUZZ_CHECK(expected.size() == content.size());
  FUZZ_CHECK(std::equal(expected.begin(), expected.end(), content.begin()));
  std::vector<std::uint8_t> pieces =
      stream_decode(source, footer ? static_cast<std::int64_t>(end) : 0, w, l);
  FUZZ_CHECK(pieces == expected);
  if (footer) {
    FUZZ_CHECK(crc32_update(0xFFFFFFFFu, payload) == load_be32(all.data() + end));
  }
}

}  // namespace
}  // namespace busfold::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace busfold;
  std::vector<std::uint8_t> bytes = fuzz::with_small_iterations(data, size);
  std::unique_ptr<MemoryStream> current = memory_stream_from(bytes);
  if (!current) return 0;
  // What the pipeline allows every level of a file.
  const std::uint64_t max_content = size * kLzssMaxExpansion;
  for (int level = 0; level < fuzz::kMaxLevels; ++level) {
    if (level > 0 && current->size() > fuzz::kMaxNestedContent) break;
    ContainerHeader header;
    if (!container_identify(*current, header)) break;
    StreamPtr inner;
    if (header.type == kContainerTypeCompressed) {
      if (auto opened = compressed_container_open(*current, header, max_content); opened.ok())
        inner = std::move(*opened);
      if (inner) fuzz::check_compressed(*current, static_cast<ContainerStream&>(*inner));
    } else if (header.type == kContainerTypeEncrypted) {
      auto opened = encrypted_container_open(
          *current, header,
          {reinterpret_cast<const std::uint8_t*>(fuzz::kPassword.data()), fuzz::kPassword.size()});
      if (opened.ok()) inner = std::move(*opened);
    }
    if (!inner) break;
    // Go on with a copy of the content, so that the next level's input may be patched.
    auto& container = static_cast<ContainerStream&>(*inner);
    FUZZ_CHECK(container.tell() == 0);
    std::span<const std::uint8_t> content = container.bytes();
    std::vector<std::uint8_t> next = fuzz::with_small_iterations(content.data(), content.size());
    current = memory_stream_from(next);
    if (!current) break;
  }
  return 0;
}
