#include "frontend/input_walk.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/format.h"
#include "base/log.h"
#include "frontend/exit_codes.h"
#include "frontend/file_jobs.h"

namespace busfold {

namespace {

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
  // Outputs of earlier runs met inside folders and left alone: *_fin.MF4 files, *_out folders.
  std::uint64_t own_files = 0;
  std::uint64_t own_folders = 0;
};

// One entry of the walk: its path below the input root, where its output goes, and how
// messages name it (below the input as the user typed it). Named: given on the command
// line rather than found in a folder.
struct WalkEntry {
  std::string_view input, output, shown;
  bool named;
};

bool ends_with_folded(std::string_view text, std::string_view suffix) {
  if (suffix.empty() || text.size() < suffix.size()) return false;
  text.remove_prefix(text.size() - suffix.size());
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(suffix[i])))
      return false;
  }
  return true;
}

constexpr std::string_view kOutputFolderSuffix = "_out";

// A folder "<name>_out" next to a folder "<name>" is where a run over <name> put its outputs.
bool is_output_folder(const ToolContext& ctx, std::string_view input) {
  std::string_view name = path_file_name(input);
  if (name.size() <= kOutputFolderSuffix.size() || !name.ends_with(kOutputFolderSuffix))
    return false;
  std::string source(input.substr(0, input.size() - kOutputFolderSuffix.size()));
  FsStat st;
  return fs_stat(ctx.input_root, source, st) && st.kind == kFsFolder;
}

int walk(ToolContext& ctx, FileJobs& jobs, const WalkEntry& entry, WalkedFolders& folders) {
  const std::string_view input = entry.input, shown = entry.shown;
  jobs.before_examine(input);
  FsStat st;
  if (!fs_stat(ctx.input_root, input, st)) {
    BUSFOLD_LOG(kLogFatal, "Error during stat of %.*s, exiting", print_length(shown), shown.data());
    return kExitNotExamined;
  }
  switch (st.kind) {
  case kFsFolder: {
    if (!entry.named && is_output_folder(ctx, input)) {
      ++folders.own_folders;
      BUSFOLD_LOG(kLogVerbose, "Skipping %.*s: an output folder", print_length(shown),
                  shown.data());
      return 0;
    }
    const FolderId id{st.device, st.inode};
    if (std::find(folders.chain.begin(), folders.chain.end(), id) != folders.chain.end()) {
      BUSFOLD_LOG(kLogWarning, "Skipping %.*s: it leads back into a folder being converted",
                  print_length(shown), shown.data());
      return 0;
    }
    if (!folders.walked.insert(id).second) {
      BUSFOLD_LOG(kLogWarning,
                  "Skipping %.*s: its folder was already converted through another path",
                  print_length(shown), shown.data());
      return 0;
    }
    jobs.before_list(input);  // files still converting may change what it holds
    Result<std::vector<std::string>> names = fs_list(ctx.input_root, input);
    if (!names.ok()) {
      const std::vector<std::string>& why = names.status().messages();
      BUSFOLD_LOG(kLogWarning, "Could not read folder %.*s: %s", print_length(shown), shown.data(),
                  why.empty() ? "unknown error" : why.front().c_str());
      return kExitNotExamined;
    }
    folders.chain.push_back(id);
    int result = 0;
    for (const std::string& name : *names) {
      const std::string child = join(input, name), child_output = join(entry.output, name),
                        child_shown = join(shown, name);
      result |= walk(ctx, jobs, {child, child_output, child_shown, false}, folders);
    }
    folders.chain.pop_back();
    return result;
  }
  case kFsFile: {
    std::string_view extension = path_extension(input);
    if (!is_accepted_extension(extension)) {
      if (entry.named) {
        BUSFOLD_LOG(kLogWarning, "%.*s: not an MDF 4 logger file extension, skipped",
                    print_length(shown), shown.data());
      }
      return 0;
    }
    const std::string_view suffix = tool_output_suffix(ctx);
    if (!entry.named && ends_with_folded(input, suffix)) {
      ++folders.own_files;
      BUSFOLD_LOG(kLogVerbose, "Skipping %.*s: an output file", print_length(shown), shown.data());
      return 0;
    }
    // The tool appends its own suffix: drop ".ext". A file whose whole name is the
    // extension has no dot to drop and keeps its name.
    std::string_view out = entry.output;
    if (extension.size() < path_file_name(out).size()) {
      out.remove_suffix(extension.size() + 1);
    }
    if (ctx.options != nullptr && ctx.options->skip_existing == 1 && !suffix.empty()) {
      // Only the published name counts: a temporary file is an output never finished.
      std::string finished(out);
      finished += suffix;
      jobs.before_examine_output(finished);  // an earlier file may be writing it
      FsStat existing;
      if (fs_stat(ctx.output_root, finished, existing) && existing.kind == kFsFile) {
        ++ctx.skipped_count;
        BUSFOLD_LOG(kLogVerbose, "Skipping %.*s: its output %s exists", print_length(shown),
                    shown.data(), ctx.output_root->full_path(finished).c_str());
        return 0;
      }
    }
    ++ctx.file_count;
    ctx.total_bytes += static_cast<std::uint64_t>(st.size);
    if (ctx.make_dirs == 1 && ctx.output_root != nullptr &&
        !make_folders(ctx.output_root, path_parent(out))) {
      // The file fails where its output is opened; this says why.
      const int why = errno;
      BUSFOLD_LOG(kLogWarning, "Could not create output folder %s: %s",
                  ctx.output_root->full_path(path_parent(out)).c_str(), error_text(why).c_str());
    }
    return jobs.convert(input, out, shown, static_cast<std::uint64_t>(st.size));
  }
  case kFsNotFound:
    // An entry of a folder may go while the walk gets to it (a run's temporary file, say).
    if (!entry.named) return 0;
    BUSFOLD_LOG(kLogWarning, "Could not find input file/folder %.*s", print_length(shown),
                shown.data());
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
    if (st.kind != kFsNotFound) {
      errno = ENOTDIR;
      return false;
    }
    if (!fs_make_folder(root, accumulated)) return false;
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
  FileJobs jobs(ctx, ctx.options != nullptr ? ctx.options->jobs : 1,
                ctx.options != nullptr && progress_wanted(ctx.options->non_interactive == 1));
  const std::vector<std::string>* typed =
      ctx.options != nullptr && ctx.options->typed_inputs.size() == inputs.size()
          ? &ctx.options->typed_inputs
          : nullptr;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const std::string& input = inputs[i];
    const std::string_view shown = typed != nullptr ? std::string_view((*typed)[i]) : input;
    std::string out = input;
    if (ctx.options == nullptr || ctx.options->no_append_root == 0) {
      jobs.before_examine(input);
      FsStat st;
      if (!fs_stat(ctx.input_root, input, st)) {
        BUSFOLD_LOG(kLogFatal, "Could not query %.*s for information", print_length(shown),
                    shown.data());
        return kExitNotExamined;
      }
      if (st.kind == kFsFolder) {
        std::size_t slash = out.find('/');
        out.insert(slash == std::string::npos ? out.size() : slash, "_out");
      }
    }
    status |= walk(ctx, jobs, {input, out, shown, true}, folders);
  }
  jobs.progress().walk_done();
  if (folders.own_files + folders.own_folders > 0) {
    BUSFOLD_LOG(kLogInfo,
                "Left out %llu output file(s) (*%.*s) and %llu output folder(s) (*%.*s) of "
                "earlier runs; name them to convert them",
                static_cast<unsigned long long>(folders.own_files),
                print_length(tool_output_suffix(ctx)), tool_output_suffix(ctx).data(),
                static_cast<unsigned long long>(folders.own_folders),
                print_length(kOutputFolderSuffix), kOutputFolderSuffix.data());
  }
  if (ctx.skipped_count > 0) {
    BUSFOLD_LOG(kLogInfo, "Skipped %llu input(s) whose output exists",
                static_cast<unsigned long long>(ctx.skipped_count));
  }
  if (ctx.file_count == 0 && ctx.skipped_count == 0 && folders.own_files == 0) {
    BUSFOLD_LOG(kLogWarning, "no input files found");
  }
  status |= jobs.finish();
  RunProgress& progress = jobs.progress();
  progress.stop();
  const RunTotals totals = progress.totals();
  constexpr double kMiB = 1024.0 * 1024.0;
  BUSFOLD_LOG(kLogInfo,
              "Done: %llu file(s) converted, %llu failed, %llu skipped; %llu frames, %.2f MiB in, "
              "%.2f MiB out, %.2f s",
              static_cast<unsigned long long>(totals.converted),
              static_cast<unsigned long long>(totals.failed),
              static_cast<unsigned long long>(ctx.skipped_count),
              static_cast<unsigned long long>(totals.frames),
              static_cast<double>(totals.bytes_in) / kMiB,
              static_cast<double>(totals.bytes_out) / kMiB, progress.seconds());
  return status;
}

}  // namespace busfold
