#include "buslog/bus_template.h"

#include <string>

#include <new>
#include <utility>

#include "buslog/frame_layout.h"
#include "buslog/offset_cursor.h"
#include "mdf/cc_block.h"
#include "mdf/dg_block.h"
#include "mdf/fh_block.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"
#include "mdf/text_block.h"

namespace busfold {

namespace {

// The comments are the same in every output file: the device values are those of the
// logger family whose files we finalize, not taken from the input.
constexpr std::string_view kHeaderComment =
    "<HDcomment>\n"
    "    <TX/>\n"
    "    <common_properties>\n"
    "        <tree name=\"Device Information\">\n"
    "            <e name=\"firmware version\" ro=\"true\">01.07.05</e>\n"
    "            <e name=\"hardware version\" ro=\"true\">00.02</e>\n"
    "            <e name=\"serial number\" ro=\"true\">12D6E08B</e>\n"
    "            <e name=\"device type\" ro=\"true\">0000001D</e>\n"
    "            <e name=\"storage total\" ro=\"true\">  7753728</e>\n"
    "            <e name=\"storage free\" ro=\"true\">  7751264</e>\n"
    "            <e name=\"storage id\" ro=\"true\">00035344534130384780568951010154</e>\n"
    "            <e name=\"config crc32 checksum\" ro=\"true\">696119F8</e>\n"
    "        </tree>\n"
    "        <tree name=\"File Information\">\n"
    "            <e name=\"session\" ro=\"true\">50000004</e>\n"
    "            <e name=\"split\" ro=\"true\">       1</e>\n"
    "            <e name=\"comment\" ro=\"true\">                              </e>\n"
    "        </tree>\n"
    "    </common_properties>\n"
    "</HDcomment>";

constexpr std::string_view kHistoryComment = "<FHcomment>\n"
                                             "    <TX>\n"
                                             "        Creation and logging of data.\n"
                                             "    </TX>\n"
                                             "    <tool_id>QK</tool_id>\n"
                                             "    <tool_vendor></tool_vendor>\n"
                                             "    <tool_version>01.07.05</tool_version>\n"
                                             "</FHcomment>";

// The source comment of a bus type; only the bus name and its bit-rate entries differ.
// The entries name channels 1 and 2 whatever buses the file holds.
std::string source_comment(std::string_view bus, std::string_view bit_rate) {
  std::string rates;
  for (char channel : {'1', '2'}) {
    rates += "            <e name=\"";
    rates += bus;
    rates += channel;
    rates += " Bit-rate\" unit=\"Hz\">";
    rates += bit_rate;
    rates += "</e>\n";
  }
  return "<SIcomment>\n"
         "    <TX>\n"
         "        " +
         std::string(bus) +
         "\n"
         "    </TX>\n"
         "    <bus name=\"" +
         std::string(bus) +
         "\"/>\n"
         "    <common_properties>\n"
         "        <tree name=\"ASAM Measurement Environment\">\n"
         "            <tree name=\"node\">\n"
         "                <e name=\"type\">Device</e>\n"
         "                <e name=\"software configuration\">01.07.05</e>\n"
         "                <e name=\"hardware version\">00.02</e>\n"
         "                <e name=\"serial number\">12D6E08B</e>\n"
         "            </tree>\n"
         "        </tree>\n"
         "        <tree name=\"Bus Information\">\n" +
         rates +
         "        </tree>\n"
         "    </common_properties>\n"
         "</SIcomment>";
}

// The comment of the timestamp channel of a bus type's groups.
std::string channel_comment(std::string_view frame) {
  return "<CNcomment>\n"
         "    <TX>\n"
         "        " +
         std::string(frame) +
         "\n"
         "    </TX>\n"
         "</CNcomment>";
}

// The identification block is 64 bytes; the header follows it.
constexpr std::uint64_t kHdOffset = 64;
// What the finalizer still has to set while records are being written: the groups'
// cycle counters, the length of the (last) data block, and the byte counts of the VLSD
// groups. Once it has, the flags are cleared.
constexpr std::uint16_t kUnfinalizedCycleCounters = 1u << 0;
constexpr std::uint16_t kUnfinalizedDataLength = 1u << 2;
constexpr std::uint16_t kUnfinalizedVlsdBytes = 1u << 5;
constexpr std::uint16_t kUnfinalizedFlags =
    kUnfinalizedCycleCounters | kUnfinalizedDataLength | kUnfinalizedVlsdBytes;
static_assert(kUnfinalizedFlags == 0x25);
constexpr std::uint8_t kTimeFlagsOffsetsValid = 2;

template <class Text> BlockRef placed_text(OffsetCursor& cursor, std::string_view text) {
  auto block = std::make_shared<Text>();
  block->set_text(text);
  cursor.place(*block);
  return block;
}

BlockRef placed_linear(OffsetCursor& cursor, double offset, double factor) {
  auto cc = std::make_shared<CcBlock>();
  cc->set_linear(offset, factor);
  cursor.place(*cc);
  return cc;
}

}  // namespace

BusLoggingFile create_bus_logging_file() {
  auto id = std::make_shared<IdBlock>();
  id->offset = 0;
  id->id_vers = "4.11    ";
  id->id_prog.assign("QK     \0", 8);
  id->id_ver = 411;
  id->id_unfin_flags = kUnfinalizedFlags;

  auto hd = std::make_shared<HdBlock>();
  hd->offset = kHdOffset;
  hd->hd_time_flags = kTimeFlagsOffsetsValid;
  id->hd = hd;

  BusLoggingFile out;
  BusTemplate& t = out.bus_template;
  OffsetCursor cursor(hd->offset + hd->length);
  for (std::size_t i = 0; i < kTemplateNameCount; ++i) {
    t.names[i] = placed_text<TxBlock>(cursor, kChannelNames[i].text);
  }
  t.unit_s = t.names[kNameUnitS];

  hd->comment = placed_text<MdBlock>(cursor, kHeaderComment);
  BlockRef history_comment = placed_text<MdBlock>(cursor, kHistoryComment);
  t.can_source_comment = placed_text<MdBlock>(cursor, source_comment("CAN", "1000000"));
  t.can_channel_comment = placed_text<MdBlock>(cursor, channel_comment("CAN_DataFrame"));
  t.lin_source_comment = placed_text<MdBlock>(cursor, source_comment("LIN", "  19200"));
  t.lin_channel_comment = placed_text<MdBlock>(cursor, channel_comment("LIN_Frame"));

  auto history = std::make_shared<FhBlock>();
  history->comment = std::move(history_comment);
  cursor.place(*history);
  hd->file_history.push_back(history);

  t.time = placed_linear(cursor, 0, 0.000001);
  block_cast<CcBlock>(t.time)->unit = t.unit_s;
  t.ide_11 = placed_linear(cursor, 0, 0);
  t.ide_29 = placed_linear(cursor, 1, 0);
  t.dir_rx = placed_linear(cursor, 0, 0);
  t.dir_tx = placed_linear(cursor, 1, 0);
  auto dlc = std::make_shared<CcBlock>();
  std::array<std::pair<double, double>, kDlcLengths.size()> pairs;
  for (std::size_t code = 0; code < pairs.size(); ++code) {
    pairs[code] = {static_cast<double>(code), static_cast<double>(kDlcLengths[code])};
  }
  dlc->set_value_table(pairs);
  cursor.place(*dlc);
  t.dlc_table = dlc;
  t.edl = placed_linear(cursor, 1, 0);

  auto dg = std::make_shared<DgBlock>();
  cursor.place(*dg);
  hd->data_groups.push_back(dg);

  out.file = std::make_unique<MdfFile>();
  out.file->id = std::move(id);
  return out;
}

}  // namespace busfold
