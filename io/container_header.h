// The 20-byte header that loggers put in front of a compressed or encrypted file.
//
// Unwrapping is a loop run by the caller, because containers nest in any order:
//
//   ContainerHeader header;
//   while (container_identify(*current, header)) {
//     StreamPtr inner;
//     if (header.type == kContainerTypeCompressed)
//       inner = compressed_container_open(*current, header);
//     else if (header.type == kContainerTypeEncrypted)
//       inner = encrypted_container_open(*current, header, password);
//     if (!inner) ...fail (unknown type, or the open failed)...
//     stream_close(current);  // the unwrapped content lives in memory of its own
//     current = std::move(inner);
//   }
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "io/stream.h"

namespace busfold {

inline constexpr std::size_t kContainerHeaderSize = 20;
inline constexpr std::uint8_t kContainerTypeCompressed = 34;
inline constexpr std::uint8_t kContainerTypeEncrypted = 17;
inline constexpr std::uint8_t kContainerVersion = 1;
inline constexpr std::array<std::uint8_t, 12> kContainerMagic = {'G', 'e', 'n', 'e', 'r', 'i',
                                                                 'c', ' ', 'F', 'i', 'l', 'e'};

// On disk: magic (0-11), first flag (12), footer flag (13), type (14), version (15),
// device id big-endian (16-19).
struct ContainerHeader {
  std::array<std::uint8_t, 12> magic{};
  std::uint32_t device_id = 0;
  std::uint8_t first_flag = 0;
  std::uint8_t footer_flag = 0;
  std::uint8_t version = 0;
  std::uint8_t type = 0;
};

// Reads the 20 bytes at offset 0 into `header`. True only when all of them were
// there and the magic is "Generic File"; type, version and flags are left for
// the opener of each kind to judge. The source position is left after the header.
bool container_identify(Stream& source, ContainerHeader& header);

}  // namespace busfold
