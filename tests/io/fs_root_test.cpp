#include "io/fs_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/current_folder.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

using testing::TempDir;

TEST(FsRoot, StatReportsKindAndSize) {
  TempDir dir;
  ASSERT_TRUE(dir.write_file("f.mf4", "12345"));
  ASSERT_TRUE(dir.write_file("big.mf4", ""));
  ASSERT_EQ(::truncate(dir.file("big.mf4").c_str(), std::int64_t{5} << 30), 0);  // sparse
  ASSERT_TRUE(dir.make_folder("sub"));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  auto root = fs_root_new(dir.path());
  ASSERT_TRUE(root);
  EXPECT_FALSE(fs_root_new(dir.file("f.mf4")));
  EXPECT_FALSE(fs_root_new(dir.file("missing")));

  struct Case {
    const char* path;
    bool ok;
    FsKind kind;
    std::int64_t size;
  } cases[] = {
      {"f.mf4", true, kFsFile, 5},
      {"big.mf4", true, kFsFile, std::int64_t{5} << 30},
      {"sub", true, kFsFolder, 0},
      {"fifo", true, kFsOther, 0},
      {"missing", true, kFsNotFound, 0},
      {"f.mf4/x", false, kFsNotFound, 0},  // through a file: an error, not "not found"
  };
  for (const Case& c : cases) {
    FsStat st;
    ASSERT_EQ(fs_stat(root.get(), c.path, st), c.ok) << c.path;
    if (c.ok) {
      EXPECT_EQ(std::make_pair(st.kind, st.size), std::make_pair(c.kind, c.size)) << c.path;
    }
  }
}

TEST(FsRoot, ListsFilesAndFoldersInByteOrder) {
  TempDir dir;
  for (const char* name : {"b", "a.txt", "B.mf4", "a.mf4", "\xc3\xa9.mf4"}) {
    ASSERT_TRUE(dir.write_file(name, ""));
  }
  ASSERT_TRUE(dir.make_folder("A"));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);            // neither file nor folder
  ASSERT_EQ(::symlink("nowhere", dir.file("dangling").c_str()), 0);  // cannot be examined
  auto root = fs_root_new(dir.path());
  EXPECT_EQ(fs_list(root.get(), ""),
            (std::vector<std::string>{"A", "B.mf4", "a.mf4", "a.txt", "b", "\xc3\xa9.mf4"}));
  EXPECT_TRUE(fs_list(root.get(), "missing").empty());
}

TEST(FsRoot, OpensMakesRemovesAndRenames) {
  TempDir dir;
  ASSERT_TRUE(dir.write_file("in.mf4", "abc"));
  auto root = fs_root_new(dir.path());
  EXPECT_FALSE(fs_open(root.get(), "in.mf4", 4));
  EXPECT_FALSE(fs_open(root.get(), "missing.mf4", 5));
  char buf[3];
  EXPECT_EQ(fs_open(root.get(), "in.mf4", 5)->read(buf, 3), 3);
  EXPECT_EQ(fs_open(root.get(), "out.tmp", 6)->write("xy", 2), 2);

  EXPECT_TRUE(fs_make_folder(root.get(), "new"));
  EXPECT_FALSE(fs_make_folder(root.get(), "new"));
  EXPECT_FALSE(fs_make_folder(root.get(), "deep/er"));  // only the last element is made
  EXPECT_TRUE(fs_rename(root.get(), "out.tmp", "new/out.mf4"));
  EXPECT_EQ(dir.read_file("new/out.mf4"), "xy");
  EXPECT_TRUE(fs_remove(root.get(), "new/out.mf4"));
  EXPECT_FALSE(fs_remove(root.get(), "new/out.mf4"));
}

TEST(FsRoot, TemporaryFilesAreOwnedByOneRunAndStaleOnesAreCleared) {
  testing::TempDir dir;
  ASSERT_TRUE(dir.make_folder("out"));
  auto root = fs_root_new(dir.path());
  std::string first, second;
  auto a = fs_create_temporary(root.get(), "out/x_fin.MF4", first);
  auto b = fs_create_temporary(root.get(), "out/x_fin.MF4", second);
  ASSERT_TRUE(a && b);
  EXPECT_NE(first, second);
  EXPECT_EQ(first.rfind("out/x_fin.MF4.", 0), 0u);
  EXPECT_TRUE(first.ends_with(".part"));
  // Left by runs that were killed: the old fixed name and a unique one nobody holds.
  ASSERT_TRUE(dir.write_file("out/x_fin.MF4.part", "stale"));
  ASSERT_TRUE(dir.write_file("out/x_fin.MF4.1-1.part", "stale"));
  ASSERT_TRUE(dir.write_file("out/x_fin.MF4.keep", "not ours"));
  ASSERT_TRUE(dir.write_file("out/y_fin.MF4.part", "another output's"));
  fs_remove_stale_temporaries(root.get(), "out/x_fin.MF4", first);
  EXPECT_TRUE(dir.exists(first));
  EXPECT_TRUE(dir.exists(second));  // a live run holds its lock
  EXPECT_FALSE(dir.exists("out/x_fin.MF4.part"));
  EXPECT_FALSE(dir.exists("out/x_fin.MF4.1-1.part"));
  EXPECT_TRUE(dir.exists("out/x_fin.MF4.keep"));
  EXPECT_TRUE(dir.exists("out/y_fin.MF4.part"));
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
  struct Case {
    std::string in, out;
  } cases[] = {
      {"sub", t + "/sub/"},                   // existing folder gains "/"
      {"sub\\x.mf4", t + "/sub/x.mf4"},       // backslash is a separator
      {"sub//x.mf4/", t + "/sub/x.mf4"},      // doubled "/" reduced, a file loses its "/"
      {t + "/sub/x.mf4/", t + "/sub/x.mf4"},  // absolute paths stay where they are
      {"logs\\2024", t + "/logs/2024"},       // missing is no error
      {"a///b", t + "/a//b"},                 // one pass: "///" becomes "//"
      {"..", parent},                         // the parent, not the current folder
      {"./..", parent},
      {".", t + "/"},
      {"/no/such/place", "/no/such/place"},
  };
  for (const Case& c : cases) {
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
