#include "base/log.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>

#include "base/result.h"

namespace busfold {

LogLevel log_threshold = 0;

void set_log_threshold(LogLevel value) { log_threshold = value; }

namespace {

thread_local LogSink* thread_sink = nullptr;

char level_letter(LogLevel level) {
  switch (level) {
  case kLogVerbose: return 'V';
  case kLogDebug: return 'D';
  case kLogInfo: return 'I';
  case kLogWarning: return 'W';
  case kLogError: return 'E';
  case kLogFatal: return 'F';
  default: return '?';
  }
}

long current_thread_id() { return static_cast<long>(syscall(SYS_gettid)); }

}  // namespace

int log_format_line(char* line, LogLevel level, const char* format, va_list args) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);

  int used = std::snprintf(line, kLogLineLimit + 1, "%02d-%02d %02d:%02d:%02d.%03ld %5ld %5ld %c ",
                           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                           local.tm_sec, now.tv_nsec / 1000000, static_cast<long>(getpid()),
                           current_thread_id(), level_letter(level));
  if (used < 0) used = 0;
  if (used > kLogLineLimit) used = kLogLineLimit;
  if (used < kLogLineLimit) {
    char message[kLogLineLimit + 1];
    const int wrote = std::vsnprintf(message, sizeof message, format, args);
    const int length = wrote < 0 ? 0 : std::min(wrote, kLogLineLimit);
    // A control character (a line feed in a file name, say) would let a name forge or
    // break a line that scripts read, so each is written as an escape instead.
    static constexpr char kHex[] = "0123456789abcdef";
    for (int i = 0; i < length && used < kLogLineLimit; ++i) {
      const auto c = static_cast<unsigned char>(message[i]);
      if (c >= 0x20 && c != 0x7f) {
        line[used++] = static_cast<char>(c);
        continue;
      }
      const char escape[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xf]};
      for (char e : escape) {
        if (used < kLogLineLimit) line[used++] = e;
      }
    }
  }
  line[used] = '\n';
  return used + 1;
}

void log_message(LogLevel level, const char* format, ...) {
  char line[kLogLineLimit + 1];
  va_list args;
  va_start(args, format);
  int length = log_format_line(line, level, format, args);
  va_end(args);
  const std::string_view text(line, static_cast<std::size_t>(length));
  if (thread_sink != nullptr) {
    thread_sink->write_line(text);
  } else {
    log_write_line(text);
  }
}

void set_thread_log_sink(LogSink* sink) { thread_sink = sink; }

namespace {

// Return to the start of the line and clear it.
constexpr std::string_view kClearLine = "\r\x1b[K";

std::mutex status_mutex;
std::string status_line;   // shown below the log; empty: none
std::string status_write;  // what one write puts out, reused

void write_stderr(std::string_view text) {
  ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

}  // namespace

void log_write_line(std::string_view line) {
  std::lock_guard lock(status_mutex);
  // One write per line keeps lines whole when several processes share stderr.
  if (status_line.empty()) return write_stderr(line);
  try {
    status_write.assign(kClearLine).append(line).append(status_line);
    write_stderr(status_write);
  } catch (const std::bad_alloc&) {
    write_stderr(kClearLine);
    write_stderr(line);
  }
}

void log_set_status(std::string_view text) {
  std::lock_guard lock(status_mutex);
  if (text.empty() && status_line.empty()) return;
  try {
    status_line.assign(text);
    status_write.assign(kClearLine).append(text);
    write_stderr(status_write);
  } catch (const std::bad_alloc&) {
    status_line.clear();
    write_stderr(kClearLine);
  }
}

void log_status(const Status& status, LogLevel level) {
  if (!log_enabled(level)) return;
  for (const std::string& line : status.messages())
    log_message(level, "%s", line.c_str());
}

}  // namespace busfold
