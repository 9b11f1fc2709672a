// Small helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "base/bytes.h"
#include "io/container_header.h"

// A property the code under test must keep; a violation is a finding, reported like a crash.
#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);           \
      std::abort();                                                                                \
    }                                                                                              \
  } while (0)

namespace busfold::fuzz {

// FNV-1a over everything added, to compare two walks without keeping them.
class Digest {
public:
  void add_bytes(const void* bytes, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    for (std::size_t i = 0; i < n; ++i) {
      hash_ ^= p[i];
      hash_ *= 0x100000001b3ull;
    }
  }
  template <class T> void add(T value) {
    static_assert(std::is_integral_v<T> || std::is_enum_v<T>);
    add_bytes(&value, sizeof value);
  }
  void add_double(double value) { add_bytes(&value, sizeof value); }
  std::uint64_t value() const { return hash_; }

private:
  std::uint64_t hash_ = 0xcbf29ce484222325ull;
};

// Key derivation runs as many rounds as an encrypted container asks for; the harnesses
// keep each input fast by lowering larger counts (which changes the authenticated header,
// so only inputs that already had a small count can still decrypt).
inline constexpr std::uint32_t kMaxFuzzIterations = 16;

// A copy of the input with the iteration count of an encrypted container header lowered.
inline std::vector<std::uint8_t> with_small_iterations(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  if (bytes.size() >= 36 && std::memcmp(bytes.data(), kContainerMagic.data(), 12) == 0 &&
      bytes[14] == kContainerTypeEncrypted) {
    std::uint32_t iterations = load_be32(bytes.data() + 32);
    if (iterations > kMaxFuzzIterations) {
      store_be32(bytes.data() + 32, iterations % (kMaxFuzzIterations + 1));
    }
  }
  return bytes;
}

}  // namespace busfold::fuzz
