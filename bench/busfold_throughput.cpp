// Whole-program throughput against cp. Generates each input once, then times busfold on it
// next to copying the same bytes with cp (cp -r for a folder) in the same run, and prints
// their ratio, busfold's MB/s and its peak resident memory:
//   plain (finalized) and unfinalized files of 2M frames, a compressed and an encrypted
//   container of 300k frames, a folder of 400 files of 5,000 frames, and an unfinalized
//   file of about 1 GiB.
//
//   busfold_throughput [scale] [jobs]   (scale: default 1, 0.1 makes every input ten times
//                                        smaller; jobs: busfold's -j, default its own)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/container_writer.h"
#include "tests/support/logger_file.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;
using namespace busfold::test;
constexpr int kRounds = 3;
const char* g_jobs = nullptr;  // busfold's -j value, or its default

struct Run {
  double seconds = 1e30;  // best of the rounds
  long peak_kib = 0;      // largest of the rounds
};

// Runs the program in `folder` with its stderr discarded; false when it fails. Spawned,
// not forked: a forked child would count this process's memory as its own.
bool run_once(const std::vector<std::string>& argv, const std::string& folder, Run& run) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const auto start = Clock::now();
  pid_t child = -1;
  const int spawned = posix_spawn(&child, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  if (spawned != 0 || wait4(child, &status, 0, &usage) != child) return false;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed with %d\n", argv[0].c_str(), status);
    return false;
  }
  run.seconds = std::min(run.seconds, seconds);
  run.peak_kib = std::max(run.peak_kib, usage.ru_maxrss);
  return true;
}

void write_file(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::uintmax_t bytes_below(const fs::path& path) {
  if (fs::is_regular_file(path)) return fs::file_size(path);
  std::uintmax_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(path)) {
    if (entry.is_regular_file()) total += entry.file_size();
  }
  return total;
}

// Times cp and busfold on one input (a file or a folder) of the scratch folder, in turns.
void measure(const char* what, const std::string& scratch, const std::string& input) {
  Run copy, convert;
  const bool folder = fs::is_directory(fs::path(scratch) / input);
  for (int round = 0; round < kRounds; ++round) {
    fs::remove_all(fs::path(scratch) / "copy");
    fs::remove_all(fs::path(scratch) / (input + "_out"));
    fs::remove(fs::path(scratch) / (fs::path(input).stem().string() + "_fin.MF4"));
    std::vector<std::string> cp = {"/bin/cp", input, "copy"};
    if (folder) cp.insert(cp.begin() + 1, "-r");
    std::vector<std::string> busfold = {BUSFOLD_BINARY, "--verbosity", "1", "--any-writer", input};
    if (g_jobs != nullptr) busfold.insert(busfold.begin() + 1, {"-j", g_jobs});
    if (!run_once(cp, scratch, copy) || !run_once(busfold, scratch, convert)) std::exit(1);
  }
  const double mb = static_cast<double>(bytes_below(fs::path(scratch) / input)) / 1e6;
  std::printf("| %-34s | %8.1f | %8.3f s | %8.3f s | %6.1f | %7.0f | %7.1f |\n", what, mb,
              convert.seconds, copy.seconds, convert.seconds / copy.seconds, mb / convert.seconds,
              static_cast<double>(convert.peak_kib) / 1024);
  std::fflush(stdout);
  fs::remove_all(fs::path(scratch) / "copy");
}

std::size_t scaled(double scale, std::size_t count) {
  return std::max<std::size_t>(1, static_cast<std::size_t>(static_cast<double>(count) * scale));
}

}  // namespace

// Generates inputs in a child process: the programs measured later must not start as copies
// of a process that held them in memory (their peak memory would count it).
template <class Generate> void in_child(Generate generate) {
  const pid_t child = fork();
  if (child == 0) {
    generate();
    _exit(0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || status != 0) std::exit(1);
}

int main(int argc, char** argv) {
  const double scale = argc > 1 ? std::strtod(argv[1], nullptr) : 1.0;
  if (argc > 2) g_jobs = argv[2];
  busfold::testing::TempDir dir;
  const fs::path scratch = dir.path();
  const std::string passwords = R"({"default": "password"})";
  write_file(scratch / "passwords.json", Bytes(passwords.begin(), passwords.end()));
  std::printf("| input | MB | busfold | cp | ratio | MB/s | peak RSS MiB |\n");
  std::printf("|---|---|---|---|---|---|---|\n");

  in_child([&] {
    const std::vector<LoggerFrame> frames = mixed_can_frames(scaled(scale, 2'000'000));
    write_file(scratch / "plain.mf4", build_logger_file(frames, {.finalized = true}));
    write_file(scratch / "unfinalized.mf4", build_logger_file(frames));
    const Bytes small = build_logger_file(mixed_can_frames(scaled(scale, 300'000)));
    write_file(scratch / "compressed.mfc", busfold::compressed_container_write(small));
    write_file(scratch / "encrypted.mfe", busfold::encrypted_container_write(small));
    for (std::size_t i = 0; i < scaled(scale, 400); ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "day/%03zu.mf4", i);
      write_file(scratch / name,
                 build_logger_file(mixed_can_frames(5'000, static_cast<std::uint32_t>(i + 1))));
    }
  });
  in_child([&] {
    // Other writers: sorted groups per bus and kind, blocks of 4 MiB as they write them.
    using busfold::test::Storage;
    const std::vector<LoggerFrame> frames = mixed_can_frames(scaled(scale, 2'000'000));
    const std::pair<const char*, Storage> shapes[] = {{"other_dt.mf4", Storage::plain},
                                                      {"other_dl.mf4", Storage::equal_list},
                                                      {"other_dz.mf4", Storage::header_list}};
    for (const auto& [name, storage] : shapes) {
      write_file(scratch / name, build_logger_file(frames, {.storage = storage,
                                                            .piece_bytes = 4 << 20,
                                                            .tool_id = "other",
                                                            .sorted = true}));
    }
  });
  measure("other writer, DT, 2M frames", scratch, "other_dt.mf4");
  measure("other writer, DL of 4 MiB DTs, 2M frames", scratch, "other_dl.mf4");
  measure("other writer, HL of 4 MiB DZs, 2M frames", scratch, "other_dz.mf4");
  for (const char* done : {"other_dt.mf4", "other_dl.mf4", "other_dz.mf4"})
    fs::remove_all(scratch / done);
  measure("finalized, 2M frames", scratch, "plain.mf4");
  measure("unfinalized, 2M frames", scratch, "unfinalized.mf4");
  measure("LZSS container, 300k frames", scratch, "compressed.mfc");
  measure("AES-256-GCM container, 300k frames", scratch, "encrypted.mfe");
  measure("folder, 400 files of 5,000 frames", scratch, "day");
  for (const char* done : {"plain.mf4", "unfinalized.mf4", "day", "day_out"})
    fs::remove_all(scratch / done);

  in_child([&] {
    write_file(scratch / "large.mf4",
               build_logger_file(mixed_can_frames(scaled(scale, 37'000'000))));
  });
  measure("unfinalized, about 1 GiB", scratch, "large.mf4");
  return 0;
}
