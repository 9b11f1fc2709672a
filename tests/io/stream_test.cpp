// File streams and the file system root under them.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "io/fs_root.h"
#include "io/memory_stream.h"
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
  const struct {
    const char* path;
    bool ok;
    FsKind kind;
    std::int64_t size;
  } cases[] = {
      {"a.mf4", true, kFsFile, 5},        {"b", true, kFsFile, big},
      {"A", true, kFsFolder, 0},          {"fifo", true, kFsOther, 0},
      {"missing", true, kFsNotFound, 0},  // not found is no error
      {"a.mf4/x", false, kFsNotFound, 0},
  };
  for (const auto& c : cases) {
    FsStat st;
    ASSERT_EQ(fs_stat(root.get(), c.path, st), c.ok) << c.path;
    if (c.ok) {
      EXPECT_EQ(std::make_pair(st.kind, st.size), std::make_pair(c.kind, c.size)) << c.path;
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
  fs_remove_stale_temporaries(root.get(), "out/x_fin.MF4", first);
  EXPECT_TRUE(dir.exists(first));
  EXPECT_TRUE(dir.exists(second));  // a live run holds its lock
  EXPECT_FALSE(dir.exists("out/x_fin.MF4.part"));
  EXPECT_FALSE(dir.exists("out/x_fin.MF4.1-1.part"));
  EXPECT_TRUE(dir.exists("out/x_fin.MF4.keep"));
  EXPECT_TRUE(dir.exists("out/y_fin.MF4.part"));  // another output's
  // Once its run has closed it, the other file is stale too.
  EXPECT_EQ(b->close(), 0);
  fs_remove_stale_temporaries(root.get(), "out/x_fin.MF4", first);
  EXPECT_FALSE(dir.exists(second));
  EXPECT_TRUE(fs_sync_folder(root.get(), "out"));
}

TEST(NormalisePath, GivesAbsoluteCanonicalPaths) {
  TempDir dir;
  ASSERT_TRUE(dir.write_file("sub/x.mf4", "x"));
  testing::ScopedCurrentFolder cwd(dir.path());
  const std::string t = dir.path();
  const std::string parent = t.substr(0, t.rfind('/') + 1);
  const struct {
    std::string in, out;
  } cases[] = {
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
  for (const auto& c : cases) {
    std::string path = c.in;
    EXPECT_TRUE(normalise_path(path).ok()) << c.in;
    EXPECT_EQ(path, c.out) << c.in;
  }
  std::string through_file = dir.file("sub/x.mf4/inner");
  Status status = normalise_path(through_file);
  EXPECT_EQ(through_file, dir.file("sub/x.mf4/inner"));
  EXPECT_EQ(status.messages(), std::vector<std::string>{"Could not stat path " + through_file});
}

}  // namespace
}  // namespace busfold
