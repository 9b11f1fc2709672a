// A file history entry: which tool wrote or changed the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mdf/block.h"

namespace busfold {

// Every history entry of a file we accept names our logger's tool in its comment, unless
// the open takes files of any writer.
inline constexpr std::string_view kRequiredToolId = "<tool_id>QK</tool_id>";

// The tool id a history comment names, as a log line may show it: control bytes masked,
// at most 64 characters; empty when it names none.
std::string history_tool_id(std::string_view comment);
// "written by '<tool id>'", or "written by an unnamed tool" for an empty id.
std::string written_by(const std::string& tool_id);

class FhBlock final : public BlockOfKind<BlockType::kFh> {
public:
  BUSFOLD_BLOCK_CODEC;

  BlockRef comment;  // MD
  std::uint64_t fh_time_ns = 0;
  std::int16_t fh_tz_offset_min = 0;
  std::int16_t fh_dst_offset_min = 0;
  std::uint8_t fh_time_flags = 0;

private:
  template <class Cursor> bool fields(Cursor& cursor);  // for load and save alike
};

}  // namespace busfold
