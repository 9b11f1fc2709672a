#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace busfold::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = "/tmp/busfold-test-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  // A test may leave folders without write permission behind; give it back first.
  for (auto it = fs::recursive_directory_iterator(
           path_, fs::directory_options::skip_permission_denied, ignored);
       !ignored && it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path_, ignored);
}

std::string TempDir::file(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

bool TempDir::write_file(std::string_view relative, std::string_view content) const {
  const fs::path target(file(relative));
  std::error_code ignored;
  fs::create_directories(target.parent_path(), ignored);
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out);
}

std::optional<std::string> TempDir::read_file(std::string_view relative) const {
  std::ifstream in(file(relative), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool TempDir::make_folder(std::string_view relative) const {
  std::error_code error;
  fs::create_directories(file(relative), error);
  return fs::is_directory(file(relative), error);
}

bool TempDir::exists(std::string_view relative) const {
  std::error_code error;
  return fs::exists(fs::symlink_status(file(relative), error));
}

}  // namespace busfold::testing
