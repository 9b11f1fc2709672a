// The stream the output records go through. The records go through one large buffer
// straight to their place in the output file, behind the room its blocks take; the
// bytes written per record id are counted. When closed, the blocks are written with
// what is known only then (cycle counts, signal-data sizes, the data block's length,
// the cleared flags), around the records already in place.
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <vector>

#include "io/stream.h"
#include "mdf/mdf_file.h"

namespace busfold {

class DtBlock;

class FinalizingStream final : public Stream {
public:
  // Each write carries one record: its 2-byte record id, then its bytes. A write the
  // output refused fails this write or a later one, and the close.
  std::int64_t write(const void* buffer, std::uint64_t n) override;
  // Finalizes the output file, then closes the output stream. 0 only when the whole file
  // was written and closed.
  std::int64_t close() override;

  // Bytes written under the record id so far (record ids not included).
  std::uint64_t count(std::uint16_t record_id) const { return counts_[record_id]; }
  bool has_count(std::uint16_t record_id) const { return seen_[record_id]; }

private:
  friend std::unique_ptr<FinalizingStream> finalizing_stream_new(StreamPtr output,
                                                                 std::unique_ptr<MdfFile> file);
  FinalizingStream() = default;
  // Finds where the records go: where the data block's data lands when the blocks are
  // written with no records. Their lengths do not depend on the counts.
  bool place_records();
  bool flush();
  bool finalize();
  // The output's data block: the data link of its (one) data group.
  DtBlock* data_block() const;

  StreamPtr output_;
  std::unique_ptr<MdfFile> file_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t buffered_ = 0;
  std::vector<MdfBlock*> blocks_;  // the output file's blocks, of file_
  std::uint64_t placed_end_ = 0;   // where blocks without an offset go
  std::uint64_t records_start_ = 0;
  std::uint64_t records_size_ = 0;  // bytes handed to the output so far
  bool failed_ = false;             // the output refused records
  std::vector<std::uint64_t> counts_;
  std::bitset<65536> seen_;
  bool closed_ = false;
};

// A finalizing stream over the output stream and the output file (both owned); the
// output must offer seek and tell. Null when memory runs out or the file has no data
// block to take the records.
std::unique_ptr<FinalizingStream> finalizing_stream_new(StreamPtr output,
                                                        std::unique_ptr<MdfFile> file);

}  // namespace busfold
