// Writes the seed corpora of the fuzz targets from the test builders:
//
//   make_fuzz_corpus <folder> [file...]
//
// <folder>/mdf, /container, /password and /convert receive small hand-built files (one
// group of each frame kind, SD and VLSD signal data, sorted and unsorted groups), logger
// files, containers of every kind (encrypted ones with the password "password" and a few
// key-derivation rounds, so the harnesses can open them) and password texts. Files named
// after the folder (the reference files in tests/golden, say) are added to the mdf and
// convert corpora as they are.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "tests/support/container_writer.h"
#include "tests/support/logger_file.h"
#include "tests/support/lzss_encoder.h"
#include "tests/support/mdf_builder.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using busfold::test::ChannelOptions;
using busfold::test::MdfBuilder;

bool ok = true;

void write(const fs::path& folder, const std::string& name, const Bytes& bytes) {
  fs::create_directories(folder);
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "could not write %s\n", (folder / name).c_str());
    ok = false;
  }
}

Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A bus-channel member that says bus 1, as loggers write it: a virtual channel with a
// constant conversion.
ChannelOptions bus_one(MdfBuilder& b, std::string name) {
  return {.name = std::move(name),
          .type = 6,
          .bit_count = 0,
          .conversion = b.add_linear_conversion(1, 0)};
}

// One unsorted data group with 1-byte record ids: a classic CAN group and an FD group whose
// payload lies in a VLSD group, and unless can_only a LIN group and a CAN error group; two
// records each.
Bytes small_bus_file(bool unfinalized, bool can_only) {
  MdfBuilder b;
  b.add_history();
  std::uint64_t can = b.add_source("CAN1", 2, 2);
  std::uint64_t lin = b.add_source("LIN1", 2, 3);
  std::uint64_t time = b.add_linear_conversion(0, 0.000001);
  std::uint64_t dg = b.add_data_group(1);

  std::uint64_t classic = b.add_channel_group(
      dg, {.acq_name = "CAN1_Rx", .record_id = 1, .flags = 6, .data_bytes = 16, .source = can});
  std::uint64_t fd = b.add_channel_group(dg, {.acq_name = "CAN1_Rx_FD_DLC_over_8",
                                              .record_id = 2,
                                              .flags = 6,
                                              .data_bytes = 13,
                                              .source = can});
  std::uint64_t vlsd = b.add_channel_group(dg, {.record_id = 3, .flags = 1});
  std::uint64_t lin_group = 0, errors = 0;
  if (!can_only) {
    lin_group = b.add_channel_group(
        dg, {.acq_name = "LIN1_Frame", .record_id = 4, .data_bytes = 16, .source = lin});
    errors = b.add_channel_group(
        dg, {.acq_name = "CAN1_Error", .record_id = 5, .flags = 6, .data_bytes = 8, .source = can});
  }
  for (std::uint64_t cg : {classic, fd, lin_group, errors}) {
    if (cg == 0) continue;
    b.add_channel(cg, {.name = "Timestamp", .type = 2, .bit_count = 48, .conversion = time});
  }
  std::uint64_t frame = b.add_channel(
      classic, {.name = "CAN_DataFrame", .data_type = 10, .byte_offset = 6, .bit_count = 80});
  b.add_member(frame, {.name = "CAN_DataFrame.ID", .byte_offset = 6, .bit_count = 11});
  b.add_member(frame,
               {.name = "CAN_DataFrame.DLC", .bit_offset = 4, .byte_offset = 7, .bit_count = 4});
  b.add_member(
      frame,
      {.name = "CAN_DataFrame.DataLength", .bit_offset = 4, .byte_offset = 7, .bit_count = 4});
  b.add_member(
      frame,
      {.name = "CAN_DataFrame.DataBytes", .data_type = 10, .byte_offset = 8, .bit_count = 64});
  b.add_member(frame, bus_one(b, "CAN_DataFrame.BusChannel"));

  std::uint64_t fd_frame = b.add_channel(
      fd, {.name = "CAN_DataFrame", .data_type = 10, .byte_offset = 6, .bit_count = 56});
  b.add_member(fd_frame, {.name = "CAN_DataFrame.ID", .byte_offset = 6, .bit_count = 11});
  b.add_member(fd_frame, {.name = "CAN_DataFrame.DLC", .byte_offset = 8, .bit_count = 4});
  b.add_member(fd_frame, {.name = "CAN_DataFrame.EDL",
                          .type = 6,
                          .bit_count = 0,
                          .conversion = b.add_linear_conversion(1, 0)});
  b.add_member(fd_frame,
               {.name = "CAN_DataFrame.BRS", .bit_offset = 6, .byte_offset = 8, .bit_count = 1});
  b.add_member(fd_frame, {.name = "CAN_DataFrame.DataBytes",
                          .type = 1,
                          .data_type = 10,
                          .byte_offset = 9,
                          .bit_count = 32,
                          .data = vlsd});
  b.add_member(fd_frame, bus_one(b, "CAN_DataFrame.BusChannel"));
  if (!can_only) {
    std::uint64_t lin_frame = b.add_channel(
        lin_group, {.name = "LIN_Frame", .data_type = 10, .byte_offset = 6, .bit_count = 80});
    b.add_member(lin_frame, {.name = "LIN_Frame.ID", .byte_offset = 6, .bit_count = 6});
    b.add_member(lin_frame, {.name = "LIN_Frame.DataLength", .byte_offset = 7, .bit_count = 4});
    b.add_member(lin_frame,
                 {.name = "LIN_Frame.Dir", .bit_offset = 7, .byte_offset = 6, .bit_count = 1});
    b.add_member(
        lin_frame,
        {.name = "LIN_Frame.DataBytes", .data_type = 10, .byte_offset = 8, .bit_count = 64});

    std::uint64_t error = b.add_channel(
        errors, {.name = "CAN_ErrorFrame", .data_type = 10, .byte_offset = 6, .bit_count = 16});
    b.add_member(error, {.name = "CAN_ErrorFrame.ErrorType", .byte_offset = 6, .bit_count = 4});
    b.add_member(error, {.name = "CAN_ErrorFrame.BusChannel", .byte_offset = 7, .bit_count = 8});
  }

  Bytes data;
  auto record = [&data](std::uint8_t id, std::uint64_t time_us, std::vector<std::uint8_t> rest) {
    std::uint8_t head[7] = {id};
    busfold::store_le48(head + 1, time_us);
    data.insert(data.end(), head, head + 7);
    data.insert(data.end(), rest.begin(), rest.end());
  };
  for (std::uint64_t t : {1000u, 2000u}) {
    record(1, t, {0x23, 0x81, 1, 2, 3, 4, 5, 6, 7, 8});
    record(2, t + 10, {0x45, 0x01, 0x49, 0, 0, 0, 0});
    std::uint8_t vlsd_head[5] = {3, 12, 0, 0, 0};
    data.insert(data.end(), vlsd_head, vlsd_head + 5);
    for (std::uint8_t i = 0; i < 12; ++i)
      data.push_back(i);
    if (can_only) continue;
    record(4, t + 20, {0x81, 0x04, 9, 8, 7, 6, 0, 0, 0, 0});
    record(5, t + 30, {0x03, 0x01});
  }
  if (unfinalized) {
    b.add_data(dg, data, 24);
    b.set_unfinalized(4);
  } else {
    b.add_data(dg, data);
  }
  return b.bytes();
}

// A sorted group (no record ids) of CAN data frames whose payload lies in an SD block.
Bytes sorted_sd_file() {
  MdfBuilder b;
  b.add_history();
  std::uint64_t can = b.add_source("CAN2", 2, 2);
  std::uint8_t sd_bytes[] = {3, 0, 0, 0, 0xAA, 0xBB, 0xCC, 2, 0, 0, 0, 0x11, 0x22};
  std::uint64_t sd = b.add_signal_data(sd_bytes);
  std::uint64_t dg = b.add_data_group(0);
  std::uint64_t cg = b.add_channel_group(dg, {.record_id = 0, .data_bytes = 12, .source = can});
  b.add_channel(cg, {.name = "Timestamp", .type = 2, .data_type = 4, .bit_count = 64});
  b.add_channel(cg, {.name = "CAN_DataFrame.ID", .byte_offset = 8, .bit_count = 29});
  b.add_channel(cg,
                {.name = "CAN_DataFrame.IDE", .bit_offset = 5, .byte_offset = 11, .bit_count = 1});
  b.add_channel(cg, {.name = "CAN_DataFrame.DataBytes",
                     .type = 1,
                     .data_type = 10,
                     .byte_offset = 8,
                     .bit_count = 32,
                     .data = sd});
  b.add_channel(cg, bus_one(b, "CAN_DataFrame.BusChannel"));
  Bytes data;
  for (std::uint32_t i = 0; i < 2; ++i) {
    std::uint8_t record[12];
    busfold::store_le_f64(record, 1.5 + i);
    busfold::store_le32(record + 8, i == 0 ? 0 : 7);
    data.insert(data.end(), record, record + 12);
  }
  b.add_data(dg, data);
  return b.bytes();
}

// A pseudo-random bit stream: the decoder must cope with anything.
Bytes noise(std::size_t n, std::uint32_t seed) {
  Bytes bytes(n);
  std::uint32_t state = seed;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
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
  using busfold::test::build_logger_file;
  using busfold::test::mixed_can_frames;

  const Bytes small = small_bus_file(false, false);
  const Bytes small_unfinalized = small_bus_file(true, false);
  const Bytes small_can = small_bus_file(true, true);
  const Bytes sorted = sorted_sd_file();
  const Bytes logger = build_logger_file(mixed_can_frames(12, 5), {.finalized = false});
  const Bytes logger_finalized = build_logger_file(mixed_can_frames(12, 6), {.finalized = true});
  for (const fs::path& folder : {mdf, convert}) {
    write(folder, "small_bus.mf4", small);
    write(folder, "small_bus_unfinalized.mf4", small_unfinalized);
    write(folder, "small_can.mf4", small_can);
    write(folder, "sorted_sd.mf4", sorted);
    write(folder, "logger.mf4", logger);
    write(folder, "logger_finalized.mf4", logger_finalized);
  }

  busfold::EncryptOptions encrypt{.device_id = 0x00A1B2C3, .iterations = 2};
  const Bytes compressed = busfold::compressed_container_write(small_can);
  const Bytes encrypted = busfold::encrypted_container_write(small_can, encrypt);
  for (const fs::path& folder : {container, convert}) {
    write(folder, "compressed.mfc", compressed);
    write(folder, "encrypted.mfe", encrypted);
    write(folder, "encrypted_compressed.mfm",
          busfold::encrypted_container_write(compressed, encrypt));
    write(folder, "compressed_encrypted.mfm",
          busfold::compressed_container_write(encrypted, {.window_bits = 6, .lookahead_bits = 3}));
  }
  write(container, "compressed_no_footer.mfc",
        busfold::compressed_container_write(
            text_bytes("abcabcabcabcabc-hello-hello"),
            {.window_bits = 8, .lookahead_bits = 4, .footer = false}));
  write(container, "encrypted_empty.mfe", busfold::encrypted_container_write({}, encrypt));
  // Noise under every window and lookahead the decoder takes.
  for (int w = 4; w <= 15; ++w) {
    for (int l = 3; l < w; l += 4) {
      write(container, "noise_w" + std::to_string(w) + "_l" + std::to_string(l) + ".mfc",
            busfold::compressed_container_wrap(noise(48, w * 16 + l), 1u << w,
                                               static_cast<std::uint32_t>(l), false));
    }
  }

  write(password, "members.json",
        text_bytes("{\n  \"default\": \"secret\",\n  \"00A1B2C3\": \"pass\\\"word\",\n"
                   "  \"00a1b2c3\" :\r\n \"x\",\n  \"\": \"\"\n}\n"));
  write(password, "repeated.json", text_bytes("{\"default\":\"a\",\"default\":\"b\",\"ff\":\"\"}"));

  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), {});
    if (!in && !in.eof()) {
      std::fprintf(stderr, "could not read %s\n", argv[i]);
      ok = false;
      continue;
    }
    std::string name = fs::path(argv[i]).filename().string();
    write(mdf, name, bytes);
    write(convert, name, bytes);
  }
  return ok ? 0 : 1;
}
