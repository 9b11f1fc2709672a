// Runs the real busfold program on generated logger files and reads what it wrote back
// with our own loader: frames, groups, cycle counts, file identity and exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

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

constexpr std::uint64_t kGoldenStartTime = 1700000000123456789ull;

std::string as_text(const std::vector<std::uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::vector<std::uint8_t> as_bytes(const std::string& text) { return {text.begin(), text.end()}; }

ProcessResult run_busfold(const TempDir& dir, const std::vector<std::string>& args) {
  return testing::run_process(BUSFOLD_BINARY, args, dir.path());
}

std::string golden(const char* name) {
  std::string path = std::string(BUSFOLD_GOLDEN_DIR) + "/" + name;
  FILE* f = std::fopen(path.c_str(), "rb");
  std::string bytes;
  if (f == nullptr) return bytes;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
    bytes.append(chunk, n);
  std::fclose(f);
  return bytes;
}

// What a frame of the output decodes back to, in a form that compares with the input.
struct OutputFrame {
  unsigned bus;
  bool tx, ide, edl, brs, esi;
  std::uint32_t id;
  unsigned dlc;
  std::uint64_t time_us;
  std::vector<std::uint8_t> payload;
  bool operator==(const OutputFrame&) const = default;
};

std::ostream& operator<<(std::ostream& os, const OutputFrame& f) {
  return os << "bus " << f.bus << " tx " << f.tx << " id " << std::hex << f.id << std::dec
            << " dlc " << f.dlc << " t " << f.time_us;
}

OutputFrame expected(const LoggerFrame& f) {
  return {f.bus, f.tx, f.ide, f.edl, f.brs, f.esi, f.id, f.dlc, f.time_us, f.payload};
}

// An output file as our loader sees it.
struct Output {
  std::unique_ptr<MemoryStream> stream;
  std::unique_ptr<MdfFile> mdf;

  DgBlock* dg() const { return block_cast<DgBlock>(mdf->hd()->data_groups.at(0)); }
  const CgBlock* group(std::string_view name) const {
    for (const BlockRef& ref : dg()->channel_groups) {
      const CgBlock* cg = block_cast<CgBlock>(ref);
      if (cg != nullptr && block_text(cg->acq_name) == name) return cg;
    }
    return nullptr;
  }
  // The group right after the named one: its VLSD group for the FD-over-8 groups.
  const CgBlock* group_after(std::string_view name) const {
    const auto& groups = dg()->channel_groups;
    for (std::size_t i = 0; i + 1 < groups.size(); ++i) {
      if (block_text(block_cast<CgBlock>(groups[i])->acq_name) == name) {
        return block_cast<CgBlock>(groups[i + 1]);
      }
    }
    return nullptr;
  }
  std::vector<OutputFrame> frames() const {
    std::vector<OutputFrame> out;
    RecordReader reader(*dg());
    BusFrame frame{};
    RecordIterator it(reader, &frame);
    for (bool more = it.begin(); more; more = it.next()) {
      EXPECT_EQ(frame.kind, kCanDataFrame);
      const CanFrameFields& c = frame.can;
      std::size_t length = std::min<std::size_t>(frame.data_length, kCanPayloadSize);
      out.push_back({c.bus, c.dir != 0, c.ide != 0, c.edl != 0, c.brs != 0, c.esi != 0, c.can_id,
                     c.dlc, c.seconds * 1000000ull + c.microseconds,
                     std::vector<std::uint8_t>(c.payload, c.payload + length)});
    }
    EXPECT_FALSE(read_end_failed(it.end()));
    return out;
  }
};

Output load_output(const TempDir& dir, std::string_view relative) {
  Output out;
  std::optional<std::string> bytes = dir.read_file(relative);
  EXPECT_TRUE(bytes) << relative;
  if (!bytes) return out;
  out.stream = memory_stream_from(as_bytes(*bytes));
  out.mdf = file_or_null(mdf_open(*out.stream, &bus_channel_classifier()));
  EXPECT_NE(out.mdf, nullptr) << relative;
  return out;
}

// Whether an output's temporary file (<name>_fin.MF4.<unique>.part) was left anywhere.
bool has_temporary_file(const TempDir& dir) {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
    if (entry.path().filename().string().ends_with(".part")) return true;
  }
  return false;
}

bool has_line(const ProcessResult& r, const std::string& text) {
  return r.err.find(text) != std::string::npos;
}

TEST(EndToEnd, WritesTheReferenceOutputsByteForByte) {
  TempDir dir;
  ASSERT_TRUE(dir.write_file("small_logger.mf4", golden("small_logger.mf4")));
  ASSERT_TRUE(dir.write_file("empty/none.mf4",
                             as_text(build_logger_file({}, {.start_time_ns = kGoldenStartTime}))));

  ProcessResult r = run_busfold(dir, {"small_logger.mf4"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(dir.read_file("small_logger_fin.MF4"), golden("small_logger_fin.MF4"));

  r = run_busfold(dir, {"-X", "empty"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(dir.read_file("empty/none_fin.MF4"), golden("no_frames_fin.MF4"));
}

TEST(EndToEnd, CarriesEveryFrameIntoItsGroupAndFinalizes) {
  TempDir dir;
  const std::vector<LoggerFrame> frames = test::mixed_can_frames(3000, 5);
  ASSERT_TRUE(dir.write_file("unfinalized.mf4", as_text(build_logger_file(frames))));
  ASSERT_TRUE(
      dir.write_file("finalized.mf4", as_text(build_logger_file(frames, {.finalized = true}))));
  // Data groups recording side by side are merged by time, not written one after another.
  ASSERT_TRUE(dir.write_file("groups.mf4", as_text(build_logger_file(frames, {.data_groups = 4}))));

  ProcessResult r = run_busfold(dir, {"unfinalized.mf4", "finalized.mf4", "groups.mf4"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_FALSE(has_line(r, " moved forward in time")) << r.err;

  std::vector<OutputFrame> wanted;
  for (const LoggerFrame& f : frames)
    wanted.push_back(expected(f));
  for (const char* name : {"unfinalized_fin.MF4", "finalized_fin.MF4", "groups_fin.MF4"}) {
    Output out = load_output(dir, name);
    ASSERT_TRUE(out.mdf);
    const IdBlock* id = out.mdf->id_block();
    EXPECT_STREQ(id->file_id(), "MDF     ");
    EXPECT_EQ(id->id_unfin_flags, 0);
    EXPECT_EQ(out.mdf->hd()->hd_start_time_ns, 1700000000000000000ull);
    EXPECT_EQ(out.frames(), wanted) << name;

    // Cycle counts and data sizes add up to the data block, record ids included.
    std::uint64_t bytes = 0;
    for (const BlockRef& ref : out.dg()->channel_groups) {
      const CgBlock* cg = block_cast<CgBlock>(ref);
      if (cg->cg_flags & kCgFlagVlsd) {
        bytes += cg->cg_data_bytes;
      } else {
        bytes += cg->cg_cycle_count * (2 + cg->cg_data_bytes);
      }
    }
    std::uint64_t long_frames = std::count_if(frames.begin(), frames.end(),
                                              [](const auto& f) { return f.edl && f.dlc > 8; });
    EXPECT_EQ(bytes + long_frames * 6, block_cast<DtBlock>(out.dg()->data)->data_size());
  }
}

TEST(EndToEnd, CountsRecordsAndSignalBytesPerGroup) {
  TempDir dir;
  std::vector<LoggerFrame> classic = {can_frame(1, 0x10, {1, 2, 3, 4, 5, 6, 7, 8}, 100),
                                      can_frame(1, 0x11, {1}, 200), can_frame(1, 0x12, {}, 300)};
  std::vector<LoggerFrame> fd = {can_frame(2, 0x20, std::vector<std::uint8_t>(12, 0xAA), 100),
                                 can_frame(2, 0x21, std::vector<std::uint8_t>(64, 0xBB), 200)};
  ASSERT_TRUE(dir.write_file("classic.mf4", as_text(build_logger_file(classic))));
  ASSERT_TRUE(dir.write_file("fd.mf4", as_text(build_logger_file(fd))));
  ASSERT_EQ(run_busfold(dir, {"classic.mf4", "fd.mf4"}).exit_status, 0);

  Output c = load_output(dir, "classic_fin.MF4");
  ASSERT_TRUE(c.mdf);
  EXPECT_EQ(c.group("CAN1_Rx")->cg_cycle_count, 3u);
  EXPECT_EQ(c.group("CAN1_Tx")->cg_cycle_count, 0u);
  EXPECT_EQ(c.group("LIN1_Frame")->cg_cycle_count, 0u);
  EXPECT_EQ(block_cast<DtBlock>(c.dg()->data)->length, 24u + 3 * 18);

  Output f = load_output(dir, "fd_fin.MF4");
  ASSERT_TRUE(f.mdf);
  EXPECT_EQ(f.group("CAN2_Rx_FD_DLC_over_8")->cg_cycle_count, 2u);
  EXPECT_EQ(f.group_after("CAN2_Rx_FD_DLC_over_8")->cg_data_bytes, 76u);
  EXPECT_EQ(f.group_after("CAN2_Rx_FD_DLC_over_8")->cg_cycle_count, 0u);
}

TEST(EndToEnd, MirrorsFoldersIntoTheOutputTree) {
  TempDir dir;
  const std::string input = as_text(build_logger_file({can_frame(1, 0x100, {1}, 10)}));
  ASSERT_TRUE(dir.write_file("logs/2024/a/b.MF4", input));
  ASSERT_TRUE(dir.write_file("logs/2024/notes.txt", "skipped"));
  ASSERT_TRUE(dir.make_folder("out"));

  EXPECT_EQ(run_busfold(dir, {"logs/2024"}).exit_status, 0);
  EXPECT_TRUE(dir.exists("logs/2024_out/a/b_fin.MF4"));
  EXPECT_EQ(run_busfold(dir, {"-X", "logs/2024"}).exit_status, 0);
  EXPECT_TRUE(dir.exists("logs/2024/a/b_fin.MF4"));
  EXPECT_EQ(run_busfold(dir, {"-O", "out", "logs/2024/"}).exit_status, 0);
  EXPECT_TRUE(dir.exists("out/2024_out/a/b_fin.MF4"));
  EXPECT_FALSE(dir.exists("out/2024_out/notes.txt"));
}

TEST(EndToEnd, ReportsFailuresPerFileAndKeepsTheirInputs) {
  TempDir dir;
  std::vector<LoggerFrame> frames = {can_frame(1, 0x100, {1, 2}, 10)};
  LoggerFrame lin;
  lin.kind = test::LoggerFrameKind::lin;
  lin.id = 0x21;
  lin.dlc = 2;
  lin.payload = {7, 8};
  lin.time_us = 20;
  std::vector<LoggerFrame> with_lin = frames;
  with_lin.push_back(lin);
  ASSERT_TRUE(dir.write_file("in/good.mf4", as_text(build_logger_file(frames))));
  ASSERT_TRUE(dir.write_file("in/lin.mf4", as_text(build_logger_file(with_lin))));
  ASSERT_TRUE(dir.write_file("in/broken.mf4", "neither container nor MDF"));

  ProcessResult r = run_busfold(dir, {"-d", "-X", "in"});
  EXPECT_EQ(r.exit_status, 8) << r.err;
  EXPECT_FALSE(dir.exists("in/good.mf4"));  // converted: deleted
  EXPECT_TRUE(dir.exists("in/good_fin.MF4"));
  EXPECT_TRUE(dir.exists("in/lin.mf4"));  // a LIN frame is not carried over: kept
  EXPECT_TRUE(dir.exists("in/lin_fin.MF4"));
  EXPECT_TRUE(dir.exists("in/broken.mf4"));
  EXPECT_FALSE(dir.exists("in/broken_fin.MF4"));
  EXPECT_TRUE(has_line(r, " E Could not open MDF\n"));
  EXPECT_TRUE(has_line(r, " E Error during conversion of in/lin.mf4\n"));
  EXPECT_TRUE(has_line(r, " E Error during conversion of in/broken.mf4\n"));

  Output out = load_output(dir, "in/lin_fin.MF4");
  ASSERT_TRUE(out.mdf);
  EXPECT_EQ(out.frames(), std::vector<OutputFrame>{expected(frames[0])});
}

TEST(EndToEnd, NeverPublishesOrDeletesWhenTheOutputCannotBeCompleted) {
  TempDir dir;
  ASSERT_TRUE(dir.write_file("a.mf4", as_text(build_logger_file({can_frame(1, 1, {1}, 1)}))));
  // A folder in the way of the output's final name: it cannot be published.
  ASSERT_TRUE(dir.write_file("a_fin.MF4/keep", "x"));
  ProcessResult r = run_busfold(dir, {"-d", "a.mf4"});
  EXPECT_EQ(r.exit_status, 8);
  EXPECT_TRUE(has_line(r, " E Could not write output file a_fin.MF4\n")) << r.err;
  EXPECT_TRUE(dir.exists("a.mf4"));
  EXPECT_FALSE(has_temporary_file(dir));

  // An unknown record id cuts the data short: what was read is written, the input kept.
  std::vector<std::uint8_t> file =
      build_logger_file({can_frame(1, 1, {1}, 1), can_frame(1, 2, {2}, 2)});
  ASSERT_TRUE(dir.write_file("b.mf4", as_text(file)));
  std::string bytes = *dir.read_file("b.mf4");
  // The data block is last: its second record's id becomes one no group has.
  std::size_t second_record = bytes.size() - 18;
  bytes[second_record] = '\x77';
  bytes[second_record + 1] = '\x77';
  ASSERT_TRUE(dir.write_file("b.mf4", bytes));
  r = run_busfold(dir, {"-d", "b.mf4"});
  EXPECT_EQ(r.exit_status, 8);
  EXPECT_TRUE(has_line(r, " E Unknown record id 30583 at offset 18\n")) << r.err;
  EXPECT_TRUE(dir.exists("b.mf4"));
  Output out = load_output(dir, "b_fin.MF4");
  ASSERT_TRUE(out.mdf);
  EXPECT_EQ(out.frames().size(), 1u);

  // A finalized data block whose length ends inside a record is damage, not the tail of
  // a stopped recording.
  file = build_logger_file({can_frame(1, 1, {1}, 1), can_frame(1, 2, {2}, 2)}, {.finalized = true});
  std::string cut = as_text(file);
  const std::size_t dt = cut.rfind("##DT");
  ASSERT_NE(dt, std::string::npos);
  cut[dt + 8] = static_cast<char>(cut[dt + 8] - 5);
  ASSERT_TRUE(dir.write_file("c.mf4", cut));
  r = run_busfold(dir, {"-d", "c.mf4"});
  EXPECT_EQ(r.exit_status, 8);
  EXPECT_TRUE(has_line(r, " is cut short; 13 bytes left unread\n")) << r.err;
  EXPECT_TRUE(dir.exists("c.mf4"));
}

TEST(EndToEnd, UnwrapsContainersWithTheDevicePassword) {
  TempDir dir;
  const std::vector<LoggerFrame> frames = test::mixed_can_frames(200, 9);
  const std::vector<std::uint8_t> plain = build_logger_file(frames);
  const EncryptOptions device{.device_id = 0x00A1B2C3, .password = "secret"};
  const std::vector<std::uint8_t> compressed =
      compressed_container_write(plain, {.device_id = 0x00A1B2C3});
  const std::vector<std::uint8_t> encrypted = encrypted_container_write(plain, device);
  std::vector<std::uint8_t> corrupt = compressed;
  corrupt[40] ^= 0x55;

  ASSERT_TRUE(dir.write_file("in/c.mfc", as_text(compressed)));
  ASSERT_TRUE(dir.write_file("in/e.mfe", as_text(encrypted)));
  ASSERT_TRUE(dir.write_file("in/ec.mfm", as_text(encrypted_container_write(compressed, device))));
  ASSERT_TRUE(dir.write_file("in/ce.mfm", as_text(compressed_container_write(encrypted, {}))));
  ASSERT_TRUE(dir.write_file("passwords.json", "{\"00a1b2c3\": \"secret\"}"));

  for (const char* buffer : {"-1", "0", "1000"}) {
    ProcessResult r = run_busfold(dir, {"-X", "--buffer", buffer, "in"});
    ASSERT_EQ(r.exit_status, 0) << buffer << r.err;
    for (const char* name : {"in/c_fin.MF4", "in/e_fin.MF4", "in/ec_fin.MF4", "in/ce_fin.MF4"}) {
      Output out = load_output(dir, name);
      ASSERT_TRUE(out.mdf) << name;
      EXPECT_EQ(out.frames().size(), frames.size()) << name;
    }
  }
  ProcessResult nested = run_busfold(dir, {"-X", "in/ec.mfm"});
  std::size_t encrypted_at = nested.err.find(" I Found encrypted file\n");
  std::size_t compressed_at = nested.err.find(" I Found compressed file\n");
  ASSERT_NE(compressed_at, std::string::npos) << nested.err;
  EXPECT_LT(encrypted_at, compressed_at);

  // The failures: no password for the device, a wrong one, a corrupt payload, an unknown
  // container type. Their codes combine.
  ASSERT_TRUE(dir.write_file("passwords.json", "{\"00a1b2c4\": \"secret\"}"));
  ProcessResult r = run_busfold(dir, {"-X", "in/e.mfe"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_TRUE(has_line(r, " E No password found for device 00A1B2C3\n")) << r.err;

  ASSERT_TRUE(dir.write_file("passwords.json", "{\"default\": \"wrong\"}"));
  std::string unknown_type = as_text(compressed);
  unknown_type[14] = 5;
  ASSERT_TRUE(dir.write_file("bad/e.mfe", as_text(encrypted)));
  ASSERT_TRUE(dir.write_file("bad/corrupt.mfc", as_text(corrupt)));
  ASSERT_TRUE(dir.write_file("bad/type5.mfc", unknown_type));
  r = run_busfold(dir, {"-X", "bad"});
  EXPECT_EQ(r.exit_status, 2 | 4 | 8);
  EXPECT_TRUE(has_line(r, " E Could not decrypt file\n"));
  EXPECT_TRUE(has_line(r, " E Could not decompress file\n"));
  EXPECT_TRUE(has_line(r, " E Could not validate checksum, expected "));
  EXPECT_TRUE(has_line(r, " E Error during conversion of bad/type5.mfc\n"));
  EXPECT_FALSE(dir.exists("bad/type5_fin.MF4"));
}

}  // namespace
}  // namespace busfold
