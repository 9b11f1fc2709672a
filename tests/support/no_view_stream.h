// Shows no bytes in place, as a file stream does not: reads through it take the readers'
// copying paths.
#pragma once

#include "io/stream.h"

namespace busfold::test {

struct NoViewStream : Stream {
  explicit NoViewStream(Stream& stream) : inner(stream) {}
  std::int64_t read(void* buffer, std::uint64_t n) override { return inner.read(buffer, n); }
  std::int64_t tell() override { return inner.tell(); }
  std::int64_t seek(std::int64_t offset, int whence) override { return inner.seek(offset, whence); }
  Stream& inner;
};

}  // namespace busfold::test
