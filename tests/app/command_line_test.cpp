// The command line: what a user sees of the real program (exit codes, standard output,
// log lines), and the settings a parse hands to the run.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "app/busfold_tool.h"
#include "base/log.h"
#include "frontend/tool.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

using testing::TempDir;
using Lines = std::vector<std::string>;

class Busfold : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(dir.write_file("a.mf4", "not an MDF file"));
    ASSERT_TRUE(dir.write_file("logs/b.MF4", "not an MDF file"));
    ASSERT_TRUE(dir.write_file("logs/notes.txt", "skipped"));
    ASSERT_TRUE(dir.write_file("a.mdf", "another extension"));
    ASSERT_TRUE(dir.write_file("bad.json", "{\"0A\": \"x\",\n \"0B\" 1}"));
    ASSERT_TRUE(dir.make_folder("empty"));
  }
  TempDir dir;
};

// Each line must appear after the one before it; no lines: the stream must be empty.
void expect_lines(const std::string& stream, const Lines& lines, const std::string& what) {
  EXPECT_TRUE(!lines.empty() || stream.empty()) << what << stream;
  std::size_t at = 0;
  for (const std::string& line : lines) {
    at = stream.find(line, at);
    EXPECT_NE(at, std::string::npos) << what << ": " << line << "\n" << stream;
    if (at == std::string::npos) return;
  }
}

TEST_F(Busfold, ExitCodesOutputAndLogLines) {
  // The synopsis names every option; of the glossary, whose texts are the option table's,
  // the first and last lines, an alias and the tool's own options (the longest name).
  const Lines usage = {
      "Usage: busfold [-hvdX] [--verbosity=<n>] [--non-interactive] [--skip-existing] [-b <n>] "
      "[-j <n>] [-p <file>] [--any-writer] [-m hex id:channel 1;channel 2;...]... [--all-frames] "
      "[-O <folder>] "
      "[-i <file(s)/folder(s)>]... file(s)/folder(s) [file(s)/folder(s)]...\n\n",
      "  -h, --help                               display this help and exit\n",
      "  -v, -V, --version                        display tool version and exit\n",
      "  -m, --mux=hex id:channel 1;channel 2;... CAN IDs to demux and their corresponding "
      "channels\n",
      "  --all-frames                             also carries LIN frames and CAN remote and "
      "error frames over\n",
      "  -i, --input-files=<file(s)/folder(s)>    list of input files/folders, must have common "
      "root\n",
  };
  const std::string hint = "Try 'busfold --help'.\n";
  std::vector<std::string> too_many_mux = {"."};  // 64 values: one too many
  for (int i = 0; i < 64; ++i)
    too_many_mux.insert(too_many_mux.end(), {"-m", "7DF:1"});
  struct Case {
    std::vector<std::string> args;
    int status;
    Lines err, out = {};  // each line after the one before
  } cases[] = {
      {{}, 0, {}, usage},
      {{"--help"}, 0, {}, usage},
      {{"-h"}, 0, {}, usage},
      {{"--help", "--version"}, 0, {}, usage},
      // Command-line errors name the option and the reason, then point at --help.
      {{"--verbosity", "7", "a.mf4"},
       131,
       {"busfold: verbosity 7 is out of range (0 to 4) at option --verbosity=<n>\n", hint}},
      {{"--verbosity", "abc", "a.mf4"},
       131,
       {"busfold: invalid argument \"abc\" to option --verbosity=<n>\n", hint}},
      {{"-j", "0", "a.mf4"},
       131,
       {"busfold: 0 jobs: at least 1 is needed at option -j|--jobs=<n>\n", hint}},
      {{"--jobs", "two", "a.mf4"},
       131,
       {"busfold: invalid argument \"two\" to option -j|--jobs=<n>\n", hint}},
      {{"-b", "abc", "a.mf4"},
       131,
       {"busfold: invalid argument \"abc\" to option -b|--buffer=<n>\n", hint}},
      {{"a.mf4", "--verbosity"},
       130,
       {"busfold: option \"--verbosity\" requires an argument\n", hint}},
      {{"a.mf4", "-O"}, 130, {"busfold: option \"-O\" requires an argument\n", hint}},
      {{"a.mf4", "-p"}, 130, {"busfold: option \"-p\" requires an argument\n", hint}},
      {{"--foo", "a.mf4"}, 134, {"busfold: invalid option \"--foo\"\n", hint}},
      {{"-d", "-d", "a.mf4"}, 134, {"-d|--delete-converted", hint}},
      {{"--buffer", "4GB", "a.mf4"}, 134, {"4GB is too large", hint}},
      {{"-X"}, 134, {"busfold: missing option file(s)/folder(s)\n", hint}},
      {too_many_mux, 134, {"excess option", hint}},
      {{"-m", "7DF:1", "--mux", "7DF:x", "."},
       134,
       {" E Could not parse mux information, error decoding channel - 7DF:x\n", hint}},
      {{"a.mf4", "logs/b.MF4"}, 132, {" F No common root detected for all inputs\n"}},
      {{"--verbosity", "0", "/"}, 132, {" F Could not find root for /\n"}},
      {{"-p", "missing.json", "a.mf4"},
       1,
       {" E Failed to open password file at " + dir.file("missing.json") + "\n",
        " E " + dir.file("missing.json") + ": no such password file\n"}},
      // A malformed password file stops the run before any input is touched.
      {{"-p", "bad.json", "logs/"},
       134,
       {" E " + dir.file("bad.json") +
        ": line 2, column 7: syntax error while parsing object "
        "separator"}},
      {{"missing/a.mf4"}, 1, {" E Invalid input path: " + dir.file("missing/") + "\n"}},
      {{"-O", "nowhere", "a.mf4"},
       134,
       {" E Invalid output path: " + dir.file("nowhere") + "\n",
        " E " + dir.file("nowhere") + ": does not exist\n"}},
      {{"-O", "/dev/null", "a.mf4"}, 134, {" E /dev/null: is not a folder\n"}},
      {{"-p", "logs", "a.mf4"},
       134,
       {" E Password file " + dir.file("logs/") + " is not a regular file\n"}},
      {{"--verbosity", "0", "missing.mf4", "a.mf4"}, 9, {}},
      // Inputs are named as they were typed; files with another extension are reported.
      {{dir.file("missing.mf4"), "a.mdf"},
       1,
       {" W Could not find input file/folder " + dir.file("missing.mf4") + "\n",
        " W a.mdf: not an MDF 4 logger file extension, skipped\n", " W no input files found\n"}},
      {{"empty"}, 0, {" W no input files found\n"}},
      {{"-i", "a.mf4", "--input-files", "./logs"},
       8,
       {" E Error during conversion of a.mf4\n", " E Error during conversion of ./logs/b.MF4\n"}},
      {{"-i"}, 130, {"busfold: option \"-i\" requires an argument\n", hint}},
      // Only this run converts: a missing input adds 1, a failed file 8.
      {{"missing.mf4", "a.mf4", "logs"},
       9,
       {" I 0 password(s) loaded\n", " W Could not find input file/folder missing.mf4\n",
        " E Error during conversion of a.mf4\n", " E Error during conversion of logs/b.MF4\n"}},
  };
  for (const Case& c : cases) {
    const std::string what = c.args.empty() ? "no arguments" : c.args[0] + " " + c.args.back();
    testing::ProcessResult r = testing::run_process(BUSFOLD_BINARY, c.args, dir.path());
    EXPECT_EQ(r.exit_status, c.status) << what << r.out << r.err;
    expect_lines(r.out, c.out, what);
    expect_lines(r.err, c.err, what);
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << what;  // no progress off a terminal
    const bool converts_logs =
        !c.args.empty() && (c.args.back() == "logs" || c.args.back() == "./logs");
    EXPECT_EQ(dir.exists("logs_out"), converts_logs) << what;
    std::filesystem::remove_all(dir.file("logs_out"));
  }
}

// On a terminal a progress line is drawn below the log, cleared before each log line and
// for good before the summary; --non-interactive draws none.
TEST_F(Busfold, ShowsProgressOnATerminalOnly) {
  for (const char* option : {"", "--non-interactive "}) {
    const std::string command = std::string("'") + BUSFOLD_BINARY + "' " + option + "logs";
    testing::ProcessResult r =
        testing::run_process("/usr/bin/script", {"-qec", command, "/dev/null"}, dir.path());
    EXPECT_EQ(r.exit_status, 8) << option << r.out;
    const std::size_t done = r.out.find(" I Done: 0 file(s) converted, 1 failed, 0 skipped; ");
    ASSERT_NE(done, std::string::npos) << option << r.out;
    if (*option != '\0') {
      EXPECT_EQ(r.out.find("\x1b[K"), std::string::npos) << r.out;
      continue;
    }
    EXPECT_NE(r.out.find("\r\x1b[K0/1+ files, 0.0 MiB, 0.0 MiB/s"), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(
        r.out,
        std::regex("\r\x1b\\[K[-0-9]+ [0-9:.]+ +\\d+ +\\d+ E Error during conversion of logs/b")))
        << r.out;
    EXPECT_LT(r.out.rfind("\x1b[K"), done);
    EXPECT_EQ(r.out.find("\x1b[K", done), std::string::npos) << r.out;
  }
}

TEST_F(Busfold, PrintsVersion) {
  for (const char* option : {"--version", "-v", "-V"}) {
    testing::ProcessResult r = testing::run_process(BUSFOLD_BINARY, {option, "--foo"}, dir.path());
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("Version: 2\\.4\\.0\n"
                                                   "Build date: [A-Z][a-z]{2} [ 0-9]\\d \\d{4} "
                                                   "\\d\\d:\\d\\d:\\d\\d\n"
                                                   "GIT SHA: [0-9a-f]{40}\\*?\n")))
        << option << r.out;
  }
}

TEST_F(Busfold, ParseAppliesSettingsAndOpensTheRoots) {
  TempDir out;
  ASSERT_TRUE(dir.write_file("conf/keys.json", R"({"default": "a", "0A": "b"})"));
  testing::ScopedCurrentFolder cwd(dir.path());
  std::vector<std::string> args = {
      "busfold",     "-d",   "-X", "--non-interactive", "-b", "0x10",
      "--verbosity", "2",    "-p", "conf\\keys.json",   "-O", out.path(),
      "logs",        "a.mf4"};
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  auto options = tool_create_options();
  int status = 0;
  ASSERT_TRUE(converter_parse(*options, static_cast<int>(argv.size()), argv.data(), status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(log_threshold, kLogWarning);
  set_log_threshold(0);
  const ConverterOptions& o = *options;
  EXPECT_EQ(o.input_root->base(), dir.path() + "/");
  EXPECT_EQ(o.output_root, o.owned_output_root.get());
  EXPECT_EQ(std::tuple(o.delete_converted, o.no_append_root, o.non_interactive, o.buffer_size),
            std::tuple(1, 1, 1, 16));
  EXPECT_EQ(o.passwords.size(), 2u);
  EXPECT_EQ(o.output_dirs, std::vector<std::string>{out.path() + "/"});
  EXPECT_EQ(o.inputs, (std::vector<std::string>{"logs/", "a.mf4"}));
}

}  // namespace
}  // namespace busfold
