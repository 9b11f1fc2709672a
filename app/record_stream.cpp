#include "app/record_stream.h"

#include <cstring>

namespace busfold {

std::int64_t RecordStream::write(const void* buffer, std::uint64_t n) {
  if (n == 0) return 0;
  if (n != sizeof(ToolRecord)) return kStreamError;
  ToolRecord record;
  std::memcpy(&record, buffer, sizeof record);
  return write_record(record) ? static_cast<std::int64_t>(n) : kStreamError;
}

bool RecordStream::write_record(const ToolRecord& record) {
  return record.kind != kToolRecordCanData || writer_.write_can_data_frame(record.frame);
}

}  // namespace busfold
