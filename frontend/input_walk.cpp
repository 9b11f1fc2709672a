#include "frontend/input_walk.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/log.h"
#include "frontend/exit_codes.h"
#include "frontend/file_jobs.h"

namespace busfold {

namespace {

constexpr int kPrintLimit = 0x7fffffff;

int print_length(std::string_view text) {
  return static_cast<int>(std::min<std::size_t>(text.size(), kPrintLimit));
}

std::string join(std::string_view folder, std::string_view name) {
  std::string joined(folder);
  if (joined.empty() || joined.back() != '/') joined += '/';
  joined += name;
  return joined;
}

using FolderId = std::pair<std::uint64_t, std::uint64_t>;  // device, inode

struct FolderIdHash {
  std::size_t operator()(const FolderId& id) const {
    return std::hash<std::uint64_t>()(id.first * 0x9e3779b97f4a7c15u ^ id.second);
  }
};

// What the walk of a run has seen of the folders, by device and inode. A symbolic link
// back up the tree must not send the walk round for ever, and links that branch
// without looping must not convert one folder once per path that reaches it.
struct WalkedFolders {
  std::vector<FolderId> chain;  // from the input root down to the entry being walked
  std::unordered_set<FolderId, FolderIdHash> walked;
};

int walk(ToolContext& ctx, FileJobs& jobs, std::string_view input, std::string_view output,
         WalkedFolders& folders) {
  jobs.before_examine(input);
  FsStat st;
  if (!fs_stat(ctx.input_root, input, st)) {
    BUSFOLD_LOG(kLogFatal, "Error during stat of %.*s, exiting", print_length(input), input.data());
    return kExitNotExamined;
  }
  switch (st.kind) {
  case kFsFolder: {
    const FolderId id{st.device, st.inode};
    if (std::find(folders.chain.begin(), folders.chain.end(), id) != folders.chain.end()) {
      BUSFOLD_LOG(kLogWarning, "Skipping %.*s: it leads back into a folder being converted",
                  print_length(input), input.data());
      return 0;
    }
    if (!folders.walked.insert(id).second) {
      BUSFOLD_LOG(kLogWarning,
                  "Skipping %.*s: its folder was already converted through another path",
                  print_length(input), input.data());
      return 0;
    }
    folders.chain.push_back(id);
    int result = 0;
    jobs.before_list(input);
    for (const std::string& name : fs_list(ctx.input_root, input)) {
      result |= walk(ctx, jobs, join(input, name), join(output, name), folders);
    }
    folders.chain.pop_back();
    return result;
  }
  case kFsFile: {
    std::string_view extension = path_extension(input);
    if (!is_accepted_extension(extension)) return 0;
    ++ctx.file_count;
    ctx.total_bytes += static_cast<std::uint64_t>(st.size);
    // The tool appends its own suffix: drop ".ext". A file whose whole name is the
    // extension has no dot to drop and keeps its name.
    std::string_view out = output;
    if (extension.size() < path_file_name(output).size()) {
      out.remove_suffix(extension.size() + 1);
    }
    if (ctx.make_dirs == 1) make_folders(ctx.output_root, path_parent(out));
    return jobs.convert(input, out);
  }
  case kFsNotFound:
    BUSFOLD_LOG(kLogWarning, "Could not find input file/folder %.*s", print_length(input),
                input.data());
    return kExitMissingInput;
  default: return kExitNotExamined;
  }
}

}  // namespace

std::string_view path_file_name(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view path_extension(std::string_view path) {
  std::string_view name = path_file_name(path);
  std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

std::string_view path_parent(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

bool is_accepted_extension(std::string_view extension) {
  if (extension.size() != 3) return false;
  char folded[3];
  for (int i = 0; i < 3; ++i) {
    char c = extension[i];
    folded[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  std::string_view text(folded, 3);
  return text == "mf4" || text == "mfc" || text == "mfe" || text == "mfm";
}

bool make_folders(const FsRoot* root, std::string_view folder) {
  std::string accumulated;
  std::size_t start = 0;
  while (start < folder.size()) {
    std::size_t slash = folder.find('/', start);
    if (slash == std::string_view::npos) slash = folder.size();
    std::string_view component = folder.substr(start, slash - start);
    start = slash + 1;
    if (component.empty()) continue;
    if (!accumulated.empty()) accumulated += '/';
    accumulated += component;
    FsStat st;
    if (!fs_stat(root, accumulated, st)) return false;
    if (st.kind == kFsFolder) continue;
    if (st.kind != kFsNotFound || !fs_make_folder(root, accumulated)) return false;
  }
  return true;
}

bool find_common_root(ConverterOptions& options, int& status) {
  std::vector<std::string_view> candidates;
  for (const std::string& input : options.inputs) {
    std::string_view p(input);
    // The root must lie before the input's own trailing "/"; a "/" at index 0 counts,
    // so "/a.mf4" lies in "/" while "/" itself lies in nothing.
    std::size_t end = p.size();
    if (!p.empty() && p.back() == '/') --end;
    std::size_t slash = end == 0 ? std::string_view::npos : p.rfind('/', end - 1);
    if (slash == std::string_view::npos) {
      BUSFOLD_LOG(kLogFatal, "Could not find root for %.*s", print_length(p), p.data());
      status = kExitNoCommonRoot;
      return false;
    }
    std::string_view candidate = p.substr(0, slash + 1);
    if (std::find(candidates.begin(), candidates.end(), candidate) == candidates.end()) {
      candidates.push_back(candidate);
    }
  }
  if (candidates.size() != 1) {
    if (!candidates.empty()) BUSFOLD_LOG(kLogFatal, "No common root detected for all inputs");
    status = kExitNoCommonRoot;
    return false;
  }
  options.root = std::string(candidates.front());
  for (std::string& input : options.inputs)
    input.erase(0, options.root.size());
  return true;
}

int converter_run(ToolContext& ctx, const std::vector<std::string>& inputs) {
  int status = 0;
  WalkedFolders folders;
  FileJobs jobs(ctx, ctx.options != nullptr ? ctx.options->jobs : 1);
  for (const std::string& input : inputs) {
    std::string out = input;
    if (ctx.options == nullptr || ctx.options->no_append_root == 0) {
      jobs.before_examine(input);
      FsStat st;
      if (!fs_stat(ctx.input_root, input, st)) {
        BUSFOLD_LOG(kLogFatal, "Could not query %.*s for information", print_length(input),
                    input.data());
        return kExitNotExamined;
      }
      if (st.kind == kFsFolder) {
        std::size_t slash = out.find('/');
        out.insert(slash == std::string::npos ? out.size() : slash, "_out");
      }
    }
    status |= walk(ctx, jobs, input, out, folders);
  }
  return status | jobs.finish();
}

}  // namespace busfold
