// The command line: what a user sees of the real program (exit codes, standard output,
// log lines), and the settings a parse hands to the run.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "app/busfold_tool.h"
#include "base/log.h"
#include "frontend/tool.h"
#include "tests/support/current_folder.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

using testing::ProcessResult;
using testing::TempDir;

ProcessResult run_busfold(const TempDir& dir, const std::vector<std::string>& args) {
  return testing::run_process(BUSFOLD_BINARY, args, dir.path());
}

class Busfold : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(dir.write_file("a.mf4", "not an MDF file"));
    ASSERT_TRUE(dir.write_file("logs/b.MF4", "not an MDF file"));
    ASSERT_TRUE(dir.write_file("logs/notes.txt", "skipped"));
  }
  TempDir dir;
};

TEST_F(Busfold, PrintsUsageAndGlossary) {
  const char* glossary[] = {
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
      "  -O, --output-directory=<file>            where to place the converted files\n",
      "  -i, --input-files=<file(s)/folder(s)>    list of input files/folders, must have common "
      "root\n",
  };
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--help"}, {"--help", "--foo"}, {"--help", "--version"}}) {
    ProcessResult r = run_busfold(dir, args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out.rfind("Usage: busfold [-vdXi] [--help] [--verbosity=<n>]", 0), 0u) << r.out;
    std::size_t at = 0;
    for (const char* line : glossary) {
      std::size_t found = r.out.find(line, at);
      ASSERT_NE(found, std::string::npos) << line << r.out;
      at = found;
    }
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(dir.exists("logs_out"));
  }
}

TEST_F(Busfold, PrintsVersion) {
  ProcessResult r = run_busfold(dir, {"--version", "--foo"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(std::regex_match(r.out, std::regex("Version: 2\\.4\\.0\n"
                                                 "Build date: [A-Z][a-z]{2} [ 0-9]\\d \\d{4} "
                                                 "\\d\\d:\\d\\d:\\d\\d\n"
                                                 "GIT SHA: [0-9a-f]{40}\\*?\n")))
      << r.out;
}

TEST_F(Busfold, MapsCommandLineErrorsToExitCodes) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out;  // null: nothing at all on standard output
  } cases[] = {
      {{"--verbosity", "7", "a.mf4"}, 131, nullptr},
      {{"--verbosity", "abc", "a.mf4"}, 131, nullptr},
      {{"a.mf4", "--verbosity"}, 130, nullptr},
      {{"--foo", "a.mf4"}, 134, "busfold: invalid option \"--foo\"\n"},
      {{"-d", "-d", "a.mf4"}, 134, "-d|--delete-converted"},
      {{"--buffer", "4GB", "a.mf4"}, 134, "4GB is too large"},
      {{"-X"}, 134, "busfold: missing option file(s)/folder(s)\n"},
  };
  for (const Case& c : cases) {
    ProcessResult r = run_busfold(dir, c.args);
    EXPECT_EQ(r.exit_status, c.status) << c.args[0] << " " << r.out << r.err;
    if (c.out == nullptr) {
      EXPECT_EQ(r.out, "") << c.args[0];
    } else {
      EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    }
    EXPECT_EQ(r.err, "") << c.args[0];
  }
}

TEST_F(Busfold, StopsBeforeConvertingWhenPathsAreWrong) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string log;
  } cases[] = {
      {{"a.mf4", "logs/b.MF4"}, 132, " F No common root detected for all inputs\n"},
      {{"--verbosity", "0", "/"}, 132, " F Could not find root for /\n"},
      {{"-p", "missing.json", "a.mf4"},
       1,
       " E Failed to open password file at " + dir.file("missing.json") + "\n"},
      {{"missing/a.mf4"}, 1, " E Invalid input path: " + dir.file("missing/") + "\n"},
      {{"-O", "nowhere", "a.mf4"}, 134, " E Invalid output path: " + dir.file("nowhere") + "\n"},
      {{"-O", "nowhere", "a.mf4"}, 134, " E " + dir.file("nowhere") + ": does not exist\n"},
      {{"-O", "a.mf4", "a.mf4"}, 134, " E " + dir.file("a.mf4") + ": is not a folder\n"},
      {{"-O", "/dev/null", "a.mf4"}, 134, " E /dev/null: is not a folder\n"},
      {{"-p", "logs", "a.mf4"},
       134,
       " E Password file " + dir.file("logs/") + " is not a regular file\n"},
  };
  for (const Case& c : cases) {
    ProcessResult r = run_busfold(dir, c.args);
    EXPECT_EQ(r.exit_status, c.status) << c.args[0];
    EXPECT_NE(r.err.find(c.log), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Error during conversion"), std::string::npos) << r.err;
  }
}

TEST_F(Busfold, WalksInputsAndCombinesTheirCodes) {
  ProcessResult r = run_busfold(dir, {"missing.mf4", "a.mf4", "logs"});
  EXPECT_EQ(r.exit_status, 9);
  for (const char* line :
       {" I 0 password(s) loaded\n", " W Could not find input file/folder missing.mf4\n",
        " E Error during conversion of a.mf4\n", " E Error during conversion of logs/b.MF4\n"}) {
    EXPECT_NE(r.err.find(line), std::string::npos) << line << r.err;
  }
  EXPECT_TRUE(dir.exists("logs_out"));

  ProcessResult quiet = run_busfold(dir, {"--verbosity", "0", "missing.mf4", "a.mf4"});
  EXPECT_EQ(quiet.exit_status, 9);
  EXPECT_EQ(quiet.err, "");
}

TEST_F(Busfold, ParseAppliesSettingsAndOpensTheRoots) {
  TempDir out;
  ASSERT_TRUE(dir.write_file("conf/keys.json", R"({"default": "a", "0A": "b"})"));
  testing::ScopedCurrentFolder cwd(dir.path());
  struct Case {
    std::vector<std::string> args;
    LogLevel threshold;
  } cases[] = {
      {{"-d", "-X", "--non-interactive", "-b", "0x10", "--verbosity", "4", "-p", "conf\\keys.json",
        "-O", out.path(), "logs", "a.mf4"},
       kLogVerbose},
      {{"logs"}, kLogInfo},
      {{"--verbosity", "0", "logs"}, kLogFatal},
      {{"--verbosity", "2", "logs"}, kLogWarning},
  };
  for (Case& c : cases) {
    c.args.insert(c.args.begin(), "busfold");
    std::vector<char*> argv;
    for (std::string& a : c.args)
      argv.push_back(a.data());
    auto options = tool_create_options();
    int status = 0;
    ASSERT_TRUE(converter_parse(*options, static_cast<int>(argv.size()), argv.data(), status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(log_threshold, c.threshold);
    set_log_threshold(0);
    const ConverterOptions& o = *options;
    EXPECT_EQ(o.root, dir.path() + "/");
    EXPECT_EQ(o.input_root->base(), dir.path() + "/");
    if (c.args.size() > 5) {  // the first case sets everything
      EXPECT_EQ(o.delete_converted, 1);
      EXPECT_EQ(o.no_append_root, 1);
      EXPECT_EQ(o.non_interactive, 1);
      EXPECT_EQ(o.buffer_size, 16);
      EXPECT_EQ(o.passwords.size(), 2u);
      EXPECT_EQ(o.password_files, std::vector<std::string>{dir.file("conf/keys.json")});
      EXPECT_EQ(o.output_dirs, std::vector<std::string>{out.path() + "/"});
      EXPECT_EQ(o.inputs, (std::vector<std::string>{"logs/", "a.mf4"}));
      EXPECT_EQ(o.output_root, o.owned_output_root.get());
    } else {
      EXPECT_EQ(o.delete_converted, 0);
      EXPECT_EQ(o.buffer_size, -1);
      EXPECT_EQ(o.output_root, o.input_root.get());
    }
  }
}

}  // namespace
}  // namespace busfold
