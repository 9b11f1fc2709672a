#include "tests/support/logger_file.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "base/bytes.h"

namespace busfold::test {

namespace {

constexpr std::uint8_t kDlcLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

constexpr std::uint8_t kTypeVlsd = 1, kTypeMaster = 2, kTypeVirtual = 6;
constexpr std::uint8_t kDataBytes = 10;
constexpr std::uint32_t kBusEventFlag = 0x400;

// The frame layouts a logger writes, each once for Rx and once for Tx (LIN: once).
enum class Layout {
  classic11,
  classic29,
  fd11,
  fd29,
  fd_over8_11,
  fd_over8_29,
  remote11,
  remote29,
  lin_frame,
  can_errors,
};

struct LayoutInfo {
  const char* rx_name;  // printf format with the bus number
  const char* tx_name;
  std::uint32_t data_bytes;
  std::uint32_t id_bits;
  std::uint32_t dlc_bit;     // bit position of the 4-bit DLC
  std::uint32_t flags_byte;  // ESI bit 7, BRS bit 6 (FD layouts)
  std::uint32_t data_byte;   // DataBytes, or the signal-data offset of FD over 8
  bool fd;
  bool over8;
};

const LayoutInfo& info(Layout layout) {
  static const LayoutInfo table[] = {
      {"CAN%u_Rx", "CAN%u_Tx", 16, 11, 7 * 8 + 4, 0, 8, false, false},
      {"CAN%u_Rx_IDE", "CAN%u_Tx_IDE", 19, 29, 10 * 8, 0, 11, false, false},
      {"CAN%u_Rx_FD_DLC_up_to_8", "CAN%u_Tx_FD_DLC_up_to_8", 17, 11, 8 * 8, 8, 9, true, false},
      {"CAN%u_Rx_FD_IDE_DLC_up_to_8", "CAN%u_Tx_FD_IDE_DLC_up_to_8", 19, 29, 10 * 8, 10, 11, true,
       false},
      {"CAN%u_Rx_FD_DLC_over_8", "CAN%u_Tx_FD_DLC_over_8", 13, 11, 8 * 8, 8, 9, true, true},
      {"CAN%u_Rx_FD_IDE_DLC_over_8", "CAN%u_Tx_FD_IDE_DLC_over_8", 15, 29, 10 * 8, 10, 11, true,
       true},
      {"CAN%u_RTR_Rx", "CAN%u_RTR_Tx", 8, 11, 7 * 8 + 4, 0, 0, false, false},
      {"CAN%u_RTR_IDE_Rx", "CAN%u_RTR_IDE_Tx", 11, 29, 10 * 8 + 4, 0, 0, false, false},
      {"LIN%u_Frame", nullptr, 16, 6, 0, 0, 8, false, false},
      {"CAN%u_Errors", nullptr, 8, 6, 0, 0, 0, false, false},
  };
  return table[static_cast<int>(layout)];
}

Layout layout_of(const LoggerFrame& f) {
  switch (f.kind) {
  case LoggerFrameKind::lin: return Layout::lin_frame;
  case LoggerFrameKind::can_remote: return f.ide ? Layout::remote29 : Layout::remote11;
  case LoggerFrameKind::can_error: return Layout::can_errors;
  case LoggerFrameKind::can_data: break;
  }
  if (!f.edl) return f.ide ? Layout::classic29 : Layout::classic11;
  if ((f.dlc & 0x0F) <= 8) return f.ide ? Layout::fd29 : Layout::fd11;
  return f.ide ? Layout::fd_over8_29 : Layout::fd_over8_11;
}

std::string format_name(const char* format, unsigned bus) {
  char name[64];
  std::snprintf(name, sizeof name, format, bus);
  return name;
}

struct Group {
  std::uint64_t cg = 0, vlsd_cg = 0, records = 0;
  std::uint16_t record_id = 0, vlsd_record_id = 0;
  std::uint64_t vlsd_bytes = 0;          // signal data without the length fields
  std::uint64_t data_bytes_channel = 0;  // of FD over 8, when its values go to an SD block
  std::vector<std::uint8_t> signal_block;
};

// Builds the channel groups and their channel trees.
class LoggerLayoutWriter {
public:
  LoggerLayoutWriter(MdfBuilder& b, const LoggerFileOptions& options)
      : b_(b), signal_data_blocks_(options.signal_data_blocks) {
    dg_ = b_.add_data_group(options.record_id_size);
    time_ = b_.add_linear_conversion(0, 0.000001);
    const0_ = b_.add_linear_conversion(0, 0);
    const1_ = b_.add_linear_conversion(1, 0);
    std::vector<std::pair<double, double>> pairs;
    for (int i = 0; i < 16; ++i)
      pairs.emplace_back(i, kDlcLengths[i]);
    dlc_table_ = b_.add_value_table(pairs);
  }

  std::uint64_t data_group() const { return dg_; }

  Group add_group(Layout layout, unsigned bus, bool tx) {
    const LayoutInfo& li = info(layout);
    const bool lin = layout == Layout::lin_frame;
    Group g;
    g.record_id = next_record_id_++;
    g.cg = b_.add_channel_group(dg_, {.acq_name = format_name(tx ? li.tx_name : li.rx_name, bus),
                                      .record_id = g.record_id,
                                      .flags = static_cast<std::uint16_t>(lin ? 0 : 6),
                                      .path_separator = static_cast<std::uint16_t>(lin ? 0 : '.'),
                                      .data_bytes = li.data_bytes,
                                      .source = source(bus, lin)});
    if (li.over8 && !signal_data_blocks_) {
      g.vlsd_record_id = next_record_id_++;
      g.vlsd_cg = b_.add_channel_group(dg_, {.record_id = g.vlsd_record_id, .flags = 1});
    }
    b_.add_channel(g.cg, {.name = "Timestamp",
                          .type = kTypeMaster,
                          .sync_type = 1,
                          .bit_count = 48,
                          .conversion = time_});
    if (lin) {
      add_lin_channels(g, bus);
    } else if (layout == Layout::can_errors) {
      flags_ = 0;
      std::uint64_t frame = b_.add_channel(g.cg, {.name = "CAN_ErrorFrame",
                                                  .data_type = kDataBytes,
                                                  .byte_offset = 6,
                                                  .bit_count = 8,
                                                  .flags = kBusEventFlag});
      member(frame, "CAN_ErrorFrame.BusChannel", bus_constant(bus));
      member(frame, "CAN_ErrorFrame.ErrorType", {.byte_offset = 6, .bit_count = 6});
    } else if (layout == Layout::remote11 || layout == Layout::remote29) {
      add_can_channels("CAN_RemoteFrame", li, g, bus, tx, false);
    } else {
      add_can_channels("CAN_DataFrame", li, g, bus, tx, true);
    }
    return g;
  }

private:
  std::uint64_t source(unsigned bus, bool lin) {
    auto [it, fresh] = sources_.try_emplace({bus, lin}, 0);
    if (fresh)
      it->second = b_.add_source(format_name(lin ? "LIN%u" : "CAN%u", bus), 2, lin ? 3 : 2);
    return it->second;
  }

  // A virtual channel of the constant value.
  ChannelOptions constant(std::uint64_t conversion) {
    return {.type = kTypeVirtual, .bit_count = 0, .conversion = conversion};
  }
  ChannelOptions bus_constant(unsigned bus) {
    auto [it, fresh] = bus_constants_.try_emplace(bus, 0);
    if (fresh) it->second = b_.add_linear_conversion(bus, 0);
    return constant(it->second);
  }

  std::uint64_t member(std::uint64_t structure, const std::string& name, ChannelOptions options) {
    options.name = name;
    options.flags = flags_;
    return b_.add_member(structure, options);
  }

  void add_can_channels(const std::string& prefix, const LayoutInfo& li, Group& g, unsigned bus,
                        bool tx, bool data_frame) {
    flags_ = data_frame ? kBusEventFlag : 0;
    std::uint64_t frame = b_.add_channel(g.cg, {.name = prefix,
                                                .data_type = kDataBytes,
                                                .byte_offset = 6,
                                                .bit_count = (li.data_bytes - 6) * 8,
                                                .flags = kBusEventFlag});
    member(frame, prefix + ".BusChannel", bus_constant(bus));
    member(frame, prefix + ".ID", {.byte_offset = 6, .bit_count = li.id_bits});
    member(frame, prefix + ".IDE", constant(li.id_bits == 29 ? const1_ : const0_));
    const ChannelOptions dlc{.bit_offset = static_cast<std::uint8_t>(li.dlc_bit % 8),
                             .byte_offset = li.dlc_bit / 8,
                             .bit_count = 4,
                             .conversion = dlc_table_};
    member(frame, prefix + ".DLC", dlc);
    member(frame, prefix + ".DataLength", dlc);
    if (data_frame) {
      if (li.over8) {
        g.data_bytes_channel = member(frame, prefix + ".DataBytes",
                                      {.type = kTypeVlsd,
                                       .data_type = kDataBytes,
                                       .byte_offset = li.data_byte,
                                       .bit_count = 32,
                                       .data = g.vlsd_cg});
      } else {
        member(frame, prefix + ".DataBytes",
               {.data_type = kDataBytes, .byte_offset = li.data_byte, .bit_count = 64});
      }
    }
    member(frame, prefix + ".Dir", constant(tx ? const1_ : const0_));
    if (li.fd) {
      member(frame, prefix + ".EDL", constant(const1_));
      member(frame, prefix + ".ESI",
             {.bit_offset = 7, .byte_offset = li.flags_byte, .bit_count = 1});
      member(frame, prefix + ".BRS",
             {.bit_offset = 6, .byte_offset = li.flags_byte, .bit_count = 1});
    }
  }

  void add_lin_channels(const Group& g, unsigned bus) {
    flags_ = 0;
    std::uint64_t frame = b_.add_channel(
        g.cg, {.name = "LIN_Frame", .data_type = kDataBytes, .byte_offset = 6, .bit_count = 80});
    member(frame, "LIN_Frame.BusChannel", bus_constant(bus));
    member(frame, "LIN_Frame.ID", {.byte_offset = 6, .bit_count = 6});
    member(frame, "LIN_Frame.DataLength", {.byte_offset = 7, .bit_count = 4});
    member(frame, "LIN_Frame.ReceivedDataByteCount",
           {.bit_offset = 4, .byte_offset = 7, .bit_count = 4});
    member(frame, "LIN_Frame.Dir", {.bit_offset = 7, .byte_offset = 6, .bit_count = 1});
    member(frame, "LIN_Frame.DataBytes",
           {.data_type = kDataBytes, .byte_offset = 8, .bit_count = 64});
  }

  MdfBuilder& b_;
  bool signal_data_blocks_;
  std::uint64_t dg_ = 0;
  std::uint64_t time_ = 0, const0_ = 0, const1_ = 0, dlc_table_ = 0;
  std::uint16_t next_record_id_ = 1;
  std::uint32_t flags_ = 0;
  std::map<std::pair<unsigned, bool>, std::uint64_t> sources_;
  std::map<unsigned, std::uint64_t> bus_constants_;
};

// Appends one frame's record (and its signal-data record) to the data.
void encode(const LoggerFrame& f, Layout layout, Group& g, unsigned id_size,
            std::vector<std::uint8_t>& data) {
  const LayoutInfo& li = info(layout);
  std::uint8_t record[2 + 64] = {};
  std::uint8_t* r = record + id_size;
  id_size == 1 ? void(record[0] = static_cast<std::uint8_t>(g.record_id))
               : store_le16(record, g.record_id);
  store_le48(r, f.time_us);
  const std::uint8_t dlc = f.dlc & 0x0F;
  auto payload = [&](std::uint8_t* to, std::size_t max) {
    std::copy_n(f.payload.begin(), std::min(max, f.payload.size()), to);
  };
  switch (layout) {
  case Layout::classic11:
  case Layout::remote11:
    store_le16(r + 6, static_cast<std::uint16_t>((dlc << 12) | (f.id & 0x7FF)));
    if (layout == Layout::classic11) payload(r + 8, 8);
    break;
  case Layout::classic29:
  case Layout::remote29:
    store_le32(r + 6, f.id & 0x1FFFFFFF);
    r[10] = static_cast<std::uint8_t>(layout == Layout::remote29 ? dlc << 4 : dlc);
    if (layout == Layout::classic29) payload(r + 11, 8);
    break;
  case Layout::fd11:
  case Layout::fd29:
  case Layout::fd_over8_11:
  case Layout::fd_over8_29:
    li.id_bits == 11 ? store_le16(r + 6, static_cast<std::uint16_t>(f.id & 0x7FF))
                     : store_le32(r + 6, f.id & 0x1FFFFFFF);
    r[li.flags_byte] = static_cast<std::uint8_t>((f.esi ? 0x80 : 0) | (f.brs ? 0x40 : 0) | dlc);
    li.over8
        ? store_le32(r + li.data_byte, static_cast<std::uint32_t>(g.vlsd_bytes + 4 * g.records))
        : payload(r + li.data_byte, 8);
    break;
  case Layout::can_errors: r[6] = static_cast<std::uint8_t>(f.id & 0x3F); break;
  case Layout::lin_frame:
    r[6] = static_cast<std::uint8_t>((f.id & 0x3F) | (f.tx ? 0x80 : 0));
    r[7] = static_cast<std::uint8_t>((f.dlc & 0x0F) | ((f.payload.size() & 0x0F) << 4));
    payload(r + 8, 8);
    break;
  }
  data.insert(data.end(), record, record + id_size + li.data_bytes);
  ++g.records;
  if (li.over8) {
    const std::uint8_t length = kDlcLengths[dlc];
    std::uint8_t head[6];
    id_size == 1 ? void(head[0] = static_cast<std::uint8_t>(g.vlsd_record_id))
                 : store_le16(head, g.vlsd_record_id);
    store_le32(head + id_size, length);
    std::vector<std::uint8_t>& values = g.vlsd_cg != 0 ? data : g.signal_block;
    values.insert(values.end(), head + (g.vlsd_cg != 0 ? 0 : id_size), head + id_size + 4);
    values.resize(values.size() + length, 0);
    payload(values.data() + values.size() - length, length);
    g.vlsd_bytes += length;
  }
}

constexpr std::uint64_t kCgCycleCount = 24 + 6 * 8 + 8;
constexpr std::uint64_t kCgDataBytes = 24 + 6 * 8 + 24;

// Row size of transposed pieces in logger files: records of the classic 11-bit layout.
constexpr std::uint32_t kLoggerColumns = 18;

void add_history(MdfBuilder& b, const std::string& tool_id) {
  if (tool_id == "QK") {
    b.add_history();
  } else {
    b.add_history("<FHcomment><TX>Converted.</TX>" +
                  (tool_id.empty() ? "" : "<tool_id>" + tool_id + "</tool_id>") + "</FHcomment>");
  }
}

// Records of the sorted shape: time (8 bytes), bus, ID (29 bits), flags (IDE, Dir, EDL,
// BRS, ESI from bit 0), DLC, DataLength, DataBytes.
struct SortedGroup {
  std::uint64_t dg = 0, cg = 0;
  std::uint32_t width = 8;
  std::vector<std::uint8_t> data;
};

SortedGroup add_sorted_group(MdfBuilder& b, unsigned bus, bool fd, std::uint64_t time_conversion,
                             MasterTime master_time) {
  SortedGroup g;
  g.width = fd ? 64 : 8;
  g.dg = b.add_data_group(0);
  g.cg = b.add_channel_group(g.dg, {.acq_name = format_name(fd ? "CAN%u FD" : "CAN%u", bus),
                                    .flags = 6,
                                    .path_separator = '.',
                                    .data_bytes = 16 + g.width,
                                    .source = b.add_source(format_name("CAN%u", bus), 2, 2)});
  const bool as_float = master_time == MasterTime::float_seconds;
  b.add_channel(g.cg, {.name = "time",
                       .type = kTypeMaster,
                       .sync_type = 1,
                       .data_type = static_cast<std::uint8_t>(as_float ? 4 : 0),
                       .bit_count = master_time == MasterTime::micros48 ? 48u : 64u,
                       .conversion = as_float ? 0 : time_conversion});
  const std::uint64_t frame = b.add_channel(g.cg, {.name = "CAN_DataFrame",
                                                   .data_type = kDataBytes,
                                                   .byte_offset = 8,
                                                   .bit_count = (8 + g.width) * 8});
  struct Member {
    const char* name;
    std::uint32_t byte, bit_count;
    std::uint8_t bit, data_type = 0;
  };
  const Member members[] = {
      {"BusChannel", 8, 8, 0},  {"ID", 9, 29, 0},
      {"IDE", 13, 1, 0},        {"Dir", 13, 1, 1},
      {"EDL", 13, 1, 2},        {"BRS", 13, 1, 3},
      {"ESI", 13, 1, 4},        {"DLC", 14, 4, 0},
      {"DataLength", 15, 8, 0}, {"DataBytes", 16, g.width * 8, 0, kDataBytes}};
  for (const Member& m : members) {
    b.add_member(frame, {.name = std::string("CAN_DataFrame.") + m.name,
                         .data_type = m.data_type,
                         .bit_offset = m.bit,
                         .byte_offset = m.byte,
                         .bit_count = m.bit_count});
  }
  return g;
}

std::vector<std::uint8_t> build_sorted_file(const std::vector<LoggerFrame>& frames,
                                            const LoggerFileOptions& options) {
  MdfBuilder b;
  b.set_start_time(options.start_time_ns);
  add_history(b, options.tool_id);
  const std::uint64_t time_conversion =
      b.add_linear_conversion(0, options.master_time == MasterTime::nanoseconds ? 1e-9 : 1e-6);
  std::map<std::pair<unsigned, bool>, SortedGroup> groups;
  for (const LoggerFrame& f : frames)
    if (f.kind == LoggerFrameKind::can_data) groups.try_emplace({f.bus, f.edl});
  for (auto& [key, g] : groups)
    g = add_sorted_group(b, key.first, key.second, time_conversion, options.master_time);
  for (const LoggerFrame& f : frames) {
    if (f.kind != LoggerFrameKind::can_data) continue;
    SortedGroup& g = groups.at({f.bus, f.edl});
    std::vector<std::uint8_t> record(16 + g.width, 0);
    switch (options.master_time) {
    case MasterTime::micros48: store_le48(record.data(), f.time_us); break;
    case MasterTime::nanoseconds: store_le64(record.data(), f.time_us * 1000); break;
    case MasterTime::float_seconds:
      store_le64(record.data(),
                 std::bit_cast<std::uint64_t>(static_cast<double>(f.time_us) * 1e-6));
      break;
    }
    record[8] = f.bus;
    store_le32(record.data() + 9, f.id);
    record[13] =
        static_cast<std::uint8_t>(f.ide | f.tx << 1 | f.edl << 2 | f.brs << 3 | f.esi << 4);
    record[14] = f.dlc;
    record[15] = static_cast<std::uint8_t>(f.payload.size());
    std::copy(f.payload.begin(), f.payload.end(), record.begin() + 16);
    g.data.insert(g.data.end(), record.begin(), record.end());
  }
  for (auto& [key, g] : groups) {
    b.patch_u64(g.cg + kCgCycleCount, g.data.size() / (16 + g.width));
    b.set_link(g.dg, link::kDgData,
               b.add_stored("##DT", g.data, options.storage, 16 + g.width, options.piece_bytes));
  }
  return b.bytes();
}

}  // namespace

LoggerFrame can_frame(std::uint8_t bus, std::uint32_t id, std::vector<std::uint8_t> payload,
                      std::uint64_t time_us, bool tx, bool fd) {
  LoggerFrame f;
  f.bus = bus;
  f.id = id;
  f.ide = id > 0x7FF;
  f.tx = tx;
  f.time_us = time_us;
  f.edl = fd || payload.size() > 8;
  std::uint8_t dlc = 0;
  while (kDlcLengths[dlc] < payload.size() && dlc < 15)
    ++dlc;
  if (!f.edl) dlc = static_cast<std::uint8_t>(payload.size());
  f.dlc = dlc;
  payload.resize(kDlcLengths[dlc], 0);
  f.payload = std::move(payload);
  return f;
}

std::vector<std::uint8_t> build_logger_file(const std::vector<LoggerFrame>& frames,
                                            const LoggerFileOptions& options) {
  if (options.sorted) return build_sorted_file(frames, options);
  MdfBuilder b;
  b.set_start_time(options.start_time_ns);
  add_history(b, options.tool_id);
  // Frame i is recorded by data group i % data_groups, each with the groups of every bus.
  const std::size_t group_count = std::max<std::size_t>(1, options.data_groups);
  std::vector<std::unique_ptr<LoggerLayoutWriter>> layouts;
  for (std::size_t i = 0; i < group_count; ++i)
    layouts.push_back(std::make_unique<LoggerLayoutWriter>(b, options));

  // Every layout and direction of a bus gets its group, as loggers do; by frame kind.
  std::set<unsigned> buses[4];
  for (const LoggerFrame& f : frames)
    buses[static_cast<int>(f.kind)].insert(f.bus);
  using enum Layout;
  const std::vector<Layout> kind_layouts[4] = {
      {classic11, classic29, fd11, fd29, fd_over8_11, fd_over8_29},
      {remote11, remote29},
      {can_errors},
      {lin_frame}};
  std::map<std::tuple<std::size_t, Layout, unsigned, bool>, Group> groups;
  for (std::size_t dg = 0; dg < group_count; ++dg) {
    for (int kind = 0; kind < 4; ++kind) {
      for (unsigned bus : buses[kind]) {
        for (Layout l : kind_layouts[kind]) {
          for (bool tx : {false, true})
            if (!tx || info(l).tx_name != nullptr)
              groups[{dg, l, bus, tx}] = layouts[dg]->add_group(l, bus, tx);
        }
      }
    }
  }

  std::vector<std::vector<std::uint8_t>> data(group_count);
  for (auto& bytes : data)
    bytes.reserve(frames.size() * 32 / group_count);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const LoggerFrame& f = frames[i];
    Layout layout = layout_of(f);
    bool tx = info(layout).tx_name != nullptr && f.tx;  // LIN and error groups: one per bus
    const std::size_t dg = i % group_count;
    encode(f, layout, groups.at({dg, layout, f.bus, tx}), options.record_id_size, data[dg]);
  }
  for (auto& [key, g] : groups) {
    if (g.data_bytes_channel != 0 && g.vlsd_cg == 0)
      b.set_link(g.data_bytes_channel, link::kCnData,
                 b.add_stored("##SD", g.signal_block, options.storage, kLoggerColumns,
                              options.piece_bytes));
    if (!options.finalized) continue;
    b.patch_u64(g.cg + kCgCycleCount, g.records);
    if (g.vlsd_cg != 0)
      b.patch_u32(g.vlsd_cg + kCgDataBytes, static_cast<std::uint32_t>(g.vlsd_bytes));
  }
  for (std::size_t dg = 0; dg < group_count; ++dg) {
    // An unfinalized logger has not yet written the length of the block it writes last.
    if (options.storage != Storage::plain) {
      b.set_link(
          layouts[dg]->data_group(), link::kDgData,
          b.add_stored("##DT", data[dg], options.storage, kLoggerColumns, options.piece_bytes));
    } else if (!options.finalized && dg + 1 == group_count) {
      b.add_data(layouts[dg]->data_group(), data[dg], 24);
    } else {
      b.add_data(layouts[dg]->data_group(), data[dg]);
    }
  }
  if (!options.finalized) b.set_unfinalized(4);
  return b.bytes();
}

std::vector<LoggerFrame> mixed_can_frames(std::size_t count, std::uint32_t seed) {
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  auto next = [&state](std::uint32_t bound) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>((state >> 33) % bound);
  };
  static const std::uint8_t buses[3] = {1, 2, 9};
  std::vector<LoggerFrame> frames;
  frames.reserve(count);
  std::uint64_t time_us = 0;
  for (std::size_t i = 0; i < count; ++i) {
    time_us += 50 + next(450);
    std::uint32_t shape = next(10);
    std::size_t length = shape < 4   ? next(9)                    // classic
                         : shape < 7 ? next(9)                    // FD up to 8
                                     : kDlcLengths[9 + next(7)];  // FD over 8
    std::vector<std::uint8_t> payload(length);
    for (auto& byte : payload)
      byte = static_cast<std::uint8_t>(next(256));
    bool extended = next(10) < 3;
    std::uint32_t id = extended ? 0x800 + next(0x1FFFF800) : next(0x800);
    LoggerFrame f =
        can_frame(buses[next(3)], id, std::move(payload), time_us, next(2) == 1, shape >= 4);
    f.ide = extended;
    f.brs = f.edl && next(2) == 1;
    frames.push_back(std::move(f));
  }
  return frames;
}

}  // namespace busfold::test
