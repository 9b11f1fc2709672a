// Walks the bytes as an MDF file twice: from memory, where the reader shows views of the
// bytes, and through a small read-ahead window over a stream without views, where it
// copies. Both walks must see the same groups, records and frames and end alike; a
// frame's data must lie inside the frame.
#include "fuzz/fuzz_support.h"
#include "io/buffered_stream.h"
#include "io/memory_stream.h"
#include "mdf/cg_block.h"
#include "mdf/text_block.h"
#include "tests/support/no_view_stream.h"

namespace busfold::fuzz {
namespace {

// Small enough that records and signal data straddle refills.
constexpr std::uint64_t kWindow = 64;

// An FNV-1a digest of what the walk saw, to compare two walks without keeping them.
std::uint64_t walk(Stream& stream) {
  std::uint64_t digest = 0xcbf29ce484222325ull;
  auto add_bytes = [&digest](const void* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
      digest = (digest ^ static_cast<const std::uint8_t*>(bytes)[i]) * 0x100000001b3ull;
  };
  auto add = [&add_bytes](const auto&... values) { (add_bytes(&values, sizeof values), ...); };
  auto on_record = [&](const RecordIterator& records, const BusFrame& frame) {
    const Record& record = records.record();
    add(record.record_id, record.position, records.last_result());
    add_bytes(record.record_bytes.data(), record.record_bytes.size());
    add_bytes(record.signal_bytes.data(), record.signal_bytes.size());
    // frame.can is the widest member: all the union's bytes, whatever the kind.
    add(frame.time_s, frame.key, frame.kind, frame.data_length, frame.can);
    if (frame.data != nullptr) {
      const auto* begin = reinterpret_cast<const std::uint8_t*>(&frame);
      FUZZ_CHECK(frame.data >= begin && frame.data_length <= sizeof frame &&
                 frame.data + frame.data_length <= begin + sizeof frame);
      add(frame.data - begin);
    }
  };
  // What the pipeline puts into a group summary, and how the group's walk ended.
  auto on_group_end = [&add](const DgBlock& dg, ReadEnd end) {
    for (const BlockRef& channel_group : dg.channel_groups) {
      if (const CgBlock* cg = block_cast<CgBlock>(channel_group))
        add(dg.group_kind_of(*cg), block_text(cg->acq_name).size());
    }
    add(end);
  };
  add(walk_records(stream, on_record, on_group_end));
  return digest;
}

}  // namespace
}  // namespace busfold::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace busfold;
  auto memory = memory_stream_from({data, size});
  FUZZ_CHECK(memory != nullptr);
  const std::uint64_t in_place = fuzz::walk(*memory);
  test::NoViewStream no_view(*memory);
  auto window = buffered_stream_new(no_view, fuzz::kWindow);
  FUZZ_CHECK(window != nullptr && fuzz::walk(*window) == in_place);
  return 0;
}
