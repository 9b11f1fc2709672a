// Record decoding speed: a logger-shaped file of one million CAN data frames held in
// memory, opened with the bus classifier and walked record by record into BusFrames, as
// the pipeline does. Prints records per second and MB/s of file read, next to a plain
// copy of the same bytes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "base/log.h"
#include "buslog/bus_classifier.h"
#include "buslog/bus_frame.h"
#include "io/buffered_stream.h"
#include "io/memory_stream.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/mdf_file.h"
#include "mdf/record_reader.h"
#include "tests/support/logger_file.h"
#include "tests/support/no_view_stream.h"

// Counts allocations, to show that the walk makes none per record.
static std::size_t g_allocations = 0;
__attribute__((noinline)) void* operator new(std::size_t n) {
  ++g_allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace busfold;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFrames = 1'000'000;
constexpr int kRounds = 3;

std::vector<std::uint8_t> make_file() {
  return test::build_logger_file(test::mixed_can_frames(kFrames), {.finalized = true});
}

struct WalkResult {
  double open_s = 0;
  double walk_s = 0;
  std::size_t records = 0;
  std::size_t data_frames = 0;
  std::size_t allocations = 0;
  std::uint64_t checksum = 0;
};

WalkResult open_and_walk(Stream& stream) {
  WalkResult result;
  auto start = Clock::now();
  std::unique_ptr<MdfFile> mdf = file_or_null(mdf_open(stream, &bus_channel_classifier()));
  auto opened = Clock::now();
  result.open_s = std::chrono::duration<double>(opened - start).count();
  if (!mdf) return result;
  auto* dg = block_cast<DgBlock>(mdf->hd()->data_groups.at(0));
  RecordReader reader(*dg);
  BusFrame frame;
  RecordIterator it(reader, &frame);
  std::size_t allocations_before = g_allocations;
  for (bool more = it.begin(); more; more = it.next()) {
    ++result.records;
    if (frame.kind == kCanDataFrame) {
      ++result.data_frames;
      result.checksum += frame.can.can_id + frame.can.microseconds + frame.can.payload[0];
    }
  }
  result.walk_s = std::chrono::duration<double>(Clock::now() - opened).count();
  result.allocations = g_allocations - allocations_before;
  return result;
}

// Runs a walk a few times and prints the best; false when it did not give every frame back.
bool report(const char* name, const std::function<WalkResult()>& run, std::size_t file_bytes,
            double copy_s) {
  WalkResult best;
  for (int round = 0; round < kRounds; ++round) {
    WalkResult r = run();
    if (round == 0 || r.walk_s < best.walk_s) best = r;
  }
  double mb = static_cast<double>(file_bytes) / 1e6;
  std::printf("%-28s %8zu records (%zu CAN data frames)  open %6.1f ms  walk %7.1f ms  "
              "%6.2f M records/s  %7.1f MB/s  %5.1fx copy time  %zu allocations  [check %llu]\n",
              name, best.records, best.data_frames, best.open_s * 1e3, best.walk_s * 1e3,
              static_cast<double>(best.records) / best.walk_s / 1e6, mb / best.walk_s,
              best.walk_s / copy_s, best.allocations,
              static_cast<unsigned long long>(best.checksum));
  return best.data_frames == kFrames;
}

}  // namespace

int main() {
  set_log_threshold(kLogError);
  auto build_start = Clock::now();
  std::vector<std::uint8_t> file = make_file();
  std::printf("file: %zu bytes, %zu frames, built in %.1f s\n", file.size(), kFrames,
              std::chrono::duration<double>(Clock::now() - build_start).count());

  // The floor: copying the file once.
  std::vector<std::uint8_t> copy(file.size());
  double copy_s = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    auto start = Clock::now();
    std::memcpy(copy.data(), file.data(), file.size());
    copy_s = std::min(copy_s, std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::printf("memcpy of the file: %.2f ms (%.0f MB/s)\n", copy_s * 1e3,
              static_cast<double>(file.size()) / 1e6 / copy_s);

  auto memory = memory_stream_from(file);
  bool ok = true;
  ok &= report(
      "memory stream (views)", [&] { return open_and_walk(*memory); }, file.size(), copy_s);
  ok &= report(
      "buffered whole file",
      [&] {
        test::NoViewStream inner(*memory);
        auto buffered = buffered_stream_new(inner, file.size());
        return open_and_walk(*buffered);
      },
      file.size(), copy_s);
  ok &= report(
      "buffered 64 KiB window",
      [&] {
        test::NoViewStream inner(*memory);
        auto buffered = buffered_stream_new(inner, std::uint64_t{64} * 1024);
        return open_and_walk(*buffered);
      },
      file.size(), copy_s);
  ok &= report(
      "no views (read per record)",
      [&] {
        test::NoViewStream inner(*memory);
        return open_and_walk(inner);
      },
      file.size(), copy_s);
  if (!ok) std::printf("error: some walk did not decode every frame\n");
  return ok ? 0 : 1;
}
