// Whole-program throughput: generates a plain logger file of mixed CAN frames (classic,
// FD up to 8 and FD over 8 bytes, 11- and 29-bit, Rx and Tx, buses 1, 2 and 9), runs the
// busfold program on it and compares with copying the same file with cp.
//
//   busfold_throughput [frames]      (default 2 000 000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/logger_file.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using busfold::testing::run_process;
constexpr int kRounds = 3;

// Best wall time of a few runs of the command; negative when a run failed.
double best_time(const std::string& program, const std::vector<std::string>& args,
                 const std::string& folder) {
  double best = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    auto start = Clock::now();
    busfold::testing::ProcessResult r = run_process(program, args, folder);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (r.exit_status != 0) {
      std::fprintf(stderr, "%s failed with %d:\n%s", program.c_str(), r.exit_status, r.err.c_str());
      return -1;
    }
    best = std::min(best, seconds);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t frames = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2'000'000;
  busfold::testing::TempDir dir;
  {
    std::vector<std::uint8_t> file =
        busfold::test::build_logger_file(busfold::test::mixed_can_frames(frames), {});
    std::ofstream out(dir.file("input.mf4"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
    std::printf("input: %zu frames, %.1f MB (unfinalized logger file)\n", frames,
                static_cast<double>(file.size()) / 1e6);
  }
  const double mb =
      static_cast<double>(
          std::ifstream(dir.file("input.mf4"), std::ios::ate | std::ios::binary).tellg()) /
      1e6;

  double copy = best_time("/bin/cp", {"input.mf4", "copy.mf4"}, dir.path());
  double run = best_time(BUSFOLD_BINARY, {"--verbosity", "1", "input.mf4"}, dir.path());
  if (copy < 0 || run < 0) return 1;
  std::printf("cp:      %8.1f ms  %8.1f MB/s\n", copy * 1e3, mb / copy);
  std::printf("busfold: %8.1f ms  %8.1f MB/s  %6.2f M frames/s  %.2fx the time of cp\n", run * 1e3,
              mb / run, static_cast<double>(frames) / run / 1e6, run / copy);
  return 0;
}
