// A view of the inner bytes [start, end); the inner stream is borrowed.
#pragma once

#include <cstdint>
#include <memory>

#include "io/stream.h"

namespace busfold {

class RangeStream final : public Stream {
public:
  BUSFOLD_STREAM_OPERATIONS;
  void release_before(std::uint64_t position) override;

private:
  friend std::unique_ptr<RangeStream> range_stream_new(Stream* inner, std::int64_t start,
                                                       std::int64_t end);
  RangeStream(Stream* inner, std::int64_t start, std::int64_t end)
      : inner_(inner), start_(start), end_(end) {}
  // Caps n so that a transfer at the inner position stops at the range end.
  std::uint64_t limit(std::uint64_t n);

  Stream* inner_;
  std::int64_t start_;
  std::int64_t end_;  // absolute in the inner stream; 0 or less: runs to the inner end
};

// Positions the inner stream at start. Null for a null inner stream.
std::unique_ptr<RangeStream> range_stream_new(Stream* inner, std::int64_t start, std::int64_t end);

}  // namespace busfold
