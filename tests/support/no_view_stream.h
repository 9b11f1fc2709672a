// A stream over another that shows no bytes in place, as a file stream does not: reads
// through it take the copying paths of the readers.
#pragma once

#include "io/stream.h"

namespace busfold::test {

class NoViewStream final : public Stream {
public:
  explicit NoViewStream(Stream& inner) : inner_(inner) {}
  std::int64_t read(void* buffer, std::uint64_t n) override { return inner_.read(buffer, n); }
  std::int64_t tell() override { return inner_.tell(); }
  std::int64_t seek(std::int64_t offset, int whence) override {
    return inner_.seek(offset, whence);
  }

private:
  Stream& inner_;
};

}  // namespace busfold::test
