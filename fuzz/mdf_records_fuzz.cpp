// Loads the bytes as an MDF file with the bus classifier and walks every data group's
// records into a BusFrame, the way the pipeline does. Each input is walked twice: from
// memory, where the reader works on views of the bytes, and through a small read-ahead
// window over a stream that shows nothing in place, where it copies. Both walks must see
// the same records and frames and end for the same reason.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "buslog/bus_classifier.h"
#include "buslog/bus_frame.h"
#include "fuzz/fuzz_support.h"
#include "io/buffered_stream.h"
#include "io/memory_stream.h"
#include "mdf/cg_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/mdf_file.h"
#include "mdf/record_reader.h"
#include "mdf/text_block.h"
#include "tests/support/no_view_stream.h"

namespace busfold::fuzz {
namespace {

// A window small enough that records and signal data straddle refills.
constexpr std::uint64_t kWindow = 64;

void hash_frame(Digest& digest, const BusFrame& frame, std::uint32_t result) {
  digest.add(result);
  digest.add(frame.kind);
  digest.add(frame.key);
  digest.add(frame.data_length);
  digest.add_double(frame.time_s);
  switch (frame.kind) {
  case kCanDataFrame:
  case kCanRemoteFrame:
    digest.add(frame.can.can_id);
    digest.add(frame.can.seconds);
    digest.add(frame.can.microseconds);
    digest.add_bytes(&frame.can.ide, 8);  // ide .. dlc
    digest.add_bytes(frame.can.payload, sizeof frame.can.payload);
    break;
  case kCanErrorFrame:
    digest.add(frame.error.bus);
    digest.add(frame.error.error_type);
    break;
  case kLinFrame:
    digest.add_bytes(&frame.lin.dir, 3);
    digest.add_bytes(frame.lin.payload, sizeof frame.lin.payload);
    break;
  default: break;
  }
  // What a frame says it carries must lie inside it.
  if (frame.data != nullptr) {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(&frame);
    FUZZ_CHECK(frame.data >= begin && frame.data_length <= sizeof frame &&
               frame.data + frame.data_length <= begin + sizeof frame);
  }
}

struct Walk {
  bool opened = false;
  std::uint64_t digest = 0;
  std::size_t records = 0;
};

Walk walk(Stream& stream) {
  Walk walk;
  std::unique_ptr<MdfFile> mdf = file_or_null(mdf_open(stream, &bus_channel_classifier()));
  if (!mdf) return walk;
  walk.opened = true;
  const HdBlock* hd = mdf->hd();
  FUZZ_CHECK(hd != nullptr);
  Digest digest;
  for (const BlockRef& group : hd->data_groups) {
    DgBlock* dg = block_cast<DgBlock>(group);
    if (dg == nullptr || dg->channel_groups.empty()) continue;
    // What the pipeline puts into a group summary.
    for (const BlockRef& channel_group : dg->channel_groups) {
      if (const CgBlock* cg = block_cast<CgBlock>(channel_group)) {
        digest.add(dg->group_kind_of(*cg));
        digest.add(block_text(cg->acq_name).size());
      }
    }
    RecordReader reader(*dg);
    BusFrame frame{};
    RecordIterator records(reader, &frame);
    for (bool more = records.begin(); more; more = records.next()) {
      const Record& record = records.record();
      digest.add(record.record_id);
      digest.add(record.position);
      digest.add_bytes(record.record_bytes.data(), record.record_bytes.size());
      digest.add_bytes(record.signal_bytes.data(), record.signal_bytes.size());
      hash_frame(digest, frame, records.last_result());
      ++walk.records;
    }
    digest.add(static_cast<std::uint8_t>(records.end()));
  }
  walk.digest = digest.value();
  return walk;
}

}  // namespace
}  // namespace busfold::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace busfold;
  auto memory = memory_stream_from({data, size});
  if (!memory) return 0;
  fuzz::Walk in_place = fuzz::walk(*memory);

  test::NoViewStream no_view(*memory);
  auto window = buffered_stream_new(no_view, fuzz::kWindow);
  if (!window) return 0;
  fuzz::Walk copied = fuzz::walk(*window);

  FUZZ_CHECK(in_place.opened == copied.opened);
  FUZZ_CHECK(in_place.records == copied.records);
  FUZZ_CHECK(in_place.digest == copied.digest);
  return 0;
}
