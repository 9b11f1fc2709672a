// Encrypted containers (type 17): the common header, a 12-byte GCM nonce (20-31),
// the PBKDF2 iteration count big-endian (32-35) and a 16-byte salt (36-51), then
// the AES-256-GCM ciphertext, then the 16-byte tag. The 52 bytes before the
// ciphertext are authenticated as additional data.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "io/container_header.h"
#include "io/stream.h"

namespace busfold {

inline constexpr std::int64_t kEncryptedHeaderSize = 52;
inline constexpr std::int64_t kEncryptedTagSize = 16;
inline constexpr std::size_t kEncryptedNonceSize = 12;
inline constexpr std::size_t kEncryptedSaltSize = 16;
inline constexpr std::size_t kEncryptedKeySize = 32;

// Each iteration costs two SHA-256 runs; far beyond anything a logger writes, a
// count from a hostile file would keep the run busy for hours.
inline constexpr std::uint32_t kMaxKeyDerivationIterations = 10'000'000;

// PBKDF2-HMAC-SHA-256 of the password and salt, 32 bytes. False when the
// derivation fails (the count is not limited here).
bool encrypted_container_derive_key(std::span<const std::uint8_t> password,
                                    std::span<const std::uint8_t> salt, std::uint32_t iterations,
                                    std::array<std::uint8_t, kEncryptedKeySize>& key);

// Decrypts the whole ciphertext into memory and returns it as a ContainerStream
// positioned at 0. The source is read (seeking as needed), never closed or
// owned. The password is any bytes, with no terminator.
//
// A failure without a line: a header other than type 17, version 1, first flag 0
// or 1, footer flag 0; a file under 68 bytes or one that cannot be read; a failing
// derivation or cipher; a tag mismatch (a wrong password shows up only as this).
// Nothing unauthenticated is handed on. A failure with its line: an iteration count
// over kMaxKeyDerivationIterations, which is refused.
Result<StreamPtr> encrypted_container_open(Stream& source, const ContainerHeader& header,
                                           std::span<const std::uint8_t> password);

}  // namespace busfold
