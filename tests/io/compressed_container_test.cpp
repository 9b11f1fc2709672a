#include "io/compressed_container.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "base/bytes.h"
#include "io/container_stream.h"
#include "io/crc32_stream.h"
#include "io/decompress_stream.h"
#include "io/memory_stream.h"
#include "tests/support/container_writer.h"
#include "tests/support/lzss_encoder.h"

namespace busfold {
namespace {

using Bytes = std::vector<std::uint8_t>;

Result<StreamPtr> open_compressed(const Bytes& file, std::uint64_t limit = UINT64_MAX) {
  auto source = memory_stream_from(file);
  ContainerHeader header;
  if (!container_identify(*source, header)) return unexplained_failure(ErrorCode::kNotFound);
  return compressed_container_open(*source, header, limit);
}

// The one line of a failure, or "" for success or a failure without one.
std::string message_of(const Result<StreamPtr>& result) {
  const auto& lines = result.status().messages();
  return lines.empty() ? "" : lines.front();
}

// Decodes a bare bit stream, taking the output in pieces of `piece` bytes.
Bytes decode(const Bytes& payload, int w, int l, std::size_t piece = 4096) {
  auto source = memory_stream_from(payload);
  auto stream = decompress_stream_new(*source, w, l);
  Bytes out(piece);
  Bytes all;
  for (std::int64_t got; (got = stream->read(out.data(), piece)) > 0;) {
    all.insert(all.end(), out.begin(), out.begin() + got);
  }
  return all;
}

Bytes random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out)
    b = static_cast<std::uint8_t>(rng());
  return out;
}

// Records with a counter, a timestamp and a few changing bytes, plus zero runs.
Bytes repetitive_bytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out;
  for (std::uint32_t i = 0; out.size() < n; ++i) {
    const std::uint8_t record[] = {0x01, 0x00, static_cast<std::uint8_t>(i),
                                   0x12, 0x34, static_cast<std::uint8_t>(rng() % 4),
                                   0,    0,    0,
                                   0};
    out.insert(out.end(), record, record + sizeof record);
    if (i % 97 == 0) out.insert(out.end(), rng() % 3000, 0);
  }
  out.resize(n);
  return out;
}

TEST(ContainerIdentify, NeedsAllTwentyBytesAndTheMagic) {
  Bytes file = container_header_bytes(1, 1, 34, 1, 0x00A1B2C3);
  ContainerHeader header;
  EXPECT_TRUE(container_identify(*memory_stream_from(file), header));
  EXPECT_EQ(header.device_id, 0x00A1B2C3u);
  EXPECT_EQ(header.type, 34);
  EXPECT_EQ(header.version, 1);
  EXPECT_EQ(header.first_flag, 1);
  EXPECT_EQ(header.footer_flag, 1);

  EXPECT_FALSE(container_identify(*memory_stream_from({file.data(), 19}), header));
  file[11] = 'E';
  EXPECT_FALSE(container_identify(*memory_stream_from(file), header));
}

TEST(CompressedContainer, RefusesHeadersAndParameters) {
  const Bytes data = repetitive_bytes(3000, 1);
  const Bytes payload = lzss_encode(data, 11, 4);
  struct Case {
    std::uint8_t first, footer, type, version;
    std::uint32_t window_field, lookahead_field;
    bool append_footer, opens;
  };
  const Case cases[] = {
      {0, 0, 34, 1, 0x800, 4, false, true},            // W 11 from the window size
      {0, 0, 34, 1, 0x8800, 0xFFFFFF04, false, true},  // trailing zeros and low byte only
      {1, 1, 34, 1, 0x800, 4, true, true},
      {1, 1, 34, 1, 0x800, 4, false, false},  // both flags set: the footer is required
      {1, 0, 34, 1, 0x800, 4, false, false},
      {0, 1, 34, 1, 0x800, 4, true, false},
      {2, 2, 34, 1, 0x800, 4, true, false},
      {0, 0, 34, 2, 0x800, 4, false, false},
      {0, 0, 17, 1, 0x800, 4, false, false},
      {0, 0, 34, 1, 0, 4, false, false},        // W 0
      {0, 0, 34, 1, 0x801, 4, false, false},    // W 0
      {0, 0, 34, 1, 0x8, 4, false, false},      // W 3
      {0, 0, 34, 1, 0x10000, 4, false, false},  // W 16
      {0, 0, 34, 1, 0x800, 11, false, false},   // L must stay below W
      {0, 0, 34, 1, 0x800, 2, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "flags " << int{c.first} << "/" << int{c.footer}
                                    << " window " << c.window_field << " L " << c.lookahead_field);
    Bytes file =
        compressed_container_wrap(payload, c.window_field, c.lookahead_field, c.append_footer);
    std::copy_n(container_header_bytes(c.first, c.footer, c.type, c.version, 0).begin(), 20,
                file.begin());
    Result<StreamPtr> opened = open_compressed(file);
    ASSERT_EQ(opened.ok(), c.opens);
    if (opened.ok()) {
      EXPECT_EQ(read_all(**opened), data);
    } else {
      // Only a checksum is worth a line; refused headers and parameters leave it to the caller.
      EXPECT_EQ(message_of(opened).starts_with("Could not validate checksum"),
                c.first == 1 && c.footer == 1);
    }
  }
}

TEST(LzssDecoder, DecodesHandMadeStreams) {
  EXPECT_EQ(decode({0xB0}, 8, 4), Bytes{});  // the literal lacks a bit: padding
  EXPECT_EQ(decode({0xB0, 0x00}, 8, 4), Bytes{0x60});
  EXPECT_EQ(decode({0xA0, 0x80, 0x10}, 8, 4), Bytes(6, 0x41));

  // Distances before the first byte read the zeroed window; W > 8 fields span bytes.
  BitWriter bits;
  bits.literal('x');
  bits.reference(2048, 8, 11, 4);
  bits.literal('y');
  bits.reference(1, 16, 11, 4);
  Bytes expected = {'x', 0, 0, 0, 0, 0, 0, 0, 0};
  expected.resize(expected.size() + 17, 'y');
  EXPECT_EQ(decode(bits.bytes(), 11, 4), expected);
}

// The rules read literally, one bit at a time.
Bytes reference_decode(const Bytes& payload, int w, int l) {
  std::size_t bit = 0;
  const std::size_t total = payload.size() * 8;
  auto field = [&](int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++bit)
      v = v << 1 | ((payload[bit / 8] >> (7 - bit % 8)) & 1u);
    return v;
  };
  Bytes window(std::size_t{1} << w), out;
  auto emit = [&](std::uint8_t b) {
    window[out.size() % window.size()] = b;
    out.push_back(b);
  };
  while (bit < total) {
    if (field(1) == 1) {
      if (total - bit < 8) break;
      emit(static_cast<std::uint8_t>(field(8)));
    } else {
      if (total - bit < static_cast<std::size_t>(w + l)) break;
      std::uint32_t distance = field(w) + 1, length = field(l) + 1;
      while (length-- > 0)
        emit(window[(out.size() - distance) % window.size()]);
    }
  }
  return out;
}

TEST(LzssDecoder, HostilePayloadsStayInBoundsAndDecodeAlikeInAnyPieces) {
  // Garbage, decoded with varying output pieces: must not trip the sanitizers and
  // must give the reference bytes however the output is taken.
  const int params[][2] = {{4, 3}, {8, 4}, {9, 8}, {12, 11}, {15, 14}};
  for (unsigned seed = 0; seed < 30; ++seed) {
    for (const auto& p : params) {
      Bytes payload = random_bytes(1 + seed * 29, seed);
      Bytes expected = reference_decode(payload, p[0], p[1]);
      EXPECT_EQ(decode(payload, p[0], p[1]), expected);
      EXPECT_EQ(decode(payload, p[0], p[1], 1 + seed * 7), expected);
    }
  }
}

TEST(Crc32, FooterIsTheUninvertedRegister) {
  auto crc = [](std::string_view text) {
    return crc32_update(kCrc32Initial,
                        {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  };
  EXPECT_EQ(crc("abc"), 0xCADBBE3Du);
  EXPECT_EQ(crc(""), 0xFFFFFFFFu);
  EXPECT_EQ(crc("123456789"), ~0xCBF43926u);

  // The stream runs the register over what passes, in any pieces.
  Bytes data = random_bytes(1000, 7);
  auto source = memory_stream_from(data);
  Crc32Stream stream(*source);
  std::uint8_t piece[13];
  while (stream.read(piece, sizeof piece) > 0) {
  }
  EXPECT_EQ(stream.value(), crc32_update(kCrc32Initial, data));
}

TEST(CompressedContainer, EmptyPayloadMatchesOnlyTheInitialRegister) {
  Bytes file = compressed_container_wrap({}, 0x800, 4, true);
  ASSERT_TRUE(open_compressed(file).ok());
  EXPECT_EQ(read_all(**open_compressed(file)), Bytes{});
  file.back() = 0xFE;
  EXPECT_EQ(message_of(open_compressed(file)),
            "Could not validate checksum, expected FFFFFFFE but found FFFFFFFF");

  // A file too short to hold a footer after its fixed fields.
  file.resize(28);
  Result<StreamPtr> opened = open_compressed(file);
  EXPECT_EQ(opened.status().code(), ErrorCode::kInvalidInput);
  EXPECT_EQ(message_of(opened), "Expected to read out CRC from footer, but found none");
}

class CompressedRoundTrip : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(CompressedRoundTrip, RestoresRandomAndRepetitiveData) {
  auto [w, l] = GetParam();
  // Sizes around the 1024-byte input pieces and 4096-byte output chunks.
  for (std::size_t size : {0, 1, 1023, 1025, 4095, 4096, 4097, 9000, 70000}) {
    for (bool repetitive : {false, true}) {
      Bytes data = repetitive ? repetitive_bytes(size, w) : random_bytes(size, l);
      for (bool footer : {false, true}) {
        SCOPED_TRACE(testing::Message() << "size " << size << " repetitive " << repetitive);
        Result<StreamPtr> opened = open_compressed(compressed_container_write(
            data, {.window_bits = w, .lookahead_bits = l, .footer = footer}));
        ASSERT_TRUE(opened.ok());
        EXPECT_EQ(read_all(**opened), data);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(WindowAndLookahead, CompressedRoundTrip,
                         testing::Values(std::tuple{4, 3}, std::tuple{8, 4}, std::tuple{11, 4},
                                         std::tuple{13, 8}, std::tuple{15, 14}));

TEST(CompressedContainer, CorruptPayloadFailsTheChecksum) {
  Bytes file = compressed_container_write(repetitive_bytes(5000, 3));
  file[100] ^= 0x10;
  const std::uint32_t found = crc32_update(kCrc32Initial, {file.data() + 28, file.size() - 32});
  char expected[80];
  std::snprintf(expected, sizeof expected,
                "Could not validate checksum, expected %08X but found %08X",
                load_be32(file.data() + file.size() - 4), found);
  EXPECT_EQ(message_of(open_compressed(file)), expected);
}

// Claims to be 4 GiB + 60 bytes long but holds only the container it was given;
// its last four bytes are that container's footer.
class HugeSparseStream final : public Stream {
public:
  explicit HugeSparseStream(Bytes file) : file_(std::move(file)) {}
  static constexpr std::int64_t kSize = (std::int64_t{1} << 32) + 60;
  std::int64_t read(void* buffer, std::uint64_t n) override {
    const std::uint8_t* from = nullptr;
    std::uint64_t available = 0;
    if (position_ < static_cast<std::int64_t>(file_.size()) - 4) {
      from = file_.data() + position_;
      available = file_.size() - 4 - position_;
    } else if (position_ >= kSize - 4 && position_ < kSize) {
      from = file_.data() + file_.size() - (kSize - position_);
      available = kSize - position_;
    }
    std::uint64_t k = std::min(n, available);
    if (k > 0) std::memcpy(buffer, from, k);
    position_ += static_cast<std::int64_t>(k);
    return static_cast<std::int64_t>(k);
  }
  std::int64_t tell() override { return position_; }
  std::int64_t seek(std::int64_t offset, int whence) override {
    position_ = (whence == kSeekEnd ? kSize : whence == kSeekCur ? position_ : 0) + offset;
    return position_;
  }

private:
  Bytes file_;
  std::int64_t position_ = 0;
};

TEST(CompressedContainer, PayloadEndOfFilesBeyond4GiBDoesNotWrap) {
  // Cut to 32 bits, the payload would end after 28 bytes and fail the checksum.
  const Bytes data = repetitive_bytes(2000, 5);
  HugeSparseStream source(compressed_container_write(data));
  ContainerHeader header;
  ASSERT_TRUE(container_identify(source, header));
  Result<StreamPtr> opened = compressed_container_open(source, header);
  ASSERT_TRUE(opened.ok());
  EXPECT_EQ(read_all(**opened), data);
}

class FailingStream final : public Stream {
public:
  std::int64_t read(void*, std::uint64_t) override { return kStreamError; }
  std::int64_t write(const void*, std::uint64_t n) override {
    return n > 100 ? static_cast<std::int64_t>(100) : static_cast<std::int64_t>(n);
  }
};

TEST(CompressedContainer, ContentBeyondTheLimitIsRefused) {
  // The densest stream there is: 30-bit references that each copy 2^14 bytes.
  BitWriter bits;
  for (int i = 0; i < 64; ++i)
    bits.reference(1, 1 << 14, 15, 14);
  const Bytes file = compressed_container_wrap(bits.bytes(), 1u << 15, 14, false);
  EXPECT_LE(std::uint64_t{64} << 14, bits.bytes().size() * kLzssMaxExpansion);
  for (std::uint64_t limit : {std::uint64_t{64} << 14, (std::uint64_t{64} << 14) - 1}) {
    Result<StreamPtr> opened = open_compressed(file, limit);
    if (limit == std::uint64_t{64} << 14) {
      ASSERT_TRUE(opened.ok());
      EXPECT_EQ(read_all(**opened), Bytes(limit, 0));
    } else {
      EXPECT_EQ(opened.status().code(), ErrorCode::kLimit);
      EXPECT_EQ(message_of(opened), "Decompressed content exceeds 1048575 bytes");
    }
  }
}

TEST(StreamCopy, PartialCopiesAreNotSuccess) {
  // A memory stream that cannot grow takes less than it is given.
  Bytes data = random_bytes(5000, 9);
  FailingStream failing;
  std::uint64_t copied = 0;
  EXPECT_EQ(stream_copy(*memory_stream_from(data), failing, copied), CopyStatus::kWriteFailed);
  EXPECT_EQ(stream_copy(failing, *memory_stream_new(), copied), CopyStatus::kReadFailed);
  auto sink = memory_stream_new();
  EXPECT_EQ(stream_copy(*memory_stream_from(data), *sink, copied), CopyStatus::kDone);
  EXPECT_EQ(copied, data.size());
  EXPECT_EQ(stream_copy(*memory_stream_from(data), *memory_stream_new(), copied, 4999),
            CopyStatus::kTooLarge);
  EXPECT_LE(copied, 4999u);
  EXPECT_EQ(stream_copy(*memory_stream_from(data), *memory_stream_new(), copied, 5000),
            CopyStatus::kDone);
}

}  // namespace
}  // namespace busfold
