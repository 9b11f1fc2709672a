// The stream the output records go through. The records go through one large buffer
// straight to their place in the output file, behind the room its blocks take; the
// bytes written per record id are counted. When closed, the blocks are written with
// what is known only then (cycle counts, signal-data sizes, the data block's length,
// the cleared flags), around the records already in place.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/byte_buffer.h"
#include "buslog/record_sink.h"
#include "io/background_writer.h"
#include "io/stream.h"
#include "mdf/mdf_file.h"

namespace busfold {

class CgBlock;
class DtBlock;
class FinalizingStream;

// An output file laid out once for any number of outputs of the same shape: where its
// records go, and what finishing one output changes in it (the counts, the places of the
// blocks after the records), which is put back for the next. It also keeps what each
// output works with (the records' buffer, the bytes counted per record id), so that no
// output allocates them anew.
class OutputLayout {
public:
  // Null when the file has no data block to take the records, or memory runs out.
  static std::unique_ptr<OutputLayout> create(std::unique_ptr<MdfFile> file);
  MdfFile& file() { return *file_; }

private:
  friend class FinalizingStream;
  friend std::unique_ptr<FinalizingStream> finalizing_stream_new(StreamPtr output,
                                                                 OutputLayout& layout);
  struct Group {
    CgBlock* cg;
    std::uint64_t cycle_count;  // as laid out, before an output counts its records
    std::uint32_t data_bytes;
    bool vlsd;
    std::vector<CgBlock*> reachable;  // of a record group: the other groups reachable from it
    std::uint64_t cycle_count_at = 0, data_bytes_at = 0;  // in the kept image
  };
  OutputLayout() = default;
  // Finds where the records go: where the data block's data lands when the blocks are
  // written with no records. Their lengths do not depend on the counts.
  bool place_records();
  // Undoes what finishing an output changed.
  void restore();
  // Keeps the blocks the first output's save wrote before its records, once the fields
  // that differ from output to output are found in them where their blocks say: later
  // outputs patch those into the image instead of saving every block again.
  void keep_image(std::vector<std::uint8_t> before, bool nothing_after);
  // The kept image with the tree's counts, start time and data length in it.
  const std::vector<std::uint8_t>& patched_image();
  std::unique_ptr<MdfFile> file_;
  DtBlock* dt_ = nullptr;            // the data link of the file's (one) data group
  std::vector<MdfBlock*> unplaced_;  // blocks without an offset of their own
  std::vector<Group> groups_;        // every channel group
  std::uint16_t unfin_flags_ = 0, custom_unfin_flags_ = 0;
  std::uint64_t start_time_ns_ = 0;
  std::uint64_t placed_end_ = 0;  // where blocks without an offset go
  std::uint64_t records_start_ = 0;

  // Of the output being written (its counts stay readable until the next one begins).
  // Two halves: one is filled while the writer hands the other to the output.
  ByteBuffer record_buffer_;  // mapped on its own, in huge pages where the system has them
  BackgroundWriter writer_;
  RecordCounts counts_;

  std::vector<std::uint8_t> image_;  // empty until kept
  std::uint64_t start_time_at_ = 0, dt_length_at_ = 0;
};

// Records are taken as a sink (encoded in place into its buffer) or as writes.
class FinalizingStream final : public Stream, public RecordSink {
public:
  // Each write carries one record: its 2-byte record id, then its bytes. A write the
  // output refused fails this write or a later one, and the close.
  std::int64_t write(const void* buffer, std::uint64_t n) override;
  // Finalizes the output file, then closes the output stream. 0 only when the whole file
  // was written and closed.
  std::int64_t close() override;
  // Why the output refused bytes or its close failed, also once closed.
  int error_number() const override { return output_ ? output_->error_number() : error_; }
  // Bytes of the finished file, once closed.
  std::uint64_t size() const { return size_; }

  // Bytes written under the record id so far (record ids not included).
  std::uint64_t count(std::uint16_t record_id) const { return layout_->counts_.bytes(record_id); }
  bool has_count(std::uint16_t record_id) const { return layout_->counts_.seen(record_id); }

  ~FinalizingStream() override;

private:
  friend std::unique_ptr<FinalizingStream> finalizing_stream_new(StreamPtr output,
                                                                 OutputLayout& layout);
  friend std::unique_ptr<FinalizingStream> finalizing_stream_new(StreamPtr output,
                                                                 std::unique_ptr<MdfFile> file);
  FinalizingStream() = default;
  std::uint8_t* make_room(std::size_t n) override;
  // Hands the buffered records to the output (they are written while the other half of
  // the buffer fills); false once it refused bytes, after which the sink takes no more.
  bool flush();
  // Waits until the output has taken every record handed to it; false once it refused
  // bytes. The output is this stream's own again.
  bool settle();
  // Writes the buffered records here and now, once the output has taken those before:
  // with nothing left to fill meanwhile, handing them to the writer would only wake it.
  bool flush_here();
  // The output refused bytes: the sink takes no more; false.
  bool refuse_records();
  bool finalize();

  StreamPtr output_;
  OutputLayout* layout_ = nullptr;              // borrowed, or owned_layout_
  std::unique_ptr<OutputLayout> owned_layout_;  // for a file given to this stream alone
  std::uint64_t records_size_ = 0;  // bytes handed to the output so far
  unsigned half_ = 0;               // of the layout's record buffer being filled
  bool failed_ = false;             // the output refused records
  bool closed_ = false;
  int error_ = 0;  // of the output, kept when it is closed
  std::uint64_t size_ = 0;
};

// A finalizing stream over the output stream (owned) and a layout (borrowed: it must
// outlive the stream, and is ready for the next output once the stream is gone); the
// output must offer seek and tell. Null when memory runs out.
std::unique_ptr<FinalizingStream> finalizing_stream_new(StreamPtr output, OutputLayout& layout);

// The same for a file laid out for this output alone (owned). Null also when the file has
// no data block to take the records.
std::unique_ptr<FinalizingStream> finalizing_stream_new(StreamPtr output,
                                                        std::unique_ptr<MdfFile> file);

}  // namespace busfold
