// Runs a program (normally the real busfold binary) the way a user would, without a shell.
#pragma once

#include <string>
#include <vector>

namespace busfold::testing {

struct ProcessResult {
  // The exit code; 128 + signal number when the program was killed; -1 when it could not run.
  int exit_status = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

// Starts `program` with `args` (argv[1..]) in `working_folder`, standard input from
// /dev/null, and waits for it while collecting both output streams.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& working_folder);

}  // namespace busfold::testing
