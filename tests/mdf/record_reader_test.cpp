#include "mdf/record_reader.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "io/buffered_stream.h"
#include "io/memory_stream.h"
#include "mdf/cg_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "tests/support/mdf_builder.h"
#include "tests/support/no_view_stream.h"

namespace busfold {
namespace {

using test::MdfBuilder;
using Bytes = std::vector<std::uint8_t>;

// What a walk gave: each record's id, bytes, signal bytes and position after it.
struct Walked {
  std::uint64_t id;
  Bytes record, signal;
  std::uint64_t position;
  bool operator==(const Walked&) const = default;
};

struct Walk {
  std::vector<Walked> records;
  ReadEnd end = ReadEnd::kNotEnded;
  Status status;  // the open's failure, or how the walk ended
  std::string message() const {
    return status.messages().empty() ? std::string() : status.messages().front();
  }
};

enum class Source { kMemory, kNoView, kSmallWindow };

// Opens the file from the source kind and walks its first data group.
Walk walk(const MdfBuilder& b, Source source = Source::kMemory) {
  Walk result;
  auto memory = memory_stream_from(b.bytes());
  test::NoViewStream no_view(*memory);
  auto window = buffered_stream_new(*memory, 16);
  Stream* stream = memory.get();
  if (source == Source::kNoView) stream = &no_view;
  if (source == Source::kSmallWindow) stream = window.get();
  Result<std::unique_ptr<MdfFile>> opened = mdf_open(*stream);
  if (opened.ok()) {
    std::unique_ptr<MdfFile>& mdf = *opened;
    RecordReader reader(*block_cast<DgBlock>(mdf->hd()->data_groups.at(0)));
    while (const Record* record = reader.next()) {
      result.records.push_back(
          {record->record_id, Bytes(record->record_bytes.begin(), record->record_bytes.end()),
           Bytes(record->signal_bytes.begin(), record->signal_bytes.end()), record->position});
    }
    result.end = reader.end();
    result.status = reader.end_status();
  } else {
    result.status = opened.status();
  }
  return result;
}

Bytes counting(std::size_t n, std::uint8_t from = 0) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i)
    bytes[i] = static_cast<std::uint8_t>(from + i);
  return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(RecordReader, SortedGroupReadsWholeRecords) {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group();
  b.add_channel(b.add_channel_group(dg, {.data_bytes = 8}), {.bit_count = 64});
  b.add_data(dg, counting(28));  // 3.5 records
  // A finalized data block has an exact length: a cut record in it is damage.
  Walk w = walk(b);
  ASSERT_EQ(w.records.size(), 3u);
  EXPECT_EQ(w.records[2].record, counting(8, 16));
  EXPECT_EQ(w.records[2].position, 24u);
  EXPECT_EQ(w.end, ReadEnd::kDamagedRecord);
  EXPECT_NE(w.message().find("Record at offset "), std::string::npos) << w.message();
  EXPECT_NE(w.message().find(" is cut short; 4 bytes left unread"), std::string::npos) << w.message();
  // The last data block of an unfinalized file is where a stopped recording ends.
  b.set_unfinalized(1);
  w = walk(b);
  ASSERT_EQ(w.records.size(), 3u);
  EXPECT_EQ(w.end, ReadEnd::kTruncatedRecord);
  EXPECT_FALSE(read_end_failed(w.end));

  // An empty data block (or none): no records, no failure.
  MdfBuilder empty;
  std::uint64_t dg2 = empty.add_data_group();
  empty.add_channel_group(dg2, {.data_bytes = 8});
  empty.add_data(dg2, {});
  Walk none = walk(empty);
  EXPECT_TRUE(none.records.empty());
  EXPECT_EQ(none.end, ReadEnd::kEndOfData);
}

// An unsorted group with record ids of one byte: id 1 (8 bytes) whose channel keeps its
// values in the VLSD group of id 2.
struct VlsdFile {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group(1);
  std::uint64_t cg = b.add_channel_group(dg, {.record_id = 1, .data_bytes = 8});
  std::uint64_t vlsd = b.add_channel_group(dg, {.record_id = 2, .flags = 1});
  VlsdFile() {
    b.add_channel(cg,
                  {.name = "Values", .type = 1, .data_type = 10, .bit_count = 64, .data = vlsd});
  }
};

TEST(RecordReader, VlsdRecordsFollowTheirRecord) {
  const Bytes record = counting(8, 0x10);
  const Bytes value = {3, 0, 0, 0, 0xA, 0xB, 0xC};
  {
    VlsdFile f;
    f.b.add_data(f.dg, concat({{1}, record, {2}, value}));
    Walk w = walk(f.b);
    ASSERT_EQ(w.records.size(), 1u);
    EXPECT_EQ(w.records[0], (Walked{1, record, value, 17}));
    EXPECT_EQ(w.end, ReadEnd::kEndOfData);
  }
  {
    // The record after id 1 is id 1 again: the first has no signal data, and the next
    // read starts at that id.
    VlsdFile f;
    f.b.add_data(f.dg, concat({{1}, record, {1}, record, {2}, value}));
    Walk w = walk(f.b);
    ASSERT_EQ(w.records.size(), 2u);
    EXPECT_EQ(w.records[0], (Walked{1, record, {}, 9}));
    EXPECT_EQ(w.records[1], (Walked{1, record, value, 26}));
  }
  {
    // A VLSD record on its own is stepped over; reading goes on after it.
    VlsdFile f;
    f.b.add_data(f.dg, concat({{2}, value, {1}, record, {2}, value}));
    Walk w = walk(f.b);
    ASSERT_EQ(w.records.size(), 1u);
    EXPECT_EQ(w.records[0], (Walked{1, record, value, 25}));
    EXPECT_EQ(w.end, ReadEnd::kEndOfData);
  }
  // The data ends inside a record, its id, or the VLSD record it needs: the tail of a
  // stopped recording in an unfinalized file, damage in a finalized one.
  for (bool unfinalized : {true, false}) {
    for (std::size_t cut : {1, 5, 9, 10, 14, 16}) {
      VlsdFile f;
      if (unfinalized) f.b.set_unfinalized(1);
      Bytes data = concat({{1}, record, {2}, value, {1}, record, {2}, value});
      data.resize(17 + cut);
      f.b.add_data(f.dg, data);
      Walk w = walk(f.b);
      EXPECT_EQ(w.records.size(), 1u) << cut;
      EXPECT_EQ(w.end, unfinalized ? ReadEnd::kTruncatedRecord : ReadEnd::kDamagedRecord) << cut;
    }
  }
  // A VLSD length damaged into more than any sample holds is no stopped recording.
  {
    VlsdFile f;
    f.b.set_unfinalized(1);
    f.b.add_data(f.dg, concat({{1}, record, {2}, {0, 0, 0, 1}, value}));
    Walk w = walk(f.b);
    EXPECT_TRUE(w.records.empty());
    EXPECT_EQ(w.end, ReadEnd::kDamagedRecord);
    EXPECT_NE(w.message().find(" claims a sample of 16777216 bytes"), std::string::npos) << w.message();
  }
}

TEST(RecordReader, RecordIdsSelectTheLayout) {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group(2);
  b.add_channel_group(dg, {.record_id = 0x0201, .data_bytes = 1});
  b.add_channel_group(dg, {.record_id = 0x0300, .data_bytes = 3});
  b.add_data(dg, Bytes{0x01, 0x02, 0xAA, 0x00, 0x03, 1, 2, 3, 0x01, 0x02, 0xBB, 0x07, 0x00, 0xCC});
  Walk w = walk(b);
  ASSERT_EQ(w.records.size(), 3u);
  EXPECT_EQ(w.records[0], (Walked{0x0201, {0xAA}, {}, 3}));
  EXPECT_EQ(w.records[1], (Walked{0x0300, {1, 2, 3}, {}, 8}));
  EXPECT_EQ(w.records[2].id, 0x0201u);
  // An id without a layout ends the walk, and says so: the rest of the data is lost.
  EXPECT_EQ(w.end, ReadEnd::kUnknownRecordId);
  EXPECT_TRUE(read_end_failed(w.end));
  EXPECT_EQ(w.message(), "Unknown record id 7 at offset 11");

  // One channel group with record ids is read by its ids too.
  MdfBuilder single;
  std::uint64_t dg2 = single.add_data_group(1);
  single.add_channel_group(dg2, {.record_id = 5, .data_bytes = 2});
  single.add_data(dg2, Bytes{5, 1, 2, 5, 3, 4});
  Walk s = walk(single);
  ASSERT_EQ(s.records.size(), 2u);
  EXPECT_EQ(s.records[1], (Walked{5, {3, 4}, {}, 6}));
  EXPECT_EQ(s.end, ReadEnd::kEndOfData);
}

TEST(RecordReader, GroupsThatCannotBeReadFailTheOpen) {
  // Several groups without record ids cannot be told apart; odd id sizes are not read.
  MdfBuilder several;
  std::uint64_t dg = several.add_data_group();
  several.add_channel_group(dg, {.data_bytes = 4});
  several.add_channel_group(dg, {.record_id = 1, .data_bytes = 4});
  Walk w = walk(several);
  EXPECT_NE(w.message().find("holds 2 channel groups without record ids"), std::string::npos);
  EXPECT_EQ(w.end, ReadEnd::kNotEnded);  // nothing opened

  MdfBuilder odd;
  odd.add_channel_group(odd.add_data_group(3), {.data_bytes = 4});
  EXPECT_NE(walk(odd).message().find("Unsupported record id size 3"), std::string::npos);

  // A data link to something that is not a DT.
  MdfBuilder wrong;
  std::uint64_t dg2 = wrong.add_data_group();
  wrong.add_channel_group(dg2, {.data_bytes = 4});
  wrong.set_link(dg2, test::link::kDgData, wrong.add_signal_data(counting(8)));
  Walk x = walk(wrong);
  EXPECT_EQ(x.end, ReadEnd::kNotADataBlock);
  EXPECT_NE(x.message().find("is not a DT block"), std::string::npos);
  EXPECT_TRUE(read_end_failed(x.end));
}

// A sorted group whose records hold two offsets into one SD block; optionally with a DT
// that claims another length and with bytes before it that no block links to.
MdfBuilder signal_data_file(const Bytes& records,
                            std::optional<std::uint64_t> declared_length = std::nullopt,
                            std::size_t unlinked_bytes = 0) {
  MdfBuilder b;
  if (unlinked_bytes > 0) b.add_text(std::string(unlinked_bytes, 'x'));
  std::uint64_t dg = b.add_data_group();
  std::uint64_t cg = b.add_channel_group(dg, {.data_bytes = 8});
  Bytes sd = concat({{2, 0, 0, 0, 0xA1, 0xA2}, {1, 0, 0, 0, 0xB1}, {0xFF, 0xFF, 0xFF, 0xFF, 0}});
  std::uint64_t sd_block = b.add_signal_data(sd);
  b.add_channel(cg, {.type = 1, .data_type = 10, .bit_count = 32, .data = sd_block});
  b.add_channel(cg,
                {.type = 1, .data_type = 10, .byte_offset = 4, .bit_count = 32, .data = sd_block});
  b.add_data(dg, records, declared_length);
  return b;
}

TEST(RecordReader, SignalDataIsCheckedBeforeItIsRead) {
  MdfBuilder b = signal_data_file({
      0,    0,    0, 0, 6,  0, 0, 0,  // both values
      6,    0,    0, 0, 99, 0, 0, 0,  // the second offset is past the data
      11,   0,    0, 0, 0,  0, 0, 0,  // a length of 4 GiB in 16 bytes: nothing read
      0xFF, 0xFF, 0, 0, 0,  0, 0, 0,  // far past the data
  });
  Walk w = walk(b);
  ASSERT_EQ(w.records.size(), 4u);
  EXPECT_EQ(w.records[0].signal, (Bytes{2, 0, 0, 0, 0xA1, 0xA2, 1, 0, 0, 0, 0xB1}));
  EXPECT_EQ(w.records[1].signal, (Bytes{1, 0, 0, 0, 0xB1}));
  EXPECT_TRUE(w.records[2].signal.empty());
  EXPECT_TRUE(w.records[3].signal.empty());
  EXPECT_EQ(w.end, ReadEnd::kEndOfData);
}

TEST(RecordReader, SignalDataReadAgainAndAgainEndsTheWalk) {
  // Records that all refer to both values would copy them for ever from a file of a few
  // bytes. A walk takes no more than the SD block and the records hold together: 816
  // bytes, 74 records of 11 signal bytes each.
  Bytes records;
  for (int i = 0; i < 100; ++i)
    records.insert(records.end(), {0, 0, 0, 0, 6, 0, 0, 0});
  for (Source source : {Source::kMemory, Source::kNoView, Source::kSmallWindow}) {
    Walk w = walk(signal_data_file(records), source);
    EXPECT_EQ(w.records.size(), 74u);
    EXPECT_EQ(w.end, ReadEnd::kSignalDataReused);
    EXPECT_TRUE(read_end_failed(w.end));
    EXPECT_NE(w.message().find("refer to more signal data than the file holds"), std::string::npos);
  }
  // Nor does the length of the DT of an unfinalized file that claims more than the file
  // holds: bytes no block links to leave room for that in the file's count of blocks.
  MdfBuilder b = signal_data_file(records, std::uint64_t{1} << 40, 4000);
  std::uint64_t dg = b.add_data_group();
  b.add_channel_group(dg, {.data_bytes = 8});
  b.add_data(dg, Bytes(8, 0), 24);  // the last DT, the one the open repairs
  b.set_unfinalized(4);
  Walk w = walk(b);
  EXPECT_EQ(w.end, ReadEnd::kSignalDataReused);
  EXPECT_LT(w.records.size(), 100u);
}

TEST(RecordReader, SourcesWithoutViewsReadTheSame) {
  // Records of ids 1 to 3 in random order and lengths, some cut, some unknown: whatever
  // the bytes, every source gives the same walk, and it ends.
  std::mt19937 random(7);
  std::size_t with_signal = 0;
  for (int round = 0; round < 60; ++round) {
    VlsdFile f;
    f.b.add_channel_group(f.dg, {.record_id = 3, .data_bytes = 0});
    Bytes sd = counting(64);
    sd[0] = 20;  // a value of 20 bytes at offset 0
    f.b.add_channel(f.cg, {.type = 1,
                           .data_type = 10,
                           .byte_offset = 7,
                           .bit_count = 8,
                           .data = f.b.add_signal_data(sd)});
    Bytes data;
    for (int i = 0; i < 40; ++i) {
      auto id = static_cast<std::uint8_t>(random() % 40 == 0 ? 9 : 1 + random() % 3);
      data.push_back(id);
      Bytes bytes;
      if (id == 1) {
        bytes = counting(8, static_cast<std::uint8_t>(random()));
        bytes[7] = random() % 3 == 0 ? 0 : 60;  // the SD offset: a value, or past the data
      } else if (id == 2) {
        auto length = static_cast<std::uint8_t>(random() % 12);
        bytes = concat({{length, 0, 0, 0}, counting(length + (random() % 8 == 0))});
      }
      data.insert(data.end(), bytes.begin(), bytes.end());
    }
    data.resize(data.size() - random() % 10);
    f.b.add_data(f.dg, data);
    Walk in_memory = walk(f.b);
    EXPECT_NE(in_memory.end, ReadEnd::kNotEnded);
    for (const Walked& record : in_memory.records)
      with_signal += record.signal.size() > 4;
    for (Source source : {Source::kNoView, Source::kSmallWindow}) {
      Walk other = walk(f.b, source);
      EXPECT_EQ(other.records, in_memory.records) << round << " " << static_cast<int>(source);
      EXPECT_EQ(other.end, in_memory.end);
    }
  }
  EXPECT_GT(with_signal, 50u);
}

// A classifier that knows nothing of buses: roles are name lengths, and groups of a bus
// source get a handler that counts records into the output area.
struct Count : RecordOutput {
  std::uint64_t value = 0;
};
std::uint32_t count_record(const Record& record, RecordOutput& output) {
  static_cast<Count&>(output).value += record.group_kind;
  return 42;
}
class Counting final : public ChannelClassifier {
public:
  void classify_name(ChannelDecoder& d) const override {
    d.role = static_cast<std::uint32_t>(d.name.size());
  }
  GroupClassification classify_group(std::span<const ChannelDecoder> decoders) const override {
    return GroupClassification{true, count_record, static_cast<std::uint32_t>(decoders.size())};
  }
};
const Counting kCounting;

TEST(RecordIterator, HandlersComeFromTheClassifier) {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group(1);
  std::uint64_t bus = b.add_channel_group(
      dg, {.record_id = 1, .data_bytes = 1, .source = b.add_source("CAN1", 2, 2)});
  b.add_channel(bus, {.name = "abc"});
  b.add_channel(bus, {.name = "de"});
  std::uint64_t other = b.add_channel_group(
      dg, {.record_id = 2, .data_bytes = 1, .source = b.add_source("tool", 1, 0)});
  b.add_channel(other, {.name = "x"});
  b.add_data(dg, Bytes{1, 0, 2, 0, 1, 0});

  auto mdf = test::open_mdf(b.bytes(), &kCounting);
  ASSERT_TRUE(mdf);
  auto* group = block_cast<DgBlock>(mdf->hd()->data_groups[0]);
  auto* bus_group = block_cast<CgBlock>(group->channel_groups[0]);
  EXPECT_EQ(bus_group->decoders[0].role, 3u);
  EXPECT_EQ(group->group_kind_of(*bus_group), 2u);
  EXPECT_EQ(group->group_kind_of(*block_cast<CgBlock>(group->channel_groups[1])), 0u);

  RecordReader reader(*group);
  Count counted;
  RecordIterator it(reader, &counted);
  EXPECT_EQ(it.last_result(), kRecordNotDecoded);
  std::vector<std::uint32_t> results;
  for (bool more = it.begin(); more; more = it.next())
    results.push_back(it.last_result());
  EXPECT_EQ(results, (std::vector<std::uint32_t>{42, kRecordNotDecoded, 42}));
  EXPECT_EQ(counted.value, 4u);
  EXPECT_TRUE(it.done());
  EXPECT_EQ(it.end(), ReadEnd::kEndOfData);
  // A second walk starts over.
  EXPECT_TRUE(it.begin());
  EXPECT_EQ(it.record().position, 2u);

  // Without a classifier every record is read and nothing decodes it.
  auto plain = test::open_mdf(b.bytes());
  RecordReader plain_reader(*block_cast<DgBlock>(plain->hd()->data_groups[0]));
  int records = 0;
  while (const Record* record = plain_reader.next()) {
    Count untouched;
    EXPECT_EQ(record->handler(*record, untouched), kRecordNotDecoded);
    ++records;
  }
  EXPECT_EQ(records, 3);
}

}  // namespace
}  // namespace busfold
