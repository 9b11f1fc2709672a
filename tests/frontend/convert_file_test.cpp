#include "frontend/convert_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/busfold_tool.h"
#include "buslog/bus_frame.h"
#include "frontend/password_store.h"
#include "io/compressed_container.h"
#include "tests/support/container_writer.h"
#include "tests/support/logger_file.h"
#include "tests/support/lzss_encoder.h"
#include "tests/support/temp_dir.h"

namespace busfold {
namespace {

// Records what the pipeline calls.
struct Recorder : ToolContext {
  std::vector<std::string> calls;
};

Recorder& recorder(ToolContext& ctx) { return static_cast<Recorder&>(ctx); }

// Records every callback; takes records unless told not to.
class RecordingOps : public ToolOps {
public:
  bool takes_records() const override { return takes; }
  bool on_record(ToolContext& ctx, const BusFrame& frame) const override {
    recorder(ctx).calls.push_back("record " + std::to_string(frame.kind));
    return true;
  }
  bool on_new_file(ToolContext& ctx, std::string_view output, MdfFile&) const override {
    recorder(ctx).calls.push_back("new " + std::string(output));
    return true;
  }
  bool on_end_file(ToolContext& ctx, std::string_view) const override {
    recorder(ctx).calls.push_back("end");
    return true;
  }
  bool takes = true;
};
const RecordingOps kRecordingOps;

class ConvertFile : public ::testing::Test {
protected:
  void SetUp() override {
    options = tool_create_options();
    options->input_root = fs_root_new(dir.path());
    ASSERT_TRUE(tool_context_init(ctx, options->input_root.get(), options->input_root.get(), 1,
                                  options.get()));
    ctx.ops = &kRecordingOps;
  }
  int convert(const char* input) { return convert_file(ctx, input, "out"); }
  void write(const char* name, const std::vector<std::uint8_t>& bytes) {
    ASSERT_TRUE(dir.write_file(name, {reinterpret_cast<const char*>(bytes.data()), bytes.size()}));
  }

  testing::TempDir dir;
  std::unique_ptr<ConverterOptions> options;
  Recorder ctx;
};

TEST_F(ConvertFile, NestedCompressionCannotExpandBeyondOneLevel) {
  // A container of dense references inside a container that compresses it again: a
  // hundred bytes that would otherwise unwrap to 2.6 MB (and a few kilobytes to all memory).
  BitWriter bits;
  for (int i = 0; i < 160; ++i)
    bits.reference(1, 1 << 14, 15, 14);
  const std::vector<std::uint8_t> inner =
      compressed_container_wrap(bits.bytes(), 1u << 15, 14, false);
  const std::vector<std::uint8_t> outer =
      compressed_container_write(inner, {.window_bits = 15, .lookahead_bits = 14});
  ASSERT_LT(outer.size() * kLzssMaxExpansion, std::size_t{160} << 14);
  write("bomb.mfc", outer);
  EXPECT_EQ(convert("bomb.mfc"), kConvertDecompressFailed);
  EXPECT_TRUE(ctx.calls.empty());

  // Compressing twice is no crime: a logger file wrapped twice converts.
  write("twice.mfc", compressed_container_write(compressed_container_write(
                         test::build_logger_file({test::can_frame(1, 1, {1}, 1)}))));
  EXPECT_EQ(convert("twice.mfc"), kConvertOk);
}

// (A failed file keeps its input end to end.)
TEST_F(ConvertFile, DeletesOnlyInputsThatConvertedCompletely) {
  write("a.mf4", test::build_logger_file({test::can_frame(1, 1, {1}, 1)}));
  options->delete_converted = 1;
  // A tool that takes no records gets none, and the file counts as converted.
  RecordingOps no_records;
  no_records.takes = false;
  ctx.ops = &no_records;
  EXPECT_EQ(convert("a.mf4"), kConvertOk);
  EXPECT_EQ(ctx.calls, (std::vector<std::string>{"new out", "end"}));
  EXPECT_FALSE(dir.exists("a.mf4"));

  // A name that by the end stands for another file (moved over it, or rewritten in
  // place) was never converted: it stays.
  struct Replacing : RecordingOps {
    bool on_end_file(ToolContext&, std::string_view) const override {
      if (in_place) return folder->write_file("b.mf4", "new content");
      return folder->write_file("c.mf4", "other") &&
             std::rename(folder->file("c.mf4").c_str(), folder->file("b.mf4").c_str()) == 0;
    }
    testing::TempDir* folder = nullptr;
    bool in_place = false;
  } replacing;
  replacing.takes = false;
  replacing.folder = &dir;
  ctx.ops = &replacing;
  for (bool rewrite : {false, true}) {
    replacing.in_place = rewrite;
    write("b.mf4", test::build_logger_file({test::can_frame(1, 1, {1}, 1)}));
    EXPECT_EQ(convert("b.mf4"), kConvertOk);
    EXPECT_TRUE(dir.exists("b.mf4")) << rewrite;
  }
}

// What the store holds is held to the JSON library's own reading by fuzz/password_fuzz.cpp;
// devices whose ids are written in lower case get their passwords end to end.

TEST(PasswordStore, RefusesTextAndFilesThatHoldNoObjectOfPasswords) {
  const std::pair<const char*, const char*> texts[] = {
      {"{\"11\": \"a\",\n \"22\" \"b\"}", "p.json: line 2, column 9: syntax error"},
      {"", "p.json: line 1, column 1: syntax error"},
      {R"({"11": 5})", "p.json: the password of \"11\" is a number, not a string"},
      {R"(["11", "a"])", "p.json: expected one JSON object of passwords, found an array"},
  };
  for (auto [text, message] : texts) {
    PasswordStore store;
    Status parsed = parse_password_text(text, "p.json", store);
    ASSERT_FALSE(parsed.ok()) << text;
    ASSERT_EQ(parsed.messages().size(), 1u);
    EXPECT_EQ(parsed.messages()[0].rfind(message, 0), 0u) << parsed.messages()[0];
  }

  // Files that are not regular or too large are refused. (Missing, broken, named and
  // default files: command_line_test.cpp and end_to_end_test.cpp.)
  testing::TempDir dir;
  ASSERT_TRUE(dir.write_file("huge.json", "{" + std::string(kMaxPasswordFileSize, ' ') + "}"));
  ASSERT_EQ(::mkfifo(dir.file("fifo.json").c_str(), 0600), 0);
  for (const char* name : {"fifo.json", "huge.json"}) {
    auto options = tool_create_options();
    options->password_files = {dir.file(name)};
    int status = 0;
    EXPECT_FALSE(load_password_file(*options, status)) << name;
    EXPECT_EQ(status, 134);
    EXPECT_EQ(options->passwords.size(), 0u);
  }
}

}  // namespace
}  // namespace busfold
