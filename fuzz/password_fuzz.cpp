// Scans the bytes as a password file's text and compares what is stored with a plain
// unanchored search of the same expression, member after member: the store must hold
// exactly the first value of every key that search finds.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "frontend/password_store.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr char kMemberPattern[] = R"re(\s*"(default|[a-fA-F\d]*)"\s*:\s*"(.*?)"\s*,?\s*)re";

// Key → first value, as the expression's own leftmost search finds the members.
std::map<std::string, std::string> reference_members(std::string_view text) {
  std::map<std::string, std::string> members;
  pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
  pcre2_set_newline(context, PCRE2_NEWLINE_LF);
  int error = 0;
  PCRE2_SIZE error_offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kMemberPattern),
                                   PCRE2_ZERO_TERMINATED, 0, &error, &error_offset, context);
  FUZZ_CHECK(code != nullptr);
  pcre2_match_data* match = pcre2_match_data_create_from_pattern(code, nullptr);
  const auto* subject = reinterpret_cast<PCRE2_SPTR>(text.data());
  for (PCRE2_SIZE position = 0; position <= text.size();) {
    if (pcre2_match(code, subject, text.size(), position, 0, match, nullptr) < 3) break;
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match);
    members.try_emplace(std::string(text.substr(ovector[2], ovector[3] - ovector[2])),
                        text.substr(ovector[4], ovector[5] - ovector[4]));
    position = ovector[1];
  }
  pcre2_match_data_free(match);
  pcre2_code_free(code);
  pcre2_compile_context_free(context);
  return members;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace busfold;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  PasswordStore store;
  FUZZ_CHECK(parse_password_text(text, store));
  std::map<std::string, std::string> expected = reference_members(text);
  FUZZ_CHECK(store.size() == expected.size());
  for (const auto& [key, value] : expected) {
    const std::string* found = store.find(key);
    FUZZ_CHECK(found != nullptr && *found == value);
    FUZZ_CHECK(value.find('"') == std::string::npos && value.find('\n') == std::string::npos);
  }
  return 0;
}
