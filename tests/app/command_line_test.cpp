// The command line: what a user sees of the real program (exit codes, standard output,
// log lines), and the settings a parse hands to the run.
#include <gtest/gtest.h>

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
  const Lines usage = {
      "Usage: busfold [-vdXi] [--help] [--verbosity=<n>]",
      "  --help                                   display this help and exit\n",
      "  -v, --version                            display tool version and exit\n",
      "  --verbosity=<n>                          verbosity of logging messages from 0 to 4, with "
      "0 "
      "being fatal messages only 4 being all messages including debug information. defaults to 3\n",
      "  --non-interactive                        does not print any progress output\n",
      "  -d, --delete-converted                   deletes files after conversion if specified\n",
      "  -X, --no-append-root                     do not add \"_out\" when converting folders\n",
      "  -b, --buffer=<n>                         buffer size in bytes. 0 disables and -1 takes "
      "entire file\n",
      "  -p, --password-file=<file>               where to find device passwords for encrypted "
      "files, defaults to \"passwords.json\"\n",
      "  -m, --mux=hex id:channel 1;channel 2;... CAN IDs to demux and their corresponding "
      "channels\n",
      "  -O, --output-directory=<file>            where to place the converted files\n",
      "  -i, --input-files=<file(s)/folder(s)>    list of input files/folders, must have common "
      "root\n",
  };
  std::vector<std::string> too_many_mux = {"."};  // 64 values: one too many
  for (int i = 0; i < 64; ++i)
    too_many_mux.insert(too_many_mux.end(), {"-m", "7DF:1"});
  struct Case {
    std::vector<std::string> args;
    int status;
    Lines out, err;
  } cases[] = {
      {{}, 0, usage, {}},
      {{"--help"}, 0, usage, {}},
      {{"--help", "--version"}, 0, usage, {}},
      {{"--verbosity", "7", "a.mf4"}, 131, {}, {}},
      {{"--verbosity", "abc", "a.mf4"}, 131, {}, {}},  // refused by the parser, not the range
      {{"a.mf4", "--verbosity"}, 130, {}, {}},
      {{"--foo", "a.mf4"}, 134, {"busfold: invalid option \"--foo\"\n"}, {}},
      {{"-d", "-d", "a.mf4"}, 134, {"-d|--delete-converted"}, {}},
      {{"--buffer", "4GB", "a.mf4"}, 134, {"4GB is too large"}, {}},
      {{"-X"}, 134, {"busfold: missing option file(s)/folder(s)\n"}, {}},
      {too_many_mux, 134, {"excess option"}, {}},
      {{"-m", "7DF:1", "--mux", "7DF:x", "."},
       134,
       {},
       {" E Could not parse mux information, error decoding channel - 7DF:x\n"}},
      {{"a.mf4", "logs/b.MF4"}, 132, {}, {" F No common root detected for all inputs\n"}},
      {{"--verbosity", "0", "/"}, 132, {}, {" F Could not find root for /\n"}},
      {{"-p", "missing.json", "a.mf4"},
       1,
       {},
       {" E Failed to open password file at " + dir.file("missing.json") + "\n"}},
      {{"missing/a.mf4"}, 1, {}, {" E Invalid input path: " + dir.file("missing/") + "\n"}},
      {{"-O", "nowhere", "a.mf4"},
       134,
       {},
       {" E Invalid output path: " + dir.file("nowhere") + "\n",
        " E " + dir.file("nowhere") + ": does not exist\n"}},
      {{"-O", "/dev/null", "a.mf4"}, 134, {}, {" E /dev/null: is not a folder\n"}},
      {{"-p", "logs", "a.mf4"},
       134,
       {},
       {" E Password file " + dir.file("logs/") + " is not a regular file\n"}},
      {{"--verbosity", "0", "missing.mf4", "a.mf4"}, 9, {}, {}},
      // Only this run converts: a missing input adds 1, a failed file 8.
      {{"missing.mf4", "a.mf4", "logs"},
       9,
       {},
       {" I 0 password(s) loaded\n", " W Could not find input file/folder missing.mf4\n",
        " E Error during conversion of a.mf4\n", " E Error during conversion of logs/b.MF4\n"}},
  };
  for (const Case& c : cases) {
    const std::string what = c.args.empty() ? "no arguments" : c.args[0] + " " + c.args.back();
    testing::ProcessResult r = testing::run_process(BUSFOLD_BINARY, c.args, dir.path());
    EXPECT_EQ(r.exit_status, c.status) << what << r.out << r.err;
    expect_lines(r.out, c.out, what);
    expect_lines(r.err, c.err, what);
    EXPECT_EQ(dir.exists("logs_out"), !c.args.empty() && c.args.back() == "logs") << what;
  }
}

TEST_F(Busfold, PrintsVersion) {
  testing::ProcessResult r =
      testing::run_process(BUSFOLD_BINARY, {"--version", "--foo"}, dir.path());
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(std::regex_match(r.out, std::regex("Version: 2\\.4\\.0\n"
                                                 "Build date: [A-Z][a-z]{2} [ 0-9]\\d \\d{4} "
                                                 "\\d\\d:\\d\\d:\\d\\d\n"
                                                 "GIT SHA: [0-9a-f]{40}\\*?\n")))
      << r.out;
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
