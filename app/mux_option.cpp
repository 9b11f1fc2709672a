#include "app/mux_option.h"

#include <argtable2.h>

#include <span>

namespace busfold {

namespace {

// argtable's own error codes are small positive numbers; ours are the parse codes times
// 256, so that the two never meet.
constexpr int kErrorScale = 256;

MuxOption& bound_option(arg_str* entry) { return *static_cast<MuxOption*>(entry->hdr.priv); }

}  // namespace

arg_str* MuxOption::create_entry() {
  arg_str* entry = arg_strn("m", "mux", "hex id:channel 1;channel 2;...", 0, 63,
                            "CAN IDs to demux and their corresponding channels");
  if (entry == nullptr) return nullptr;
  base_check_ = entry->hdr.checkfn;
  base_report_ = entry->hdr.errorfn;
  entry->hdr.checkfn = check;
  entry->hdr.errorfn = report;
  entry->hdr.priv = this;
  return entry;
}

int MuxOption::check(void* parent) {
  auto* entry = static_cast<arg_str*>(parent);
  MuxOption& self = bound_option(entry);
  if (int error = self.base_check_(parent); error != 0) return error;
  std::span<const char* const> values(entry->sval, static_cast<std::size_t>(entry->count));
  int code = parse_demux_values(values, self.table_, self.failed_value_);
  return code * kErrorScale;
}

void MuxOption::report(void* parent, std::FILE* out, int error, const char* value,
                       const char* program) {
  auto* entry = static_cast<arg_str*>(parent);
  MuxOption& self = bound_option(entry);
  if (error >= 0 || error % kErrorScale != 0 ||
      self.failed_value_ >= static_cast<std::size_t>(entry->count)) {
    self.base_report_(parent, out, error, value, program);
    return;
  }
  report_demux_error(error / kErrorScale, entry->sval[self.failed_value_]);
}

}  // namespace busfold
