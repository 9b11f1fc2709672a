// Parses the bytes as a password file and compares the verdict with the JSON library's
// own document parser: the text is accepted exactly when it is one object whose values
// are all strings, and then the store holds the first password of each device id (in any
// case) and of "default", and nothing else.
#include <cctype>
#include <map>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "frontend/password_store.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nlohmann::json;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  busfold::PasswordStore store;
  const bool accepted = busfold::parse_password_text(text, "fuzz.json", store).ok();

  std::map<std::string, std::string> expected;  // by the upper-case key
  std::string key;
  auto member = [&](int depth, json::parse_event_t event, json& parsed) {
    if (depth == 1 && event == json::parse_event_t::key) key = parsed.get<std::string>();
    const bool device_id =
        !key.empty() && key.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (depth == 1 && event == json::parse_event_t::value && parsed.is_string() &&
        (device_id || key == "default")) {
      std::string upper = key;
      for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      expected.try_emplace(upper, parsed.get<std::string>());
    }
    return true;
  };
  const json document = json::parse(text, member, false);
  bool object_of_strings = document.is_object();
  for (const auto& item : document.items())
    object_of_strings = object_of_strings && item.value().is_string();
  FUZZ_CHECK(accepted == object_of_strings);
  if (!accepted) return 0;
  FUZZ_CHECK(store.size() == expected.size());
  for (const auto& [id, password] : expected)
    FUZZ_CHECK(store.find(id) != nullptr && *store.find(id) == password);
  return 0;
}
