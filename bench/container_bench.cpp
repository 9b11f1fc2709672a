// Times the unwrapping of compressed and encrypted containers over MDF-like data.
// Usage: container_bench [MiB of content, default 64]
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include <time.h>

#include "base/bytes.h"
#include "io/compressed_container.h"
#include "io/container_header.h"
#include "io/encrypted_container.h"
#include "io/lzss_decoder.h"
#include "io/memory_stream.h"
#include "tests/support/container_writer.h"

namespace {

using namespace busfold;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// CAN frame records as a logger writes them: record id, growing timestamp, a
// handful of identifiers with their own payload patterns, counters and noise.
Bytes mdf_like_records(std::size_t size) {
  std::mt19937 rng(42);
  Bytes out;
  out.reserve(size + 32);
  std::uint64_t timestamp = 1'000'000;
  std::uint8_t counters[8] = {};
  const std::uint32_t ids[8] = {0x100, 0x101, 0x1A0, 0x200, 0x3F0, 0x18FEF100, 0x7E8, 0x80};
  while (out.size() < size) {
    std::uint8_t record[24] = {};
    unsigned which = rng() % 8;
    timestamp += 50 + rng() % 400;
    store_le16(record, static_cast<std::uint16_t>(1 + which % 3));
    store_le64(record + 2, timestamp);
    store_le32(record + 10, ids[which]);
    record[14] = 8;
    record[15] = counters[which]++;
    record[16] = static_cast<std::uint8_t>(which * 17);
    store_le16(record + 17, static_cast<std::uint16_t>(1200 + rng() % 16));  // a slow signal
    record[19] = (rng() % 8 == 0) ? static_cast<std::uint8_t>(rng()) : 0;
    out.insert(out.end(), record, record + sizeof record);
  }
  out.resize(size);
  return out;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The processor time of this thread, the kernel's on its behalf (page faults) included: on
// a machine shared with other work it moves far less than the wall clock.
double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Timing {
  double wall = 1e30;
  double cpu = 1e30;
};

// Best of three: runs `open` over a fresh in-memory source holding `file`.
template <typename Open>
Timing best_open_seconds(const Bytes& file, const Bytes& expected, Open open) {
  Timing best;
  for (int run = 0; run < 3; ++run) {
    auto source = memory_stream_from(file);
    ContainerHeader header;
    if (!source || !container_identify(*source, header)) std::exit(1);
    auto start = Clock::now();
    const double cpu_start = thread_seconds();
    Result<StreamPtr> opened = open(*source, header);
    const double cpu = thread_seconds() - cpu_start;
    double took = seconds_since(start);
    if (!opened.ok() || stream_size(opened->get()) != static_cast<std::int64_t>(expected.size())) {
      std::fprintf(stderr, "open failed\n");
      std::exit(1);
    }
    best.wall = std::min(best.wall, took);
    best.cpu = std::min(best.cpu, cpu);
  }
  return best;
}

void report(const char* what, std::size_t bytes, double seconds) {
  std::printf("%-44s %8.1f ms %9.1f MB/s\n", what, seconds * 1e3,
              static_cast<double>(bytes) / seconds / 1e6);
}

void report(const char* what, std::size_t bytes, Timing timing) {
  std::printf("%-44s %8.1f ms %9.1f MB/s  (processor time %6.1f ms %7.1f MB/s)\n", what,
              timing.wall * 1e3, static_cast<double>(bytes) / timing.wall / 1e6, timing.cpu * 1e3,
              static_cast<double>(bytes) / timing.cpu / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const Bytes content = mdf_like_records(mib << 20);
  std::printf("content: %zu bytes of MDF-like records; MB/s are of output\n", content.size());

  Bytes copy(content.size());
  auto start = Clock::now();
  std::memcpy(copy.data(), content.data(), content.size());
  report("memcpy (reference)", content.size(), seconds_since(start));

  const int params[][2] = {{11, 4}, {13, 6}, {15, 14}};
  for (const auto& p : params) {
    start = Clock::now();
    Bytes file = compressed_container_write(
        content, {.window_bits = p[0], .lookahead_bits = p[1], .footer = true});
    double encode = seconds_since(start);
    char label[96];
    std::snprintf(label, sizeof label, "compressed open W %d L %d (ratio %.2f)", p[0], p[1],
                  static_cast<double>(content.size()) / static_cast<double>(file.size()));
    report(label, content.size(),
           best_open_seconds(file, content, [](Stream& s, const ContainerHeader& h) {
             return compressed_container_open(s, h);
           }));
    // The decoder on its own, into output memory already mapped: the open above also pays
    // the kernel for every fresh page of content it fills.
    const std::span<const std::uint8_t> payload{file.data() + kCompressedPayloadOffset,
                                                file.size() - kCompressedPayloadOffset - 4};
    Bytes out(content.size() + lzss_room_needed(p[1]), 1);
    double alone = 1e30;
    for (int run = 0; run < 3; ++run) {
      auto decoder = LzssDecoder::create(p[0], p[1]);
      decoder->feed(payload);
      const double cpu_start = thread_seconds();
      const std::size_t size = decoder->decode_onto(out.data(), 0, out.size());
      alone = std::min(alone, thread_seconds() - cpu_start);
      if (size != content.size() || std::memcmp(out.data(), content.data(), size) != 0) {
        std::fprintf(stderr, "decoder output differs\n");
        return 1;
      }
    }
    report("  decoder alone, into mapped memory", content.size(), alone);
    std::printf("  (test encoder took %.1f s)\n", encode);
  }

  const std::string_view password = "password";
  const std::span<const std::uint8_t> password_bytes{
      reinterpret_cast<const std::uint8_t*>(password.data()), password.size()};
  const Bytes sealed = encrypted_container_write(content, {.iterations = 1});
  report("encrypted open (1 PBKDF2 iteration)", content.size(),
         best_open_seconds(sealed, content, [&](Stream& s, const ContainerHeader& h) {
           return encrypted_container_open(s, h, password_bytes);
         }));

  std::array<std::uint8_t, kEncryptedKeySize> key{};
  const std::uint8_t salt[kEncryptedSaltSize] = {};
  start = Clock::now();
  if (!encrypted_container_derive_key(password_bytes, salt, 10000, key)) return 1;
  std::printf("%-44s %8.1f ms\n", "key derivation, 10000 iterations", seconds_since(start) * 1e3);
  return 0;
}
