// Scans the bytes as a password file's text. Whatever the text, the scan ends, and what it
// stores is what a member can hold: each member uses four quotes of its own, and a value
// never holds a quote or a line feed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "frontend/password_store.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace busfold;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  PasswordStore store;
  FUZZ_CHECK(parse_password_text(text, store));
  FUZZ_CHECK(store.size() <=
             static_cast<std::size_t>(std::count(text.begin(), text.end(), '"')) / 4);
  if (const std::string* value = store.find("default")) {
    FUZZ_CHECK(value->find('"') == std::string::npos && value->find('\n') == std::string::npos);
    FUZZ_CHECK(text.find(*value) != std::string_view::npos);
  }
  return 0;
}
