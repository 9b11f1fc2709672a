// Device passwords for encrypted inputs, read from a JSON file of the form
// {"12D6E08B": "secret", "default": "fallback"}.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/result.h"

namespace busfold {

struct ConverterOptions;

// A password file larger than this is refused: a real one holds a few hundred devices.
inline constexpr std::uint64_t kMaxPasswordFileSize = std::uint64_t{16} << 20;

// Device id (or "default") to password. Device ids are hexadecimal and compare without
// regard to case, so a file may write them in either.
class PasswordStore {
public:
  // False when the key is already present; the earlier password stays.
  bool insert(std::string_view key, std::string_view password);
  // Null when absent.
  const std::string* find(std::string_view key) const;
  std::size_t size() const { return entries_.size(); }

private:
  std::unordered_map<std::string, std::string> entries_;
};

// Parses the JSON text of a password file (name is how messages call it) into the
// store: one object whose members are "default" and device ids, each with a string.
// A repeated key keeps its first value; keys that are neither are skipped. Both are
// reported as warnings. Fails, naming the line and column, when the text is not such
// an object.
Status parse_password_text(std::string_view text, std::string_view name, PasswordStore& store);

// Loads the --password-file file, or "passwords.json" in the current folder when none
// was given (a missing default file is no error). A named file that does not exist sets
// bit 0 of status; one that is no regular file, too large, unreadable or not valid JSON
// gives the command-line error code. False ends the run before any file is touched.
bool load_password_file(ConverterOptions& options, int& status);

}  // namespace busfold
