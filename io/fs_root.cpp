#include "io/fs_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/format.h"
#include "base/result.h"

namespace busfold {

std::string FsRoot::full_path(std::string_view relative) const {
  std::string full;
  full.reserve(base_.size() + 1 + relative.size());
  full += base_;
  if (!base_.empty() && base_.back() != '/' && !relative.empty()) full += '/';
  full += relative;
  return full;
}

std::unique_ptr<FsRoot> fs_root_new(std::string_view path) {
  std::string base(path);
  FsStat st;
  if (!fs_stat_path(base, st) || st.kind != kFsFolder) return nullptr;
  return std::make_unique<FsRoot>(std::move(base));
}

bool fs_stat_path(const std::string& path, FsStat& out) {
  out = FsStat{};
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return false;
    out.kind = kFsNotFound;
    return true;
  }
  if (S_ISREG(st.st_mode)) {
    out.kind = kFsFile;
    out.size = static_cast<std::int64_t>(st.st_size);
  } else if (S_ISDIR(st.st_mode)) {
    out.kind = kFsFolder;
  } else {
    out.kind = kFsOther;
  }
  const FileIdentity identity = identity_of(st);
  out.device = identity.device;
  out.inode = identity.inode;
  out.modified_ns = identity.modified_ns;
  return true;
}

bool fs_stat(const FsRoot* root, std::string_view relative, FsStat& out) {
  if (root == nullptr) return false;
  return fs_stat_path(root->full_path(relative), out);
}

Result<std::vector<std::string>> fs_list(const FsRoot* root, std::string_view relative) {
  std::vector<std::string> names;
  if (root == nullptr) return names;
  std::string folder = root->full_path(relative);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return make_error(ErrorCode::kIo, "%s", error_text(errno).c_str());
  std::string entry_path = folder + '/';
  const std::size_t prefix = entry_path.size();
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    // The folder says what most entries are; links and the entries of file systems that
    // do not say are examined.
    bool listed = entry->d_type == DT_REG || entry->d_type == DT_DIR;
    if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
      entry_path.resize(prefix);
      entry_path += name;
      FsStat st;
      listed = fs_stat_path(entry_path, st) && (st.kind == kFsFile || st.kind == kFsFolder);
    }
    if (listed) names.emplace_back(name);
  }
  ::closedir(dir);
  // std::string compares through char_traits<char>, which orders bytes as unsigned.
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

bool fs_make_folder(const FsRoot* root, std::string_view relative) {
  if (root == nullptr) return false;
  return ::mkdir(root->full_path(relative).c_str(), 0777) == 0;
}

bool fs_remove(const FsRoot* root, std::string_view relative) {
  if (root == nullptr) return false;
  return std::remove(root->full_path(relative).c_str()) == 0;
}

bool fs_rename(const FsRoot* root, std::string_view from, std::string_view to) {
  if (root == nullptr) return false;
  return std::rename(root->full_path(from).c_str(), root->full_path(to).c_str()) == 0;
}

std::unique_ptr<FileStream> fs_open(const FsRoot* root, std::string_view relative, int flags) {
  if (root == nullptr) return nullptr;
  int mode;
  switch (flags & (kFsRead | kFsWrite)) {
  case kFsRead: mode = 0; break;
  case kFsWrite: mode = 1; break;
  case kFsRead | kFsWrite: mode = 2; break;
  default: return nullptr;
  }
  return file_stream_open(root->full_path(relative), mode);
}

namespace {

constexpr std::string_view kTemporarySuffix = ".part";

std::string_view parent_of(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

// Descriptor of the file with an exclusive advisory lock, or -1 when another holds one.
int open_locked(const std::string& path, int flags, mode_t mode) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::unique_ptr<FileStream> fs_create_temporary(const FsRoot* root, std::string_view final_name,
                                                std::string& temporary_name) {
  if (root == nullptr) return nullptr;
  // Files of one run may be converted side by side: each takes a number of its own.
  static std::atomic<unsigned long> sequence = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char unique[48];
    std::snprintf(unique, sizeof unique, ".%ld-%lu", static_cast<long>(::getpid()), ++sequence);
    std::string name(final_name);
    name += unique;
    name += kTemporarySuffix;
    const std::string path = root->full_path(name);
    const int fd = open_locked(path, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
      if (errno == EEXIST || errno == EWOULDBLOCK) continue;
      return nullptr;
    }
    // A run clearing stale files may have taken it between creation and lock.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_nlink == 0) {
      ::close(fd);
      continue;
    }
    std::unique_ptr<FileStream> stream = file_stream_from_descriptor(fd, 1);
    if (!stream) {
      const int why = errno;
      ::unlink(path.c_str());
      errno = why;
      return nullptr;
    }
    temporary_name = std::move(name);
    return stream;
  }
  return nullptr;
}

void TemporaryFiles::remove_stale(const FsRoot* root, std::string_view final_name,
                                  std::string_view keep) {
  if (root == nullptr) return;
  const std::string_view folder = parent_of(final_name);
  const std::string_view file = folder.empty() ? final_name : final_name.substr(folder.size() + 1);
  if (root != root_ || folder_ != folder) {
    root_ = root;
    folder_.reset();
    names_.clear();
    Result<std::vector<std::string>> names = fs_list(root, folder);
    if (!names.ok()) return;
    folder_.emplace(folder);
    for (std::string& name : *names) {
      if (std::string_view(name).ends_with(kTemporarySuffix)) names_.push_back(std::move(name));
    }
  }
  std::erase_if(names_, [&](const std::string& name) {
    // <file>.<unique>.part, and the <file>.part of earlier versions.
    const std::string_view candidate(name);
    if (candidate.size() < file.size() + kTemporarySuffix.size() ||
        candidate.substr(0, file.size()) != file || candidate[file.size()] != '.') {
      return false;
    }
    std::string relative(folder);
    if (!relative.empty()) relative += '/';
    relative += name;
    if (relative == keep) return false;
    const std::string path = root->full_path(relative);
    const int fd = open_locked(path, O_RDONLY, 0);
    if (fd < 0) return errno == ENOENT;  // gone, or a live run writes it
    ::unlink(path.c_str());
    ::close(fd);
    return true;
  });
}

bool fs_sync_folder(const FsRoot* root, std::string_view folder) {
  if (root == nullptr) return false;
  std::string path = root->full_path(folder);
  if (path.empty()) path.assign(1, '.');
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const int synced = ::fsync(fd) == 0 ? 0 : errno;
  if (::close(fd) != 0) return false;
  errno = synced;
  return synced == 0;
}

std::optional<std::string> current_folder() {
  // "\" is an ordinary name character here, so the folder is taken as the system gives it.
  std::string buffer(256, '\0');
  while (buffer.size() <= 65536) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::char_traits<char>::length(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
  return std::nullopt;
}

namespace {

// True for texts such as ".", "..", "../..", "./" made only of dot components.
bool only_dot_components(std::string_view text) {
  if (text.empty()) return false;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t slash = text.find('/', start);
    std::string_view part =
        text.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (!part.empty() && part != "." && part != "..") return false;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return true;
}

// Resolves dot components against an absolute folder. The folder comes from getcwd and
// holds no symbolic links, so going up by name reaches the real parent.
std::string resolve_dots(const std::string& folder, std::string_view dots) {
  std::vector<std::string_view> parts;
  std::string_view rest(folder);
  auto split_into = [&parts](std::string_view text) {
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t slash = text.find('/', start);
      std::string_view part =
          text.substr(start, slash == std::string_view::npos ? slash : slash - start);
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      if (slash == std::string_view::npos) break;
      start = slash + 1;
    }
  };
  split_into(rest);
  split_into(dots);
  std::string resolved;
  for (std::string_view part : parts) {
    resolved += '/';
    resolved += part;
  }
  return resolved.empty() ? std::string("/") : resolved;
}

// Leaves out every "." component: "./logs/./a.mf4" names what "logs/a.mf4" does, and
// inputs written either way must find one common folder.
std::string drop_dot_components(std::string_view path) {
  std::string kept;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    std::string_view part =
        path.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (part != ".") {
      kept += part;
      if (slash != std::string_view::npos) kept += '/';
    }
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return kept;
}

}  // namespace

Status normalise_path(std::string& path) {
  std::replace(path.begin(), path.end(), '\\', '/');

  // One left-to-right pass over non-overlapping "//": "///" becomes "//".
  std::string reduced;
  reduced.reserve(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    reduced += path[i];
    if (path[i] == '/' && i + 1 < path.size() && path[i + 1] == '/') ++i;
  }
  path.swap(reduced);
  if (!only_dot_components(path)) path = drop_dot_components(path);

  if (path.empty() || path[0] != '/') {
    std::optional<std::string> folder = current_folder();
    // Without a current folder the path stays relative: opening it later tells the user.
    if (!folder || !fs_root_new(*folder)) return Status::success();
    if (only_dot_components(path)) {
      // ".." means the parent folder and "." this one; joined as written they would name
      // the current folder or put the outputs inside the inputs.
      path = resolve_dots(*folder, path);
    } else {
      std::string joined = std::move(*folder);
      if (!joined.empty() && !path.empty() && joined.back() != '/') joined += '/';
      joined += path;
      path.swap(joined);
    }
  }

  // A file named with a trailing "/" cannot be examined under that name here; look at
  // the name without it and fix the form from what is found.
  std::string probe = path;
  while (probe.size() > 1 && probe.back() == '/')
    probe.pop_back();
  FsStat st;
  if (!fs_stat_path(probe, st)) {
    return make_error(ErrorCode::kIo, "Could not stat path %s", path.c_str());
  }
  if (st.kind == kFsFolder) {
    if (path.back() != '/') path += '/';
  } else if (st.kind == kFsFile) {
    if (path.back() == '/') path.pop_back();
  }
  return Status::success();
}

}  // namespace busfold
