#include "frontend/password_store.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <new>
#include <string>

#include "base/log.h"
#include "frontend/tool.h"
#include "io/file_stream.h"
#include "io/fs_root.h"

namespace busfold {

bool PasswordStore::insert(std::string_view key, std::string_view password) {
  return entries_.try_emplace(std::string(key), password).second;
}

const std::string* PasswordStore::find(std::string_view key) const {
  auto it = entries_.find(std::string(key));
  return it == entries_.end() ? nullptr : &it->second;
}

namespace {

// A member: "key": "value", with the key "default" or hexadecimal digits.
constexpr char kMemberPattern[] = R"re(\s*"(default|[a-fA-F\d]*)"\s*:\s*"(.*?)"\s*,?\s*)re";

struct Pcre2Handles {
  pcre2_compile_context* context = nullptr;
  pcre2_code* code = nullptr;
  pcre2_match_data* match = nullptr;
  ~Pcre2Handles() {
    pcre2_match_data_free(match);
    pcre2_code_free(code);
    pcre2_compile_context_free(context);
  }
};

}  // namespace

bool parse_password_text(std::string_view text, PasswordStore& store) {
  Pcre2Handles pcre;
  pcre.context = pcre2_compile_context_create(nullptr);
  // With line feed as the only newline "." stops at a line feed but takes a carriage return.
  if (pcre.context == nullptr || pcre2_set_newline(pcre.context, PCRE2_NEWLINE_LF) != 0) {
    BUSFOLD_LOG(kLogError, "Could not parse password file");
    return false;
  }
  int error = 0;
  PCRE2_SIZE error_offset = 0;
  pcre.code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kMemberPattern), PCRE2_ZERO_TERMINATED, 0,
                            &error, &error_offset, pcre.context);
  if (pcre.code != nullptr) pcre.match = pcre2_match_data_create_from_pattern(pcre.code, nullptr);
  if (pcre.code == nullptr || pcre.match == nullptr) {
    BUSFOLD_LOG(kLogError, "Could not parse password file");
    return false;
  }

  const auto* subject = reinterpret_cast<PCRE2_SPTR>(text.data());
  PCRE2_SIZE position = 0;
  while (position < text.size()) {
    // A member's captures and end are the same whether its match starts on the white space
    // before its first quote or on the quote. Trying only the quotes keeps the expression
    // from scanning a long run of white space again from every position in it, which made
    // the scan quadratic.
    std::size_t quote = text.find('"', position);
    if (quote == std::string_view::npos) break;
    int found =
        pcre2_match(pcre.code, subject, text.size(), quote, PCRE2_ANCHORED, pcre.match, nullptr);
    if (found == PCRE2_ERROR_NOMATCH) {
      position = quote + 1;
      continue;
    }
    if (found < 3) break;
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(pcre.match);
    std::string_view key = text.substr(ovector[2], ovector[3] - ovector[2]);
    std::string_view value = text.substr(ovector[4], ovector[5] - ovector[4]);
    if (!store.insert(key, value)) {
      std::string key_text(key);
      BUSFOLD_LOG(kLogWarning, "Failed to insert key for \"%s\" in password storage",
                  key_text.c_str());
    }
    // A match always holds at least the quotes and the colon, so the scan moves on.
    position = ovector[1];
  }
  return true;
}

bool load_password_file(ConverterOptions& options, int& status) {
  const bool named = options.password_files.size() == 1;
  std::string path;
  if (named) {
    path = options.password_files.front();
  } else {
    path = "passwords.json";
    log_status(normalise_path(path));
  }

  // Only a regular file is a password file; a folder would open and then yield nothing
  // but a bogus size.
  FsStat st;
  std::unique_ptr<FileStream> file;
  if (fs_stat_path(path, st) && st.kind == kFsFile) file = file_stream_open(path, 0);
  if (!file) {
    if (!named) return true;
    BUSFOLD_LOG(kLogError, "Failed to open password file at %s", path.c_str());
    status |= 1;
    return false;
  }

  std::int64_t size = stream_size(file.get());
  std::string text;
  bool complete = false;
  if (size >= 0) {
    try {
      text.resize(static_cast<std::size_t>(size));
      complete = file->read(text.data(), text.size()) == size;
    } catch (const std::bad_alloc&) {
      complete = false;
    }
  }
  StreamPtr stream = std::move(file);
  stream_close(stream);
  if (!complete) return true;
  return parse_password_text(text, options.passwords);
}

}  // namespace busfold
