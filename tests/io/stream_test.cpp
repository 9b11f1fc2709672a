#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "io/buffered_stream.h"
#include "io/file_stream.h"
#include "io/memory_stream.h"
#include "io/range_stream.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

// Bytes 0, 1, 2, ... that count what is asked of them; tell or seek can be hidden.
class CountingStream : public Stream {
public:
  explicit CountingStream(std::size_t n, bool has_tell = true, bool has_seek = true)
      : bytes_(n), has_tell_(has_tell), has_seek_(has_seek) {
    std::iota(bytes_.begin(), bytes_.end(), std::uint8_t{0});
  }
  std::int64_t read(void* buffer, std::uint64_t n) override {
    ++reads;
    std::uint64_t k =
        std::min<std::uint64_t>(n, bytes_.size() - std::min(position_, bytes_.size()));
    if (k > 0) std::memcpy(buffer, bytes_.data() + position_, k);
    position_ += k;
    return static_cast<std::int64_t>(k);
  }
  std::int64_t tell() override { return has_tell_ ? std::int64_t(position_) : kStreamNotOffered; }
  std::int64_t seek(std::int64_t offset, int whence) override {
    if (!has_seek_) return kStreamNotOffered;
    ++seeks;
    std::int64_t base = whence == kSeekSet ? 0 : whence == kSeekCur ? position_ : bytes_.size();
    if (base + offset < 0 || base + offset > std::int64_t(bytes_.size())) return kStreamError;
    return position_ = static_cast<std::size_t>(base + offset);
  }
  int reads = 0;
  int seeks = 0;

private:
  std::vector<std::uint8_t> bytes_;
  std::size_t position_ = 0;
  bool has_tell_, has_seek_;
};

TEST(MemoryStream, SeeksStayInBoundsAndViewsOnlyTheContent) {
  auto stream = memory_stream_from(std::vector<std::uint8_t>{1, 2, 3, 4, 5});
  std::vector<std::uint64_t> capacities;  // doubling from two keeps appends linear
  for (int i = 0; i < 4; ++i) {
    auto grown = memory_stream_new();
    for (int k = 0; k <= i; ++k)
      grown->write("x", 1);
    capacities.push_back(grown->capacity());
  }
  EXPECT_EQ(capacities, (std::vector<std::uint64_t>{2, 2, 4, 4}));
  EXPECT_EQ(stream->seek(3, kSeekEnd), 8);  // from the end: extends with zeros
  EXPECT_EQ(std::vector<std::uint8_t>(stream->bytes().begin(), stream->bytes().end()),
            (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 0, 0, 0}));
  // Refused without moving: past the capacity, overflowing, negative, unknown whence.
  const std::pair<std::int64_t, int> refused[] = {
      {100, kSeekSet}, {INT64_MAX, kSeekCur}, {INT64_MAX, kSeekEnd}, {-9, kSeekEnd}, {0, 7}};
  for (auto [offset, whence] : refused) {
    EXPECT_EQ(stream->seek(offset, whence), kStreamError) << offset << "/" << whence;
    EXPECT_EQ(stream->tell(), 8);
  }
  EXPECT_NE(stream->view(0, 8), nullptr);
  EXPECT_EQ(stream->view(1, 8), nullptr);
  EXPECT_EQ(stream->view(9, 0), nullptr);
  EXPECT_EQ(stream->view(UINT64_MAX, 2), nullptr);
  // A read through a small window still gives every byte.
  auto buffered = buffered_stream_new(*stream, 1);
  std::uint8_t all[8];
  ASSERT_TRUE(stream_read_exact(*buffered, all, 8));
  EXPECT_EQ(all[4], 5);
  EXPECT_FALSE(stream_read_exact(*buffered, all, 1));
}

TEST(StreamSize, UsesWhatTheKindOffers) {
  CountingStream full(40), no_seek(40, true, false), no_tell(40, false, true);
  full.seek(7, kSeekSet);
  EXPECT_EQ(stream_size(&full), 40);
  EXPECT_EQ(full.tell(), 7);
  std::uint8_t buf[5];
  no_seek.read(buf, 5);
  EXPECT_EQ(stream_size(&no_seek), 5);  // the tell result, position untouched
  EXPECT_EQ(no_seek.tell(), 5);
  EXPECT_EQ(stream_size(&no_tell), kStreamNotOffered);
  EXPECT_EQ(stream_size(nullptr), -1);
}

TEST(BufferedStream, RoundsTheWindowToEight) {
  CountingStream inner(100);
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {{1, 8}, {8, 8}, {13, 16}, {1000, 1000}};
  for (auto [asked, capacity] : cases) {
    EXPECT_EQ(buffered_stream_new(inner, asked)->capacity(), capacity) << asked;
  }
  CountingStream empty(0), unseekable(20, true, false);
  std::uint8_t buf[20];
  EXPECT_EQ(buffered_stream_new(empty, 8)->read(buf, 4), 0);
  EXPECT_EQ(buffered_stream_new(unseekable, 8)->read(buf, 20), 20);  // read in sequence
  EXPECT_EQ(buf[19], 19);
}

TEST(BufferedStream, RefillsOnlyWhenTheWindowIsLeft) {
  CountingStream inner(100);
  auto buffered = buffered_stream_new(inner, 16);
  std::uint8_t buf[40];
  ASSERT_EQ(buffered->read(buf, 10), 10);
  ASSERT_EQ(buffered->read(buf, 30), 30);  // 6 from the window, then two refills
  EXPECT_EQ(inner.reads, 3);
  EXPECT_EQ(buf[29], 39);

  // The window now holds [32, 48): seeks inside it never reach the inner stream.
  const int reads = inner.reads, seeks = inner.seeks;
  EXPECT_EQ(buffered->seek(33, kSeekSet), 33);
  EXPECT_EQ(buffered->seek(-1, kSeekCur), 32);
  EXPECT_EQ(buffered->seek(48, kSeekSet), 48);
  EXPECT_EQ(inner.reads, reads);
  EXPECT_EQ(inner.seeks, seeks);

  EXPECT_EQ(buffered->seek(90, kSeekSet), 90);
  EXPECT_EQ(buffered->read(buf, 40), 10);
  EXPECT_EQ(buf[0], 90);
  EXPECT_EQ(buffered->seek(-20, kSeekEnd), 80);
  EXPECT_EQ(buffered->seek(500, kSeekSet), 80);  // refused by the inner stream: nothing moves
  EXPECT_EQ(stream_size(buffered.get()), 100);
  EXPECT_EQ(buffered->seek(-1, kSeekSet), kStreamError);
  EXPECT_EQ(buffered->seek(-101, kSeekEnd), kStreamError);
}

TEST(RangeStream, ClampsToItsRange) {
  CountingStream inner(200);
  auto range = range_stream_new(&inner, 28, 100);
  EXPECT_EQ(range->tell(), 0);
  std::vector<std::uint8_t> buf(1000);
  EXPECT_EQ(range->read(buf.data(), 1000), 72);
  EXPECT_EQ(buf[0], 28);
  struct Case {
    std::int64_t offset;
    int whence;
    std::int64_t position;
  } cases[] = {{-10, kSeekEnd, 62}, {10, kSeekEnd, 72}, {-5, kSeekSet, 0},
               {500, kSeekSet, 72}, {5, kSeekSet, 5},   {3, kSeekCur, 8}};
  for (const Case& c : cases) {
    EXPECT_EQ(range->seek(c.offset, c.whence), c.position) << c.offset << "/" << c.whence;
    EXPECT_EQ(range->tell(), c.position);
  }
  EXPECT_EQ(range_stream_new(&inner, 150, 0)->seek(0, kSeekEnd), 50);  // open-ended
}

TEST(FileStream, RoundTripsThroughAFile) {
  testing::TempDir dir;
  const std::string path = dir.file("data.bin");
  EXPECT_FALSE(file_stream_open(path, 3));
  EXPECT_FALSE(file_stream_open(dir.file("missing.bin"), 0));
  StreamPtr writer = file_stream_open(path, 1);
  char buf[16] = {};
  EXPECT_EQ(writer->read(buf, 1), kStreamNotOffered);
  EXPECT_EQ(writer->write("0123456789", 10), 10);
  EXPECT_EQ(stream_close(writer), 0);

  auto reader = file_stream_open(path, 0);
  EXPECT_EQ(reader->write("x", 1), kStreamNotOffered);
  EXPECT_EQ(stream_size(reader.get()), 10);
  EXPECT_EQ(reader->seek(4, kSeekSet), 4);
  EXPECT_EQ(reader->read(buf, 16), 6);
  EXPECT_STREQ(buf, "456789");
  EXPECT_EQ(reader->seek(-3, kSeekEnd), 7);
  EXPECT_EQ(reader->seek(-2, kSeekCur), 5);
  EXPECT_EQ(reader->seek(0, 5), kStreamError);

  auto both = file_stream_open(path, 2);  // a write, then a read of the following bytes
  EXPECT_EQ(both->write("ab", 2), 2);
  EXPECT_EQ(both->seek(2, kSeekSet), 2);
  EXPECT_EQ(both->read(buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "23");
}

TEST(FileStream, AddressesBeyondTwoGibibytes) {
  testing::TempDir dir;
  const std::int64_t big = (std::int64_t{3} << 30) + 5;  // sparse, no real disk use
  auto writer = file_stream_open(dir.file("big.bin"), 1);
  ASSERT_EQ(writer->seek(big - 1, kSeekSet), big - 1);
  ASSERT_EQ(writer->write("Z", 1), 1);
  EXPECT_EQ(writer->tell(), big);
  writer.reset();
  auto buffered = buffered_stream_new(file_stream_open(dir.file("big.bin"), 0), 64);
  EXPECT_EQ(stream_size(buffered.get()), big);
  EXPECT_EQ(buffered->seek(big - 2, kSeekSet), big - 2);
  char two[2];
  EXPECT_EQ(buffered->read(two, 2), 2);
  EXPECT_EQ(two[1], 'Z');
}

}  // namespace
}  // namespace busfold
