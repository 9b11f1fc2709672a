// Diagnostics: one line per message on standard error, filtered by a global threshold.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string_view>

namespace busfold {

using LogLevel = std::int32_t;

inline constexpr LogLevel kLogVerbose = 1;
inline constexpr LogLevel kLogDebug = 2;
inline constexpr LogLevel kLogInfo = 3;
inline constexpr LogLevel kLogWarning = 4;
inline constexpr LogLevel kLogError = 5;
inline constexpr LogLevel kLogFatal = 6;

// A line holds at most this many characters before its line feed.
inline constexpr int kLogLineLimit = 510;

// Messages of a level below the threshold are not written. Starts at 0 (everything).
extern LogLevel log_threshold;

void set_log_threshold(LogLevel value);

inline bool log_enabled(LogLevel level) { return log_threshold <= level; }

// The length to give "%.*s" for a text: its size, as far as an int reaches.
inline int print_length(std::string_view text) {
  return static_cast<int>(text.size() < 0x7fffffff ? text.size() : 0x7fffffff);
}

// Writes one line, whatever the threshold; call sites test the threshold first
// (use BUSFOLD_LOG) so that a suppressed message is never formatted.
void log_message(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Formats the line that log_message would write (prefix, message cut to the limit,
// line feed) into `line`, which must hold kLogLineLimit + 1 bytes; returns its length.
// Exposed for tests.
int log_format_line(char* line, LogLevel level, const char* format, va_list args);

// Takes the finished lines of one thread in place of standard error: files converted
// side by side hold their lines back so that each file's lines come out together.
class LogSink {
public:
  virtual void write_line(std::string_view line) = 0;

protected:
  ~LogSink() = default;
};

// The calling thread's lines go to sink from now on; null sends them to standard error.
void set_thread_log_sink(LogSink* sink);

// Writes a finished line (line feed included) to standard error in one write, above the
// status line when one is shown.
void log_write_line(std::string_view line);

// A line kept at the bottom of a terminal (a run's progress): it is rewritten in place,
// cleared before each log line and drawn again after it. Empty text removes it. Only for
// a standard error that is a terminal; the caller keeps it shorter than the terminal is
// wide.
void log_set_status(std::string_view text);

class Status;

// Logs the lines of a failure, each as one line of the level; nothing for success.
void log_status(const Status& status, LogLevel level = kLogError);

}  // namespace busfold

#define BUSFOLD_LOG(level, ...)                                                                    \
  do {                                                                                             \
    if (::busfold::log_enabled(level)) {                                                           \
      ::busfold::log_message((level), __VA_ARGS__);                                                \
    }                                                                                              \
  } while (0)
