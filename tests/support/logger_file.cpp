#include "tests/support/logger_file.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>

#include "base/bytes.h"
#include "tests/support/mdf_builder.h"

namespace busfold::test {

namespace {

constexpr std::uint8_t kDlcLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
constexpr std::uint8_t kTypeVlsd = 1, kTypeMaster = 2, kTypeVirtual = 6, kDataBytes = 10;
constexpr std::uint32_t kBusEventFlag = 0x400;

// The frame layouts a logger writes, each once for Rx and once for Tx (LIN: once).
enum Layout { classic11, classic29, fd11, fd29, fd_over8_11, fd_over8_29, remote11, remote29, lin };

struct LayoutInfo {
  const char* rx_name;  // printf format with the bus number
  const char* tx_name;
  std::uint32_t data_bytes, id_bits;
  std::uint32_t dlc_bit;     // bit position of the 4-bit DLC
  std::uint32_t flags_byte;  // ESI bit 7, BRS bit 6 (FD layouts)
  std::uint32_t data_byte;   // DataBytes, or the signal-data offset of FD over 8
  bool fd, over8;
};
constexpr LayoutInfo kLayouts[] = {
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
};

Layout layout_of(const LoggerFrame& f) {
  if (f.kind == LoggerFrameKind::lin) return lin;
  if (f.kind == LoggerFrameKind::can_remote) return f.ide ? remote29 : remote11;
  if (!f.edl) return f.ide ? classic29 : classic11;
  if ((f.dlc & 0x0F) <= 8) return f.ide ? fd29 : fd11;
  return f.ide ? fd_over8_29 : fd_over8_11;
}

std::string format_name(const char* format, unsigned bus) {
  char name[64];
  std::snprintf(name, sizeof name, format, bus);
  return name;
}

struct Group {
  std::uint64_t cg = 0, vlsd_cg = 0;
  std::uint16_t record_id = 0, vlsd_record_id = 0;
  std::uint64_t records = 0;
  std::uint64_t vlsd_bytes = 0;          // signal data without the length fields
  std::uint64_t data_bytes_channel = 0;  // of FD over 8, when its values go to an SD block
  std::vector<std::uint8_t> signal_block;
};

// Builds the channel groups of one data group and their channel trees.
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
    const LayoutInfo& li = kLayouts[layout];
    const bool is_lin = layout == lin;
    Group g;
    g.record_id = next_record_id_++;
    g.cg =
        b_.add_channel_group(dg_, {.acq_name = format_name(tx ? li.tx_name : li.rx_name, bus),
                                   .record_id = g.record_id,
                                   .flags = static_cast<std::uint16_t>(is_lin ? 0 : 6),
                                   .path_separator = static_cast<std::uint16_t>(is_lin ? 0 : '.'),
                                   .data_bytes = li.data_bytes,
                                   .source = source(bus, is_lin)});
    if (li.over8 && !signal_data_blocks_) {
      g.vlsd_record_id = next_record_id_++;
      g.vlsd_cg = b_.add_channel_group(dg_, {.record_id = g.vlsd_record_id, .flags = 1});
    }
    b_.add_channel(g.cg, {.name = "Timestamp",
                          .type = kTypeMaster,
                          .sync_type = 1,
                          .bit_count = 48,
                          .conversion = time_});
    if (is_lin) {
      add_lin_channels(g, bus);
    } else {
      add_can_channels(layout < remote11 ? "CAN_DataFrame" : "CAN_RemoteFrame", li, g, bus, tx,
                       layout < remote11);
    }
    return g;
  }

private:
  std::uint64_t source(unsigned bus, bool is_lin) {
    auto [it, added] = sources_.try_emplace({bus, is_lin}, 0);
    if (added)
      it->second = b_.add_source(format_name(is_lin ? "LIN%u" : "CAN%u", bus), 2, is_lin ? 3 : 2);
    return it->second;
  }
  std::uint64_t bus_constant(unsigned bus) {
    auto [it, added] = bus_constants_.try_emplace(bus, 0);
    if (added) it->second = b_.add_linear_conversion(bus, 0);
    return it->second;
  }
  std::uint64_t member(std::uint64_t structure, const std::string& name, ChannelOptions options) {
    options.name = name;
    options.flags = flags_;
    return b_.add_member(structure, options);
  }
  // A channel of no bits whose conversion gives its value.
  void constant(std::uint64_t structure, const std::string& name, std::uint64_t conversion) {
    member(structure, name, {.type = kTypeVirtual, .bit_count = 0, .conversion = conversion});
  }

  void add_can_channels(const std::string& prefix, const LayoutInfo& li, Group& g, unsigned bus,
                        bool tx, bool data_frame) {
    flags_ = data_frame ? kBusEventFlag : 0;
    std::uint64_t frame = b_.add_channel(g.cg, {.name = prefix,
                                                .data_type = kDataBytes,
                                                .byte_offset = 6,
                                                .bit_count = (li.data_bytes - 6) * 8,
                                                .flags = kBusEventFlag});
    constant(frame, prefix + ".BusChannel", bus_constant(bus));
    member(frame, prefix + ".ID", {.byte_offset = 6, .bit_count = li.id_bits});
    constant(frame, prefix + ".IDE", li.id_bits == 29 ? const1_ : const0_);
    const ChannelOptions dlc{.bit_offset = static_cast<std::uint8_t>(li.dlc_bit % 8),
                             .byte_offset = li.dlc_bit / 8,
                             .bit_count = 4,
                             .conversion = dlc_table_};
    member(frame, prefix + ".DLC", dlc);
    member(frame, prefix + ".DataLength", dlc);
    if (data_frame && li.over8) {
      g.data_bytes_channel = member(frame, prefix + ".DataBytes",
                                    {.type = kTypeVlsd,
                                     .data_type = kDataBytes,
                                     .byte_offset = li.data_byte,
                                     .bit_count = 32,
                                     .data = g.vlsd_cg});
    } else if (data_frame) {
      member(frame, prefix + ".DataBytes",
             {.data_type = kDataBytes, .byte_offset = li.data_byte, .bit_count = 64});
    }
    constant(frame, prefix + ".Dir", tx ? const1_ : const0_);
    if (li.fd) {
      constant(frame, prefix + ".EDL", const1_);
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
    constant(frame, "LIN_Frame.BusChannel", bus_constant(bus));
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
  std::uint64_t dg_ = 0, time_ = 0, const0_ = 0, const1_ = 0, dlc_table_ = 0;
  std::uint16_t next_record_id_ = 1;
  std::uint32_t flags_ = 0;
  std::map<std::pair<unsigned, bool>, std::uint64_t> sources_;
  std::map<unsigned, std::uint64_t> bus_constants_;
};

void store_id(std::uint8_t* at, std::uint16_t id, unsigned id_size) {
  if (id_size == 1) {
    at[0] = static_cast<std::uint8_t>(id);
  } else {
    store_le16(at, id);
  }
}

// Appends one frame's record (and its signal-data record) to the data.
void encode(const LoggerFrame& f, Layout layout, Group& g, unsigned id_size,
            std::vector<std::uint8_t>& data) {
  const LayoutInfo& li = kLayouts[layout];
  std::uint8_t record[2 + 64] = {};
  std::uint8_t* r = record + id_size;
  store_id(record, g.record_id, id_size);
  store_le48(r, f.time_us);
  const std::uint8_t dlc = f.dlc & 0x0F;
  auto payload = [&](std::uint8_t* to) {
    std::copy_n(f.payload.begin(), std::min<std::size_t>(8, f.payload.size()), to);
  };
  if (layout == classic11 || layout == remote11) {
    store_le16(r + 6, static_cast<std::uint16_t>((dlc << 12) | (f.id & 0x7FF)));
    if (layout == classic11) payload(r + 8);
  } else if (layout == classic29 || layout == remote29) {
    store_le32(r + 6, f.id & 0x1FFFFFFF);
    r[10] = static_cast<std::uint8_t>(layout == classic29 ? dlc : dlc << 4);
    if (layout == classic29) payload(r + 11);
  } else if (layout == lin) {
    r[6] = static_cast<std::uint8_t>((f.id & 0x3F) | (f.tx ? 0x80 : 0));
    r[7] = static_cast<std::uint8_t>((f.dlc & 0x0F) | ((f.payload.size() & 0x0F) << 4));
    payload(r + 8);
  } else {
    if (li.id_bits == 11) {
      store_le16(r + 6, static_cast<std::uint16_t>(f.id & 0x7FF));
    } else {
      store_le32(r + 6, f.id & 0x1FFFFFFF);
    }
    r[li.flags_byte] = static_cast<std::uint8_t>((f.esi ? 0x80 : 0) | (f.brs ? 0x40 : 0) | dlc);
    if (li.over8) {
      store_le32(r + li.data_byte, static_cast<std::uint32_t>(g.vlsd_bytes + 4 * g.records));
    } else {
      payload(r + li.data_byte);
    }
  }
  data.insert(data.end(), record, record + id_size + li.data_bytes);
  ++g.records;
  if (!li.over8) return;
  // The value: a VLSD record after its record, or an entry of the group's SD block.
  const std::uint8_t length = kDlcLengths[dlc];
  std::uint8_t head[6];
  store_id(head, g.vlsd_record_id, id_size);
  store_le32(head + id_size, length);
  std::vector<std::uint8_t>& values = g.vlsd_cg != 0 ? data : g.signal_block;
  values.insert(values.end(), g.vlsd_cg != 0 ? head : head + id_size, head + id_size + 4);
  std::vector<std::uint8_t> bytes(length, 0);
  std::copy_n(f.payload.begin(), std::min<std::size_t>(length, f.payload.size()), bytes.begin());
  values.insert(values.end(), bytes.begin(), bytes.end());
  g.vlsd_bytes += length;
}

constexpr std::uint64_t kCgCycleCount = 24 + 6 * 8 + 8;
constexpr std::uint64_t kCgDataBytes = 24 + 6 * 8 + 24;

}  // namespace

std::uint8_t logger_dlc_length(std::uint8_t dlc) { return kDlcLengths[dlc & 0x0F]; }

LoggerFrame can_frame(std::uint8_t bus, std::uint32_t id, std::vector<std::uint8_t> payload,
                      std::uint64_t time_us, bool tx, bool fd) {
  LoggerFrame f{.bus = bus,
                .tx = tx,
                .ide = id > 0x7FF,
                .edl = fd || payload.size() > 8,
                .id = id,
                .time_us = time_us,
                .payload = {}};
  std::uint8_t dlc = 0;
  while (kDlcLengths[dlc] < payload.size() && dlc < 15)
    ++dlc;
  f.dlc = f.edl ? dlc : static_cast<std::uint8_t>(payload.size());
  payload.resize(kDlcLengths[f.dlc], 0);
  f.payload = std::move(payload);
  return f;
}

std::vector<std::uint8_t> build_logger_file(const std::vector<LoggerFrame>& frames,
                                            const LoggerFileOptions& options) {
  MdfBuilder b;
  b.set_start_time(options.start_time_ns);
  b.add_history();
  // Frame i is recorded by data group i % data_groups, each with the groups of every bus.
  const std::size_t group_count = std::max<std::size_t>(1, options.data_groups);
  std::vector<std::unique_ptr<LoggerLayoutWriter>> layouts;
  for (std::size_t i = 0; i < group_count; ++i)
    layouts.push_back(std::make_unique<LoggerLayoutWriter>(b, options));

  // Every layout and direction of a bus gets its group, as loggers do.
  std::set<unsigned> buses[3];  // by LoggerFrameKind
  for (const LoggerFrame& f : frames)
    buses[static_cast<int>(f.kind)].insert(f.bus);
  std::map<std::tuple<std::size_t, Layout, unsigned, bool>, Group> groups;
  for (std::size_t dg = 0; dg < group_count; ++dg) {
    auto add = [&](Layout layout, unsigned bus, bool tx) {
      groups[{dg, layout, bus, tx}] = layouts[dg]->add_group(layout, bus, tx);
    };
    for (unsigned bus : buses[0]) {
      for (Layout l : {classic11, classic29, fd11, fd29, fd_over8_11, fd_over8_29}) {
        add(l, bus, false);
        add(l, bus, true);
      }
    }
    for (unsigned bus : buses[1]) {
      for (Layout l : {remote11, remote29}) {
        add(l, bus, false);
        add(l, bus, true);
      }
    }
    for (unsigned bus : buses[2])
      add(lin, bus, false);
  }

  std::vector<std::vector<std::uint8_t>> data(group_count);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const LoggerFrame& f = frames[i];
    const Layout layout = layout_of(f);
    encode(f, layout, groups.at({i % group_count, layout, f.bus, layout != lin && f.tx}),
           options.record_id_size, data[i % group_count]);
  }
  for (auto& [key, g] : groups) {
    if (g.data_bytes_channel != 0 && g.vlsd_cg == 0)
      b.set_link(g.data_bytes_channel, link::kCnData, b.add_signal_data(g.signal_block));
    if (options.finalized) {
      b.patch_u64(g.cg + kCgCycleCount, g.records);
      if (g.vlsd_cg != 0)
        b.patch_u32(g.vlsd_cg + kCgDataBytes, static_cast<std::uint32_t>(g.vlsd_bytes));
    }
  }
  // An unfinalized logger has not yet written the length of the block it writes last.
  for (std::size_t dg = 0; dg < group_count; ++dg) {
    const bool last_unwritten = !options.finalized && dg + 1 == group_count;
    b.add_data(layouts[dg]->data_group(), data[dg],
               last_unwritten ? std::optional<std::uint64_t>(24) : std::nullopt);
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
  std::uint64_t time_us = 0;
  for (std::size_t i = 0; i < count; ++i) {
    time_us += 50 + next(450);
    std::uint32_t shape = next(10);  // classic, FD up to 8, FD over 8
    std::size_t length = shape < 7 ? next(9) : logger_dlc_length(9 + next(7));
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
