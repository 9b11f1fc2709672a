#include "frontend/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <new>

#include "base/log.h"

namespace busfold {

namespace {

// Redrawn at most this often: a folder of small files would otherwise flicker.
constexpr auto kDrawInterval = std::chrono::milliseconds(100);
constexpr double kMiB = 1024.0 * 1024.0;

std::size_t terminal_width() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

// Appends as much of the end of `name` as fits in `room` bytes, with "..." in front when
// it is cut. Control characters would move the cursor: they are shown as '?'.
void append_fitted(std::string& line, std::string_view name, std::size_t room) {
  const bool cut = name.size() > room;
  if (cut) {
    if (room <= 3) return;
    name.remove_prefix(name.size() - (room - 3));
    // Not from inside a UTF-8 sequence.
    while (!name.empty() && (static_cast<unsigned char>(name.front()) & 0xC0) == 0x80)
      name.remove_prefix(1);
    line += "...";
  }
  for (char c : name)
    line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
}

}  // namespace

RunProgress::RunProgress(bool display)
    : display_(display), start_(std::chrono::steady_clock::now()) {}

void RunProgress::found() {
  std::lock_guard lock(mutex_);
  ++totals_.found;
  draw(false);
}

void RunProgress::started(std::string_view shown) {
  std::lock_guard lock(mutex_);
  if (!display_) return;
  try {
    running_.push_back({std::string(shown)});
  } catch (const std::bad_alloc&) {
  }
  draw(false);
}

void RunProgress::reading(std::string_view shown, std::uint64_t bytes_read) {
  std::lock_guard lock(mutex_);
  if (!display_) return;
  if (auto file = running_file(shown); file != running_.end()) file->bytes_read = bytes_read;
  draw(false);
}

void RunProgress::finished(std::string_view shown, bool converted, std::uint64_t frames,
                           std::uint64_t bytes_in, std::uint64_t bytes_out) {
  std::lock_guard lock(mutex_);
  ++(converted ? totals_.converted : totals_.failed);
  totals_.frames += frames;
  totals_.bytes_in += bytes_in;
  totals_.bytes_out += bytes_out;
  if (!display_) return;
  if (auto file = running_file(shown); file != running_.end()) running_.erase(file);
  draw(false);
}

void RunProgress::walk_done() {
  std::lock_guard lock(mutex_);
  walking_ = false;
  draw(true);
}

void RunProgress::stop() {
  std::lock_guard lock(mutex_);
  if (!display_) return;
  display_ = false;
  log_set_status({});
}

RunTotals RunProgress::totals() const {
  std::lock_guard lock(mutex_);
  return totals_;
}

double RunProgress::seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::vector<RunProgress::RunningFile>::iterator RunProgress::running_file(std::string_view shown) {
  return std::find_if(running_.begin(), running_.end(),
                      [&](const RunningFile& file) { return file.shown == shown; });
}

std::string RunProgress::line(std::size_t width) const {
  std::lock_guard lock(mutex_);
  return line_locked(width);
}

void RunProgress::draw(bool now) {
  if (!display_) return;
  const auto at = std::chrono::steady_clock::now();
  if (drawn_ && !now && at - last_draw_ < kDrawInterval) return;
  drawn_ = true;
  last_draw_ = at;
  try {
    log_set_status(line_locked(terminal_width()));
  } catch (const std::bad_alloc&) {
  }
}

std::string RunProgress::line_locked(std::size_t width) const {
  // "3/40+ files, 12.5 MiB, 48.1 MiB/s, logs/00000004.MF4": while the walk goes on, the
  // total is what it has found so far. The MiB count what the files being converted have
  // read so far.
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::uint64_t bytes = totals_.bytes_in;
  for (const RunningFile& file : running_)
    bytes += file.bytes_read;
  const double mib = static_cast<double>(bytes) / kMiB;
  const std::uint64_t done = totals_.converted + totals_.failed;
  char counts[160];
  std::snprintf(counts, sizeof counts, "%llu/%llu%s files, %.1f MiB, %.1f MiB/s",
                static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(totals_.found), walking_ ? "+" : "", mib,
                seconds > 0 ? mib / seconds : 0.0);
  std::string line = counts;
  // The last column is left free: a terminal that wraps there would break the rewrite.
  width = width > 0 ? width - 1 : 0;
  if (!running_.empty() && line.size() + 2 < width) {
    line += ", ";
    append_fitted(line, running_.front().shown, width - line.size());
  }
  if (line.size() > width) line.resize(width);
  return line;
}

bool progress_wanted(bool non_interactive) {
  return !non_interactive && ::isatty(STDERR_FILENO) == 1;
}

}  // namespace busfold
