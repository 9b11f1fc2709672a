// The stream the output records go through: it keeps the data block's content in memory,
// counts the bytes written per record id and, when closed, finalizes the output file
// (cycle counts, signal-data sizes, data block, cleared flags) and saves it whole.
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <vector>

#include "io/memory_stream.h"
#include "io/stream.h"
#include "mdf/mdf_file.h"

namespace busfold {

class DtBlock;

class FinalizingStream final : public Stream {
public:
  // Each write carries one record: its 2-byte record id, then its bytes.
  std::int64_t write(const void* buffer, std::uint64_t n) override;
  std::int64_t read(void* buffer, std::uint64_t n) override;
  std::int64_t tell() override;
  std::int64_t seek(std::int64_t offset, int whence) override;
  // Finalizes and saves the output file, then closes the output stream. 0 only when the
  // whole file was written and closed.
  std::int64_t close() override;

  // Bytes written under the record id so far (record ids not included).
  std::uint64_t count(std::uint16_t record_id) const { return counts_[record_id]; }
  bool has_count(std::uint16_t record_id) const { return seen_[record_id]; }

private:
  friend std::unique_ptr<FinalizingStream> finalizing_stream_new(StreamPtr output,
                                                                 std::unique_ptr<MdfFile> file,
                                                                 std::uint64_t expected_bytes);
  FinalizingStream() = default;
  bool finalize();
  // The output's data block: the data link of its (one) data group.
  DtBlock* data_block() const;

  StreamPtr output_;
  std::unique_ptr<MemoryStream> data_;
  std::unique_ptr<MdfFile> file_;
  std::vector<std::uint64_t> counts_;
  std::bitset<65536> seen_;
  bool closed_ = false;
};

// A finalizing stream over the output stream and the output file (both owned), with an
// empty data buffer reserved for about expected_bytes. Null when memory runs out.
std::unique_ptr<FinalizingStream> finalizing_stream_new(StreamPtr output,
                                                        std::unique_ptr<MdfFile> file,
                                                        std::uint64_t expected_bytes = 0);

}  // namespace busfold
