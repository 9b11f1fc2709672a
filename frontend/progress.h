// What a run has done so far: the counts of its summary line and, on a terminal, the
// one-line progress display kept below the log.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace busfold {

struct RunTotals {
  std::uint64_t found = 0;  // files the walk handed over for conversion
  std::uint64_t converted = 0;
  std::uint64_t failed = 0;
  std::uint64_t frames = 0;     // read from the inputs of finished files
  std::uint64_t bytes_in = 0;   // of the inputs of finished files
  std::uint64_t bytes_out = 0;  // of the outputs written
};

// Safe to call from every worker of a run; the display is drawn by whichever call changes
// it, through the log's status line, so that it never cuts into a log line.
class RunProgress {
public:
  // display: draw the progress line (see progress_wanted).
  explicit RunProgress(bool display);
  RunProgress(const RunProgress&) = delete;
  RunProgress& operator=(const RunProgress&) = delete;
  ~RunProgress() { stop(); }

  void found();
  void started(std::string_view shown);
  // A started file has been read this far (a share of its size, in bytes): a long file
  // moves the display before it is finished.
  void reading(std::string_view shown, std::uint64_t bytes_read);
  // Once for every started file.
  void finished(std::string_view shown, bool converted, std::uint64_t frames,
                std::uint64_t bytes_in, std::uint64_t bytes_out);
  // The walk has found every file: the total is known from now on.
  void walk_done();
  // Removes the display for good: the run's last lines follow.
  void stop();

  RunTotals totals() const;
  double seconds() const;
  // The display as it would be drawn now on a terminal `width` columns wide.
  std::string line(std::size_t width) const;

private:
  struct RunningFile {
    std::string shown;
    std::uint64_t bytes_read = 0;  // until it is finished
  };

  void draw(bool now);                                // with mutex_ held
  std::string line_locked(std::size_t width) const;  // with mutex_ held
  // The first of running_ shown so, or its end; with mutex_ held.
  std::vector<RunningFile>::iterator running_file(std::string_view shown);

  mutable std::mutex mutex_;
  bool display_;
  bool walking_ = true;
  RunTotals totals_;
  // Files being converted, as shown, in the order they started: the first holds up the log.
  std::vector<RunningFile> running_;
  std::chrono::steady_clock::time_point start_, last_draw_;
  bool drawn_ = false;
};

// Whether a run's progress is drawn: standard error is a terminal and the user did not
// ask for a quiet run.
bool progress_wanted(bool non_interactive);

}  // namespace busfold
