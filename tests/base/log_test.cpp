#include "base/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <regex>
#include <string>

namespace busfold {
namespace {

std::string format_line(LogLevel level, const char* format, ...) {
  char line[kLogLineLimit + 1];
  va_list args;
  va_start(args, format);
  int length = log_format_line(line, level, format, args);
  va_end(args);
  return std::string(line, static_cast<std::size_t>(length));
}

TEST(Log, LineLayoutCarriesTimeIdsAndLevelLetter) {
  const std::regex layout(
      R"(\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d [ \d]{4}\d+ [ \d]{4}\d+ ([A-Z?]) (.*)\n)");
  struct Case {
    LogLevel level;
    char letter;
  } cases[] = {{1, 'V'}, {2, 'D'}, {3, 'I'}, {4, 'W'}, {5, 'E'}, {6, 'F'}, {0, '?'}, {9, '?'}};
  for (const Case& c : cases) {
    std::string line = format_line(c.level, "Found %s file", "compressed");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, layout)) << line;
    EXPECT_EQ(m[1].str(), std::string(1, c.letter));
    EXPECT_EQ(m[2].str(), "Found compressed file");
  }
}

TEST(Log, ControlCharactersCannotForgeLines) {
  std::string line = format_line(kLogError, "Error during conversion of %s", "a\nb\x1b[2J\x7f.mf4");
  EXPECT_TRUE(line.ends_with(" E Error during conversion of a\\x0ab\\x1b[2J\\x7f.mf4\n")) << line;
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
}

TEST(Log, LongMessagesAreCutAtTheLineLimit) {
  std::string message(1000, 'x');
  std::string line = format_line(kLogError, "%s", message.c_str());
  ASSERT_EQ(line.size(), 511u);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line[509], 'x');
}

TEST(Log, ThresholdFiltersByLevel) {
  const LogLevel saved = log_threshold;
  set_log_threshold(kLogFatal);  // verbosity 0
  ::testing::internal::CaptureStderr();
  BUSFOLD_LOG(kLogError, "hidden %d", 5);
  BUSFOLD_LOG(kLogFatal, "shown %d", 6);
  std::string err = ::testing::internal::GetCapturedStderr();
  set_log_threshold(saved);
  EXPECT_EQ(err.find("hidden"), std::string::npos);
  EXPECT_NE(err.find(" F shown 6\n"), std::string::npos) << err;
}

}  // namespace
}  // namespace busfold
