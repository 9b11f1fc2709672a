// The one byte-source-and-sink abstraction. Every kind offers a subset of the
// operations; an operation a kind does not offer returns kStreamNotOffered.
#pragma once

#include <cstdint>
#include <memory>

#include "base/result.h"

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

  // A stream that holds its bytes in memory may hand out a direct view of the
  // n bytes at absolute position `position` (null otherwise, or when the range
  // is not all there). The view stays valid until the stream is next changed
  // (written, refilled, closed). Does not move the position.
  virtual const std::uint8_t* view(std::uint64_t position, std::uint64_t n);
  // A count that goes up whenever views this stream handed out may have gone stale, so
  // that a caller may keep a view for as long as the count stays; null for a kind that
  // keeps none (its views last only until the next call).
  virtual const std::uint64_t* view_epoch() const { return nullptr; }

  // Says that nothing before absolute position `position` will be read again, so that a
  // stream holding those bytes in memory may give it back (what is read there afterwards
  // may be zeros). Does nothing by default.
  virtual void release_before(std::uint64_t position);

  // The errno of the first call to the platform that failed (a full disk, say), for the
  // message that tells a user why; 0 when none did or the kind cannot say.
  virtual int error_number() const { return 0; }
};

using StreamPtr = std::unique_ptr<Stream>;

// For a stream that offers every operation above.
#define BUSFOLD_STREAM_OPERATIONS                                                                  \
  std::int64_t read(void* buffer, std::uint64_t n) override;                                       \
  std::int64_t write(const void* buffer, std::uint64_t n) override;                                \
  std::int64_t tell() override;                                                                    \
  std::int64_t seek(std::int64_t offset, int whence) override;                                     \
  std::int64_t close() override;                                                                   \
  const std::uint8_t* view(std::uint64_t position, std::uint64_t n) override

// Closes and, on success, destroys the stream. A null stream gives 0.
std::int64_t stream_close(StreamPtr& stream);

// Reads exactly n bytes, looping over short reads; false when the stream ends or fails
// first.
bool stream_read_exact(Stream& stream, void* buffer, std::uint64_t n);

// Seeks to an absolute position; true only when the stream landed exactly there.
bool stream_seek_exact(Stream& stream, std::uint64_t position);

// Size by seeking to the end and back; -1 for a null stream, -2 without tell.
std::int64_t stream_size(Stream* stream);

enum class CopyStatus { kDone, kReadFailed, kWriteFailed, kTooLarge };

// Copies src from its position to its end into dst in 4096-byte chunks; `copied`
// counts the bytes dst took. A copy cut short by a failing read or by dst taking less
// than it was given (a memory stream that cannot grow) is never taken for success.
// kTooLarge, with at most `limit` bytes copied, when src holds more than `limit`.
CopyStatus stream_copy(Stream& src, Stream& dst, std::uint64_t& copied,
                       std::uint64_t limit = UINT64_MAX);

// A failure without a line of its own, for a caller that says in its own words what
// failed (e.g. "Could not decompress file").
inline Status unexplained_failure(ErrorCode code) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
  return make_error(code, "");
#pragma GCC diagnostic pop
}

}  // namespace busfold
