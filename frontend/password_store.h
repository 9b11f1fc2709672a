// Device passwords for encrypted inputs, read from a small JSON-like text file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

namespace busfold {

struct ConverterOptions;

// Key text (a device id as written in the file, or "default") to password text.
class PasswordStore {
public:
  // False when the key is already present; the earlier password stays.
  bool insert(std::string_view key, std::string_view password);
  // Exact, case-sensitive comparison of the whole key; null when absent.
  const std::string* find(std::string_view key) const;
  std::size_t size() const { return entries_.size(); }

private:
  std::unordered_map<std::string, std::string> entries_;
};

// Scans text for "key": "value" members and stores each new key; a repeated key
// keeps its first value and is reported. False only when the scanner cannot be set up.
bool parse_password_text(std::string_view text, PasswordStore& store);

// Loads the --password-file file, or "passwords.json" in the current folder when none
// was given (a missing default file is no error). A named file that cannot be opened
// sets bit 0 of status.
bool load_password_file(ConverterOptions& options, int& status);

}  // namespace busfold
