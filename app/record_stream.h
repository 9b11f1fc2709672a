// The stream face of the output's frame writer: each write is one ToolRecord, encoded
// into the output file's records.
#pragma once

#include <cstdint>

#include "app/finalizing_stream.h"
#include "buslog/bus_frame.h"
#include "buslog/frame_record_writer.h"
#include "io/stream.h"

namespace busfold {

// What the callbacks hand to the record stream: a CAN data or remote frame with the
// fields from the identifier on, a CAN error frame or a LIN frame. Records of any other
// kind are dropped.
struct ToolRecord {
  FrameKind kind = kCanDataFrame;
  union {
    CanFrameFields frame{};  // kCanDataFrame, kCanRemoteFrame
    CanErrorFields error;    // kCanErrorFrame
    LinFrameFields lin;      // kLinFrame
  };
};

class RecordStream final : public Stream {
public:
  // The destination is the finalizing stream of the output file; it is borrowed and
  // closed by close().
  RecordStream(FinalizingStream& destination, const BusRecordIdTable& record_ids)
      : destination_(destination), writer_(destination, record_ids) {}

  // n must be sizeof(ToolRecord): n when written (or dropped), -1 when the frame could
  // not be written.
  std::int64_t write(const void* buffer, std::uint64_t n) override;
  std::int64_t read(void*, std::uint64_t) override { return kStreamError; }
  std::int64_t tell() override { return kStreamError; }
  std::int64_t seek(std::int64_t, int) override { return kStreamError; }
  // Closes the destination (which finalizes the output file) and returns its result.
  std::int64_t close() override { return destination_.close(); }

  // The typed form of write, without the copy out of a byte buffer: true when the
  // record was written or dropped.
  bool write_record(const ToolRecord& record);
  // The same for a CAN data frame, the kind of nearly every record.
  bool write_can_data_frame(const CanFrameFields& frame) {
    const FrameWrite written = writer_.write_can_data_frame(frame);
    return written == FrameWrite::kWritten || report(written, false, frame.bus);
  }

  const FrameRecordWriter& writer() const { return writer_; }

private:
  // Logs what a frame that was not written gives, the first time; always false.
  static bool report(FrameWrite written, bool lin, unsigned bus);

  Stream& destination_;
  FrameRecordWriter writer_;
};

}  // namespace busfold
