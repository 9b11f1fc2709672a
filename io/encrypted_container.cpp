#include "io/encrypted_container.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "base/bytes.h"
#include "io/container_stream.h"
#include "io/memory_stream.h"

namespace busfold {

namespace {

// Ciphertext is decrypted in place, this much per call (the cipher takes an int length).
constexpr std::size_t kCipherPiece = std::size_t{1} << 20;

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

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

// Key material does not outlive its use.
struct Key {
  ~Key() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
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

// Decrypts the ciphertext into `text` (parameters.ciphertext_size bytes), straight from
// the source's bytes when it can show them, else read into `text` and decrypted there in
// place; false on any failure, a wrong tag included.
bool decrypt(Stream& source, const Parameters& parameters, const Key& key, std::uint8_t* text) {
  CipherContext cipher(EVP_CIPHER_CTX_new());
  int produced = 0;
  if (!cipher ||
      EVP_DecryptInit_ex(cipher.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_IVLEN, kEncryptedNonceSize, nullptr) !=
          1 ||
      EVP_DecryptInit_ex(cipher.get(), nullptr, nullptr, key.bytes.data(),
                         parameters.nonce().data()) != 1 ||
      EVP_DecryptUpdate(cipher.get(), nullptr, &produced, parameters.header_bytes.data(),
                        static_cast<int>(parameters.header_bytes.size())) != 1) {
    return false;
  }

  const auto size = static_cast<std::uint64_t>(parameters.ciphertext_size);
  const std::uint8_t* cipher_text = size == 0 ? text : source.view(kEncryptedHeaderSize, size);
  if (cipher_text == nullptr) {
    if (source.seek(kEncryptedHeaderSize, kSeekSet) != kEncryptedHeaderSize ||
        !stream_read_exact(source, text, size)) {
      return false;
    }
    cipher_text = text;
  }
  for (std::uint64_t done = 0; done < size;) {
    const auto piece = static_cast<int>(std::min<std::uint64_t>(size - done, kCipherPiece));
    // GCM is a stream cipher: each update gives back as many bytes as it was given.
    if (EVP_DecryptUpdate(cipher.get(), text + done, &produced, cipher_text + done, piece) != 1 ||
        produced != piece) {
      return false;
    }
    done += static_cast<std::uint64_t>(piece);
    // Ciphertext shown by the source is read once: what is decrypted is done with.
    if (cipher_text != text) source.release_before(kEncryptedHeaderSize + done);
  }
  auto* tag = const_cast<std::uint8_t*>(parameters.tag.data());  // only read by the cipher
  if (EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_TAG, kEncryptedTagSize, tag) != 1) {
    return false;
  }
  std::uint8_t last[1];
  return EVP_DecryptFinal_ex(cipher.get(), last, &produced) == 1 && produced == 0;
}

}  // namespace

bool encrypted_container_derive_key(std::span<const std::uint8_t> password,
                                    std::span<const std::uint8_t> salt, std::uint32_t iterations,
                                    std::array<std::uint8_t, kEncryptedKeySize>& key) {
  static_assert(kMaxKeyDerivationIterations <= INT_MAX);
  if (iterations > kMaxKeyDerivationIterations || password.size() > INT_MAX) return false;
  // A count of 0 derives what a count of 1 does: the first block is always computed.
  const int rounds = std::max(1, static_cast<int>(iterations));
  return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()),
                           static_cast<int>(password.size()), salt.data(),
                           static_cast<int>(salt.size()), rounds, EVP_sha256(),
                           static_cast<int>(key.size()), key.data()) == 1;
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

  // The plaintext is as long as the ciphertext the source really holds.
  auto plain = std::make_unique<MemoryStream>();
  const auto size = static_cast<std::uint64_t>(parameters.ciphertext_size);
  std::uint8_t* text = size == 0 ? nullptr : plain->extend(size);
  if (size != 0 && text == nullptr) return unexplained_failure(ErrorCode::kOutOfMemory);

  Key key;
  if (!encrypted_container_derive_key(password, parameters.salt(), parameters.iterations,
                                      key.bytes)) {
    return unexplained_failure(ErrorCode::kInvalidInput);
  }
  // On a tag mismatch the plaintext is dropped with `plain`, unseen.
  if (!decrypt(source, parameters, key, text)) return unexplained_failure(ErrorCode::kInvalidInput);

  plain->seek(0, kSeekSet);
  return StreamPtr(std::make_unique<ContainerStream>(header, std::move(plain)));
}

}  // namespace busfold
