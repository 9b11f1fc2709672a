#include "io/stream.h"

#include <cstdint>

namespace busfold {

namespace {

// Small enough for the stack, large enough that a copy is a few calls per page.
constexpr std::size_t kCopyChunk = 4096;

}  // namespace

std::int64_t Stream::read(void*, std::uint64_t) { return kStreamNotOffered; }
std::int64_t Stream::write(const void*, std::uint64_t) { return kStreamNotOffered; }
std::int64_t Stream::tell() { return kStreamNotOffered; }
std::int64_t Stream::seek(std::int64_t, int) { return kStreamNotOffered; }
std::int64_t Stream::close() { return 0; }
const std::uint8_t* Stream::view(std::uint64_t, std::uint64_t) { return nullptr; }

void Stream::release_before(std::uint64_t) {}

std::int64_t stream_close(StreamPtr& stream) {
  if (!stream) return 0;
  std::int64_t result = stream->close();
  if (result == 0) stream.reset();
  return result;
}

bool stream_read_exact(Stream& stream, void* buffer, std::uint64_t n) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint64_t done = 0;
  while (done < n) {
    std::int64_t got = stream.read(out + done, n - done);
    if (got <= 0) return false;
    done += static_cast<std::uint64_t>(got);
  }
  return true;
}

bool stream_seek_exact(Stream& stream, std::uint64_t position) {
  if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
  return stream.seek(static_cast<std::int64_t>(position), kSeekSet) ==
         static_cast<std::int64_t>(position);
}

std::int64_t stream_size(Stream* stream) {
  if (stream == nullptr) return -1;
  std::int64_t remembered = stream->tell();
  stream->seek(0, kSeekEnd);
  std::int64_t size = stream->tell();
  stream->seek(remembered, kSeekSet);
  return size;
}

CopyStatus stream_copy(Stream& src, Stream& dst, std::uint64_t& copied, std::uint64_t limit) {
  std::uint8_t chunk[kCopyChunk];
  copied = 0;
  for (;;) {
    std::int64_t got = src.read(chunk, sizeof chunk);
    if (got == 0) return CopyStatus::kDone;
    if (got < 0) return CopyStatus::kReadFailed;
    if (static_cast<std::uint64_t>(got) > limit - copied) return CopyStatus::kTooLarge;
    if (dst.write(chunk, static_cast<std::uint64_t>(got)) != got) return CopyStatus::kWriteFailed;
    copied += static_cast<std::uint64_t>(got);
  }
}

}  // namespace busfold
