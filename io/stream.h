// The one byte-source-and-sink abstraction. Every kind offers a subset of the
// operations; an operation a kind does not offer returns kStreamNotOffered.
#pragma once

#include <cstdint>
#include <memory>

namespace busfold {

inline constexpr std::int64_t kStreamError = -1;
inline constexpr std::int64_t kStreamNotOffered = -2;

inline constexpr int kSeekSet = 0;
inline constexpr int kSeekCur = 1;
inline constexpr int kSeekEnd = 2;

class Stream {
public:
  Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  virtual ~Stream() = default;

  // Bytes read (0 at the end), negative on error.
  virtual std::int64_t read(void* buffer, std::uint64_t n);
  // Bytes written, negative on error.
  virtual std::int64_t write(const void* buffer, std::uint64_t n);
  // Current position, negative on error.
  virtual std::int64_t tell();
  // New absolute position, negative on error (also for a whence other than 0, 1, 2).
  virtual std::int64_t seek(std::int64_t offset, int whence);
  // Releases what the stream holds (flushes a file, closes an owned inner stream).
  // 0 on success; on failure the stream still exists and may be closed again.
  virtual std::int64_t close();
  // Forwarded by wrappers; no kind implements it.
  virtual std::int64_t reserved();

  // A stream that holds its bytes in memory may hand out a direct view of the
  // n bytes at absolute position `position` (null otherwise, or when the range
  // is not all there). The view stays valid until the stream is next changed
  // (written, refilled, closed). Does not move the position.
  virtual const std::uint8_t* view(std::uint64_t position, std::uint64_t n);
};

using StreamPtr = std::unique_ptr<Stream>;

// Closes and, on success, destroys the stream. A null stream gives 0.
std::int64_t stream_close(StreamPtr& stream);

// Reads exactly n bytes, looping over short reads; false when the stream ends or fails
// first.
bool stream_read_exact(Stream& stream, void* buffer, std::uint64_t n);

// Seeks to an absolute position; true only when the stream landed exactly there.
bool stream_seek_exact(Stream& stream, std::uint64_t position);

// Size by seeking to the end and back; -1 for a null stream, -2 without tell.
std::int64_t stream_size(Stream* stream);

// Copies src into dst in 4096-byte chunks until a read returns 0 or less.
// Write results are not checked.
void stream_copy(Stream* src, Stream* dst);

}  // namespace busfold
