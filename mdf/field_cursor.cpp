#include "mdf/field_cursor.h"

#include <algorithm>
#include <cstring>

namespace busfold {

bool FieldCursor::seek_to_field() {
  if (!valid_base_) return false;
  std::uint64_t target = base_ + relative_;
  return target >= base_ && stream_seek_exact(stream_, target);
}

FieldReader::FieldReader(Stream& stream) : FieldCursor(stream, 0) {
  std::int64_t at = stream.tell();
  valid_base_ = at >= 0;
  base_ = valid_base_ ? static_cast<std::uint64_t>(at) : 0;
}

bool FieldReader::read_exact(void* buffer, std::uint64_t n) {
  // From a view where the stream shows the bytes in place; it leaves the stream where it
  // was, as no caller reads on without a seek of its own.
  if (!looked_ahead_ && valid_base_) {
    looked_ahead_ = true;
    ahead_ = stream_.view(base_, kAhead);
    ahead_size_ = ahead_ != nullptr ? kAhead : 0;
  }
  if (in_ahead(n)) {
    if (n > 0) std::memcpy(buffer, ahead_ + relative_, static_cast<std::size_t>(n));
    relative_ += n;
    return true;
  }
  const std::uint64_t target = base_ + relative_;
  if (valid_base_ && target >= base_ && n > 0) {
    if (const std::uint8_t* bytes = stream_.view(target, n)) {
      std::memcpy(buffer, bytes, static_cast<std::size_t>(n));
      relative_ += n;
      return true;
    }
  }
  if (!seek_to_field() || !stream_read_exact(stream_, buffer, n)) return false;
  relative_ += n;
  return true;
}

bool FieldReader::append_text(std::string& text, std::uint64_t n) {
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

bool FieldWriter::write_exact(const void* buffer, std::uint64_t n) {
  if (failed_) return false;
  if (n > pending_.size() - pending_size_ && !flush()) return false;
  if (n > pending_.size()) {
    if (!seek_to_field() ||
        (n > 0 && stream_.write(buffer, n) != static_cast<std::int64_t>(n))) {
      failed_ = true;
      return false;
    }
    relative_ += n;
    return true;
  }
  if (pending_size_ == 0) pending_start_ = relative_;
  if (n > 0) std::memcpy(pending_.data() + pending_size_, buffer, static_cast<std::size_t>(n));
  pending_size_ += static_cast<std::size_t>(n);
  relative_ += n;
  return true;
}

bool FieldWriter::flush() {
  if (failed_ || pending_size_ == 0) return !failed_;
  const std::uint64_t end = relative_;
  relative_ = pending_start_;
  const bool written = seek_to_field() && stream_.write(pending_.data(), pending_size_) ==
                                              static_cast<std::int64_t>(pending_size_);
  relative_ = end;
  pending_size_ = 0;
  failed_ = !written;
  return written;
}

bool FieldWriter::reserved(std::uint64_t n) {
  static constexpr std::uint8_t kZeros[16] = {};
  while (n > 0) {
    std::uint64_t part = std::min<std::uint64_t>(n, sizeof kZeros);
    if (!write_exact(kZeros, part)) return false;
    n -= part;
  }
  return true;
}

}  // namespace busfold
