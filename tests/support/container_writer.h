// Test-only writers of compressed and encrypted containers, for tests, the sample
// generator and benchmarks. The writers share nothing with the readers in io/ but
// the CRC; unwrap_containers drives the readers as the pipeline does.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/stream.h"

namespace busfold {

// The 20-byte common header.
std::vector<std::uint8_t> container_header_bytes(std::uint8_t first_flag, std::uint8_t footer_flag,
                                                 std::uint8_t type, std::uint8_t version,
                                                 std::uint32_t device_id);

struct CompressOptions {
  int window_bits = 11;
  int lookahead_bits = 4;
  bool footer = true;  // sets the first flag and the footer flag, and appends the CRC
  std::uint32_t device_id = 0;
};

// A compressed container holding `data`, encoded with lzss_encode.
std::vector<std::uint8_t> compressed_container_write(std::span<const std::uint8_t> data,
                                                     const CompressOptions& options = {});

// A compressed container around a ready bit stream, with the raw parameter fields
// (window field = window size in bytes, low byte of the lookahead field = L).
std::vector<std::uint8_t> compressed_container_wrap(std::span<const std::uint8_t> payload,
                                                    std::uint32_t window_field,
                                                    std::uint32_t lookahead_field, bool footer,
                                                    std::uint32_t device_id = 0);

struct EncryptOptions {
  std::uint32_t device_id = 0;
  std::string password = "password";
  std::array<std::uint8_t, 16> salt = {0x5a, 0x17, 0x3c, 0x88, 0x01, 0x9e, 0x42, 0xd0,
                                       0x7b, 0x66, 0xe3, 0x2f, 0x90, 0x0c, 0xa5, 0x31};
  std::array<std::uint8_t, 12> nonce = {0xc4, 0x0f, 0x71, 0x2a, 0x9d, 0x58,
                                        0x03, 0xe6, 0xb2, 0x4c, 0x17, 0x8a};
  std::uint32_t iterations = 1000;
  std::uint8_t first_flag = 0;
};

// An encrypted container holding `plaintext`: PBKDF2-HMAC-SHA-256 key, AES-256-GCM
// with the 52 header bytes as additional data, tag last. Empty if mbedtls fails.
std::vector<std::uint8_t> encrypted_container_write(std::span<const std::uint8_t> plaintext,
                                                    const EncryptOptions& options = {});

// Reads the stream from its position to its end.
std::vector<std::uint8_t> read_all(Stream& stream);

// Unwraps nested containers the way the per-file pipeline does (identify, open,
// replace, identify again); nullopt when an open fails or the type is unknown.
// `rounds` receives the number of containers unwrapped.
std::optional<std::vector<std::uint8_t>> unwrap_containers(std::span<const std::uint8_t> file,
                                                           std::string_view password = "password",
                                                           int* rounds = nullptr);

}  // namespace busfold
