#include "tests/support/container_writer.h"

#include <openssl/evp.h>

#include <iterator>

#include "base/bytes.h"
#include "io/container_header.h"
#include "io/crc32_stream.h"
#include "io/encrypted_container.h"
#include "tests/support/lzss_encoder.h"

namespace busfold {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kSalt[] = {0x5a, 0x17, 0x3c, 0x88, 0x01, 0x9e, 0x42, 0xd0,
                                  0x7b, 0x66, 0xe3, 0x2f, 0x90, 0x0c, 0xa5, 0x31};
constexpr std::uint8_t kNonce[] = {0xc4, 0x0f, 0x71, 0x2a, 0x9d, 0x58,
                                   0x03, 0xe6, 0xb2, 0x4c, 0x17, 0x8a};

void append_be32(Bytes& out, std::uint32_t value) {
  std::uint8_t bytes[4];
  store_be32(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
}

// The 20-byte common header.
Bytes header_bytes(std::uint8_t first_flag, std::uint8_t footer_flag, std::uint8_t type,
                   std::uint32_t device_id) {
  Bytes out = {'G', 'e', 'n', 'e', 'r',        'i',         'c',  ' ',
               'F', 'i', 'l', 'e', first_flag, footer_flag, type, kContainerVersion};
  append_be32(out, device_id);
  return out;
}

}  // namespace

Bytes compressed_container_wrap(std::span<const std::uint8_t> payload, std::uint32_t window_field,
                                std::uint32_t lookahead_field, bool footer,
                                std::uint32_t device_id) {
  const std::uint8_t flag = footer ? 1 : 0;
  Bytes out = header_bytes(flag, flag, kContainerTypeCompressed, device_id);
  append_be32(out, lookahead_field);
  append_be32(out, window_field);
  out.insert(out.end(), payload.begin(), payload.end());
  if (footer) append_be32(out, crc32_update(kCrc32Initial, payload));
  return out;
}

Bytes compressed_container_write(std::span<const std::uint8_t> data,
                                 const CompressOptions& options) {
  return compressed_container_wrap(
      lzss_encode(data, options.window_bits, options.lookahead_bits), 1u << options.window_bits,
      static_cast<std::uint32_t>(options.lookahead_bits), options.footer, options.device_id);
}

Bytes encrypted_container_write(std::span<const std::uint8_t> plaintext,
                                const EncryptOptions& options) {
  Bytes out = header_bytes(options.first_flag, 0, kContainerTypeEncrypted, options.device_id);
  out.insert(out.end(), std::begin(kNonce), std::end(kNonce));
  append_be32(out, options.iterations);
  out.insert(out.end(), std::begin(kSalt), std::end(kSalt));
  std::array<std::uint8_t, kEncryptedKeySize> key;
  const auto* password = reinterpret_cast<const std::uint8_t*>(options.password.data());
  if (!encrypted_container_derive_key({password, options.password.size()}, kSalt,
                                      options.iterations, key)) {
    return {};
  }
  const std::size_t header_size = out.size();
  const std::size_t tag_size = kEncryptedTagSize;
  out.resize(header_size + plaintext.size() + tag_size);
  EVP_CIPHER_CTX* gcm = EVP_CIPHER_CTX_new();
  int produced = 0;
  const bool sealed =
      gcm != nullptr &&
      EVP_EncryptInit_ex(gcm, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
      EVP_CIPHER_CTX_ctrl(gcm, EVP_CTRL_GCM_SET_IVLEN, sizeof kNonce, nullptr) == 1 &&
      EVP_EncryptInit_ex(gcm, nullptr, nullptr, key.data(), kNonce) == 1 &&
      EVP_EncryptUpdate(gcm, nullptr, &produced, out.data(), static_cast<int>(header_size)) == 1 &&
      EVP_EncryptUpdate(gcm, out.data() + header_size, &produced, plaintext.data(),
                        static_cast<int>(plaintext.size())) == 1 &&
      EVP_EncryptFinal_ex(gcm, out.data() + header_size + produced, &produced) == 1 &&
      EVP_CIPHER_CTX_ctrl(gcm, EVP_CTRL_GCM_GET_TAG, static_cast<int>(tag_size),
                          out.data() + header_size + plaintext.size()) == 1;
  EVP_CIPHER_CTX_free(gcm);
  return sealed ? out : Bytes{};
}

Bytes read_all(Stream& stream) {
  Bytes out;
  std::uint8_t chunk[4096];
  for (std::int64_t got; (got = stream.read(chunk, sizeof chunk)) > 0;)
    out.insert(out.end(), chunk, chunk + got);
  return out;
}

}  // namespace busfold
