// Diagnostics: one line per message on standard error, filtered by a global threshold.
#pragma once

#include <cstdarg>
#include <cstdint>

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

// Writes one line, whatever the threshold; call sites test the threshold first
// (use BUSFOLD_LOG) so that a suppressed message is never formatted.
void log_message(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Formats the line that log_message would write (prefix, message cut to the limit,
// line feed) into `line`, which must hold kLogLineLimit + 1 bytes; returns its length.
// Exposed for tests.
int log_format_line(char* line, LogLevel level, const char* format, va_list args);

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
