// Compressed and encrypted containers: what they refuse, the LZSS decoder against a literal
// reading of its rules, round trips, hostile sizes and slow sources.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "base/bytes.h"
#include "io/compressed_container.h"
#include "io/crc32_stream.h"
#include "io/encrypted_container.h"
#include "io/memory_stream.h"
#include "tests/support/container_writer.h"
#include "tests/support/lzss_encoder.h"

namespace busfold {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Random bytes; `repetitive` adds long zero runs and keeps few values, for long matches.
Bytes sample(std::size_t n, unsigned seed, bool repetitive = false) {
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < n) {
    out.push_back(static_cast<std::uint8_t>(repetitive ? rng() % 4 : rng()));
    if (repetitive && rng() % 500 == 0) out.insert(out.end(), rng() % 3000, 0);
  }
  out.resize(n);
  return out;
}

// Opens the source as the container its header (or `forced`) names.
Result<StreamPtr> open_container(Stream& source, const ContainerHeader* forced = nullptr,
                                 std::string_view password = "password",
                                 std::uint64_t limit = UINT64_MAX) {
  ContainerHeader header = forced != nullptr ? *forced : ContainerHeader{};
  if (forced == nullptr && !container_identify(source, header))
    return unexplained_failure(ErrorCode::kNotFound);
  return header.type == kContainerTypeEncrypted
             ? encrypted_container_open(source, header, as_bytes(password))
             : compressed_container_open(source, header, limit);
}

Result<StreamPtr> open_bytes(const Bytes& file, const ContainerHeader* forced = nullptr,
                             std::string_view password = "password",
                             std::uint64_t limit = UINT64_MAX) {
  return open_container(*memory_stream_from(file), forced, password, limit);
}

// The one line of a failure, or "" for success or a failure without one.
std::string message_of(const Result<StreamPtr>& result) {
  const auto& lines = result.status().messages();
  return lines.empty() ? "" : lines.front();
}

TEST(CompressedContainer, RefusesHeadersAndParameters) {
  const Bytes data = sample(3000, 1, true);
  Bytes file = compressed_container_write(data, {.device_id = 0x00A1B2C3});
  ContainerHeader header;
  ASSERT_TRUE(container_identify(*memory_stream_from(file), header));
  EXPECT_EQ(header.device_id, 0x00A1B2C3u);
  EXPECT_FALSE(container_identify(*memory_stream_from({file.data(), 19}), header));
  file[11] = 'E';  // the magic
  EXPECT_FALSE(container_identify(*memory_stream_from(file), header));

  const Bytes payload = lzss_encode(data, 11, 4);
  const struct {
    std::uint8_t first, footer, version;
    std::uint32_t window_field, lookahead_field;
    bool append_footer, opens;
  } cases[] = {
      {0, 0, 1, 0x800, 4, false, true},            // W 11 from the window size
      {0, 0, 1, 0x8800, 0xFFFFFF04, false, true},  // trailing zeros and low byte only
      {1, 1, 1, 0x800, 4, true, true},
      {1, 1, 1, 0x800, 4, false, false},  // both flags set: the footer is required
      {1, 0, 1, 0x800, 4, false, false},
      {0, 1, 1, 0x800, 4, true, false},
      {2, 2, 1, 0x800, 4, true, false},
      {0, 0, 2, 0x800, 4, false, false},
      {0, 0, 1, 0x801, 4, false, false},    // W 0
      {0, 0, 1, 0x8, 4, false, false},      // W 3
      {0, 0, 1, 0x10000, 4, false, false},  // W 16
      {0, 0, 1, 0x800, 11, false, false},   // L must stay below W
      {0, 0, 1, 0x800, 2, false, false},
  };
  for (const auto& c : cases) {
    file = compressed_container_wrap(payload, c.window_field, c.lookahead_field, c.append_footer);
    file[12] = c.first;
    file[13] = c.footer;
    file[15] = c.version;
    Result<StreamPtr> opened = open_bytes(file);
    ASSERT_EQ(opened.ok(), c.opens) << int{c.first} << int{c.footer} << " " << c.window_field;
    // Only a checksum is worth a line; refused headers and parameters leave it to the caller.
    EXPECT_EQ(message_of(opened).starts_with("Could not validate checksum"),
              c.first == 1 && c.footer == 1 && !c.opens);
    EXPECT_TRUE(!opened.ok() || read_all(**opened) == data);
  }
}

TEST(LzssDecoder, GarbageDecodesAsTheRulesSayInAnyPiecesWithZerosBeforeTheStart) {
  // Also stays in bounds, for the sanitizers.
  const int params[][2] = {{4, 3}, {8, 4}, {9, 8}, {12, 11}, {15, 14}};
  for (unsigned seed = 0; seed < 30; ++seed) {
    for (const auto& [w, l] : params) {
      const Bytes payload = sample(1 + seed * 29, seed);
      const Bytes expected = lzss_reference_decode(payload, w, l);
      for (std::size_t piece : {std::size_t{4096}, std::size_t{1} + seed * 7})
        EXPECT_EQ(lzss_decode_in_pieces(payload, w, l, std::span(&piece, 1)), expected);
    }
  }
  // What lies before the first byte reads as zeros.
  BitWriter bits;  // a literal, then 5 bytes from 3 back: 2 zeros, 'A', 2 zeros
  bits.literal('A');
  bits.reference(3, 5, 8, 4);
  std::vector<std::uint8_t> room(1 + 64, 0xFF);  // a byte before the output that is no zero
  auto decoder = LzssDecoder::create(8, 4);
  decoder->feed(bits.bytes());
  ASSERT_EQ(decoder->decode_onto(room.data() + 1, 0, 64), 6u);
  EXPECT_EQ(Bytes(room.begin() + 1, room.begin() + 7), (Bytes{'A', 0, 0, 'A', 0, 0}));
}

// A file read at most 7 bytes at a time, as a slow source gives it. A `hole` moves the last
// four bytes that much further; reads in the hole find the end.
class SlowStream final : public Stream {
public:
  explicit SlowStream(Bytes file, std::int64_t hole = 0) : file_(std::move(file)), hole_(hole) {}
  std::int64_t read(void* buffer, std::uint64_t n) override {
    const auto tail = static_cast<std::int64_t>(file_.size()) - 4;
    if (position_ >= tail && position_ < tail + hole_) return 0;
    const std::int64_t at = position_ < tail ? position_ : position_ - hole_;
    const std::int64_t end = position_ < tail ? tail : tail + 4;
    const std::int64_t k = std::clamp<std::int64_t>(end - at, 0, std::min<std::uint64_t>(n, 7));
    if (k > 0) std::memcpy(buffer, file_.data() + at, static_cast<std::size_t>(k));
    position_ += k;
    return k;
  }
  std::int64_t tell() override { return position_; }
  std::int64_t seek(std::int64_t offset, int whence) override {
    const std::int64_t size = static_cast<std::int64_t>(file_.size()) + hole_;
    return position_ = (whence == kSeekEnd ? size : whence == kSeekCur ? position_ : 0) + offset;
  }

private:
  Bytes file_;
  std::int64_t hole_;
  std::int64_t position_ = 0;
};

// Read through a slow source: sizes around the 1024-byte input pieces and 4096-byte output
// chunks; 1300 bytes end in a partial piece and a partial AES block, 512 are one whole piece.
TEST(Containers, RoundTripAnyWindowLookaheadAndSize) {
  for (std::size_t size : {0, 1, 16, 512, 1023, 1025, 1300, 4095, 4096, 4097, 9000, 70001}) {
    for (bool repetitive : {false, true}) {
      const Bytes data = sample(size, static_cast<unsigned>(size), repetitive);
      std::vector<Bytes> files = {encrypted_container_write(data)};
      for (auto [w, l] : {std::pair{4, 3}, {8, 4}, {11, 4}, {13, 8}, {15, 14}}) {
        for (bool footer : {false, true})
          files.push_back(compressed_container_write(
              data, {.window_bits = w, .lookahead_bits = l, .footer = footer}));
      }
      for (const Bytes& file : files) {
        SlowStream source(file);
        Result<StreamPtr> opened = open_container(source);
        ASSERT_TRUE(opened.ok()) << size;
        EXPECT_EQ(read_all(**opened), data)
            << size << " " << repetitive << " " << &file - &files[0];
      }
    }
  }
  // 9 MiB: more than the content buffer starts with, and than a payload piece.
  const Bytes data = sample(9 << 20, 7, true);
  Result<StreamPtr> opened = open_bytes(compressed_container_write(data, {}));
  ASSERT_TRUE(opened.ok());
  EXPECT_TRUE(read_all(**opened) == data);
}

TEST(CompressedContainer, FooterIsTheCrcOfThePayload) {
  // The uninverted register of the usual CRC-32.
  EXPECT_EQ(crc32_update(kCrc32Initial, as_bytes("123456789")), ~0xCBF43926u);
  // The folding of long runs against the register a bit at a time, for every length around
  // its 64- and 16-byte steps, any alignment, and a run split anywhere.
  const Bytes bytes = sample(400, 7);
  for (std::size_t at = 0; at < 4; ++at) {
    std::uint32_t bitwise = 0x01234567u;
    for (std::size_t n = 0; at + n < 300; ++n) {
      const std::span<const std::uint8_t> run(bytes.data() + at, n);
      EXPECT_EQ(crc32_update(0x01234567u, run), bitwise) << at << " " << n;
      EXPECT_EQ(crc32_update(crc32_update(0x01234567u, run.first(n / 3)), run.subspan(n / 3)),
                bitwise);
      bitwise ^= bytes[at + n];
      for (int bit = 0; bit < 8; ++bit)
        bitwise = (bitwise >> 1) ^ ((bitwise & 1u) ? 0xEDB88320u : 0u);
    }
  }
  Bytes file = compressed_container_wrap({}, 0x800, 4, true);
  ASSERT_TRUE(open_bytes(file).ok());
  file.back() = 0xFE;
  EXPECT_EQ(message_of(open_bytes(file)),
            "Could not validate checksum, expected FFFFFFFE but found FFFFFFFF");
  file.resize(28);  // too short to hold a footer after its fixed fields
  Result<StreamPtr> opened = open_bytes(file);
  EXPECT_EQ(opened.status().code(), ErrorCode::kInvalidInput);
  EXPECT_EQ(message_of(opened), "Expected to read out CRC from footer, but found none");
}

TEST(Containers, ContentPast4GiBAndNestedContainersComeWhole) {
  // Past 4 GiB: cut to 32 bits, the payload would end after 28 bytes and fail the checksum.
  const Bytes data = sample(2000, 5, true);
  SlowStream huge(compressed_container_write(data), std::int64_t{1} << 32);
  Result<StreamPtr> opened = open_container(huge);
  ASSERT_TRUE(opened.ok());
  EXPECT_EQ(read_all(**opened), data);
  // Nested, several pieces long, so that the outer content is given back while it is read.
  const Bytes plain = sample(std::size_t{5} << 20, 2, true);
  for (const Bytes& file : {encrypted_container_write(compressed_container_write(plain)),
                            compressed_container_write(encrypted_container_write(plain))}) {
    Result<StreamPtr> outer = open_bytes(file);
    ASSERT_TRUE(outer.ok());
    Result<StreamPtr> inner = open_container(**outer);
    ASSERT_TRUE(inner.ok());
    EXPECT_EQ(read_all(**inner), plain);
  }
}

TEST(CompressedContainer, ContentBeyondTheLimitIsRefused) {
  // The densest stream there is: 30-bit references that each copy 2^14 bytes.
  BitWriter bits;
  for (int i = 0; i < 64; ++i)
    bits.reference(1, 1 << 14, 15, 14);
  const Bytes file = compressed_container_wrap(bits.bytes(), 1u << 15, 14, false);
  constexpr std::uint64_t kContent = std::uint64_t{64} << 14;
  EXPECT_LE(kContent, bits.bytes().size() * kLzssMaxExpansion);
  Result<StreamPtr> opened = open_bytes(file, nullptr, "", kContent);
  ASSERT_TRUE(opened.ok());
  EXPECT_EQ(read_all(**opened), Bytes(kContent, 0));
  opened = open_bytes(file, nullptr, "", kContent - 1);
  EXPECT_EQ(opened.status().code(), ErrorCode::kLimit);
  EXPECT_EQ(message_of(opened), "Decompressed content exceeds 1048575 bytes");
}

TEST(EncryptedContainer, KeyIsPbkdf2HmacSha256AndRefusalsAreClean) {
  std::array<std::uint8_t, 32> key{};
  ASSERT_TRUE(encrypted_container_derive_key(as_bytes("password"), as_bytes("salt"), 2, key));
  const std::uint8_t expected[32] = {0xae, 0x4d, 0x0c, 0x95, 0xaf, 0x6b, 0x46, 0xd3,
                                     0x2d, 0x0a, 0xdf, 0xf9, 0x28, 0xf0, 0x6d, 0xd0,
                                     0x2a, 0x30, 0x3f, 0x8e, 0xf3, 0xc2, 0x51, 0xdf,
                                     0xd6, 0xe2, 0xd8, 0x5a, 0x95, 0x47, 0x4c, 0x43};
  EXPECT_TRUE(std::equal(key.begin(), key.end(), expected));

  Bytes file = encrypted_container_write(sample(40, 1), {.iterations = 10, .first_flag = 1});
  ContainerHeader good;
  ASSERT_TRUE(container_identify(*memory_stream_from(file), good));
  ASSERT_TRUE(open_bytes(file, &good).ok());
  EXPECT_FALSE(open_bytes(file, &good, "Password").ok());
  for (std::size_t i = 0; i < 52; ++i) {  // every header byte is authenticated
    Bytes changed = file;
    changed[i] ^= 0x01;
    EXPECT_FALSE(open_bytes(changed, &good).ok()) << "byte " << i;
  }
  for (auto change : {+[](ContainerHeader& h) { h.footer_flag = 1; },
                      +[](ContainerHeader& h) { h.first_flag = 2; },
                      +[](ContainerHeader& h) { h.version = 2; }}) {
    ContainerHeader header = good;
    change(header);
    EXPECT_FALSE(open_bytes(file, &header).ok());
  }
  file = encrypted_container_write({});
  file.pop_back();
  EXPECT_FALSE(open_bytes(file).ok());
  // Patched in rather than written: writing would run the derivation itself.
  file = encrypted_container_write({});
  store_be32(file.data() + 32, kMaxKeyDerivationIterations + 1);
  Result<StreamPtr> opened = open_bytes(file);
  EXPECT_EQ(opened.status().code(), ErrorCode::kLimit);
  EXPECT_EQ(message_of(opened), "Refusing key derivation with 10000001 iterations");
}

}  // namespace
}  // namespace busfold
