#include "mdf/record_reader.h"

#include <gtest/gtest.h>

#include "io/buffered_stream.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "tests/support/mdf_builder.h"
#include "tests/support/no_view_stream.h"

namespace busfold {
namespace {

using test::MdfBuilder;
using Bytes = std::vector<std::uint8_t>;

// Each record's id, bytes, signal bytes and position after it.
struct Walked {
  std::uint64_t id;
  Bytes record, signal;
  std::uint64_t position;
  bool operator==(const Walked&) const = default;
};

struct Walk {
  std::vector<Walked> records;
  ReadEnd end = ReadEnd::kNotEnded;
  std::string message;  // the open's failure, or how the walk ended
  bool operator==(const Walk&) const = default;
};

// Opens the file from the stream and walks its first data group.
Walk walk_from(Stream& stream) {
  Walk result;
  Result<std::unique_ptr<MdfFile>> mdf = mdf_open(stream);
  Status status = mdf.status();
  if (mdf.ok()) {
    RecordReader reader(*block_cast<DgBlock>((*mdf)->hd()->data_groups.at(0)));
    while (const Record* r = reader.next()) {
      result.records.push_back({r->record_id, Bytes(r->record_bytes.begin(), r->record_bytes.end()),
                                Bytes(r->signal_bytes.begin(), r->signal_bytes.end()),
                                r->position});
    }
    result.end = reader.end();
    status = reader.end_status();
  }
  if (!status.messages().empty()) result.message = status.messages().front();
  return result;
}

// The walk from memory, where the reader shows views of the bytes; a source without views
// and a 16-byte read-ahead window over it, where it copies, must see the same.
Walk walk(const MdfBuilder& b) {
  auto memory = memory_stream_from(b.bytes());
  const Walk in_memory = walk_from(*memory);
  test::NoViewStream no_view(*memory);
  EXPECT_EQ(walk_from(no_view), in_memory);
  EXPECT_EQ(walk_from(*buffered_stream_new(no_view, 16)), in_memory);
  return in_memory;
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

TEST(RecordReader, CutRecordsAndUnknownIdsEndTheWalk) {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group();
  b.add_channel(b.add_channel_group(dg, {.data_bytes = 8}), {.bit_count = 64});
  b.add_data(dg, counting(31));  // a byte short of 4 records
  Walk w = walk(b);
  const std::vector<Walked> three = {
      {0, counting(8), {}, 8}, {0, counting(8, 8), {}, 16}, {0, counting(8, 16), {}, 24}};
  EXPECT_EQ(w, (Walk{three, ReadEnd::kDamagedRecord,
                     "Record at offset 544 is cut short; 7 bytes left unread"}));
  b.set_unfinalized(1);  // the last DT of an unfinalized file is where recording stopped
  w = walk(b);
  EXPECT_EQ(w, (Walk{three, ReadEnd::kTruncatedRecord, ""}));
  EXPECT_FALSE(read_end_failed(w.end));
  b.add_data(dg, {});
  EXPECT_EQ(walk(b).end, ReadEnd::kEndOfData);
  b.set_link(dg, test::link::kDgData, b.add_signal_data(counting(8)));
  w = walk(b);
  EXPECT_EQ(w.end, ReadEnd::kNotADataBlock);
  EXPECT_NE(w.message.find("is not a DT block"), std::string::npos);
  EXPECT_TRUE(read_end_failed(w.end));

  // Record ids select the layout; an unknown one ends the walk.
  MdfBuilder ids;
  dg = ids.add_data_group(2);
  ids.add_channel_group(dg, {.record_id = 0x0201, .data_bytes = 1});
  ids.add_channel_group(dg, {.record_id = 0x0300, .data_bytes = 3});
  ids.add_data(dg,
               Bytes{0x01, 0x02, 0xAA, 0x00, 0x03, 1, 2, 3, 0x01, 0x02, 0xBB, 0x07, 0x00, 0xCC});
  w = walk(ids);
  EXPECT_EQ(w,
            (Walk{{{0x0201, {0xAA}, {}, 3}, {0x0300, {1, 2, 3}, {}, 8}, {0x0201, {0xBB}, {}, 11}},
                  ReadEnd::kUnknownRecordId,
                  "Unknown record id 7 at offset 11"}));
  EXPECT_TRUE(read_end_failed(w.end));
}

// Two groups walked side by side through one small window over the file, as the walks of
// a file's data groups go: each walk's next record is read after the other refilled the
// window, and each sees its own records.
TEST(RecordReader, WalksSideBySideSeeTheirOwnRecords) {
  MdfBuilder b;
  const std::uint64_t first = b.add_data_group(), second = b.add_data_group();
  for (std::uint64_t dg : {first, second})
    b.add_channel(b.add_channel_group(dg, {.data_bytes = 4}), {.bit_count = 32});
  b.add_data(first, counting(40, 0));
  b.add_data(second, counting(40, 100));
  auto memory = memory_stream_from(b.bytes());
  test::NoViewStream no_view(*memory);
  std::unique_ptr<Stream> window = buffered_stream_new(no_view, 64);
  Result<std::unique_ptr<MdfFile>> mdf = mdf_open(*window);
  ASSERT_TRUE(mdf.ok());
  const auto& groups = (*mdf)->hd()->data_groups;
  RecordReader a(*block_cast<DgBlock>(groups.at(0))), c(*block_cast<DgBlock>(groups.at(1)));
  // Two records at a time: the second is read from the window the first filled.
  for (std::uint8_t i = 0; i < 10; i += 2) {
    for (auto [reader, from] : {std::pair{&a, 0}, std::pair{&c, 100}}) {
      for (std::uint8_t k = i; k < i + 2; ++k) {
        const Record* r = reader->next();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(Bytes(r->record_bytes.begin(), r->record_bytes.end()),
                  counting(4, static_cast<std::uint8_t>(from + 4 * k)));
      }
    }
  }
}

// An unsorted group with one-byte record ids: id 1 (8 bytes) whose channel keeps its
// values in the VLSD group of id 2.
struct VlsdFile {
  MdfBuilder b;
  std::uint64_t dg = b.add_data_group(1);
  std::uint64_t cg = b.add_channel_group(dg, {.record_id = 1, .data_bytes = 8});
  std::uint64_t vlsd = b.add_channel_group(dg, {.record_id = 2, .flags = 1});
  VlsdFile() { b.add_channel(cg, {.type = 1, .data_type = 10, .bit_count = 64, .data = vlsd}); }
};

TEST(RecordReader, VlsdRecordsFollowTheirRecord) {
  const Bytes rec = counting(8, 0x10);
  const Bytes value = {3, 0, 0, 0, 0xA, 0xB, 0xC};
  // A record followed by its value; by itself again (no value); a lone value, stepped over.
  const struct {
    Bytes data;
    std::vector<Walked> expected;
  } cases[] = {
      {concat({{1}, rec, {2}, value}), {{1, rec, value, 17}}},
      {concat({{1}, rec, {1}, rec, {2}, value}), {{1, rec, {}, 9}, {1, rec, value, 26}}},
      {concat({{2}, value, {1}, rec, {2}, value}), {{1, rec, value, 25}}},
  };
  for (const auto& c : cases) {
    VlsdFile f;
    f.b.add_data(f.dg, c.data);
    Walk w = walk(f.b);
    EXPECT_EQ(w.records, c.expected);
    EXPECT_EQ(w.end, ReadEnd::kEndOfData);
  }
  // The data ends inside a record, its id, or the value it needs.
  for (bool unfinalized : {true, false}) {
    for (std::size_t cut : {1, 5, 9, 10, 14, 16}) {
      VlsdFile f;
      if (unfinalized) f.b.set_unfinalized(1);
      Bytes data = concat({{1}, rec, {2}, value, {1}, rec, {2}, value});
      data.resize(17 + cut);
      f.b.add_data(f.dg, data);
      Walk w = walk(f.b);
      EXPECT_EQ(w.records.size(), 1u) << cut;
      EXPECT_EQ(w.end, unfinalized ? ReadEnd::kTruncatedRecord : ReadEnd::kDamagedRecord) << cut;
    }
  }
  // A value length damaged into more than any sample holds is no stopped recording.
  VlsdFile f;
  f.b.set_unfinalized(1);
  f.b.add_data(f.dg, concat({{1}, rec, {2}, {0, 0, 0, 1}, value}));
  Walk w = walk(f.b);
  EXPECT_EQ(w, (Walk{{},
                     ReadEnd::kDamagedRecord,
                     "Record at offset 624 claims a sample of 16777216 bytes, more than the data "
                     "holds; 21 bytes left unread"}));
}

// A sorted group whose records hold two offsets into one SD block, after `unlinked`
// bytes no block links to.
MdfBuilder signal_data_file(const Bytes& records, std::optional<std::uint64_t> declared = {},
                            std::size_t unlinked = 0) {
  MdfBuilder b;
  if (unlinked > 0) b.add_text(std::string(unlinked, 'x'));
  std::uint64_t dg = b.add_data_group();
  std::uint64_t cg = b.add_channel_group(dg, {.data_bytes = 8});
  std::uint64_t sd =
      b.add_signal_data(Bytes{2, 0, 0, 0, 0xA1, 0xA2, 1, 0, 0, 0, 0xB1, 0xFF, 0xFF, 0xFF, 0xFF, 0});
  b.add_channel(cg, {.type = 1, .data_type = 10, .bit_count = 32, .data = sd});
  b.add_channel(cg, {.type = 1, .data_type = 10, .byte_offset = 4, .bit_count = 32, .data = sd});
  b.add_data(dg, records, declared);
  return b;
}

TEST(RecordReader, SignalDataIsCheckedBeforeItIsRead) {
  Walk w = walk(signal_data_file({
      0,    0,    0, 0, 6,  0, 0, 0,  // both values
      6,    0,    0, 0, 99, 0, 0, 0,  // the second offset is past the data
      11,   0,    0, 0, 0,  0, 0, 0,  // a length of 4 GiB in 16 bytes: nothing read
      0xFF, 0xFF, 0, 0, 0,  0, 0, 0,  // far past the data
  }));
  ASSERT_EQ(w.records.size(), 4u);
  EXPECT_EQ(w.records[0].signal, (Bytes{2, 0, 0, 0, 0xA1, 0xA2, 1, 0, 0, 0, 0xB1}));
  EXPECT_EQ(w.records[1].signal, (Bytes{1, 0, 0, 0, 0xB1}));
  EXPECT_TRUE(w.records[2].signal.empty() && w.records[3].signal.empty());
  EXPECT_EQ(w.end, ReadEnd::kEndOfData);

  // Records that all refer to both values would copy them for ever: a walk takes no more
  // than the SD block and the records hold together (816 bytes, 74 records of 11).
  Bytes records;
  for (int i = 0; i < 100; ++i)
    records.insert(records.end(), {0, 0, 0, 0, 6, 0, 0, 0});
  w = walk(signal_data_file(records));
  EXPECT_EQ(w.records.size(), 74u);
  EXPECT_EQ(w.end, ReadEnd::kSignalDataReused);
  EXPECT_NE(w.message.find("refer to more signal data than the file holds"), std::string::npos);
  // Nor does an unfinalized DT that claims more than the file, with unlinked bytes that
  // leave room for it in the count of blocks.
  MdfBuilder b = signal_data_file(records, std::uint64_t{1} << 40, 4000);
  std::uint64_t dg = b.add_data_group();
  b.add_channel_group(dg, {.data_bytes = 8});
  b.add_data(dg, Bytes(8, 0), 24);  // the last DT, the one the open repairs
  b.set_unfinalized(4);
  w = walk(b);
  EXPECT_EQ(w.end, ReadEnd::kSignalDataReused);
  EXPECT_LT(w.records.size(), 100u);
}

}  // namespace
}  // namespace busfold
