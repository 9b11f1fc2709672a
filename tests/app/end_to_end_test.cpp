// Runs the real busfold program on generated logger files and reads what it wrote back
// with our own loader: frames, groups, counts, exit codes and which files are left.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "base/bytes.h"
#include "buslog/bus_classifier.h"
#include "buslog/bus_frame.h"
#include "io/memory_stream.h"
#include "mdf/cg_block.h"
#include "mdf/data_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"
#include "mdf/mdf_file.h"
#include "mdf/record_reader.h"
#include "mdf/text_block.h"
#include "tests/support/container_writer.h"
#include "tests/support/logger_file.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

using test::build_logger_file;
using test::can_frame;
using test::LoggerFrame;
using testing::ProcessResult;
using testing::TempDir;
using Bytes = std::vector<std::uint8_t>;
using Frames = std::vector<LoggerFrame>;

std::string text(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

ProcessResult run_busfold(const TempDir& dir, const std::vector<std::string>& args) {
  return testing::run_process(BUSFOLD_BINARY, args, dir.path());
}

// busfold run by the shell after `setup`; as root, `other_user` runs it as nobody, to whom
// a folder can be closed.
ProcessResult run_in_shell(const TempDir& dir, const std::string& setup, bool other_user,
                           const std::vector<std::string>& args) {
  std::vector<std::string> shell = {"-c",
                                    setup + (other_user && ::geteuid() == 0
                                                 ? "exec setpriv --reuid=65534 --regid=65534 "
                                                   "--clear-groups \"$0\" \"$@\""
                                                 : "exec \"$0\" \"$@\""),
                                    BUSFOLD_BINARY};
  shell.insert(shell.end(), args.begin(), args.end());
  return testing::run_process("/bin/sh", shell, dir.path());
}

void expect_logged(const ProcessResult& r, const std::string& line, bool present = true) {
  EXPECT_EQ(r.err.find(line) != std::string::npos, present) << line << "\n" << r.err;
}

// A frame written or read back: kind, bus, tx, ide, edl, brs, esi, id, dlc, time, payload.
// LIN frames: the data length as dlc, the bytes received as payload; error frames: the
// error type as id.
using Frame = std::tuple<FrameKind, unsigned, bool, bool, bool, bool, bool, std::uint32_t, unsigned,
                         std::uint64_t, Bytes>;

std::vector<Frame> expected(const Frames& frames) {
  constexpr FrameKind kKinds[] = {kCanDataFrame, kCanRemoteFrame, kCanErrorFrame, kLinFrame};
  std::vector<Frame> out;
  for (const LoggerFrame& f : frames)
    out.emplace_back(kKinds[static_cast<int>(f.kind)], f.bus, f.tx, f.ide, f.edl, f.brs, f.esi,
                     f.id, f.dlc, f.time_us, f.payload);
  return out;
}

// An output file as our loader sees it.
struct Output {
  Output(const TempDir& dir, std::string_view name) {
    const std::string bytes = dir.read_file(name).value_or("");
    stream = memory_stream_from(Bytes(bytes.begin(), bytes.end()));
    mdf = file_or_null(mdf_open(*stream, &bus_channel_classifier()));
    EXPECT_TRUE(mdf) << name;
  }
  DgBlock& dg() const { return *block_cast<DgBlock>(mdf->hd()->data_groups.at(0)); }
  const CgBlock* group(std::string_view name) const {
    for (const BlockRef& ref : dg().channel_groups) {
      const CgBlock* cg = block_cast<CgBlock>(ref);
      if (block_text(cg->acq_name) == name) return cg;
    }
    return nullptr;
  }
  int record_id(std::string_view name) const {
    const CgBlock* cg = group(name);
    return cg != nullptr ? static_cast<int>(cg->cg_record_id) : -1;
  }
  std::vector<Frame> frames() const {
    std::vector<Frame> out;
    if (!mdf) return out;
    RecordReader reader(dg());
    BusFrame f{};
    RecordIterator it(reader, &f);
    auto us = [](const auto& fields) { return fields.seconds * 1000000ull + fields.microseconds; };
    for (bool more = it.begin(); more; more = it.next()) {
      const CanFrameFields& c = f.can;
      const LinFrameFields& l = f.lin;
      if (f.kind == kLinFrame) {
        out.emplace_back(f.kind, l.bus, l.dir, false, false, false, false, l.id, l.data_length,
                         us(l), Bytes(l.payload, l.payload + std::min<int>(l.received_count, 8)));
      } else if (f.kind == kCanErrorFrame) {
        out.emplace_back(f.kind, f.error.bus, false, false, false, false, false, f.error.error_type,
                         0, us(f.error), Bytes());
      } else {
        const std::size_t n =
            f.kind == kCanRemoteFrame ? 0 : std::min<std::size_t>(f.data_length, 64);
        out.emplace_back(f.kind, c.bus, c.dir, c.ide, c.edl, c.brs, c.esi, c.can_id, c.dlc, us(c),
                         Bytes(c.payload, c.payload + n));
      }
    }
    EXPECT_FALSE(read_end_failed(it.end()));
    return out;
  }
  std::unique_ptr<MemoryStream> stream;
  std::unique_ptr<MdfFile> mdf;
};

std::string golden(const char* name) {
  std::ifstream in(std::string(BUSFOLD_GOLDEN_DIR) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(EndToEnd, WritesTheReferenceOutputsByteForByte) {
  TempDir dir;
  ASSERT_TRUE(dir.write_file("small_logger.mf4", golden("small_logger.mf4")));
  ASSERT_TRUE(dir.write_file(
      "empty/none.mf4", text(build_logger_file({}, {.start_time_ns = 1700000000123456789ull}))));
  EXPECT_EQ(run_busfold(dir, {"small_logger.mf4"}).exit_status, 0);
  EXPECT_EQ(dir.read_file("small_logger_fin.MF4"), golden("small_logger_fin.MF4"));
  EXPECT_EQ(run_busfold(dir, {"-X", "empty"}).exit_status, 0);
  EXPECT_EQ(dir.read_file("empty/none_fin.MF4"), golden("no_frames_fin.MF4"));
}

// One run converts the files with one output layout it patches for each: every output
// holds its frames and is the file a run of that input alone writes.
TEST(EndToEnd, CarriesEveryFrameIntoItsGroupAndFinalizes) {
  const Frames frames = test::mixed_can_frames(3000, 5),
               first(frames.begin(), frames.begin() + 900);
  Frames ties;
  for (std::uint64_t i = 0; i < 6; ++i)
    ties.push_back(test::can_frame(1, 0x100 + static_cast<std::uint32_t>(i),
                                   {static_cast<std::uint8_t>(i)}, 1000 * (i == 4 ? 4 : i + 1)));
  // Data groups recording side by side are merged by time, not written one after another.
  const std::tuple<const char*, Frames, test::LoggerFileOptions> files[] = {
      {"unfinalized", frames, {}},
      {"finalized", first, {.finalized = true, .start_time_ns = 1600000000000000000ull}},
      {"groups", frames, {.data_groups = 4}},
      {"ties", ties, {.data_groups = 4}},
  };
  TempDir dir;
  for (const auto& [name, in, options] : files)
    ASSERT_TRUE(dir.write_file(std::string(name) + ".mf4", text(build_logger_file(in, options))));
  ProcessResult r = run_busfold(dir, {"-j", "1", "-X", "."});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  expect_logged(r, " moved forward in time", false);
  // Frames of equal time from data groups side by side go in data group order: frame 3
  // (group 3) after frame 4 (group 0), 1 us later as their bus and direction share it.
  std::swap(ties[3], ties[4]);
  ties[4].time_us = 4001;
  for (const auto& [name, in, options] : files) {
    const std::string output = std::string(name) + "_fin.MF4";
    Output out(dir, output);
    ASSERT_TRUE(out.mdf);
    EXPECT_STREQ(out.mdf->id_block()->file_id(), "MDF     ");
    EXPECT_EQ(out.mdf->id_block()->id_unfin_flags, 0);
    EXPECT_EQ(out.mdf->hd()->hd_start_time_ns, options.start_time_ns);
    EXPECT_EQ(out.frames(), expected(in.size() == 6 ? ties : in)) << name;
    // Cycle counts and signal bytes add up to the data block, record ids included.
    std::uint64_t bytes = 0;
    for (const LoggerFrame& f : in)
      bytes += f.dlc > 8 ? 6 : 0;
    for (const BlockRef& ref : out.dg().channel_groups) {
      const CgBlock* cg = block_cast<CgBlock>(ref);
      bytes += cg->cg_flags & kCgFlagVlsd ? cg->cg_data_bytes
                                          : cg->cg_cycle_count * (2 + cg->cg_data_bytes);
    }
    EXPECT_EQ(bytes, block_cast<DtBlock>(out.dg().data)->data_size()) << name;
    TempDir alone;
    ASSERT_TRUE(alone.write_file("x.mf4", text(build_logger_file(in, options))));
    ASSERT_EQ(run_busfold(alone, {"x.mf4"}).exit_status, 0);
    EXPECT_TRUE(alone.read_file("x_fin.MF4") == dir.read_file(output)) << name;
  }
}

// Files shaped as other writers shape them, stored as they store them: every frame comes
// out as it went in, at its own time.
TEST(EndToEnd, ConvertsFilesOfOtherWritersFrameByFrame) {
  using test::MasterTime;
  using test::Storage;
  const Frames frames = test::mixed_can_frames(1500, 11);
  const std::string other = "Another tool";
  auto sorted = [&other](Storage storage, MasterTime time = MasterTime::micros48) {
    return test::LoggerFileOptions{
        .storage = storage, .tool_id = other, .sorted = true, .master_time = time};
  };
  const std::pair<const char*, test::LoggerFileOptions> cases[] = {
      {"float seconds", sorted(Storage::plain, MasterTime::float_seconds)},
      {"nanoseconds zipped", sorted(Storage::zipped, MasterTime::nanoseconds)},
      {"transposed", {.storage = Storage::transposed, .tool_id = "", .sorted = true}},
      {"equal list", sorted(Storage::equal_list)},
      {"unequal list", sorted(Storage::unequal_list, MasterTime::nanoseconds)},
      {"header list", sorted(Storage::header_list, MasterTime::float_seconds)},
      // Our logger's shape: records with ids, long payloads in VLSD records or SD blocks.
      {"logger lists", {.finalized = true, .data_groups = 2, .storage = Storage::unequal_list}},
      {"logger SD in lists",
       {.finalized = true, .signal_data_blocks = true, .storage = Storage::header_list}},
  };
  TempDir dir;
  std::vector<std::string> args = {"--any-writer"};
  for (const auto& [name, options] : cases) {
    ASSERT_TRUE(
        dir.write_file(std::string(name) + ".mf4", text(build_logger_file(frames, options))));
    args.push_back(std::string(name) + ".mf4");
  }
  ProcessResult r = run_busfold(dir, args);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  expect_logged(r, " moved forward in time", false);
  for (const auto& [name, options] : cases)
    EXPECT_EQ(Output(dir, std::string(name) + "_fin.MF4").frames(), expected(frames)) << name;

  // Without the option a file of another writer is refused and says why; our logger's
  // files, however stored, need no option. With it, a file needs a group of bus frames.
  Bytes no_groups = build_logger_file({}, {.tool_id = other, .sorted = true});
  ASSERT_TRUE(dir.write_file("none/no_groups.mf4", text(no_groups)));
  r = run_busfold(dir, {"float seconds.mf4", "transposed.mf4", "logger lists.mf4"});
  EXPECT_EQ(r.exit_status, 8);
  expect_logged(r, " E Unsupported MF4 file: written by 'Another tool'; use --any-writer to "
                   "convert files of other writers\n");
  expect_logged(r, " E Unsupported MF4 file: written by an unnamed tool; use --any-writer");
  expect_logged(r, "Error during conversion of logger lists.mf4", false);
  r = run_busfold(dir, {"--any-writer", "none/no_groups.mf4"});
  EXPECT_EQ(r.exit_status, 8);
  expect_logged(r, " E Unsupported MF4 file: written by 'Another tool', without a group of "
                   "bus frames\n");
}

// Only a file converted completely is published and, with -d, deleted; a failure leaves no
// temporary file and keeps the input.
TEST(EndToEnd, FailedFilesKeepTheirInputsAndLeaveNoPartialOutput) {
  const Bytes one = build_logger_file({can_frame(1, 0x100, {1, 2}, 10)});
  // The data block is last: its second record's id becomes one no group has.
  Bytes unknown_id = build_logger_file({can_frame(1, 1, {1}, 1), can_frame(1, 2, {2}, 2)});
  unknown_id[unknown_id.size() - 18] = unknown_id[unknown_id.size() - 17] = 0x77;
  // A finalized data block whose length ends inside a record is damage, not the tail of a
  // stopped recording.
  std::string cut_short = text(
      build_logger_file({can_frame(1, 1, {1}, 1), can_frame(1, 2, {2}, 2)}, {.finalized = true}));
  cut_short[cut_short.rfind("##DT") + 8] -= 5;
  const std::string big = text(build_logger_file(test::mixed_can_frames(3000, 3)));
  struct Case {
    const char* what;
    std::string input;
    int status;
    std::string line;       // logged ("{}": the test's folder), or empty
    int frames;             // in the output; -1: no output
    bool obstacle = false;  // a folder where the output goes
    bool read_only = false;
    std::string setup = "";
  } cases[] = {
      {"converted", text(one), 0, " I Converted in/x.mf4 -> {}/in/x_fin.MF4 (1 frames, 0.03 MiB, ",
       1},
      {"bus without groups",
       text(build_logger_file({can_frame(1, 0x100, {1}, 10), can_frame(7, 0x100, {1}, 20)})), 8,
       " W No output groups for CAN bus 7, frames skipped\n", 1},
      {"no MDF", "neither container nor MDF", 8, " E Could not open MDF\n", -1},
      {"unknown record id", text(unknown_id), 8, " E Unknown record id 30583 at offset 18\n", 1},
      {"cut short", cut_short, 8, " is cut short; 13 bytes left unread\n", 1},
      // An output that cannot be written says why, naming its full path.
      {"output name taken", text(one), 8,
       " E Could not write output file {}/in/x_fin.MF4: Is a directory\n", -2, true},
      // Writes past the file size limit fail (the signal it sends is ignored).
      {"full disk", big, 8, " E Could not write output file {}/in/x_fin.MF4: File too large\n", -1,
       false, false, "trap '' XFSZ; ulimit -f 16; "},
      {"read-only folder", big, 8,
       " E Could not open output file for finalization: {}/in/x_fin.MF4: Permission denied\n", -1,
       false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ASSERT_TRUE(dir.write_file("in/x.mf4", c.input));
    ASSERT_TRUE(!c.obstacle || dir.write_file("in/x_fin.MF4/keep", ""));
    if (c.read_only) {
      ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
      ASSERT_EQ(::chmod(dir.file("in").c_str(), 0555), 0);
      ASSERT_EQ(::chmod(dir.file("in/x.mf4").c_str(), 0444), 0);
    }
    ProcessResult r = run_in_shell(dir, c.setup, c.read_only, {"-d", "-X", "in"});
    ::chmod(dir.file("in").c_str(), 0755);
    EXPECT_EQ(r.exit_status, c.status) << r.err;
    std::string line = c.line;
    if (const std::size_t at = line.find("{}"); at != std::string::npos)
      line.replace(at, 2, dir.path());
    expect_logged(r, line);
    expect_logged(r, " callback\n", false);  // which callback failed tells a user nothing
    expect_logged(r, c.status == 0 ? " I Done: 1 file(s) converted, 0 failed, 0 skipped; 1 "
                                   : " I Done: 0 file(s) converted, 1 failed, 0 skipped; ");
    EXPECT_EQ(dir.exists("in/x.mf4"), c.status != 0);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
      EXPECT_FALSE(entry.path().string().ends_with(".part"));
    EXPECT_TRUE(c.frames != -1 || !dir.exists("in/x_fin.MF4"));
    if (c.frames >= 0) {
      EXPECT_EQ(Output(dir, "in/x_fin.MF4").frames().size(), std::size_t(c.frames));
    }
  }
}

// With --all-frames remote, error and LIN frames (and the remote frames a carrier holds)
// come out as they went in; without it the output holds the data frames alone, byte for
// byte, and the file fails with a line counting what was left out, in carriers too.
TEST(EndToEnd, AllFramesCarriesLinRemoteAndErrorFramesOver) {
  using Kind = test::LoggerFrameKind;
  auto frame = [](Kind kind, std::uint8_t bus, bool tx, std::uint32_t id, std::uint8_t dlc,
                  std::uint64_t time_us, Bytes payload = {}) {
    const bool ide = id > 0x7FF && kind == Kind::can_remote;
    return LoggerFrame{kind, bus, tx, ide, false, false, false, id, dlc, time_us, payload};
  };
  Frames others = {frame(Kind::can_remote, 1, false, 0x7FF, 8, 20),
                   frame(Kind::can_remote, 2, true, 0x1FFFFFFF, 15, 30),
                   frame(Kind::can_error, 1, false, 5, 0, 40),
                   frame(Kind::can_error, 9, false, 3, 0, 45),
                   frame(Kind::lin, 1, false, 0x3F, 8, 50, {1, 2, 3, 4, 5, 6, 7, 8}),
                   frame(Kind::lin, 2, true, 0x21, 4, 70, {9, 8})};
  // The carrier holds a remote frame with id 0x123 and DLC 2 for sub-channel 0.
  const Frames data = {can_frame(1, 0x100, {1, 2}, 10), can_frame(2, 0x18DAF100, {3}, 60, true),
                       can_frame(1, 0x7DF, {0x03, 0x01, 0x21, 0x23}, 80)};
  Frames all = {data[0],   others[0], others[1], others[2], others[3],
                others[4], data[1],   others[5], data[2]};
  TempDir dir;
  for (const char* name : {"all/x.mf4", "data/x.mf4"})
    ASSERT_TRUE(dir.write_file(name, text(build_logger_file(all))));
  ASSERT_TRUE(dir.write_file("ref/x.mf4", text(build_logger_file(data))));
  ProcessResult r = run_busfold(dir, {"-X", "--all-frames", "-m", "7DF:3", "all"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  all.back() = frame(Kind::can_remote, 3, false, 0x123, 2, 80);
  Output out(dir, "all/x_fin.MF4");
  EXPECT_EQ(out.frames(), expected(all));
  for (const char* name : {"LIN1_Frame", "LIN2_Frame", "CAN1_RTR_Rx", "CAN2_RTR_IDE_Tx",
                           "CAN3_RTR_Rx", "CAN1_Errors", "CAN9_Errors"})
    EXPECT_EQ(out.group(name)->cg_cycle_count, 1u) << name;

  r = run_busfold(dir, {"-X", "-d", "-m", "7DF:3", "./data"});  // named as typed
  EXPECT_EQ(r.exit_status, 8);
  expect_logged(r, " E ./data/x.mf4: 2 LIN frames, 3 CAN remote frames and 2 CAN error "
                   "frames not carried over\n");
  EXPECT_TRUE(dir.exists("data/x.mf4"));
  // The remote frame in the carrier alone fails the file.
  EXPECT_EQ(run_busfold(dir, {"-X", "-m", "7DF:3", "ref"}).exit_status, 8);
  EXPECT_TRUE(dir.read_file("data/x_fin.MF4") == dir.read_file("ref/x_fin.MF4"));
}

// Runs over one growing tree, each step on what the steps before left: a walk leaves the
// outputs of earlier runs alone unless they are named, --skip-existing leaves inputs whose
// finished output is there, and a folder that cannot be read is reported and fails the run.
TEST(EndToEnd, WalkLeavesOutputsAloneAndReportsWhatItSkips) {
  TempDir dir;
  const std::string one = text(build_logger_file({can_frame(1, 0x100, {1, 2}, 10)}));
  ASSERT_TRUE(dir.write_file("top/in/a.mf4", one));
  ASSERT_TRUE(dir.write_file("top/in/sub/b.MF4", one));
  const std::string left_out = " I Left out 2 output file(s) (*_fin.MF4) and ";
  struct Step {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> lines;
    std::vector<const char*> made, absent = {};
    const char* add = nullptr;  // a file written before the step
  } steps[] = {
      {{"top/in"}, 0, {}, {"top/in_out/a_fin.MF4", "top/in_out/sub/b_fin.MF4"}},
      {{"-X", "top/in"}, 0, {}, {"top/in/a_fin.MF4", "top/in/sub/b_fin.MF4"}},
      // The second run converts the inputs again, never the first run's outputs; in_out is
      // the output folder of in.
      {{"-X", "top"},
       0,
       {left_out + "1 output folder(s) (*_out) of earlier runs; name them to convert them\n"},
       {},
       {"top/in/a_fin_fin.MF4", "top/in_out/a_fin_fin.MF4"}},
      {{"-X", "--verbosity", "4", "--skip-existing", "top/in"},
       0,
       {" V Skipping top/in/a.mf4: its output " + dir.file("top/in/a_fin.MF4") + " exists\n",
        " I Skipped 2 input(s) whose output exists\n"},
       {}},
      // Only a finished output counts: a temporary file of a killed run does not.
      {{"-X", "--skip-existing", "top/in"},
       0,
       {" I Skipped 2 input(s) whose output exists\n",
        " I Done: 1 file(s) converted, 0 failed, 2 skipped; 1 frames, "},
       {"top/in/c_fin.MF4"},
       {},
       "top/in/c.mf4"},
      {{"-X", "top/in/a_fin.MF4"}, 0, {}, {"top/in/a_fin_fin.MF4"}},
  };
  for (const Step& step : steps) {
    if (step.add != nullptr) {
      ASSERT_TRUE(dir.write_file(step.add, one));
      ASSERT_TRUE(dir.write_file(
          std::string(step.add, std::strlen(step.add) - 4) + "_fin.MF4.99999-1.part", "x"));
    }
    ProcessResult r = run_busfold(dir, step.args);
    SCOPED_TRACE(step.args.back() + " " + step.args.front());
    EXPECT_EQ(r.exit_status, step.status) << r.err;
    for (const std::string& line : step.lines)
      expect_logged(r, line);
    for (const char* name : step.made)
      EXPECT_TRUE(dir.exists(name)) << name;
    for (const char* name : step.absent)
      EXPECT_FALSE(dir.exists(name)) << name;
  }

  ASSERT_TRUE(dir.make_folder("locked/inner"));
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(dir.file("locked/inner").c_str(), 0), 0);
  ProcessResult r = run_in_shell(dir, "", true, {"-X", "locked"});
  ::chmod(dir.file("locked/inner").c_str(), 0755);
  EXPECT_EQ(r.exit_status, 129) << r.err;
  expect_logged(r, " W Could not read folder locked/inner: Permission denied\n");
}

TEST(EndToEnd, UnwrapsContainersWithTheDevicePassword) {
  TempDir dir;
  const Frames frames = test::mixed_can_frames(200, 9);
  const Bytes plain = build_logger_file(frames);
  const EncryptOptions device{.device_id = 0x00A1B2C3, .password = "secret"};
  const Bytes compressed = compressed_container_write(plain, {.device_id = 0x00A1B2C3});
  const Bytes encrypted = encrypted_container_write(plain, device);
  ASSERT_TRUE(dir.write_file("in/c.mfc", text(compressed)));
  ASSERT_TRUE(dir.write_file("in/e.mfe", text(encrypted)));
  ASSERT_TRUE(dir.write_file("in/ec.mfm", text(encrypted_container_write(compressed, device))));
  ASSERT_TRUE(dir.write_file("in/ce.mfm", text(compressed_container_write(encrypted, {}))));
  ASSERT_TRUE(dir.write_file("passwords.json", "{\"00a1b2c3\": \"secret\"}"));
  for (const char* buffer : {"-1", "0", "1000"}) {
    ProcessResult r = run_busfold(dir, {"-X", "--buffer", buffer, "in"});
    ASSERT_EQ(r.exit_status, 0) << buffer << r.err;
    for (const char* name : {"in/c_fin.MF4", "in/e_fin.MF4", "in/ec_fin.MF4", "in/ce_fin.MF4"})
      EXPECT_EQ(Output(dir, name).frames(), expected(frames)) << name;
  }
  ProcessResult nested = run_busfold(dir, {"-X", "in/ec.mfm"});
  const std::size_t compressed_at = nested.err.find(" I Found compressed file\n");
  ASSERT_NE(compressed_at, std::string::npos) << nested.err;
  EXPECT_LT(nested.err.find(" I Found encrypted file\n"), compressed_at);

  // No password for the device; then a wrong one, a corrupt payload and an unknown
  // container type, whose codes combine.
  ASSERT_TRUE(dir.write_file("passwords.json", "{\"00a1b2c4\": \"secret\"}"));
  ProcessResult r = run_busfold(dir, {"-X", "in/e.mfe"});
  EXPECT_EQ(r.exit_status, 2);
  expect_logged(r, " E No password found for device 00A1B2C3\n");
  ASSERT_TRUE(dir.write_file("passwords.json", "{\"default\": \"wrong\"}"));
  std::string corrupt = text(compressed), unknown_type = text(compressed);
  corrupt[40] ^= 0x55;
  unknown_type[14] = 5;
  ASSERT_TRUE(dir.write_file("bad/e.mfe", text(encrypted)));
  ASSERT_TRUE(dir.write_file("bad/corrupt.mfc", corrupt));
  ASSERT_TRUE(dir.write_file("bad/type5.mfc", unknown_type));
  r = run_busfold(dir, {"-X", "bad"});
  EXPECT_EQ(r.exit_status, 2 | 4 | 8);
  for (const char* line : {" E Could not decrypt file\n", " E Could not decompress file\n",
                           " E Could not validate checksum, expected ",
                           " E Error during conversion of bad/type5.mfc\n"})
    expect_logged(r, line);
  EXPECT_FALSE(dir.exists("bad/type5_fin.MF4"));
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A classic embedded frame; its payload length is its DLC.
Bytes embed(std::uint8_t sub, std::uint32_t id, const Bytes& payload) {
  const bool ide = id > 0x7FF;
  const auto dlc = static_cast<std::uint8_t>(payload.size());
  Bytes b = {static_cast<std::uint8_t>(sub << 5 | (ide ? 0x10 : 0) | dlc >> 1),
             static_cast<std::uint8_t>((dlc & 1) << 7 | (ide ? id >> 24 : (id >> 8) & 7))};
  if (ide) b.insert(b.end(), {std::uint8_t(id >> 16), std::uint8_t(id >> 8)});
  b.push_back(static_cast<std::uint8_t>(id));
  return cat({b, payload});
}

// Carriers on bus 1, id 0x7DF, 100 us apart: a single frame, or first and consecutive frames.
Frames carry(const Bytes& message, std::uint64_t time_us) {
  const auto size = static_cast<std::uint8_t>(message.size());
  std::vector<Bytes> pieces = {
      message.size() <= 7 ? Bytes{size} : Bytes{std::uint8_t(0x10 | message.size() >> 8), size}};
  for (std::uint8_t byte : message) {
    if (pieces.back().size() == 8) pieces.push_back({std::uint8_t(0x20 | pieces.size() % 16)});
    pieces.back().push_back(byte);
  }
  Frames frames;
  for (std::size_t i = 0; i < pieces.size(); ++i)
    frames.push_back(can_frame(1, 0x7DF, pieces[i], time_us + 100 * i));
  return frames;
}

TEST(EndToEnd, DemuxUnpacksCarriersOntoTheTargetBusesAcrossFiles) {
  const Bytes b8 = {1, 2, 3, 4, 5, 6, 7, 8};
  const Bytes tail = embed(0, 0x666, {9, 9});
  // Sub-channel 2 maps to no bus; 0x07 cannot start a frame and ends the message there.
  const Frames single = carry(embed(0, 0x123, {1, 2}), 200);
  const Frames multi = carry(cat({embed(1, 0x18DAF100, b8), embed(0, 0x456, {3, 4, 5}),
                                  embed(2, 0x7FF, {9}), Bytes{0x07}, embed(0, 0x333, {})}),
                             400);                                          // until 700
  const Frames split = carry(cat({embed(1, 0x555, b8), tail, tail}), 900);  // until 1200
  ASSERT_EQ(split.size(), 4u);
  LoggerFrame extended = can_frame(1, 0x7DF, {0x02, 0, 0}, 850);
  extended.ide = true;  // the 29-bit id 0x7DF carries nothing
  Frames first = {can_frame(1, 0x100, {1}, 100), single[0], can_frame(2, 0x200, {2}, 300)};
  first.insert(first.end(), multi.begin(), multi.end());
  first.insert(first.end(), {extended, split[0], split[1]});
  TempDir dir;
  ASSERT_TRUE(dir.write_file("in/a.mf4", text(build_logger_file(first))));
  ASSERT_TRUE(dir.write_file(
      "in/b.mf4", text(build_logger_file({can_frame(1, 0x101, {1}, 1050), split[2], split[3]}))));
  // A message of 25 carriers, whose sequence numbers wrap: 15 frames, then one a byte short.
  Bytes long_message;
  Frames long_expected;
  for (std::uint32_t i = 0; i < 15; ++i) {
    long_message = cat({long_message, embed(0, 0x400 + i, b8)});
    long_expected.push_back(can_frame(3, 0x400 + i, b8, 3700 + i));
  }
  long_message = cat({long_message, embed(0, 0x321, {1, 2, 3})});
  long_message.pop_back();
  const Frames long_carriers = carry(long_message, 1300);
  ASSERT_EQ(long_carriers.size(), 25u);
  ASSERT_TRUE(dir.write_file("in/c.mf4", text(build_logger_file(long_carriers))));
  ProcessResult r = run_busfold(dir, {"-X", "-m", "7DF:3;4", "-m", "7DF:5", "in"});
  ASSERT_EQ(r.exit_status, 0) << r.err;

  Output a(dir, "in/a_fin.MF4"), b(dir, "in/b_fin.MF4");
  ASSERT_TRUE(a.mdf && b.mdf);
  EXPECT_EQ(a.frames(), expected({can_frame(1, 0x100, {1}, 100), can_frame(3, 0x123, {1, 2}, 200),
                                  can_frame(2, 0x200, {2}, 300), can_frame(4, 0x18DAF100, b8, 700),
                                  can_frame(3, 0x456, {3, 4, 5}, 700), extended}));
  EXPECT_EQ(b.frames(),
            expected({can_frame(1, 0x101, {1}, 1050), can_frame(4, 0x555, b8, 1200),
                      can_frame(3, 0x666, {9, 9}, 1200), can_frame(3, 0x666, {9, 9}, 1201)}));
  EXPECT_EQ(Output(dir, "in/c_fin.MF4").frames(), expected(long_expected));
  // CAN 1 and 2 keep their record ids; the targets come between them and bus 9.
  const std::pair<const char*, int> ids[] = {{"LIN1_Frame", 0}, {"LIN2_TransmissionError", 9},
                                             {"CAN1_Rx", 10},   {"CAN2_Rx", 31},
                                             {"CAN3_Rx", 52},   {"CAN4_Rx", 73},
                                             {"CAN9_Rx", 94},   {"CAN9_Errors", 114},
                                             {"CAN5_Rx", -1}};
  for (auto [name, id] : ids) {
    EXPECT_EQ(a.record_id(name), id) << name;
    EXPECT_EQ(b.record_id(name), id) << name;
  }
}

// Files converted side by side show what converting them in order shows: the same output
// bytes, log lines in the same order, exit status and deletions. The long m.mf4 fails at its
// end, after the files behind it and a line of the walk's own; two files write one output,
// and with -X an output of the run is itself an input, both in walk order. With -m files go
// in order on one thread.
TEST(EndToEnd, ParallelRunsShowWhatSequentialRunsShow) {
  Bytes cut_short = build_logger_file(test::mixed_can_frames(20000, 2), {.finalized = true});
  std::uint8_t* dt_length = cut_short.data() + text(cut_short).rfind("##DT") + 8;
  store_le64(dt_length, load_le64(dt_length) - 5);
  auto logger = [](std::size_t frames, std::uint32_t seed) {
    return text(build_logger_file(test::mixed_can_frames(frames, seed)));
  };
  const std::pair<const char*, std::string> files[] = {
      {"day/a.mf4", logger(5, 1)},
      {"day/b.mf4", logger(2000, 3)},
      {"day/b_fin.MF4", logger(40, 4)},
      {"day/c.mf4", logger(20000, 5)},
      {"day/c.mfc",
       text(compressed_container_write(build_logger_file(test::mixed_can_frames(20, 6)), {}))},
      {"day/m.mf4", text(cut_short)},
      {"day/n.mfc",
       text(compressed_container_write(build_logger_file(test::mixed_can_frames(10, 7)), {}))},
      {"day/sub/bad.mf4", "neither container nor MDF"},
      {"day/sub/z.mf4", text(build_logger_file(carry({1, 2, 3, 4, 5, 6, 7, 8, 9}, 5)))},
  };
  struct Run {
    int status;
    std::string err;  // without times and ids
    std::map<std::string, std::string> files;
    int worker_lines = 0;  // logged by a thread other than the main one
  };
  auto run = [&](std::vector<std::string> args) {
    TempDir dir;
    for (const auto& [name, content] : files)
      EXPECT_TRUE(dir.write_file(name, content));
    EXPECT_EQ(::symlink("..", dir.file("day/sub/up").c_str()), 0);
    ProcessResult r = run_busfold(dir, args);
    Run out{r.exit_status, "", {}};
    // Times differ from run to run.
    const std::regex prefix(R"(^\S+ \S+ +(\d+) +(\d+) (.*)$)"), seconds(R"(\d+\.\d\d s\b)");
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      EXPECT_TRUE(std::regex_match(line, m, prefix)) << line;
      std::string shown = std::regex_replace(m[3].str(), seconds, "T s");
      if (const std::size_t at = shown.find(dir.path()); at != std::string::npos)
        shown.replace(at, dir.path().size(), "{}");
      out.err += shown + "\n";
      out.worker_lines += m[1] != m[2];
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
      if (!entry.is_regular_file()) continue;
      const std::string name = entry.path().string().substr(dir.path().size());
      out.files[name] = dir.read_file(name.substr(1)).value_or("");
    }
    return out;
  };
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-d", "day"}, {"-X", "day"}, {"-X", "-m", "7DF:3", "day"}}) {
    std::vector<std::string> one = args, two = args;
    one.insert(one.begin(), {"-j", "1"});
    two.insert(two.begin(), {"-j", "2"});
    const Run sequential = run(one), parallel = run(two);
    EXPECT_EQ(sequential.status, 8) << args[1];
    EXPECT_EQ(parallel.status, sequential.status) << args[1];
    EXPECT_EQ(parallel.err, sequential.err) << args[1];
    EXPECT_TRUE(parallel.files == sequential.files) << args[1];
    EXPECT_EQ(sequential.worker_lines, 0);
    EXPECT_EQ(parallel.worker_lines != 0, args[1] != "-m") << args[1] << parallel.err;
  }
}

}  // namespace
}  // namespace busfold
