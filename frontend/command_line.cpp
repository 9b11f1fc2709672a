#include <argtable2.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "build_info.h"
#include "frontend/exit_codes.h"
#include "frontend/input_walk.h"
#include "frontend/password_store.h"
#include "frontend/tool.h"

namespace busfold {

namespace {

constexpr char kProgramName[] = "busfold";

// argtable's code for "a value is not a number"; running out of memory while collecting
// the path values is reported with it too.
constexpr int kErrorBadValue = 3;
constexpr int kErrorMissingArgument = ARG_EMISSARG;
// An entry's "fewer values than it needs", the first of its own codes.
constexpr int kErrorTooFew = 1;

// The option list lives only while the command line is parsed.
class OptionTable {
public:
  OptionTable() = default;
  OptionTable(const OptionTable&) = delete;
  OptionTable& operator=(const OptionTable&) = delete;
  ~OptionTable() {
    if (!list.empty()) arg_freetable(list.data(), list.size());
  }

  // Keeps the entry even when it is null, so that arg_nullcheck sees the gap.
  template <typename Entry> Entry* add(Entry* entry) {
    list.push_back(entry);
    if (entry == nullptr) failed = true;
    return entry;
  }

  OptionList list;
  bool failed = false;
};

// Copies, normalises and collects every value of a path entry; `typed` (when given) gets
// each value as it was written, for messages.
void collect_paths(const arg_file* entry, std::vector<std::string>& destination,
                   std::vector<std::string>* typed = nullptr) {
  for (int i = 0; i < entry->count; ++i) {
    std::string path(entry->filename[i]);
    if (typed != nullptr) typed->push_back(path);
    log_status(normalise_path(path));
    destination.push_back(std::move(path));
  }
}

// A command-line error is followed by where to look for the right form.
void print_help_hint() { std::fprintf(stderr, "Try '%s --help'.\n", kProgramName); }

void print_usage(void** table) {
  std::printf("Usage: %s", kProgramName);
  arg_print_syntax(stdout, table, "\n\n");
  arg_print_glossary(stdout, table, "  %-40s %s\n");
}

// Text as roff reads it literally: a backslash and a minus are escaped, and a line that
// would start with a control character is guarded.
std::string roff_text(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (out.empty() || out.back() == '\n') {
      if (c == '.' || c == '\'') out += "\\&";
    }
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  return out;
}

// The synopsis (section 1) or the options (section 2) of the man page, from the same
// entries as --help.
void print_man_page(void** table, int section) {
  char* syntax = nullptr;
  std::size_t syntax_size = 0;
  if (std::FILE* memory = open_memstream(&syntax, &syntax_size)) {
    arg_print_syntax(memory, table, "");
    std::fclose(memory);
  }
  std::string_view line = syntax != nullptr ? std::string_view(syntax, syntax_size) : "";
  while (!line.empty() && line.front() == ' ')
    line.remove_prefix(1);
  if (section == 1) std::printf(".SH SYNOPSIS\n.B %s\n%s\n", kProgramName, roff_text(line).c_str());
  std::free(syntax);
  if (section != 2) return;
  std::printf(".SH OPTIONS\n");
  for (void** slot = table;; ++slot) {
    const arg_hdr& entry = *static_cast<const arg_hdr*>(*slot);
    if ((entry.flag & ARG_TERMINATOR) != 0) break;
    if (entry.glossary == nullptr) continue;
    std::string label;
    for (const char* c = entry.shortopts; c != nullptr && *c != '\0'; ++c) {
      if (!label.empty()) label += ", ";
      label += "\\fB\\-";
      label += *c;
      label += "\\fR";
    }
    std::string_view longs = entry.longopts != nullptr ? entry.longopts : "";
    while (!longs.empty()) {
      const std::size_t comma = std::min(longs.find(','), longs.size());
      if (!label.empty()) label += ", ";
      label += "\\fB" + roff_text("--" + std::string(longs.substr(0, comma))) + "\\fR";
      longs.remove_prefix(std::min(comma + 1, longs.size()));
    }
    if (entry.datatype != nullptr && *entry.datatype != '\0') {
      label += entry.longopts != nullptr ? "=" : " ";
      label += "\\fI" + roff_text(entry.datatype) + "\\fR";
    }
    std::printf(".TP\n%s\n%s\n", label.c_str(), roff_text(entry.glossary).c_str());
  }
}

void print_version() {
  std::printf("Version: %s\n", BUSFOLD_VERSION);
  std::printf("Build date: %s\n", __DATE__ " " __TIME__);
  std::printf("GIT SHA: %s", BUSFOLD_GIT_SHA);
  if (BUSFOLD_GIT_DIRTY) std::printf("*");
  std::printf("\n");
}

bool threshold_for_verbosity(int verbosity, LogLevel& threshold) {
  switch (verbosity) {
  case 0: threshold = kLogFatal; return true;
  case 1: threshold = kLogError; return true;
  case 2: threshold = kLogWarning; return true;
  case 3: threshold = kLogInfo; return true;
  case 4:
  case 5: threshold = kLogVerbose; return true;
  default: return false;
  }
}

// Applies the parsed values; the option table is released by the caller afterwards.
bool apply(ConverterOptions& options, int& status, arg_lit* delete_converted,
           arg_lit* no_append_root, arg_lit* non_interactive, arg_int* verbosity, arg_int* buffer,
           arg_int* jobs) {
  LogLevel threshold = kLogInfo;
  if (verbosity->count > 0 && !threshold_for_verbosity(verbosity->ival[0], threshold)) {
    std::fprintf(stderr, "%s: verbosity %d is out of range (0 to 4) at option --verbosity=<n>\n",
                 kProgramName, verbosity->ival[0]);
    print_help_hint();
    status = kExitBadNumber;
    return false;
  }
  if (jobs->count > 0 && jobs->ival[0] < 1) {
    std::fprintf(stderr, "%s: %d jobs: at least 1 is needed at option -j|--jobs=<n>\n",
                 kProgramName, jobs->ival[0]);
    print_help_hint();
    status = kExitBadNumber;
    return false;
  }
  set_log_threshold(threshold);

  options.delete_converted = delete_converted->count == 1 ? 1 : 0;
  options.no_append_root = no_append_root->count == 1 ? 1 : 0;
  options.non_interactive = non_interactive->count == 1 ? 1 : 0;
  options.buffer_size = buffer->count == 1 ? buffer->ival[0] : -1;
  options.jobs = jobs->count == 1 ? jobs->ival[0] : std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));

  if (!load_password_file(options, status)) return false;
  BUSFOLD_LOG(kLogInfo, "%lld password(s) loaded",
              static_cast<long long>(options.passwords.size()));

  if (!find_common_root(options, status)) return false;

  options.input_root = fs_root_new(options.root);
  if (!options.input_root) {
    BUSFOLD_LOG(kLogError, "Invalid input path: %s", options.root.c_str());
    status = kExitMissingInput;
    return false;
  }
  options.output_root = options.input_root.get();
  if (options.output_dirs.size() == 1) {
    const std::string& folder = options.output_dirs.front();
    options.owned_output_root = fs_root_new(folder);
    if (!options.owned_output_root) {
      // Not a missing input but a command line to mend: a file, a device, a dangling link.
      BUSFOLD_LOG(kLogError, "Invalid output path: %s", folder.c_str());
      FsStat st;
      const bool missing = fs_stat_path(folder, st) && st.kind == kFsNotFound;
      BUSFOLD_LOG(kLogError, "%s: %s", folder.c_str(),
                  missing ? "does not exist" : "is not a folder");
      status = kExitCommandLine;
      return false;
    }
    options.output_root = options.owned_output_root.get();
  }

  return options.tool.after_parse(options);
}

}  // namespace

bool converter_parse(ConverterOptions& options, int argc, char** argv, int& status) {
  OptionTable table;
  auto* help = table.add(arg_lit0("h", "help", "display this help and exit"));
  auto* version = table.add(arg_lit0("vV", "version", "display tool version and exit"));
  auto* verbosity = table.add(arg_int0(
      nullptr, "verbosity", "<n>",
      "verbosity of logging messages from 0 to 4, with 0 being fatal messages only 4 being all "
      "messages including debug information. defaults to 3"));
  auto* non_interactive =
      table.add(arg_lit0(nullptr, "non-interactive", "does not print any progress output"));
  auto* delete_converted =
      table.add(arg_lit0("d", "delete-converted", "deletes files after conversion if specified"));
  auto* no_append_root =
      table.add(arg_lit0("X", "no-append-root", "do not add \"_out\" when converting folders"));
  auto* skip_existing = table.add(arg_lit0(
      nullptr, "skip-existing", "leave an input alone when its finished output already exists"));
  auto* buffer = table.add(
      arg_int0("b", "buffer", "<n>", "buffer size in bytes. 0 disables and -1 takes entire file"));
  auto* jobs = table.add(arg_int0(
      "j", "jobs", "<n>",
      "number of files converted at once, defaults to the number of processors; with -m files "
      "are converted one after another"));
  auto* password_file = table.add(arg_file0(
      "p", "password-file", "<file>",
      "where to find device passwords for encrypted files, defaults to \"passwords.json\""));
  auto* any_writer = table.add(
      arg_lit0(nullptr, "any-writer", "also convert bus-logging files that other tools wrote"));
  if (!options.tool.add_options(options, table.list)) {
    return false;
  }
  auto* output_directory = table.add(
      arg_file0("O", "output-directory", "<folder>", "where to place the converted files"));
  // At least four: below that, argtable's usage line writes out each repeat instead of "...".
  const int most_inputs = std::max(argc - 1, 4);
  auto* input_files = table.add(arg_filen("i", "input-files", "<file(s)/folder(s)>", 0, most_inputs,
                                          "list of input files/folders, must have common root"));
  auto* inputs =
      table.add(arg_filen(nullptr, nullptr, "file(s)/folder(s)", 1, most_inputs, nullptr));
  auto* end = table.add(arg_end(20));
  if (table.failed || arg_nullcheck(table.list.data()) != 0) {
    status = kExitNotExamined;
    return false;
  }

  int errors = arg_parse(argc, argv, table.list.data());
  // Inputs given with -i stand in for the plain ones: their absence is no error then.
  if (errors > 0 && input_files->count > 0 && end->count == errors) {
    int kept = 0;
    for (int i = 0; i < end->count; ++i) {
      if (end->parent[i] == inputs && end->error[i] == kErrorTooFew) continue;
      end->error[kept] = end->error[i];
      end->parent[kept] = end->parent[i];
      end->argval[kept] = end->argval[i];
      ++kept;
    }
    end->count = kept;
    errors = kept;
  }
  int first_error = 0;
  if (errors != 0) first_error = end->error[0] != 0 ? end->error[0] : -1;
  // argtable2 has no hook for a value, so path values are normalised after the parse,
  // where its check pass would have run: only when the arguments scanned cleanly.
  if (errors == 0) {
    collect_paths(password_file, options.password_files);
    collect_paths(output_directory, options.output_dirs);
    // "-i a b" names a first: the order of the files matters to messages that go on into
    // the next file (-m), and to the order of the log.
    collect_paths(input_files, options.inputs, &options.typed_inputs);
    collect_paths(inputs, options.inputs, &options.typed_inputs);
  }

  if (help->count > 0 || argc == 1) {
    if (options.help_as_man_page != 0) {
      print_man_page(table.list.data(), options.help_as_man_page);
    } else {
      print_usage(table.list.data());
    }
    return false;
  }
  if (version->count > 0) {
    print_version();
    status = kExitSuccess;
    return false;
  }
  if (first_error != 0) {
    if (first_error == kErrorBadValue) {
      status = kExitBadNumber;
    } else if (first_error == kErrorMissingArgument) {
      status = kExitMissingValue;
    } else {
      status = kExitCommandLine;
    }
    arg_print_errors(stderr, end, kProgramName);
    print_help_hint();
    return false;
  }
  options.skip_existing = skip_existing->count == 1 ? 1 : 0;
  options.any_writer = any_writer->count > 0 ? 1 : 0;
  return apply(options, status, delete_converted, no_append_root, non_interactive, verbosity,
               buffer, jobs);
}

}  // namespace busfold
