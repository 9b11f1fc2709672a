// A temporary folder under /tmp that is removed with everything in it when the object goes,
// and a change of the current folder for the lifetime of an object.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace busfold::testing {

class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Absolute path of the folder, without a trailing "/"; empty when it could not be made.
  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string file(std::string_view relative) const;

  // Writes (replaces) a file, creating its parent folders.
  bool write_file(std::string_view relative, std::string_view content) const;
  // The whole content, or nothing when the file cannot be read.
  std::optional<std::string> read_file(std::string_view relative) const;
  // Creates a folder and its parents.
  bool make_folder(std::string_view relative) const;
  bool exists(std::string_view relative) const;

private:
  std::string path_;
};

class ScopedCurrentFolder {
public:
  explicit ScopedCurrentFolder(const std::filesystem::path& folder) {
    std::filesystem::current_path(folder);
  }
  ~ScopedCurrentFolder() {
    std::error_code ignored;
    std::filesystem::current_path(saved_, ignored);
  }
  ScopedCurrentFolder(const ScopedCurrentFolder&) = delete;
  ScopedCurrentFolder& operator=(const ScopedCurrentFolder&) = delete;

private:
  std::filesystem::path saved_ = std::filesystem::current_path();
};

}  // namespace busfold::testing
