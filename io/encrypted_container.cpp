#include "io/encrypted_container.h"

#include <mbedtls/cipher.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#include <mbedtls/platform_util.h>

#include <algorithm>

#include "base/bytes.h"
#include "io/container_stream.h"
#include "io/memory_stream.h"

namespace busfold {

namespace {

// Pieces of ciphertext decrypted at a time; a multiple of the AES block, as GCM
// updates before the last one must be.
constexpr std::size_t kAesBlockSize = 16;
constexpr std::size_t kCipherPiece = 32 * kAesBlockSize;
constexpr unsigned kAesKeyBits = 8 * kEncryptedKeySize;

// Where the fields sit in the 52 header bytes: after the common header the nonce, the
// iteration count and the salt, back to back.
constexpr std::size_t kNonceOffset = kContainerHeaderSize;
constexpr std::size_t kIterationsOffset = kNonceOffset + kEncryptedNonceSize;
constexpr std::size_t kSaltOffset = kIterationsOffset + sizeof(std::uint32_t);
static_assert(static_cast<std::int64_t>(kSaltOffset + kEncryptedSaltSize) == kEncryptedHeaderSize);

bool header_accepted(const ContainerHeader& header) {
  return header.type == kContainerTypeEncrypted && header.version == kContainerVersion &&
         header.first_flag <= 1 && header.footer_flag == 0;
}

struct MdContext {
  MdContext() { mbedtls_md_init(&ctx); }
  ~MdContext() { mbedtls_md_free(&ctx); }
  MdContext(const MdContext&) = delete;
  MdContext& operator=(const MdContext&) = delete;
  mbedtls_md_context_t ctx;
};

struct CipherContext {
  CipherContext() { mbedtls_cipher_init(&ctx); }
  ~CipherContext() { mbedtls_cipher_free(&ctx); }
  CipherContext(const CipherContext&) = delete;
  CipherContext& operator=(const CipherContext&) = delete;
  mbedtls_cipher_context_t ctx;
};

// Key material does not outlive its use.
struct Key {
  ~Key() { mbedtls_platform_zeroize(bytes.data(), bytes.size()); }
  std::array<std::uint8_t, kEncryptedKeySize> bytes{};
};

struct Parameters {
  std::array<std::uint8_t, kEncryptedHeaderSize> header_bytes{};  // additional data
  std::array<std::uint8_t, kEncryptedTagSize> tag{};
  std::int64_t ciphertext_size = 0;
  std::uint32_t iterations = 0;

  std::span<const std::uint8_t, kEncryptedNonceSize> nonce() const {
    return std::span(header_bytes).subspan<kNonceOffset, kEncryptedNonceSize>();
  }
  std::span<const std::uint8_t, kEncryptedSaltSize> salt() const {
    return std::span(header_bytes).subspan<kSaltOffset, kEncryptedSaltSize>();
  }
};

bool read_at(Stream& source, std::int64_t offset, std::span<std::uint8_t> out) {
  return source.seek(offset, kSeekSet) == offset &&
         stream_read_exact(source, out.data(), out.size());
}

// The 52 header bytes (nonce, count and salt among them) and the tag.
bool read_parameters(Stream& source, Parameters& parameters) {
  if (!read_at(source, 0, parameters.header_bytes)) return false;
  parameters.iterations = load_be32(parameters.header_bytes.data() + kIterationsOffset);
  std::int64_t size = source.seek(0, kSeekEnd);
  if (size < 0 || source.tell() != size) return false;
  if (size < kEncryptedHeaderSize + kEncryptedTagSize) return false;
  parameters.ciphertext_size = size - kEncryptedHeaderSize - kEncryptedTagSize;
  return read_at(source, size - kEncryptedTagSize, parameters.tag);
}

// Decrypts the ciphertext into `plain` and checks the tag; false on any failure.
bool decrypt(Stream& source, const Parameters& parameters, const Key& key, MemoryStream& plain) {
  CipherContext cipher;
  const mbedtls_cipher_info_t* info =
      mbedtls_cipher_info_from_values(MBEDTLS_CIPHER_ID_AES, kAesKeyBits, MBEDTLS_MODE_GCM);
  if (info == nullptr || mbedtls_cipher_setup(&cipher.ctx, info) != 0 ||
      mbedtls_cipher_setkey(&cipher.ctx, key.bytes.data(), kAesKeyBits, MBEDTLS_DECRYPT) != 0 ||
      mbedtls_cipher_set_iv(&cipher.ctx, parameters.nonce().data(), kEncryptedNonceSize) != 0 ||
      mbedtls_cipher_update_ad(&cipher.ctx, parameters.header_bytes.data(),
                               parameters.header_bytes.size()) != 0) {
    return false;
  }

  if (source.seek(kEncryptedHeaderSize, kSeekSet) != kEncryptedHeaderSize) return false;
  std::uint8_t piece[kCipherPiece];
  // An update may hand out up to one block more than it was given.
  std::uint8_t clear[kCipherPiece + kAesBlockSize];
  auto remaining = static_cast<std::uint64_t>(parameters.ciphertext_size);
  while (remaining > 0) {
    // Whole pieces even over short reads: GCM takes partial blocks only at the end.
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kCipherPiece));
    if (!stream_read_exact(source, piece, want)) return false;
    remaining -= want;
    std::size_t produced = 0;
    if (mbedtls_cipher_update(&cipher.ctx, piece, want, clear, &produced) != 0) return false;
    if (plain.write(clear, produced) != static_cast<std::int64_t>(produced)) return false;
  }
  std::size_t produced = 0;
  if (mbedtls_cipher_finish(&cipher.ctx, clear, &produced) != 0) return false;
  if (plain.write(clear, produced) != static_cast<std::int64_t>(produced)) return false;
  return mbedtls_cipher_check_tag(&cipher.ctx, parameters.tag.data(), parameters.tag.size()) == 0;
}

}  // namespace

bool encrypted_container_derive_key(std::span<const std::uint8_t> password,
                                    std::span<const std::uint8_t> salt, std::uint32_t iterations,
                                    std::array<std::uint8_t, kEncryptedKeySize>& key) {
  MdContext md;
  const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
  if (info == nullptr || mbedtls_md_setup(&md.ctx, info, 1) != 0) return false;
  return mbedtls_pkcs5_pbkdf2_hmac(&md.ctx, password.data(), password.size(), salt.data(),
                                   salt.size(), iterations, key.size(), key.data()) == 0;
}

Result<StreamPtr> encrypted_container_open(Stream& source, const ContainerHeader& header,
                                           std::span<const std::uint8_t> password) {
  if (!header_accepted(header)) return unexplained_failure(ErrorCode::kUnsupported);

  // Everything cheap is read and checked before the costly key derivation.
  Parameters parameters;
  if (!read_parameters(source, parameters)) return unexplained_failure(ErrorCode::kInvalidInput);
  if (parameters.iterations > kMaxKeyDerivationIterations) {
    return make_error(ErrorCode::kLimit, "Refusing key derivation with %u iterations",
                      parameters.iterations);
  }

  auto plain = std::make_unique<MemoryStream>();
  // The plaintext is as long as the ciphertext the source really holds.
  if (!plain->reserve(static_cast<std::uint64_t>(parameters.ciphertext_size))) {
    return unexplained_failure(ErrorCode::kOutOfMemory);
  }

  Key key;
  if (!encrypted_container_derive_key(password, parameters.salt(), parameters.iterations,
                                      key.bytes)) {
    return unexplained_failure(ErrorCode::kInvalidInput);
  }
  // On a tag mismatch the plaintext is dropped with `plain`, unseen.
  if (!decrypt(source, parameters, key, *plain))
    return unexplained_failure(ErrorCode::kInvalidInput);

  plain->seek(0, kSeekSet);
  return StreamPtr(std::make_unique<ContainerStream>(header, std::move(plain)));
}

}  // namespace busfold
