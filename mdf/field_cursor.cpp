#include "mdf/field_cursor.h"

#include <cstdint>

#include "base/bytes.h"

namespace busfold {

FieldCursor::FieldCursor(Stream& stream) : stream_(stream) {
  std::int64_t at = stream.tell();
  valid_base_ = at >= 0;
  base_ = valid_base_ ? static_cast<std::uint64_t>(at) : 0;
}

FieldCursor::FieldCursor(Stream& stream, std::uint64_t base)
    : stream_(stream), base_(base), valid_base_(base <= static_cast<std::uint64_t>(INT64_MAX)) {}

bool FieldCursor::seek_to_field() {
  if (!valid_base_) return false;
  std::uint64_t target = base_ + relative_;
  return target >= base_ && stream_seek_exact(stream_, target);
}

bool FieldCursor::read_exact(void* buffer, std::uint64_t n) {
  if (!seek_to_field() || !stream_read_exact(stream_, buffer, n)) return false;
  relative_ += n;
  return true;
}

bool FieldCursor::write_exact(const void* buffer, std::uint64_t n) {
  if (!seek_to_field()) return false;
  if (n > 0 && stream_.write(buffer, n) != static_cast<std::int64_t>(n)) return false;
  relative_ += n;
  return true;
}

bool FieldCursor::read_u8(std::uint8_t& value) { return read_exact(&value, 1); }

bool FieldCursor::read_u16(std::uint16_t& value) {
  std::uint8_t bytes[2];
  if (!read_exact(bytes, sizeof bytes)) return false;
  value = load_le16(bytes);
  return true;
}

bool FieldCursor::read_i16(std::int16_t& value) {
  std::uint16_t raw;
  if (!read_u16(raw)) return false;
  value = static_cast<std::int16_t>(raw);
  return true;
}

bool FieldCursor::read_u32(std::uint32_t& value) {
  std::uint8_t bytes[4];
  if (!read_exact(bytes, sizeof bytes)) return false;
  value = load_le32(bytes);
  return true;
}

bool FieldCursor::read_u64(std::uint64_t& value) {
  std::uint8_t bytes[8];
  if (!read_exact(bytes, sizeof bytes)) return false;
  value = load_le64(bytes);
  return true;
}

bool FieldCursor::read_f64(double& value) {
  std::uint8_t bytes[8];
  if (!read_exact(bytes, sizeof bytes)) return false;
  value = load_le_f64(bytes);
  return true;
}

bool FieldCursor::read_be32(std::uint32_t& value) {
  std::uint8_t bytes[4];
  if (!read_exact(bytes, sizeof bytes)) return false;
  value = load_be32(bytes);
  return true;
}

bool FieldCursor::read_bytes(std::span<std::uint8_t> out) {
  return read_exact(out.data(), out.size());
}

bool FieldCursor::append_text(std::string& text, std::uint64_t n) {
  if (n == 0) return seek_to_field();
  if (n > text.max_size() - text.size()) return false;
  std::size_t old_size = text.size();
  text.resize(old_size + static_cast<std::size_t>(n));
  if (!read_exact(text.data() + old_size, n)) {
    text.resize(old_size);
    return false;
  }
  return true;
}

bool FieldCursor::write_u8(std::uint8_t value) { return write_exact(&value, 1); }

bool FieldCursor::write_u16(std::uint16_t value) {
  std::uint8_t bytes[2];
  store_le16(bytes, value);
  return write_exact(bytes, sizeof bytes);
}

bool FieldCursor::write_i16(std::int16_t value) {
  return write_u16(static_cast<std::uint16_t>(value));
}

bool FieldCursor::write_u32(std::uint32_t value) {
  std::uint8_t bytes[4];
  store_le32(bytes, value);
  return write_exact(bytes, sizeof bytes);
}

bool FieldCursor::write_u64(std::uint64_t value) {
  std::uint8_t bytes[8];
  store_le64(bytes, value);
  return write_exact(bytes, sizeof bytes);
}

bool FieldCursor::write_f64(double value) {
  std::uint8_t bytes[8];
  store_le_f64(bytes, value);
  return write_exact(bytes, sizeof bytes);
}

bool FieldCursor::write_bytes(std::span<const std::uint8_t> bytes) {
  return write_exact(bytes.data(), bytes.size());
}

bool FieldCursor::write_text(std::string_view text) {
  return write_exact(text.data(), text.size());
}

}  // namespace busfold
