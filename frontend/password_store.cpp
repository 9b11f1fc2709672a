#include "frontend/password_store.h"

#include <cctype>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/log.h"
#include "frontend/exit_codes.h"
#include "frontend/tool.h"
#include "io/file_stream.h"
#include "io/fs_root.h"

namespace busfold {

namespace {

// Device ids are stored in upper case, the form the pipeline looks them up in.
std::string key_of(std::string_view key) {
  std::string normal(key);
  for (char& c : normal)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return normal;
}

bool is_device_id(std::string_view key) {
  if (key.empty()) return false;
  for (char c : key) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
  }
  return true;
}

// Follows the parser's events and fills the store; stops at the first event that does
// not fit an object of strings.
class PasswordSax : public nlohmann::json_sax<nlohmann::json> {
public:
  explicit PasswordSax(PasswordStore& store) : store_(store) {}

  bool null() override { return not_a_password("null"); }
  bool boolean(bool) override { return not_a_password("a boolean"); }
  bool number_integer(number_integer_t) override { return not_a_password("a number"); }
  bool number_unsigned(number_unsigned_t) override { return not_a_password("a number"); }
  bool number_float(number_float_t, const string_t&) override { return not_a_password("a number"); }
  bool binary(binary_t&) override { return not_a_password("binary data"); }
  bool start_array(std::size_t) override { return not_a_password("an array"); }
  bool end_array() override { return false; }
  bool start_object(std::size_t) override {
    if (depth_++ == 0) return true;
    return not_a_password("an object");
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool key(string_t& key) override {
    key_ = key;
    return true;
  }
  bool string(string_t& value) override {
    if (depth_ == 0) return not_a_password("a string");
    if (key_ != "default" && !is_device_id(key_)) {
      ++ignored_;
      return true;
    }
    if (!store_.insert(key_, value) && duplicates_++ == 0) first_duplicate_ = key_;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    // The parser's text reads "[json.exception.parse_error.N] parse error at line L,
    // column C: what"; keep "line L, column C: what".
    std::string_view what = e.what();
    const std::size_t at = what.find(" at line ");
    error_ = at == std::string_view::npos ? std::string(what) : std::string(what.substr(at + 4));
    return false;
  }

  const std::string& error() const { return error_; }
  std::size_t duplicates() const { return duplicates_; }
  const std::string& first_duplicate() const { return first_duplicate_; }
  std::size_t ignored() const { return ignored_; }

private:
  bool not_a_password(const char* what) {
    error_ = depth_ == 0 ? std::string("expected one JSON object of passwords, found ") + what
                         : "the password of \"" + key_ + "\" is " + what + ", not a string";
    return false;
  }

  PasswordStore& store_;
  int depth_ = 0;
  std::string key_;
  std::string error_;
  std::size_t duplicates_ = 0;
  std::string first_duplicate_;
  std::size_t ignored_ = 0;
};

}  // namespace

bool PasswordStore::insert(std::string_view key, std::string_view password) {
  return entries_.try_emplace(key_of(key), password).second;
}

const std::string* PasswordStore::find(std::string_view key) const {
  auto it = entries_.find(key_of(key));
  return it == entries_.end() ? nullptr : &it->second;
}

Status parse_password_text(std::string_view text, std::string_view name, PasswordStore& store) {
  PasswordSax sax(store);
  bool parsed = false;
  try {
    parsed = nlohmann::json::sax_parse(text, &sax);
  } catch (const nlohmann::json::exception& e) {
    return make_error(ErrorCode::kInvalidInput, "%.*s: %s", static_cast<int>(name.size()),
                      name.data(), e.what());
  }
  if (!parsed) {
    return make_error(ErrorCode::kInvalidInput, "%.*s: %s", static_cast<int>(name.size()),
                      name.data(), sax.error().empty() ? "not a JSON object" : sax.error().c_str());
  }
  // One line however many repeats: a file of repeated keys must not flood the log.
  if (sax.duplicates() == 1) {
    BUSFOLD_LOG(kLogWarning, "Failed to insert key for \"%s\" in password storage",
                sax.first_duplicate().c_str());
  } else if (sax.duplicates() > 1) {
    BUSFOLD_LOG(kLogWarning,
                "Failed to insert key for \"%s\" in password storage (%zu repeated keys in %.*s; "
                "the first password of each is kept)",
                sax.first_duplicate().c_str(), sax.duplicates(), static_cast<int>(name.size()),
                name.data());
  }
  if (sax.ignored() > 0) {
    BUSFOLD_LOG(kLogWarning, "%zu key(s) in %.*s are neither a device id nor \"default\"",
                sax.ignored(), static_cast<int>(name.size()), name.data());
  }
  return {};
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

  FsStat st;
  const bool examined = fs_stat_path(path, st);
  if (!examined || st.kind == kFsNotFound) {
    if (!named) return true;
    BUSFOLD_LOG(kLogError, "Failed to open password file at %s", path.c_str());
    if (examined) BUSFOLD_LOG(kLogError, "%s: no such password file", path.c_str());
    status |= kExitMissingInput;
    return false;
  }
  // Only a regular file: a folder would open and yield nothing, a FIFO could block the run.
  if (st.kind != kFsFile) {
    BUSFOLD_LOG(kLogError, "Password file %s is not a regular file", path.c_str());
    status = kExitCommandLine;
    return false;
  }
  if (static_cast<std::uint64_t>(st.size) > kMaxPasswordFileSize) {
    BUSFOLD_LOG(kLogError, "Password file %s is larger than %llu MiB", path.c_str(),
                static_cast<unsigned long long>(kMaxPasswordFileSize >> 20));
    status = kExitCommandLine;
    return false;
  }
  std::unique_ptr<FileStream> file = file_stream_open(path, 0);
  if (!file) {
    BUSFOLD_LOG(kLogError, "Failed to open password file at %s", path.c_str());
    status |= kExitMissingInput;
    return false;
  }

  std::string text(static_cast<std::size_t>(st.size), '\0');
  const bool complete = stream_read_exact(*file, text.data(), text.size());
  StreamPtr stream = std::move(file);
  stream_close(stream);
  if (!complete) {
    BUSFOLD_LOG(kLogError, "Could not read password file %s", path.c_str());
    status = kExitCommandLine;
    return false;
  }
  Status parsed = parse_password_text(text, named ? path : "passwords.json", options.passwords);
  if (!parsed.ok()) {
    log_status(parsed);
    status = kExitCommandLine;
    return false;
  }
  return true;
}

}  // namespace busfold
