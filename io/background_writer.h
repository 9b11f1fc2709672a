// Writes buffers to a stream on a thread of its own, one at a time, so that whoever fills
// them goes on with the next one meanwhile: the copy into the page cache no longer waits
// for the records, nor the records for it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "io/stream.h"

namespace busfold {

class BackgroundWriter {
public:
  BackgroundWriter() = default;
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;
  ~BackgroundWriter();

  // Waits for the write before, then starts writing the n bytes to the stream at its
  // position. The bytes and the stream must stay as they are until the next write() or
  // wait() returns. False, with nothing started, when the write before did not take every
  // byte. Without a thread (none could be started) the bytes are written here and now.
  bool write(Stream& stream, const std::uint8_t* bytes, std::size_t n);
  // Waits for the write under way; false when a write since the last wait() did not take
  // every byte (said once). The stream is the caller's again.
  bool wait();

private:
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;  // started with the first write
  bool stopping_ = false;
  // The write under way, if any, and how the last one ended.
  Stream* stream_ = nullptr;
  const std::uint8_t* bytes_ = nullptr;
  std::size_t size_ = 0;
  bool busy_ = false;
  bool ok_ = true;
};

}  // namespace busfold
