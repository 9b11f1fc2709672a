// Converting the files of a run side by side (-j): workers with contexts of their own,
// and every file's log lines and code handed back in walk order, so that a user sees
// what a run converting them one after another would have shown.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "frontend/progress.h"
#include "frontend/tool.h"

namespace busfold {

// The walk hands each accepted file to convert() and asks before it examines a path or
// lists a folder, so that no file still being converted can change what the walk sees.
class FileJobs {
public:
  // Up to `jobs` workers. With 1, or when the tool says its files depend on one another,
  // every file is converted at once in the calling thread. show_progress: draw the
  // progress line (see progress_wanted).
  FileJobs(ToolContext& ctx, std::int64_t jobs, bool show_progress = false);
  FileJobs(const FileJobs&) = delete;
  FileJobs& operator=(const FileJobs&) = delete;
  // Waits for every file, then ends the workers; their record counts go to the context.
  ~FileJobs();

  // input and folder are relative to the input root.
  void before_examine(std::string_view input);
  void before_list(std::string_view folder);
  // output is relative to the output root, with the tool's suffix.
  void before_examine_output(std::string_view output);

  // Converts one file of `size` bytes (output relative to the output root, without
  // extension) and logs its end (converted, or its failure), naming it as `shown`.
  // Returns its code, or 0 when a worker took it (the code comes from finish).
  int convert(std::string_view input, std::string_view output, std::string_view shown,
              std::uint64_t size = 0);

  // Waits for every file handed to a worker; the OR of their codes.
  int finish();

  // What the files have done so far, and the progress line.
  RunProgress& progress() { return progress_; }

private:
  struct State;
  // Waits until no file before in walk order reads, writes or deletes the path (or, for
  // a folder, writes or deletes in it).
  void wait_until_untouched(const FsRoot* root, std::string_view path, bool folder);
  ToolContext& ctx_;
  RunProgress progress_;
  std::unique_ptr<State> state_;  // null when files are converted in the calling thread
};

}  // namespace busfold
