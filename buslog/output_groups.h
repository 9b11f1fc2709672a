// The channel groups of the output file: five per LIN bus, seventeen (and four VLSD
// groups) per CAN bus, and the record ids under which frames are written.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/result.h"
#include "buslog/bus_template.h"
#include "mdf/mdf_file.h"

namespace busfold {

// Record ids of one direction of a CAN bus, by group.
enum CanGroupSlot : std::size_t {
  kIdsClassic11,
  kIdsClassic29,
  kIdsFdUpTo8_11,
  kIdsFdUpTo8_29,
  kIdsFdOver8_11,
  kIdsFdOver8_11Vlsd,
  kIdsFdOver8_29,
  kIdsFdOver8_29Vlsd,
  kIdsRemote11,
  kIdsRemote29,
  kCanGroupSlots,
};

// The record ids of the groups of one CAN bus.
struct CanGroupRecordIds {
  std::array<std::uint16_t, kCanGroupSlots> rx{};
  std::array<std::uint16_t, kCanGroupSlots> tx{};
  std::uint16_t errors = 0;
};

// The record id of the frame group of one LIN bus (its error groups take no records).
struct LinGroupRecordIds {
  std::uint16_t frames = 0;
};

// Record ids by CAN and by LIN bus number. A bus without groups in the output file has no
// entry: its frames have nowhere to go (a zero id would address the first LIN group).
class BusRecordIdTable {
public:
  void set(std::uint8_t bus, const CanGroupRecordIds& ids) {
    ids_[bus] = ids;
    present_.set(bus);
  }
  // Null when the bus has no groups.
  const CanGroupRecordIds* find(std::uint8_t bus) const {
    return present_.test(bus) ? &ids_[bus] : nullptr;
  }
  void set_lin(std::uint8_t bus, const LinGroupRecordIds& ids) {
    lin_ids_[bus] = ids;
    lin_present_.set(bus);
  }
  const LinGroupRecordIds* find_lin(std::uint8_t bus) const {
    return lin_present_.test(bus) ? &lin_ids_[bus] : nullptr;
  }

private:
  std::array<CanGroupRecordIds, 256> ids_{};
  std::bitset<256> present_;
  std::array<LinGroupRecordIds, 256> lin_ids_{};
  std::bitset<256> lin_present_;
};

// The buses every output file has groups for, whether the input uses them or not: the
// channels of the logger's LIN and CAN ports, and CAN 9, where loggers put the frames
// they write themselves; readers of the output expect all of them there.
inline constexpr std::uint8_t kOutputLinBuses[] = {1, 2};
inline constexpr std::uint8_t kOutputCanBuses[] = {1, 2, 9};

// Both add to the file's (first) data group, after the groups it has: record ids go on
// from the largest one there, and the new blocks are placed after the last placed block
// reachable from the data group (channels are left to the save). A failure (a line when
// the record ids ran out, none when the file has no data group) leaves the file
// unchanged.
Result<LinGroupRecordIds> add_lin_bus_groups(MdfFile& file, std::uint8_t bus,
                                             BusTemplate& bus_template);
Result<CanGroupRecordIds> add_can_bus_groups(MdfFile& file, std::uint8_t bus,
                                             BusTemplate& bus_template);

// The CAN buses of an output file, in the order they are added: 1, 2, 9 and the extra
// buses (demultiplexing targets) together in ascending bus number; each bus once, bus 0
// never. The order decides the record ids and the order of the groups in the file.
std::vector<std::uint8_t> output_can_buses(std::span<const std::uint8_t> extra_buses);

// Adds the groups of LIN buses 1 and 2, then those of the CAN buses of output_can_buses,
// and enters each bus in the table. A failure holds a line for each bus that could
// not be added, in the order they were tried; the others are added all the same.
Status add_output_bus_groups(MdfFile& file, BusTemplate& bus_template,
                             std::span<const std::uint8_t> extra_can_buses,
                             BusRecordIdTable& table);

}  // namespace busfold
