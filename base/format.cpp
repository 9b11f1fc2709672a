#include "base/format.h"

#include <cstdio>
#include <cstring>

namespace busfold {

std::string format_va(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

std::string error_text(int error_number) {
  char buffer[128];
  // The GNU form: the text may be a constant of the library rather than the buffer.
  return ::strerror_r(error_number, buffer, sizeof buffer);
}

}  // namespace busfold
