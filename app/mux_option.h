// The -m/--mux entry of the command line: the carrier identifiers to demultiplex and the
// bus of each of their sub-channels.
#pragma once

#include <cstddef>
#include <cstdio>

#include "app/demux.h"

struct arg_str;

namespace busfold {

// Binds an argtable string entry to a demultiplexing table. argtable checks the entry once
// the arguments scanned cleanly: its values are parsed into the table then, and a bad one
// makes the command line wrong (exit status 134); its message, naming that value, is
// logged when argtable prints the command line's errors.
class MuxOption {
public:
  explicit MuxOption(DemuxTable& table) : table_(table) {}
  MuxOption(const MuxOption&) = delete;
  MuxOption& operator=(const MuxOption&) = delete;

  // A new entry (freed with the option list) that refers to this object, which must
  // outlive it; null when memory runs out.
  arg_str* create_entry();

private:
  using CheckFunction = int(void*);
  using ErrorFunction = void(void*, std::FILE*, int, const char*, const char*);

  static int check(void* parent);
  static void report(void* parent, std::FILE* out, int error, const char* value,
                     const char* program);

  DemuxTable& table_;
  // The string entry's own check and report, for its count errors.
  CheckFunction* base_check_ = nullptr;
  ErrorFunction* base_report_ = nullptr;
  std::size_t failed_value_ = 0;
};

}  // namespace busfold
