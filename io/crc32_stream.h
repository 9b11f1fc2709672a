// CRC-32 (reflected polynomial 0xEDB88320) as used by compressed-container footers,
// and a pass-through stream that runs it over every byte that goes through.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "io/stream.h"

namespace busfold {

inline constexpr std::uint32_t kCrc32Initial = 0xFFFFFFFFu;

// Runs the register over the bytes. No final inversion: the footer stores the
// register as it stands, i.e. the complement of the usual CRC-32.
std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes);

// Read and write go to the borrowed inner stream; whatever they transfer is
// added to the register. No tell or seek: the register would no longer match.
class Crc32Stream final : public Stream {
public:
  explicit Crc32Stream(Stream& inner) : inner_(&inner) {}

  std::int64_t read(void* buffer, std::uint64_t n) override;
  std::int64_t write(const void* buffer, std::uint64_t n) override;
  std::int64_t close() override;

  // The register as it stands.
  std::uint32_t value() const { return crc_; }

private:
  Stream* inner_;
  std::uint32_t crc_ = kCrc32Initial;
};

}  // namespace busfold
