#include "tests/support/container_writer.h"

#include <mbedtls/gcm.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>

#include "base/bytes.h"
#include "io/compressed_container.h"
#include "io/container_header.h"
#include "io/crc32_stream.h"
#include "io/encrypted_container.h"
#include "io/memory_stream.h"
#include "tests/support/lzss_encoder.h"

namespace busfold {

namespace {

void append_be32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  std::uint8_t bytes[4];
  store_be32(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
}

}  // namespace

std::vector<std::uint8_t> container_header_bytes(std::uint8_t first_flag, std::uint8_t footer_flag,
                                                 std::uint8_t type, std::uint8_t version,
                                                 std::uint32_t device_id) {
  std::uint8_t bytes[20] = {'G', 'e', 'n', 'e', 'r',        'i',         'c',  ' ',
                            'F', 'i', 'l', 'e', first_flag, footer_flag, type, version};
  store_be32(bytes + 16, device_id);
  return {bytes, bytes + sizeof bytes};
}

std::vector<std::uint8_t> compressed_container_wrap(std::span<const std::uint8_t> payload,
                                                    std::uint32_t window_field,
                                                    std::uint32_t lookahead_field, bool footer,
                                                    std::uint32_t device_id) {
  const std::uint8_t flag = footer ? 1 : 0;
  std::vector<std::uint8_t> out = container_header_bytes(flag, flag, 34, 1, device_id);
  append_be32(out, lookahead_field);
  append_be32(out, window_field);
  out.insert(out.end(), payload.begin(), payload.end());
  if (footer) append_be32(out, crc32_update(kCrc32Initial, payload));
  return out;
}

std::vector<std::uint8_t> compressed_container_write(std::span<const std::uint8_t> data,
                                                     const CompressOptions& options) {
  std::vector<std::uint8_t> payload =
      lzss_encode(data, options.window_bits, options.lookahead_bits);
  return compressed_container_wrap(payload, 1u << options.window_bits,
                                   static_cast<std::uint32_t>(options.lookahead_bits),
                                   options.footer, options.device_id);
}

std::vector<std::uint8_t> encrypted_container_write(std::span<const std::uint8_t> plaintext,
                                                    const EncryptOptions& options) {
  std::vector<std::uint8_t> out =
      container_header_bytes(options.first_flag, 0, 17, 1, options.device_id);
  out.insert(out.end(), options.nonce.begin(), options.nonce.end());
  append_be32(out, options.iterations);
  out.insert(out.end(), options.salt.begin(), options.salt.end());

  std::uint8_t key[32];
  mbedtls_md_context_t md;
  mbedtls_md_init(&md);
  int failed = mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 1);
  if (failed == 0) {
    failed = mbedtls_pkcs5_pbkdf2_hmac(
        &md, reinterpret_cast<const unsigned char*>(options.password.data()),
        options.password.size(), options.salt.data(), options.salt.size(), options.iterations,
        sizeof key, key);
  }
  mbedtls_md_free(&md);
  if (failed != 0) return {};

  const std::size_t header_size = out.size();
  out.resize(header_size + plaintext.size() + 16);
  mbedtls_gcm_context gcm;
  mbedtls_gcm_init(&gcm);
  failed = mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key, 256);
  if (failed == 0) {
    failed = mbedtls_gcm_crypt_and_tag(&gcm, MBEDTLS_GCM_ENCRYPT, plaintext.size(),
                                       options.nonce.data(), options.nonce.size(), out.data(),
                                       header_size, plaintext.data(), out.data() + header_size, 16,
                                       out.data() + header_size + plaintext.size());
  }
  mbedtls_gcm_free(&gcm);
  if (failed != 0) return {};
  return out;
}

std::vector<std::uint8_t> read_all(Stream& stream) {
  std::vector<std::uint8_t> out;
  std::uint8_t chunk[4096];
  for (std::int64_t got; (got = stream.read(chunk, sizeof chunk)) > 0;) {
    out.insert(out.end(), chunk, chunk + got);
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> unwrap_containers(std::span<const std::uint8_t> file,
                                                           std::string_view password, int* rounds) {
  StreamPtr current = memory_stream_from(file);
  int unwrapped = 0;
  ContainerHeader header;
  while (container_identify(*current, header)) {
    Result<StreamPtr> inner =
        header.type == kContainerTypeEncrypted
            ? encrypted_container_open(
                  *current, header,
                  {reinterpret_cast<const std::uint8_t*>(password.data()), password.size()})
            : compressed_container_open(*current, header);
    if (!inner.ok()) return std::nullopt;
    stream_close(current);
    current = std::move(*inner);
    ++unwrapped;
  }
  if (rounds != nullptr) *rounds = unwrapped;
  current->seek(0, kSeekSet);
  return read_all(*current);
}

}  // namespace busfold
