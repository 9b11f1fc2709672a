// Sequential reader and writer of the fixed fields of a block. Every access seeks to
// base + relative position first, so a cursor does not depend on where other code left
// the stream. Both offer the same calls, so that a block kind lists its fields once, in
// a template that its load runs with a reader and its save with a writer.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "io/stream.h"

namespace busfold {

// The unsigned integer of a field's width: fields are 1, 2, 4 or 8 bytes, little-endian.
template <class T>
requires std::is_arithmetic_v<T> &&
    (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8) using FieldBits =
        std::conditional_t<
            sizeof(T) == 1, std::uint8_t,
            std::conditional_t<sizeof(T) == 2, std::uint16_t,
                               std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;

class FieldCursor {
public:
  // Moves past fields that are neither read nor written.
  bool skip(std::uint64_t n) {
    relative_ += n;
    return true;
  }
  std::uint64_t position() const { return relative_; }

protected:
  FieldCursor(Stream& stream, std::uint64_t base)
      : stream_(stream), base_(base), valid_base_(base <= static_cast<std::uint64_t>(INT64_MAX)) {}
  bool seek_to_field();

  Stream& stream_;
  std::uint64_t base_;
  std::uint64_t relative_ = 0;
  bool valid_base_;
};

// Each access returns true when the whole width was read; only then does the position
// advance.
class FieldReader : public FieldCursor {
public:
  explicit FieldReader(Stream& stream);  // base = the stream's current position
  FieldReader(Stream& stream, std::uint64_t base) : FieldCursor(stream, base) {}

  template <class T> bool field(T& value) {
    std::uint8_t raw[sizeof(T)];
    if (in_ahead(sizeof raw)) {
      std::memcpy(raw, ahead_ + relative_, sizeof raw);  // the common case, inline
      relative_ += sizeof raw;
    } else if (!read_exact(raw, sizeof raw)) {
      return false;
    }
    FieldBits<T> bits = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
      bits = static_cast<FieldBits<T>>(bits | FieldBits<T>{raw[i]} << (8 * i));
    value = std::bit_cast<T>(bits);
    return true;
  }
  // Kept as stored.
  template <std::size_t N> bool field(std::array<std::uint8_t, N>& bytes) {
    return read_exact(bytes.data(), N);
  }
  // Bytes the writer fills with zeros: the reader has no use for them.
  bool reserved(std::uint64_t n) { return skip(n); }
  // Appends n bytes to the text. The caller bounds n by what the stream can hold.
  bool append_text(std::string& text, std::uint64_t n);

private:
  bool read_exact(void* buffer, std::uint64_t n);
  // Whether the look-ahead view holds the next n bytes; never before it is taken.
  bool in_ahead(std::uint64_t n) const {
    return relative_ <= ahead_size_ && n <= ahead_size_ - relative_;
  }

  // A view of the bytes from the base on, taken at the first read where the stream shows
  // them, for the fields of the block that follow; nothing else reads the stream between.
  static constexpr std::uint64_t kAhead = 256;
  const std::uint8_t* ahead_ = nullptr;
  std::uint64_t ahead_size_ = 0;
  bool looked_ahead_ = false;
};

// Fields that follow one another are gathered and written together: finish() writes
// what is gathered and says whether every field reached the stream.
class FieldWriter : public FieldCursor {
public:
  FieldWriter(Stream& stream, std::uint64_t base) : FieldCursor(stream, base) {}
  FieldWriter(const FieldWriter&) = delete;
  FieldWriter& operator=(const FieldWriter&) = delete;
  ~FieldWriter() { finish(); }

  template <class T> bool field(const T& value) {
    auto bits = std::bit_cast<FieldBits<T>>(value);
    std::uint8_t raw[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i)
      raw[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    return write_exact(raw, sizeof raw);
  }
  template <std::size_t N> bool field(const std::array<std::uint8_t, N>& bytes) {
    return write_exact(bytes.data(), N);
  }
  bool reserved(std::uint64_t n);  // zero bytes
  bool text(std::string_view text) { return write_exact(text.data(), text.size()); }
  // Moves past bytes that are left as they are.
  bool skip(std::uint64_t n) { return flush() && FieldCursor::skip(n); }
  // Writes the gathered fields; false when any field did not reach the stream. The
  // stream is then positioned after the last field.
  bool finish() { return flush(); }

private:
  bool write_exact(const void* buffer, std::uint64_t n);
  bool flush();

  // Gathered fields, from relative position pending_start_ on.
  std::array<std::uint8_t, 256> pending_;
  std::size_t pending_size_ = 0;
  std::uint64_t pending_start_ = 0;
  bool failed_ = false;
};

// Walks a block's fields as a reader or writer would, only to find where one of them lies:
// its position relative to the block's data base.
class FieldFinder {
public:
  explicit FieldFinder(const void* target) : target_(target) {}

  template <class T> bool field(const T& value) { return pass(&value, sizeof value); }
  bool skip(std::uint64_t n) { return pass(nullptr, n); }
  bool reserved(std::uint64_t n) { return pass(nullptr, n); }

  // The target's position, or -1 when the fields do not hold it.
  std::int64_t found() const { return found_; }

private:
  bool pass(const void* field, std::uint64_t n) {
    if (field == target_) found_ = static_cast<std::int64_t>(relative_);
    relative_ += n;
    return true;
  }

  const void* target_;
  std::uint64_t relative_ = 0;
  std::int64_t found_ = -1;
};

}  // namespace busfold
