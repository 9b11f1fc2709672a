#include "buslog/output_groups.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "buslog/frame_layout.h"
#include "buslog/offset_cursor.h"
#include "io/stream.h"
#include "mdf/block_codec.h"
#include "mdf/cc_block.h"
#include "mdf/cg_block.h"
#include "mdf/cn_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/si_block.h"
#include "mdf/text_block.h"

namespace busfold {

namespace {

constexpr std::uint32_t kCnFlagBusEvent = 0x400;
constexpr std::uint16_t kCanGroupFlags = kCgFlagBusEvent | kCgFlagPlainBusEvent;
constexpr std::uint16_t kCanPathSeparator = '.';
constexpr std::uint8_t kTimeSync = 1;

enum Direction { kRx, kTx, kNoDirection };

struct CanGroupRow {
  const char* name_format;
  CanLayoutIndex layout;
  Direction direction;
  CanGroupSlot slot;  // where its record id goes; the VLSD group's goes in the next slot
};

// The order of creation, which is also the order of the record ids.
constexpr CanGroupRow kCanGroups[] = {
    {"CAN%u_Rx", kCanClassic11, kRx, kIdsClassic11},
    {"CAN%u_Tx", kCanClassic11, kTx, kIdsClassic11},
    {"CAN%u_Rx_IDE", kCanClassic29, kRx, kIdsClassic29},
    {"CAN%u_Tx_IDE", kCanClassic29, kTx, kIdsClassic29},
    {"CAN%u_Rx_FD_DLC_up_to_8", kCanFdUpTo8_11, kRx, kIdsFdUpTo8_11},
    {"CAN%u_Tx_FD_DLC_up_to_8", kCanFdUpTo8_11, kTx, kIdsFdUpTo8_11},
    {"CAN%u_Rx_FD_IDE_DLC_up_to_8", kCanFdUpTo8_29, kRx, kIdsFdUpTo8_29},
    {"CAN%u_Tx_FD_IDE_DLC_up_to_8", kCanFdUpTo8_29, kTx, kIdsFdUpTo8_29},
    {"CAN%u_Rx_FD_DLC_over_8", kCanFdOver8_11, kRx, kIdsFdOver8_11},
    {"CAN%u_Tx_FD_DLC_over_8", kCanFdOver8_11, kTx, kIdsFdOver8_11},
    {"CAN%u_Rx_FD_IDE_DLC_over_8", kCanFdOver8_29, kRx, kIdsFdOver8_29},
    {"CAN%u_Tx_FD_IDE_DLC_over_8", kCanFdOver8_29, kTx, kIdsFdOver8_29},
    {"CAN%u_RTR_Rx", kCanRemote11, kRx, kIdsRemote11},
    {"CAN%u_RTR_Tx", kCanRemote11, kTx, kIdsRemote11},
    {"CAN%u_RTR_IDE_Rx", kCanRemote29, kRx, kIdsRemote29},
    {"CAN%u_RTR_IDE_Tx", kCanRemote29, kTx, kIdsRemote29},
    {"CAN%u_Errors", kCanErrors, kNoDirection, kIdsClassic11},  // slot unused: own field
};

// Seventeen groups and four VLSD groups.
constexpr std::uint64_t kCanRecordIdsPerBus = std::size(kCanGroups) + 4;

struct LinMember {
  TemplateName name;
  FrameSlot slot;
  bool bytes;  // a byte array rather than an unsigned integer
};

struct LinGroupRow {
  const char* name_format;
  LinLayoutIndex layout;
  TemplateName structure;  // kTemplateNameCount: the group has no structure channel
  TemplateName bus_channel;
  std::array<LinMember, 7> members;
  std::size_t member_count;
};

// Members after the BusChannel, in channel order, with the slots of kLinLayouts.
constexpr LinGroupRow kLinGroups[] = {
    {"LIN%u_Frame",
     kLinLayoutFrame,
     kNameLinFrame,
     kNameLinFrameBusChannel,
     {{{kNameLinFrameId, kLinSlotId, false},
       {kNameLinFrameDataLength, kLinSlotDataLength, false},
       {kNameLinFrameReceivedDataByteCount, kLinSlotReceivedCount, false},
       {kNameLinFrameDir, kLinSlotDir, false},
       {kNameLinFrameDataBytes, kLinSlotDataBytes, true}}},
     5},
    {"LIN%u_ChecksumError",
     kLinLayoutChecksumError,
     kNameLinChecksumError,
     kNameLinChecksumErrorBusChannel,
     {{{kNameLinChecksumErrorChecksum, kLinCsSlotChecksum, false},
       {kNameLinChecksumErrorChecksumModel, kLinCsSlotChecksumModel, false},
       {kNameLinChecksumErrorId, kLinCsSlotId, false},
       {kNameLinChecksumErrorDataLength, kLinCsSlotDataLength, false},
       {kNameLinChecksumErrorReceivedDataByteCount, kLinCsSlotReceivedCount, false},
       {kNameLinChecksumErrorDir, kLinCsSlotDir, false},
       {kNameLinChecksumErrorDataBytes, kLinCsSlotDataBytes, true}}},
     7},
    {"LIN%u_ReceiveError",
     kLinLayoutReceiveError,
     kNameLinReceiveError,
     kNameLinReceiveErrorBusChannel,
     {{{kNameLinReceiveErrorId, kLinSlotId, false}}},
     1},
    {"LIN%u_SynchronizationError",
     kLinLayoutSyncError,
     kTemplateNameCount,
     kNameLinSyncErrorBusChannel,
     {},
     0},
    {"LIN%u_TransmissionError",
     kLinLayoutTransmissionError,
     kNameLinTransmissionError,
     kNameLinTransmissionErrorBusChannel,
     {{{kNameLinTransmissionErrorId, kLinSlotId, false}}},
     1},
};

// Builds the groups of one bus and adds them to the data group only when all of them
// were made, so that running out of memory leaves the file as it was.
class BusGroupBuilder {
public:
  BusGroupBuilder(DgBlock& dg, BusTemplate& bus_template, std::uint8_t bus)
      : dg_(dg), t_(bus_template), bus_(bus), cursor_(0) {
    // Go on after what the data group already holds.
    std::vector<MdfBlock*> blocks = collect_blocks(&dg);
    for (const MdfBlock* block : blocks) {
      if (const auto* cg = block_cast<CgBlock>(block)) {
        next_record_id_ = std::max(next_record_id_, cg->cg_record_id + 1);
      }
    }
    cursor_ = OffsetCursor(end_of_placed_blocks(blocks));
  }

  // Bus name, source and bus constant, placed before the groups.
  void begin(const char* bus_format, std::uint8_t si_bus_type, const BlockRef& source_comment) {
    BlockRef name = placed_text(format_name(bus_format));
    auto source = std::make_shared<SiBlock>();
    source->name = name;
    source->path = name;
    source->comment = source_comment;
    source->si_type = kSiTypeBus;
    source->si_bus_type = si_bus_type;
    cursor_.place(*source);
    source_ = source;

    bus_constant_ = t_.bus_constants[bus_];
    if (!bus_constant_) {
      auto cc = std::make_shared<CcBlock>();
      cc->set_linear(bus_, 0);
      cursor_.place(*cc);
      bus_constant_ = cc;
      new_bus_constant_ = true;
    }
  }

  // The group's name and CG, placed; its record id is the next one.
  std::shared_ptr<CgBlock> new_group(const char* name_format, std::uint32_t data_bytes, bool can) {
    BlockRef name = placed_text(format_name(name_format));
    auto cg = std::make_shared<CgBlock>();
    cursor_.place(*cg);
    cg->cg_record_id = next_record_id_++;
    cg->acq_name = std::move(name);
    cg->acq_source = source_;
    cg->cg_data_bytes = data_bytes;
    cg->cg_flags = can ? kCanGroupFlags : 0;
    cg->cg_path_separator = can ? kCanPathSeparator : 0;
    groups_.push_back(cg);
    return cg;
  }

  // A VLSD group for the signal data of the group made last: placed right after it.
  std::shared_ptr<CgBlock> new_vlsd_group() {
    auto cg = std::make_shared<CgBlock>();
    cursor_.place(*cg);
    cg->cg_record_id = next_record_id_++;
    cg->cg_flags = kCgFlagVlsd;
    groups_.push_back(cg);
    return cg;
  }

  std::shared_ptr<CnBlock> channel(TemplateName name, std::uint32_t kind, std::uint32_t value_type,
                                   const FieldSpan& span, const BlockRef& conversion,
                                   std::uint32_t flags) const {
    auto cn = std::make_shared<CnBlock>();
    cn->name = t_.name(name);
    cn->set_channel_kind(kind);
    cn->set_value_type(value_type);
    cn->cn_byte_offset = span.byte_offset;
    cn->cn_bit_offset = static_cast<std::uint8_t>(span.bit_offset);
    cn->cn_bit_count = span.bit_count;
    cn->conversion = conversion;
    cn->cn_flags = flags;
    return cn;
  }
  std::shared_ptr<CnBlock> field(TemplateName name, const FieldSpan& span, std::uint32_t flags,
                                 const BlockRef& conversion = nullptr) const {
    return channel(name, kChannelFixedLength, kValueUnsignedLe, span, conversion, flags);
  }
  std::shared_ptr<CnBlock> bytes(TemplateName name, const FieldSpan& span,
                                 std::uint32_t flags) const {
    return channel(name, kChannelFixedLength, kValueByteArray, span, nullptr, flags);
  }
  // A value that every record of the group shares: no bits in the record.
  std::shared_ptr<CnBlock> constant(TemplateName name, const BlockRef& conversion,
                                    std::uint32_t flags) const {
    return channel(name, kChannelVirtualData, kValueUnsignedLe, FieldSpan{0, 0, 0}, conversion,
                   flags);
  }
  std::shared_ptr<CnBlock> timestamp(const BlockRef& comment) const {
    auto cn = channel(kNameTimestamp, kChannelMaster, kValueUnsignedLe,
                      kCanLayouts[0].span(kSlotTimestamp), t_.time, 0);
    cn->cn_sync_type = kTimeSync;
    cn->comment = comment;
    return cn;
  }

  const BlockRef& bus_constant() const { return bus_constant_; }

  // Records carry 2-byte record ids.
  bool ids_left(std::uint64_t count) const { return next_record_id_ + count <= 0x10000; }

  // Adds the groups made (each VLSD group after its owner) and keeps a new bus constant.
  void commit() {
    dg_.channel_groups.reserve(dg_.channel_groups.size() + groups_.size());
    if (new_bus_constant_) t_.bus_constants[bus_] = bus_constant_;
    for (BlockRef& group : groups_)
      dg_.channel_groups.push_back(std::move(group));
    groups_.clear();
  }

private:
  std::string format_name(const char* format) const {
    char text[64];
    int n = std::snprintf(text, sizeof text, format, static_cast<unsigned>(bus_));
    return std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
  }
  BlockRef placed_text(const std::string& text) {
    auto tx = std::make_shared<TxBlock>();
    tx->set_text(text);
    cursor_.place(*tx);
    return tx;
  }

  DgBlock& dg_;
  BusTemplate& t_;
  std::uint8_t bus_;
  OffsetCursor cursor_;
  std::uint64_t next_record_id_ = 0;
  BlockRef source_;
  BlockRef bus_constant_;
  bool new_bus_constant_ = false;
  std::vector<BlockRef> groups_;
};

DgBlock* output_data_group(MdfFile& file) {
  HdBlock* hd = file.hd();
  if (hd == nullptr || hd->data_groups.empty()) return nullptr;
  return block_cast<DgBlock>(hd->data_groups.front());
}

// Returns the VLSD group made for a layout that uses signal data, else null.
const CgBlock* add_can_data_channels(BusGroupBuilder& b, const BusTemplate& t, CgBlock& cg,
                                     const FrameLayout& layout, Direction direction) {
  constexpr std::uint32_t kEvent = kCnFlagBusEvent;
  auto frame = b.bytes(kNameCanDataFrame, layout.span(kSlotFrame), kEvent);
  auto& m = frame->members;
  m.push_back(b.constant(kNameCanDataFrameBusChannel, b.bus_constant(), kEvent));
  const FieldSpan& id = layout.span(kSlotId);
  m.push_back(b.field(kNameCanDataFrameId, id, kEvent));
  m.push_back(b.constant(kNameCanDataFrameIde, id.bit_count == 11 ? t.ide_11 : t.ide_29, kEvent));
  m.push_back(b.field(kNameCanDataFrameDlc, layout.span(kSlotDlc), kEvent, t.dlc_table));
  m.push_back(b.field(kNameCanDataFrameDataLength, layout.span(kSlotDlc), kEvent, t.dlc_table));
  std::shared_ptr<CgBlock> vlsd;
  if (layout.uses_signal_data()) {
    auto data = b.channel(kNameCanDataFrameDataBytes, kChannelVlsd, kValueByteArray,
                          layout.span(kSlotDataOffset), nullptr, kEvent);
    vlsd = b.new_vlsd_group();
    data->data = vlsd;
    m.push_back(std::move(data));
  } else {
    m.push_back(b.bytes(kNameCanDataFrameDataBytes, layout.span(kSlotDataBytes), kEvent));
  }
  m.push_back(b.constant(kNameCanDataFrameDir, direction == kRx ? t.dir_rx : t.dir_tx, kEvent));
  if (layout.is_fd()) {
    m.push_back(b.constant(kNameCanDataFrameEdl, t.edl, kEvent));
    m.push_back(b.field(kNameCanDataFrameEsi, layout.span(kSlotEsi), kEvent));
    m.push_back(b.field(kNameCanDataFrameBrs, layout.span(kSlotBrs), kEvent));
  }
  cg.channels.push_back(std::move(frame));
  return vlsd.get();
}

void add_can_remote_channels(BusGroupBuilder& b, const BusTemplate& t, CgBlock& cg,
                             const FrameLayout& layout, Direction direction) {
  auto frame = b.bytes(kNameCanRemoteFrame, layout.span(kSlotFrame), kCnFlagBusEvent);
  auto& m = frame->members;
  m.push_back(b.constant(kNameCanRemoteFrameBusChannel, b.bus_constant(), 0));
  const FieldSpan& id = layout.span(kSlotId);
  m.push_back(b.field(kNameCanRemoteFrameId, id, 0));
  m.push_back(b.constant(kNameCanRemoteFrameIde, id.bit_count == 11 ? t.ide_11 : t.ide_29, 0));
  m.push_back(b.field(kNameCanRemoteFrameDlc, layout.span(kSlotDlc), 0, t.dlc_table));
  m.push_back(b.field(kNameCanRemoteFrameDataLength, layout.span(kSlotDlc), 0, t.dlc_table));
  m.push_back(b.constant(kNameCanRemoteFrameDir, direction == kRx ? t.dir_rx : t.dir_tx, 0));
  cg.channels.push_back(std::move(frame));
}

void add_can_error_channels(BusGroupBuilder& b, CgBlock& cg, const FrameLayout& layout) {
  auto frame = b.bytes(kNameCanErrorFrame, layout.span(kSlotFrame), kCnFlagBusEvent);
  frame->members.push_back(b.constant(kNameCanErrorFrameBusChannel, b.bus_constant(), 0));
  frame->members.push_back(b.field(kNameCanErrorFrameErrorType, layout.span(kSlotErrorType), 0));
  cg.channels.push_back(std::move(frame));
}

void add_lin_channels(BusGroupBuilder& b, CgBlock& cg, const LinGroupRow& row) {
  const FrameLayout& layout = kLinLayouts[row.layout];
  auto bus_channel = b.constant(row.bus_channel, b.bus_constant(), 0);
  if (row.structure == kTemplateNameCount) {
    cg.channels.push_back(std::move(bus_channel));
    return;
  }
  auto frame = b.bytes(row.structure, layout.span(kSlotFrame), 0);
  frame->members.push_back(std::move(bus_channel));
  for (std::size_t i = 0; i < row.member_count; ++i) {
    const LinMember& member = row.members[i];
    frame->members.push_back(member.bytes ? b.bytes(member.name, layout.span(member.slot), 0)
                                          : b.field(member.name, layout.span(member.slot), 0));
  }
  cg.channels.push_back(std::move(frame));
}

Result<CanGroupRecordIds> build_can_bus(DgBlock& dg, std::uint8_t bus, BusTemplate& t) {
  BusGroupBuilder b(dg, t, bus);
  if (!b.ids_left(kCanRecordIdsPerBus)) {
    return make_error(ErrorCode::kLimit, "No record ids left for the groups of CAN bus %u",
                      static_cast<unsigned>(bus));
  }
  b.begin("CAN%u", kSiBusCan, t.can_source_comment);
  CanGroupRecordIds ids;
  for (const CanGroupRow& row : kCanGroups) {
    const FrameLayout& layout = kCanLayouts[row.layout];
    auto cg = b.new_group(row.name_format, layout.data_bytes, true);
    cg->channels.push_back(b.timestamp(t.can_channel_comment));
    if (row.direction == kNoDirection) {
      ids.errors = static_cast<std::uint16_t>(cg->cg_record_id);
      add_can_error_channels(b, *cg, layout);
      continue;
    }
    auto& half = row.direction == kRx ? ids.rx : ids.tx;
    half[row.slot] = static_cast<std::uint16_t>(cg->cg_record_id);
    if (layout.kind == kCanDataFrame) {
      if (const CgBlock* vlsd = add_can_data_channels(b, t, *cg, layout, row.direction))
        half[row.slot + 1] = static_cast<std::uint16_t>(vlsd->cg_record_id);
    } else {
      add_can_remote_channels(b, t, *cg, layout, row.direction);
    }
  }
  b.commit();
  return ids;
}

Result<LinGroupRecordIds> build_lin_bus(DgBlock& dg, std::uint8_t bus, BusTemplate& t) {
  BusGroupBuilder b(dg, t, bus);
  if (!b.ids_left(std::size(kLinGroups))) {
    return make_error(ErrorCode::kLimit, "No record ids left for the groups of LIN bus %u",
                      static_cast<unsigned>(bus));
  }
  b.begin("LIN%u", kSiBusLin, t.lin_source_comment);
  LinGroupRecordIds ids;
  for (const LinGroupRow& row : kLinGroups) {
    auto cg = b.new_group(row.name_format, kLinLayouts[row.layout].data_bytes, false);
    if (row.layout == kLinLayoutFrame) ids.frames = static_cast<std::uint16_t>(cg->cg_record_id);
    cg->channels.push_back(b.timestamp(t.lin_channel_comment));
    add_lin_channels(b, *cg, row);
  }
  b.commit();
  return ids;
}

}  // namespace

Result<LinGroupRecordIds> add_lin_bus_groups(MdfFile& file, std::uint8_t bus,
                                             BusTemplate& bus_template) {
  DgBlock* dg = output_data_group(file);
  if (dg == nullptr) return unexplained_failure(ErrorCode::kInvalidInput);  // a caller's mistake
  return build_lin_bus(*dg, bus, bus_template);
}

Result<CanGroupRecordIds> add_can_bus_groups(MdfFile& file, std::uint8_t bus,
                                             BusTemplate& bus_template) {
  DgBlock* dg = output_data_group(file);
  if (dg == nullptr) return unexplained_failure(ErrorCode::kInvalidInput);  // a caller's mistake
  return build_can_bus(*dg, bus, bus_template);
}

std::vector<std::uint8_t> output_can_buses(std::span<const std::uint8_t> extra_buses) {
  std::bitset<256> taken;
  for (std::uint8_t bus : kOutputCanBuses)
    taken.set(bus);
  for (std::uint8_t bus : extra_buses)
    taken.set(bus);
  taken.reset(0);
  std::vector<std::uint8_t> buses;
  for (unsigned bus = 1; bus < 256; ++bus) {
    if (taken.test(bus)) buses.push_back(static_cast<std::uint8_t>(bus));
  }
  return buses;
}

Status add_output_bus_groups(MdfFile& file, BusTemplate& bus_template,
                             std::span<const std::uint8_t> extra_can_buses,
                             BusRecordIdTable& table) {
  // A bus that cannot be added does not stop the others: every failure is told.
  Status status;
  auto note = [&status](Status failure) {
    if (failure.ok()) return;
    if (status.ok()) {
      status = std::move(failure);
      return;
    }
    for (const std::string& line : failure.messages())
      status.add_context(line);
  };
  for (std::uint8_t bus : kOutputLinBuses) {
    Result<LinGroupRecordIds> ids = add_lin_bus_groups(file, bus, bus_template);
    if (ids.ok()) {
      table.set_lin(bus, *ids);
    } else {
      note(ids.take_status());
    }
  }
  for (std::uint8_t bus : output_can_buses(extra_can_buses)) {
    Result<CanGroupRecordIds> ids = add_can_bus_groups(file, bus, bus_template);
    if (ids.ok()) {
      table.set(bus, *ids);
    } else {
      note(ids.take_status());
    }
  }
  return status;
}

}  // namespace busfold
