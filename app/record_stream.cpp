#include "app/record_stream.h"

#include <cstring>

#include "base/log.h"

namespace busfold {

std::int64_t RecordStream::write(const void* buffer, std::uint64_t n) {
  if (n == 0) return 0;
  if (n != sizeof(ToolRecord)) return kStreamError;
  ToolRecord record;
  std::memcpy(&record, buffer, sizeof record);
  return write_record(record) ? static_cast<std::int64_t>(n) : kStreamError;
}

bool RecordStream::write_record(const ToolRecord& record) {
  FrameWrite written = FrameWrite::kWritten;
  bool lin = false;
  unsigned bus = 0;
  switch (record.kind) {
  case kCanDataFrame: return write_can_data_frame(record.frame);
  case kCanRemoteFrame:
    bus = record.frame.bus;
    written = writer_.write_can_remote_frame(record.frame);
    break;
  case kCanErrorFrame:
    bus = record.error.bus;
    written = writer_.write_can_error_frame(record.error);
    break;
  case kLinFrame:
    bus = record.lin.bus;
    lin = true;
    written = writer_.write_lin_frame(record.lin);
    break;
  default: return true;
  }
  return written == FrameWrite::kWritten || report(written, lin, bus);
}

bool RecordStream::report(FrameWrite written, bool lin, unsigned bus) {
  switch (written) {
  case FrameWrite::kWritten: return true;
  case FrameWrite::kFirstBusWithoutGroups:
    BUSFOLD_LOG(kLogWarning, "No output groups for %s bus %u, frames skipped", lin ? "LIN" : "CAN",
                bus);
    return false;
  case FrameWrite::kFirstSignalDataFull:
    BUSFOLD_LOG(kLogError, "Signal data of CAN bus %u passed 4 GiB, long FD frames skipped", bus);
    return false;
  case FrameWrite::kSkipped:
  case FrameWrite::kOutputFailed: return false;
  }
  return false;
}

}  // namespace busfold
