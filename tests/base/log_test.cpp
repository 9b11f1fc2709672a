#include "base/log.h"

#include <gtest/gtest.h>

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

TEST(Log, LinesCarryTimeIdsAndLevelLetterAndCannotBeForgedOrOverlong) {
  const std::pair<LogLevel, char> letters[] = {{1, 'V'}, {3, 'I'}, {6, 'F'}, {9, '?'}};
  for (auto [level, letter] : letters) {
    const std::string line = format_line(level, "Found %s file", "compressed");
    const std::regex layout(
        std::string(R"(\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d [ \d]{4}\d+ [ \d]{4}\d+ )") + '[' + letter +
        "] Found compressed file\n");
    EXPECT_TRUE(std::regex_match(line, layout)) << line;
  }
  std::string line = format_line(kLogError, "Error during conversion of %s", "a\nb\x1b[2J\x7f.mf4");
  EXPECT_TRUE(line.ends_with(" E Error during conversion of a\\x0ab\\x1b[2J\\x7f.mf4\n")) << line;
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  line = format_line(kLogError, "%s", std::string(1000, 'x').c_str());
  ASSERT_EQ(line.size(), 511u);
  EXPECT_EQ(line.substr(509), "x\n");

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
