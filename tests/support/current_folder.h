// Changes the process's current folder for the lifetime of the object.
#pragma once

#include <filesystem>
#include <system_error>

namespace busfold::testing {

class ScopedCurrentFolder {
public:
  explicit ScopedCurrentFolder(const std::filesystem::path& folder)
      : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~ScopedCurrentFolder() {
    std::error_code ignored;
    std::filesystem::current_path(saved_, ignored);
  }
  ScopedCurrentFolder(const ScopedCurrentFolder&) = delete;
  ScopedCurrentFolder& operator=(const ScopedCurrentFolder&) = delete;

private:
  std::filesystem::path saved_;
};

}  // namespace busfold::testing
