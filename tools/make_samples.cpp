// Writes the sample inputs of examples/: logger files as our loggers write them, plain,
// compressed, encrypted and nested, and the password file that opens the encrypted ones.
//
//   make_samples <folder>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/container_writer.h"
#include "tests/support/logger_file.h"

namespace {

using busfold::test::LoggerFrame;
using busfold::test::LoggerFrameKind;

constexpr std::uint32_t kDeviceId = 0x12D6E08B;
constexpr const char* kPassword = "demo-password";

bool write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// CAN data frames plus what busfold recognises but does not carry over.
std::vector<LoggerFrame> frames_with_lin_and_remote() {
  std::vector<LoggerFrame> frames = busfold::test::mixed_can_frames(40, 7);
  LoggerFrame remote;
  remote.kind = LoggerFrameKind::can_remote;
  remote.id = 0x321;
  remote.dlc = 4;
  remote.time_us = frames.back().time_us + 100;
  frames.push_back(remote);
  LoggerFrame lin;
  lin.kind = LoggerFrameKind::lin;
  lin.bus = 1;
  lin.id = 0x21;
  lin.dlc = 4;
  lin.payload = {0x10, 0x20, 0x30, 0x40};
  lin.time_us = remote.time_us + 100;
  frames.push_back(lin);
  return frames;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path root = argv[1];
  using busfold::test::build_logger_file;
  using busfold::test::mixed_can_frames;

  const auto unfinalized = build_logger_file(mixed_can_frames(800, 1), {.finalized = false});
  const auto finalized = build_logger_file(mixed_can_frames(600, 2), {.finalized = true});
  const auto for_containers = build_logger_file(mixed_can_frames(500, 3), {.finalized = false});

  busfold::CompressOptions compress{.device_id = kDeviceId};
  busfold::EncryptOptions encrypt{.device_id = kDeviceId, .password = kPassword};
  const auto compressed = busfold::compressed_container_write(for_containers, compress);
  const auto encrypted = busfold::encrypted_container_write(for_containers, encrypt);

  bool ok = true;
  ok &= write_file(root / "logs/00000001.MF4", unfinalized);
  ok &= write_file(root / "logs/00000002.MF4", finalized);
  ok &= write_file(root / "logs/containers/00000003.MFC", compressed);
  ok &= write_file(root / "logs/containers/00000004.MFE", encrypted);
  ok &= write_file(root / "logs/containers/00000005.MFM",
                   busfold::encrypted_container_write(compressed, encrypt));
  ok &= write_file(root / "logs/containers/00000006.MFM",
                   busfold::compressed_container_write(encrypted, compress));
  ok &= write_file(root / "other_frames/lin_and_remote.MF4",
                   build_logger_file(frames_with_lin_and_remote(), {.finalized = false}));

  std::ofstream passwords(root / "passwords.json", std::ios::trunc);
  passwords << "{\n    \"default\": \"not-this-one\",\n    \"12D6E08B\": \"" << kPassword
            << "\"\n}\n";
  ok &= static_cast<bool>(passwords);
  if (!ok) std::fprintf(stderr, "could not write the samples below %s\n", argv[1]);
  return ok ? 0 : 1;
}
