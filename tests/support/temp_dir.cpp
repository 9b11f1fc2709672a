#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace busfold::testing {

TempDir::TempDir() {
  std::string pattern = "/tmp/busfold-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  // A test may leave folders without write permission behind; give it back first.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ignored);
       !ignored && it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(std::string_view relative) const {
  std::string full = path_;
  full += '/';
  full += relative;
  return full;
}

bool TempDir::write_file(std::string_view relative, std::string_view content) const {
  std::filesystem::path target(file(relative));
  std::error_code error;
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), error);
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out);
}

std::optional<std::string> TempDir::read_file(std::string_view relative) const {
  std::ifstream in(file(relative), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool TempDir::make_folder(std::string_view relative) const {
  std::error_code error;
  std::filesystem::create_directories(file(relative), error);
  return !error && std::filesystem::is_directory(file(relative), error);
}

bool TempDir::exists(std::string_view relative) const {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(file(relative), error));
}

}  // namespace busfold::testing
