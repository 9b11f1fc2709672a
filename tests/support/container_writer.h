// Test-only writers of compressed and encrypted containers, for tests, the sample
// generator and benchmarks. They share with the readers in io/ only the CRC and the key
// derivation, which tests pin to known values.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/stream.h"

namespace busfold {

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
  std::uint32_t iterations = 1000;
  std::uint8_t first_flag = 0;
};

// An encrypted container holding `plaintext`: PBKDF2-HMAC-SHA-256 key, AES-256-GCM
// with the 52 header bytes as additional data, tag last. Empty if the cipher fails.
std::vector<std::uint8_t> encrypted_container_write(std::span<const std::uint8_t> plaintext,
                                                    const EncryptOptions& options = {});

// Reads the stream from its position to its end.
std::vector<std::uint8_t> read_all(Stream& stream);

}  // namespace busfold
