// Changes the process's current folder for the lifetime of the object.
#pragma once

#include <unistd.h>

#include <string>

namespace busfold::testing {

class ScopedCurrentFolder {
public:
  explicit ScopedCurrentFolder(const std::string& folder) {
    char buffer[4096];
    if (::getcwd(buffer, sizeof buffer) != nullptr) saved_ = buffer;
    changed_ = ::chdir(folder.c_str()) == 0;
  }
  ~ScopedCurrentFolder() {
    if (!saved_.empty() && ::chdir(saved_.c_str()) != 0) saved_.clear();
  }
  ScopedCurrentFolder(const ScopedCurrentFolder&) = delete;
  ScopedCurrentFolder& operator=(const ScopedCurrentFolder&) = delete;
  bool changed() const { return changed_; }

private:
  std::string saved_;
  bool changed_ = false;
};

}  // namespace busfold::testing
