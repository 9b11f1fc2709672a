// File-system access relative to an existing folder, and the canonical path form
// (absolute, "/" as the only separator, folders with a trailing "/").
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "io/file_stream.h"

namespace busfold {

enum FsKind : int {
  kFsOther = 0,  // exists, but neither a regular file nor a folder
  kFsFile = 1,
  kFsFolder = 2,
  kFsNotFound = 3,
};

struct FsStat {
  FsKind kind = kFsNotFound;
  std::int64_t size = 0;  // bytes, files only
  // Identity of the object, so that a walk can recognise a folder it is already inside.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t modified_ns = 0;
};

// Whether the path still shows the file as it was when it was opened.
inline bool same_file(const FsStat& st, const FileIdentity& id) {
  return st.kind == kFsFile && st.device == id.device && st.inode == id.inode &&
         st.size == id.size && st.modified_ns == id.modified_ns;
}

// Open flags: bit 0 read, bit 1 write; other bits are ignored.
inline constexpr int kFsRead = 1;
inline constexpr int kFsWrite = 2;

// A handle on an existing folder; every operation takes a path relative to it.
class FsRoot {
public:
  explicit FsRoot(std::string base) : base_(std::move(base)) {}

  const std::string& base() const { return base_; }
  // base, "/" when both parts are non-empty and base does not end with one, relative path.
  std::string full_path(std::string_view relative) const;

private:
  std::string base_;
};

// Null unless path names an existing folder.
std::unique_ptr<FsRoot> fs_root_new(std::string_view path);

// Examines a full path. A missing path is kind kFsNotFound and true; false only for
// other errors (permission, name too long, ...).
bool fs_stat_path(const std::string& path, FsStat& out);

// The relative operations; a null root gives false, an empty list or null.
bool fs_stat(const FsRoot* root, std::string_view relative, FsStat& out);
// Names of the files and folders in the folder, without "." and "..", ascending by
// unsigned byte order, each once. Entries that cannot be examined are left out. A folder
// that cannot be opened fails with the reason (the errno text) as its one line.
Result<std::vector<std::string>> fs_list(const FsRoot* root, std::string_view relative);
// Creates the last path element only.
bool fs_make_folder(const FsRoot* root, std::string_view relative);
bool fs_remove(const FsRoot* root, std::string_view relative);
// Replaces `to` when it exists; used to publish a file written under a temporary name.
// On failure errno says why, as it does for fs_create_temporary and fs_sync_folder.
bool fs_rename(const FsRoot* root, std::string_view from, std::string_view to);
// Read (flags 1), write (2) or read-write (3) file stream; neither bit gives null.
std::unique_ptr<FileStream> fs_open(const FsRoot* root, std::string_view relative, int flags);

// Creates a file next to `final_name` under a name no other run uses
// (<final_name>.<unique>.part), holding an advisory lock on it for as long as the stream
// is open; the name goes into temporary_name. Null when no such file can be made.
std::unique_ptr<FileStream> fs_create_temporary(const FsRoot* root, std::string_view final_name,
                                                std::string& temporary_name);

// The temporary files of one output folder, as they were when it was first looked at, so
// that finishing each file of a folder of thousands does not list the whole folder again.
// Leftovers are those of earlier runs: a temporary made after the listing is this run's
// or another live run's.
class TemporaryFiles {
public:
  // Removes the temporary files of `final_name` that runs killed before they finished left
  // behind: those nobody holds a lock on. `keep` (our own) and locked ones stay.
  void remove_stale(const FsRoot* root, std::string_view final_name, std::string_view keep);

private:
  const FsRoot* root_ = nullptr;
  std::optional<std::string> folder_;  // the folder listed, relative to root_
  std::vector<std::string> names_;     // its temporaries not yet removed
};

// Makes the folder's entries (a file just renamed into it, say) durable.
bool fs_sync_folder(const FsRoot* root, std::string_view folder);

// The process's current folder, or nothing when it cannot be had.
std::optional<std::string> current_folder();

// Rewrites a command-line path in place into the canonical form: "\" becomes "/",
// doubled separators are reduced, a relative path is placed below the current folder,
// an existing folder gets a trailing "/" and an existing file loses one. A path that
// cannot be examined is left as reduced so far and gives a failure that names it.
Status normalise_path(std::string& path);

}  // namespace busfold
