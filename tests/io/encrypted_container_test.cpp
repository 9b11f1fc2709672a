#include "io/encrypted_container.h"

#include <gtest/gtest.h>

#include <random>

#include "base/bytes.h"
#include "io/compressed_container.h"
#include "io/memory_stream.h"
#include "tests/support/container_writer.h"

namespace busfold {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Bytes sample(std::size_t n) {
  std::mt19937 rng(static_cast<unsigned>(n));
  Bytes out(n);
  for (auto& b : out)
    b = static_cast<std::uint8_t>(rng() % 7);
  return out;
}

// Opens `file` with the given header (the file's own unless one is given).
// Null when the file is not identified or refused.
StreamPtr open_encrypted(const Bytes& file, std::string_view password = "password",
                         const ContainerHeader* forced = nullptr, Status* status = nullptr) {
  auto source = memory_stream_from(file);
  ContainerHeader header;
  if (!container_identify(*source, header) && forced == nullptr) return nullptr;
  Result<StreamPtr> opened =
      encrypted_container_open(*source, forced ? *forced : header, as_bytes(password));
  if (status != nullptr) *status = opened.status();
  return opened.ok() ? std::move(*opened) : nullptr;
}

TEST(EncryptedContainer, KeyIsPbkdf2HmacSha256) {
  std::array<std::uint8_t, 32> key{};
  ASSERT_TRUE(encrypted_container_derive_key(as_bytes("password"), as_bytes("salt"), 2, key));
  const std::uint8_t expected[32] = {0xae, 0x4d, 0x0c, 0x95, 0xaf, 0x6b, 0x46, 0xd3,
                                     0x2d, 0x0a, 0xdf, 0xf9, 0x28, 0xf0, 0x6d, 0xd0,
                                     0x2a, 0x30, 0x3f, 0x8e, 0xf3, 0xc2, 0x51, 0xdf,
                                     0xd6, 0xe2, 0xd8, 0x5a, 0x95, 0x47, 0x4c, 0x43};
  EXPECT_TRUE(std::equal(key.begin(), key.end(), expected));
}

TEST(EncryptedContainer, DecryptsWholeAndOddSizedCiphertexts) {
  // 1300 bytes end in a partial piece and a partial AES block.
  // 68 bytes (no ciphertext) give an empty content.
  for (std::size_t size : {0, 1, 16, 512, 1300, 70001}) {
    SCOPED_TRACE(size);
    const Bytes plain = sample(size);
    const Bytes file = encrypted_container_write(plain, {.device_id = 0x00A1B2C3});
    EXPECT_EQ(file.size(), size + 68);
    StreamPtr opened = open_encrypted(file);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(read_all(*opened), plain);
  }
}

TEST(EncryptedContainer, RefusesShortFilesWrongPasswordsAndOtherHeaders) {
  const Bytes file = encrypted_container_write(sample(100), {.first_flag = 1});
  EXPECT_EQ(open_encrypted(file, "Password"), nullptr);
  Bytes short_file = encrypted_container_write({});
  short_file.pop_back();
  EXPECT_EQ(open_encrypted(short_file), nullptr);

  ContainerHeader good;
  ASSERT_TRUE(container_identify(*memory_stream_from(file), good));
  ASSERT_NE(open_encrypted(file, "password", &good), nullptr);
  for (auto change :
       {+[](ContainerHeader& h) { h.footer_flag = 1; },
        +[](ContainerHeader& h) { h.first_flag = 2; }, +[](ContainerHeader& h) { h.version = 2; },
        +[](ContainerHeader& h) { h.type = kContainerTypeCompressed; }}) {
    ContainerHeader header = good;
    change(header);
    EXPECT_EQ(open_encrypted(file, "password", &header), nullptr);
  }
}

TEST(EncryptedContainer, EveryHeaderByteIsAuthenticated) {
  const Bytes file = encrypted_container_write(sample(40), {.device_id = 7, .iterations = 10});
  ContainerHeader header;
  ASSERT_TRUE(container_identify(*memory_stream_from(file), header));
  for (std::size_t i = 0; i < 52; ++i) {
    Bytes changed = file;
    changed[i] ^= 0x01;
    EXPECT_EQ(open_encrypted(changed, "password", &header), nullptr) << "byte " << i;
  }
  // The device id, through identification as the pipeline does it.
  Bytes changed = file;
  changed[19] ^= 0x80;
  EXPECT_EQ(open_encrypted(changed), nullptr);
}

TEST(EncryptedContainer, RefusesHostileIterationCounts) {
  // Patched in rather than written: writing would run the derivation itself.
  Bytes file = encrypted_container_write({});
  store_be32(file.data() + 32, kMaxKeyDerivationIterations + 1);
  Status status;
  EXPECT_EQ(open_encrypted(file, "password", nullptr, &status), nullptr);
  EXPECT_EQ(status.code(), ErrorCode::kLimit);
  EXPECT_EQ(status.messages(),
            std::vector<std::string>{"Refusing key derivation with 10000001 iterations"});
}

// Hands out at most 7 bytes per read, as a slow source might.
class TrickleStream final : public Stream {
public:
  explicit TrickleStream(const Bytes& bytes) : inner_(memory_stream_from(bytes)) {}
  std::int64_t read(void* buffer, std::uint64_t n) override {
    return inner_->read(buffer, std::min<std::uint64_t>(n, 7));
  }
  std::int64_t tell() override { return inner_->tell(); }
  std::int64_t seek(std::int64_t offset, int whence) override {
    return inner_->seek(offset, whence);
  }

private:
  std::unique_ptr<MemoryStream> inner_;
};

TEST(Containers, ShortReadsFromTheSourceAreNotShortContent) {
  const Bytes plain = sample(3000);
  for (const Bytes& file : {encrypted_container_write(plain), compressed_container_write(plain)}) {
    TrickleStream source(file);
    ContainerHeader header;
    ASSERT_TRUE(container_identify(source, header));
    Result<StreamPtr> opened = header.type == kContainerTypeEncrypted
                                   ? encrypted_container_open(source, header, as_bytes("password"))
                                   : compressed_container_open(source, header);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(read_all(**opened), plain);
  }
}

TEST(Containers, NestedContainersUnwrapRoundByRound) {
  const Bytes plain = sample(5000);
  int rounds = 0;
  const Bytes sealed_compressed =
      encrypted_container_write(compressed_container_write(plain), {.password = "pw"});
  EXPECT_EQ(unwrap_containers(sealed_compressed, "pw", &rounds), plain);
  EXPECT_EQ(rounds, 2);
  const Bytes compressed_sealed =
      compressed_container_write(encrypted_container_write(plain, {.password = "pw"}));
  EXPECT_EQ(unwrap_containers(compressed_sealed, "pw", &rounds), plain);
  EXPECT_EQ(rounds, 2);
  EXPECT_EQ(unwrap_containers(compressed_sealed, "wrong"), std::nullopt);
}

}  // namespace
}  // namespace busfold
