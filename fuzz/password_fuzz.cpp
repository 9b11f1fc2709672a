// Parses the bytes as a password file and compares the verdict with the JSON library's
// own document parser: the text is accepted exactly when it is one object whose values
// are all strings, and then every device-id key it holds can be looked up.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "frontend/password_store.h"
#include "fuzz/fuzz_support.h"

namespace {

bool is_password_key(const std::string& key) {
  if (key == "default") return true;
  if (key.empty()) return false;
  for (char c : key) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace busfold;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  PasswordStore store;
  const bool accepted = parse_password_text(text, "fuzz.json", store).ok();

  nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  bool expected = !document.is_discarded() && document.is_object();
  if (expected) {
    for (const auto& [key, value] : document.items()) expected = expected && value.is_string();
  }
  FUZZ_CHECK(accepted == expected);
  if (accepted) {
    for (const auto& [key, value] : document.items()) {
      FUZZ_CHECK(!is_password_key(key) || store.find(key) != nullptr);
    }
  }
  return 0;
}
