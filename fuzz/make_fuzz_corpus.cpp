// make_fuzz_corpus <folder> [file...]: writes the seeds of the fuzz targets with the test
// writers: logger files (every CAN layout, remote, error and LIN frames, finalized or not, cut
// short, two data groups), containers of every kind (encrypted ones with "password" and 2
// key-derivation rounds, so that the harnesses open them), LZSS noise and password texts.
// The files named join the mdf and convert seeds.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/container_writer.h"
#include "tests/support/logger_file.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using namespace busfold;
using namespace busfold::test;

// Any failure ends the program with the library's message.
void write(const fs::path& folder, const std::string& name, std::span<const std::uint8_t> bytes) {
  fs::create_directories(folder);
  std::ofstream out;
  out.exceptions(std::ios::failbit | std::ios::badbit);
  out.open(folder / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <folder> [file...]\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  const fs::path mdf = root / "mdf", container = root / "container", password = root / "password",
                 convert = root / "convert";

  std::vector<LoggerFrame> mixed = mixed_can_frames(12, 5);
  mixed.push_back({.kind = LoggerFrameKind::can_remote, .id = 0x321, .dlc = 2, .time_us = 9000});
  mixed.push_back({.kind = LoggerFrameKind::lin,
                   .id = 0x21,
                   .dlc = 4,
                   .time_us = 9100,
                   .payload = {9, 8, 7, 6}});
  mixed.push_back({.kind = LoggerFrameKind::can_error, .id = 3, .time_us = 9200});
  const Bytes small = build_logger_file(mixed_can_frames(6, 6), {.finalized = true});
  const Bytes logger = build_logger_file(mixed);
  for (const fs::path& folder : {mdf, convert}) {
    write(folder, "logger.mf4", logger);
    // The recorder stopped inside the last record.
    write(folder, "logger_cut.mf4", std::span(logger).first(logger.size() - 1));
    write(folder, "logger_finalized.mf4", small);
    write(folder, "two_groups.mf4",
          build_logger_file(mixed_can_frames(8, 7), {.finalized = true, .data_groups = 2}));
  }

  EncryptOptions encrypt{.device_id = 0x00A1B2C3, .iterations = 2};
  const Bytes compressed = compressed_container_write(small);
  const Bytes encrypted = encrypted_container_write(small, encrypt);
  for (const fs::path& folder : {container, convert}) {
    write(folder, "compressed.mfc", compressed);
    write(folder, "encrypted.mfe", encrypted);
    write(folder, "encrypted_compressed.mfm", encrypted_container_write(compressed, encrypt));
    write(folder, "compressed_encrypted.mfm",
          compressed_container_write(encrypted, {.window_bits = 6, .lookahead_bits = 3}));
  }
  write(container, "compressed_no_footer.mfc",
        compressed_container_write(Bytes(27, 'a'),
                                   {.window_bits = 8, .lookahead_bits = 4, .footer = false}));
  write(container, "encrypted_empty.mfe", encrypted_container_write({}, encrypt));
  // Noise under every window and lookahead the decoder takes.
  std::uint32_t state = 1;
  for (int w = 4; w <= 15; ++w) {
    for (int l = 3; l < w; l += 4) {
      Bytes noise(48);
      for (auto& byte : noise)
        byte = static_cast<std::uint8_t>((state = state * 1664525u + 1013904223u) >> 24);
      write(container, "noise_w" + std::to_string(w) + "_l" + std::to_string(l) + ".mfc",
            compressed_container_wrap(noise, 1u << w, static_cast<std::uint32_t>(l), false));
    }
  }

  // Passwords with escapes, ids in both cases, a repeated key; and shapes to refuse.
  const std::string_view texts[] = {
      "{\n  \"default\": \"secret\",\n  \"00A1B2C3\": \"pass\\\"word\",\n"
      "  \"00a1b2c3\" :\r\n \"x\",\n  \"\": \"\"\n}\n",
      "{\"default\":\"a\",\"default\":\"b\",\"ff\":\"\"}",
      "{\"default\":{\"ff\":\"x\"}}",
      "[\"default\", 1, null]",
  };
  for (std::size_t i = 0; i < std::size(texts); ++i)
    write(password, std::to_string(i) + ".json", Bytes(texts[i].begin(), texts[i].end()));

  for (int i = 2; i < argc; ++i) {
    for (const fs::path& folder : {mdf, convert})
      fs::copy_file(argv[i], folder / fs::path(argv[i]).filename(),
                    fs::copy_options::overwrite_existing);
  }
}
