#include "io/container_header.h"

#include <algorithm>

#include "base/bytes.h"

namespace busfold {

bool container_identify(Stream& source, ContainerHeader& header) {
  std::uint8_t bytes[kContainerHeaderSize];
  if (source.seek(0, kSeekSet) != 0) return false;
  if (!stream_read_exact(source, bytes, sizeof bytes)) return false;
  std::copy_n(bytes, header.magic.size(), header.magic.begin());
  header.first_flag = bytes[12];
  header.footer_flag = bytes[13];
  header.type = bytes[14];
  header.version = bytes[15];
  header.device_id = load_be32(bytes + 16);
  return header.magic == kContainerMagic;
}

}  // namespace busfold
