// File streams, the windows over them, and the file system root under them.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "io/fs_root.h"
#include <zlib.h>

#include "io/memory_stream.h"
#include "io/piece_stream.h"
#include "io/window_stream.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::TempDir;

TEST(FsRoot, StatsAndListsFilesBeyondTwoGibibytes) {
  TempDir dir;
  for (const char* name : {"b", "a.txt", "B.mf4", "a.mf4", "\xc3\xa9.mf4"})
    ASSERT_TRUE(dir.write_file(name, "12345"));
  ASSERT_TRUE(dir.make_folder("A"));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);            // neither file nor folder
  ASSERT_EQ(::symlink("nowhere", dir.file("dangling").c_str()), 0);  // cannot be examined
  auto root = fs_root_new(dir.path());
  ASSERT_TRUE(root);
  const std::int64_t big = (std::int64_t{5} << 30) + 5;  // sparse, no real disk use
  auto writer = fs_open(root.get(), "b", kFsWrite);
  ASSERT_EQ(writer->seek(big - 1, kSeekSet), big - 1);
  ASSERT_EQ(writer->write("Z", 1), 1);
  ASSERT_EQ(writer->close(), 0);
  // Path, whether the query succeeds, kind and size; not found is no error.
  for (auto [path, ok, kind, size] : {std::tuple{"a.mf4", true, kFsFile, std::int64_t{5}},
                                      {"b", true, kFsFile, big},
                                      {"A", true, kFsFolder, 0},
                                      {"fifo", true, kFsOther, 0},
                                      {"missing", true, kFsNotFound, 0},
                                      {"a.mf4/x", false, kFsNotFound, 0}}) {
    FsStat st;
    ASSERT_EQ(fs_stat(root.get(), path, st), ok) << path;
    if (ok) {
      EXPECT_EQ(std::make_pair(st.kind, st.size), std::make_pair(kind, size)) << path;
    }
  }
  EXPECT_EQ(fs_list(root.get(), "").value(),
            (std::vector<std::string>{"A", "B.mf4", "a.mf4", "a.txt", "b", "\xc3\xa9.mf4"}));
  auto reader = fs_open(root.get(), "b", kFsRead);
  EXPECT_EQ(reader->seek(big - 1, kSeekSet), big - 1);
  char last = 0;
  EXPECT_EQ(reader->read(&last, 1), 1);
  EXPECT_EQ(last, 'Z');
}

// Large writes go past the library's buffer, small ones through it: in write and in
// read-write streams, with seeks between them, the file holds what was written where.
TEST(FileStream, KeepsBufferedAndDirectWritesInOrder) {
  TempDir dir;
  const std::string big(100000, 'b');
  std::string expected = "aa" + big + "cc";
  expected[1] = 'X';
  expected.replace(50000, 3, "YYY");
  for (const int mode : {1, 2}) {
    auto file = file_stream_open(dir.file("out"), mode);
    ASSERT_TRUE(file);
    ASSERT_EQ(file->write("aa", 2), 2);
    ASSERT_EQ(file->write(big.data(), big.size()), std::ssize(big));
    ASSERT_EQ(file->write("cc", 2), 2);
    ASSERT_EQ(file->seek(1, kSeekSet), 1);
    ASSERT_EQ(file->write("X", 1), 1);
    ASSERT_EQ(file->seek(50000, kSeekSet), 50000);
    ASSERT_EQ(file->write("YYY", 3), 3);
    EXPECT_EQ(file->tell(), 50003);
    EXPECT_EQ(file->seek(0, kSeekEnd), std::ssize(expected));
    if (mode == 2) {  // a read right after a large write starts where it ended
      ASSERT_EQ(file->seek(0, kSeekSet), 0);
      ASSERT_EQ(file->write(big.data(), 99999), 99999);
      char two[2];
      ASSERT_EQ(file->read(two, 2), 2);
      EXPECT_EQ(std::string(two, 2), expected.substr(99999, 2));
      ASSERT_EQ(file->seek(0, kSeekSet), 0);
      ASSERT_EQ(file->write(expected.data(), 99999), 99999);
    }
    EXPECT_EQ(file->close(), 0);
    EXPECT_EQ(dir.read_file("out"), expected) << mode;
  }
}

TEST(FsRoot, TemporaryFilesAreOwnedByOneRunAndStaleOnesAreCleared) {
  TempDir dir;
  ASSERT_TRUE(dir.make_folder("out"));
  auto root = fs_root_new(dir.path());
  std::string first, second;
  auto a = fs_create_temporary(root.get(), "out/x_fin.MF4", first);
  auto b = fs_create_temporary(root.get(), "out/x_fin.MF4", second);
  ASSERT_TRUE(a && b);
  EXPECT_NE(first, second);
  EXPECT_TRUE(first.starts_with("out/x_fin.MF4.") && first.ends_with(".part")) << first;
  // Left by runs that were killed: the old fixed name and a unique one nobody holds.
  for (const char* name :
       {"x_fin.MF4.part", "x_fin.MF4.1-1.part", "x_fin.MF4.keep", "y_fin.MF4.part"})
    ASSERT_TRUE(dir.write_file(std::string("out/") + name, "stale"));
  TemporaryFiles temporaries;
  temporaries.remove_stale(root.get(), "out/x_fin.MF4", first);
  EXPECT_TRUE(dir.exists(first));
  EXPECT_TRUE(dir.exists(second));  // a live run holds its lock
  EXPECT_FALSE(dir.exists("out/x_fin.MF4.part"));
  EXPECT_FALSE(dir.exists("out/x_fin.MF4.1-1.part"));
  EXPECT_TRUE(dir.exists("out/x_fin.MF4.keep"));
  EXPECT_TRUE(dir.exists("out/y_fin.MF4.part"));  // another output's
  // Once its run has closed it, the other file is stale too.
  EXPECT_EQ(b->close(), 0);
  temporaries.remove_stale(root.get(), "out/x_fin.MF4", first);
  EXPECT_FALSE(dir.exists(second));
  // The folder is listed once: the next output of it finds its own leftovers still.
  temporaries.remove_stale(root.get(), "out/y_fin.MF4", "");
  EXPECT_FALSE(dir.exists("out/y_fin.MF4.part"));
  EXPECT_TRUE(fs_sync_folder(root.get(), "out"));
}

TEST(NormalisePath, GivesAbsoluteCanonicalPaths) {
  TempDir dir;
  ASSERT_TRUE(dir.write_file("sub/x.mf4", "x"));
  testing::ScopedCurrentFolder cwd(dir.path());
  const std::string t = dir.path();
  const std::string parent = t.substr(0, t.rfind('/') + 1);
  const std::pair<std::string, std::string> cases[] = {
      {"sub", t + "/sub/"},               // existing folder gains "/"
      {"sub\\x.mf4", t + "/sub/x.mf4"},   // backslash is a separator
      {"sub//x.mf4/", t + "/sub/x.mf4"},  // doubled "/" reduced, a file loses its "/"
      {"logs\\2024", t + "/logs/2024"},   // missing is no error
      {"..", parent},                     // the parent, not the current folder
      {".", t + "/"},
      {"./sub/./x.mf4", t + "/sub/x.mf4"},  // "." components are left out
      {t + "/./sub/.", t + "/sub/"},
      {"/no/such/place", "/no/such/place"},
  };
  for (auto [in, out] : cases) {
    std::string path = in;
    EXPECT_TRUE(normalise_path(path).ok()) << in;
    EXPECT_EQ(path, out) << in;
  }
  std::string through_file = dir.file("sub/x.mf4/inner");
  Status status = normalise_path(through_file);
  EXPECT_EQ(through_file, dir.file("sub/x.mf4/inner"));
  EXPECT_EQ(status.messages(), std::vector<std::string>{"Could not stat path " + through_file});
}

bool shows(const std::uint8_t* view, const std::string& file, std::uint64_t at, std::size_t n) {
  return view != nullptr && std::memcmp(view, file.data() + at, n) == 0;
}

TEST(WindowStream, ViewsAndReadsAnyRangeOfAFileLargerThanItsWindows) {
  testing::TempDir dir;
  // Every byte of the file tells its own position, so a view from the wrong place shows.
  std::string file(5 * kWindowSize + 12345, '\0');
  for (std::size_t i = 0; i < file.size(); ++i)
    file[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
  ASSERT_TRUE(dir.write_file("big.mf4", file));
  auto opened = file_stream_open(dir.file("big.mf4"), 0);
  auto stream = window_stream_new(opened);
  ASSERT_NE(stream, nullptr);
  // More cursors than windows, far apart and each moving on: every view shows its bytes.
  std::vector<std::uint64_t> cursors;
  for (std::size_t i = 0; i <= kWindowCount; ++i)
    cursors.push_back(i * kWindowSize + 7);
  for (int step = 0; step < 40; ++step) {
    for (std::uint64_t& at : cursors) {
      const std::size_t n = 1 + (at % 3000);
      if (at + n > file.size()) continue;
      ASSERT_TRUE(shows(stream->view(at, n), file, at, n)) << at;
      at += 100003;
    }
  }
  // A range across a window boundary and the last byte; none past the end or wider than a
  // window. Reads larger than a window, and across the end.
  EXPECT_TRUE(shows(stream->view(kWindowSize - 10, 20), file, kWindowSize - 10, 20));
  EXPECT_TRUE(shows(stream->view(file.size() - 1, 1), file, file.size() - 1, 1));
  EXPECT_EQ(stream->view(file.size() - 1, 2), nullptr);
  EXPECT_EQ(stream->view(0, kWindowSize + 1), nullptr);
  std::vector<std::uint8_t> all(file.size());
  ASSERT_EQ(stream->seek(3, kSeekSet), 3);
  ASSERT_EQ(stream->read(all.data(), 2 * kWindowSize), static_cast<std::int64_t>(2 * kWindowSize));
  EXPECT_EQ(std::memcmp(all.data(), file.data() + 3, 2 * kWindowSize), 0);
  ASSERT_EQ(stream->seek(-5, kSeekEnd), static_cast<std::int64_t>(file.size() - 5));
  EXPECT_EQ(stream->read(all.data(), 100), 5);

  // A window is read in two steps; a view taken before the second stays valid.
  stream = window_stream_new(opened = file_stream_open(dir.file("big.mf4"), 0));
  const std::uint8_t* early = stream->view(9, 16);
  const std::uint64_t epoch = *stream->view_epoch();
  EXPECT_TRUE(shows(stream->view(kWindowSize - 100, 50), file, kWindowSize - 100, 50));
  EXPECT_EQ(*stream->view_epoch(), epoch);
  EXPECT_TRUE(shows(early, file, 9, 16));
  // A large read takes what a window holds from it and the rest straight from the file,
  // refilling no window: the views stay valid.
  ASSERT_EQ(stream->seek(kWindowSize - 1000, kSeekSet), static_cast<std::int64_t>(kWindowSize - 1000));
  ASSERT_EQ(stream->read(all.data(), 3 * kWindowSize), static_cast<std::int64_t>(3 * kWindowSize));
  EXPECT_EQ(std::memcmp(all.data(), file.data() + kWindowSize - 1000, 3 * kWindowSize), 0);
  EXPECT_EQ(*stream->view_epoch(), epoch);
  EXPECT_TRUE(shows(early, file, 9, 16));

  // Another program may truncate an input while it is converted: reads then come up
  // short, where a memory map would have killed the run.
  ASSERT_EQ(::truncate(dir.file("big.mf4").c_str(), 3 * kWindowSize + 100), 0);
  stream = window_stream_new(opened = file_stream_open(dir.file("big.mf4"), 0));
  ASSERT_EQ(::truncate(dir.file("big.mf4").c_str(), kWindowSize + 100), 0);
  EXPECT_EQ(stream->view(kWindowSize + 50, 100), nullptr);
  ASSERT_EQ(stream->seek(kWindowSize, kSeekSet), static_cast<std::int64_t>(kWindowSize));
  EXPECT_EQ(stream->read(all.data(), 2 * kWindowSize), 100);
  EXPECT_EQ(stream->close(), 0);
  // The next stream takes over the closed one's window memory: a short file shows its own
  // bytes and nothing of the bytes the window held before.
  ASSERT_TRUE(dir.write_file("short.mf4", "short file"));
  stream = window_stream_new(opened = file_stream_open(dir.file("short.mf4"), 0));
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(shows(stream->view(0, 10), "short file", 0, 10));
  EXPECT_EQ(stream->view(0, 11), nullptr);
  EXPECT_EQ(stream->read(all.data(), 100), 10);
  EXPECT_EQ(stream->close(), 0);
  // A file that is not regular is left to the caller.
  opened = file_stream_open("/dev/null", 0);
  EXPECT_EQ(window_stream_new(opened), nullptr);
  EXPECT_NE(opened, nullptr);
}

// Rows of 7, 8 and 21 bytes (fewer than eight columns, eight, and eight twice with some
// left), many blocks of them and rows past the last eight, stored column by column with 3
// bytes after the last whole row: they come back in order.
Bytes deflated(const Bytes& bytes) {
  uLongf packed_size = compressBound(bytes.size());
  Bytes packed(packed_size);
  EXPECT_EQ(compress(packed.data(), &packed_size, bytes.data(), bytes.size()), Z_OK);
  packed.resize(packed_size);
  return packed;
}

TEST(PieceStream, RestoresTransposedRowsAndSaysWhenViewsGoStale) {
  constexpr std::size_t kRows = 20005, kTail = 3;
  Bytes transposed, packed;
  std::unique_ptr<MemoryStream> source;
  for (const std::size_t columns : {7, 8, 21}) {
    Bytes rows(columns * kRows + kTail);
    for (std::size_t i = 0; i < rows.size(); ++i)
      rows[i] = static_cast<std::uint8_t>(i * 131 + i / 251);
    transposed.assign(rows.size(), 0);
    for (std::size_t c = 0; c < columns; ++c)
      for (std::size_t r = 0; r < kRows; ++r)
        transposed[c * kRows + r] = rows[r * columns + c];
    std::copy(rows.end() - kTail, rows.end(), transposed.end() - kTail);
    packed = deflated(transposed);
    source = memory_stream_from(packed);
    std::unique_ptr<PieceStream> stream = piece_stream_new(
        *source, {{.source_start = 0, .source_size = packed.size(), .size = rows.size(),
                   .coding = PieceCoding::kTransposedDeflate,
                   .columns = static_cast<std::uint32_t>(columns)}});
    ASSERT_TRUE(stream);
    Bytes back(rows.size());
    ASSERT_EQ(stream->read(back.data(), back.size()), std::ssize(back));
    EXPECT_EQ(back, rows) << columns;
  }

  // Three pieces inflated in turn: each inflation may take the memory of a view, and the
  // view epoch says so; views of a piece that stays inflated keep it.
  std::vector<StreamPiece> pieces(3, {.source_start = 0, .source_size = packed.size(),
                                      .size = transposed.size(), .coding = PieceCoding::kDeflate});
  std::unique_ptr<PieceStream> stream = piece_stream_new(*source, pieces);
  ASSERT_TRUE(stream);
  const std::uint64_t* epoch = stream->view_epoch();
  ASSERT_NE(epoch, nullptr);
  for (std::uint64_t piece = 0; piece < 3; ++piece) {
    const std::uint64_t before = *epoch;
    ASSERT_NE(stream->view(piece * transposed.size(), 8), nullptr);
    EXPECT_GT(*epoch, before);
    const std::uint64_t inflated = *epoch;
    EXPECT_EQ(std::memcmp(stream->view(piece * transposed.size() + 100, 8), &transposed[100], 8), 0);
    EXPECT_EQ(*epoch, inflated);
  }
}

}  // namespace
}  // namespace busfold
