// Sequential reader and writer of the fixed fields of a block. Every access seeks to
// base + relative position first, so the cursor does not depend on where other code left
// the stream; skipped ranges are neither read nor written.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "io/stream.h"

namespace busfold {

class FieldCursor {
public:
  // Base = the stream's current position.
  explicit FieldCursor(Stream& stream);
  FieldCursor(Stream& stream, std::uint64_t base);

  // Each access returns true when the whole width was transferred; only then does the
  // relative position advance.
  bool read_u8(std::uint8_t& value);
  bool read_u16(std::uint16_t& value);
  bool read_i16(std::int16_t& value);
  bool read_u32(std::uint32_t& value);
  bool read_u64(std::uint64_t& value);
  bool read_f64(double& value);
  bool read_be32(std::uint32_t& value);
  bool read_bytes(std::span<std::uint8_t> out);
  // Appends n bytes to the text. The caller bounds n by what the stream can hold.
  bool append_text(std::string& text, std::uint64_t n);

  bool write_u8(std::uint8_t value);
  bool write_u16(std::uint16_t value);
  bool write_i16(std::int16_t value);
  bool write_u32(std::uint32_t value);
  bool write_u64(std::uint64_t value);
  bool write_f64(double value);
  bool write_bytes(std::span<const std::uint8_t> bytes);
  bool write_text(std::string_view text);

  void skip(std::uint64_t n) { relative_ += n; }
  std::uint64_t position() const { return relative_; }

private:
  bool seek_to_field();
  bool read_exact(void* buffer, std::uint64_t n);
  bool write_exact(const void* buffer, std::uint64_t n);

  Stream& stream_;
  std::uint64_t base_;
  std::uint64_t relative_ = 0;
  bool valid_base_;
};

}  // namespace busfold
