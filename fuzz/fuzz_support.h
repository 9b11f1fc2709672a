// Small helpers shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/bytes.h"
#include "buslog/bus_classifier.h"
#include "buslog/bus_frame.h"
#include "io/container_header.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/mdf_file.h"
#include "mdf/record_reader.h"

// A property the code under test must keep; a violation is a finding, reported like a crash.
#define FUZZ_CHECK(condition)                                                                      \
  ((condition) ? void() : busfold::fuzz::check_failed(__FILE__, __LINE__, #condition))

namespace busfold::fuzz {

[[noreturn]] inline void check_failed(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}

// Key derivation runs as many rounds as an encrypted header asks; larger counts are lowered
// to keep each input fast (so only inputs made with a small count still decrypt).
inline std::vector<std::uint8_t> with_small_iterations(const std::uint8_t* data, std::size_t size) {
  constexpr std::uint32_t kMaxIterations = 16;
  std::vector<std::uint8_t> bytes(data, data + size);
  if (bytes.size() >= 36 && std::memcmp(bytes.data(), kContainerMagic.data(), 12) == 0 &&
      bytes[14] == kContainerTypeEncrypted && load_be32(bytes.data() + 32) > kMaxIterations) {
    store_be32(bytes.data() + 32, load_be32(bytes.data() + 32) % (kMaxIterations + 1));
  }
  return bytes;
}

// Loads the stream as an MDF file with the bus classifier and walks every data group's
// records into a BusFrame, as the pipeline does. False when it does not load.
template <class OnRecord, class OnGroupEnd>
bool walk_records(Stream& stream, OnRecord on_record, OnGroupEnd on_group_end) {
  std::unique_ptr<MdfFile> mdf = file_or_null(mdf_open(stream, &bus_channel_classifier()));
  if (!mdf) return false;
  FUZZ_CHECK(mdf->hd() != nullptr);
  for (const BlockRef& group : mdf->hd()->data_groups) {
    DgBlock* dg = block_cast<DgBlock>(group);
    if (dg == nullptr || dg->channel_groups.empty()) continue;
    RecordReader reader(*dg);
    BusFrame frame{};
    RecordIterator records(reader, &frame);
    for (bool more = records.begin(); more; more = records.next())
      on_record(records, frame);
    on_group_end(*dg, records.end());
  }
  return true;
}

}  // namespace busfold::fuzz
