// A read-only stream that decodes the LZSS bit stream read from another stream.
#pragma once

#include <cstdint>
#include <memory>

#include "io/lzss_decoder.h"
#include "io/stream.h"

namespace busfold {

// Pulls the payload from the borrowed inner stream in 1024-byte pieces and decodes
// straight into the caller's buffer. Write, tell and seek return -1.
class DecompressStream final : public Stream {
public:
  static constexpr std::uint64_t kInputPiece = 1024;

  DecompressStream(Stream& inner, std::unique_ptr<LzssDecoder> decoder)
      : inner_(&inner), decoder_(std::move(decoder)) {}

  // Fills the buffer unless the payload ends first; 0 at the end, -1 when the
  // inner stream fails.
  std::int64_t read(void* buffer, std::uint64_t n) override;
  std::int64_t write(const void* buffer, std::uint64_t n) override;
  std::int64_t tell() override;
  std::int64_t seek(std::int64_t offset, int whence) override;
  std::int64_t close() override;

private:
  Stream* inner_;
  std::unique_ptr<LzssDecoder> decoder_;
  std::uint8_t input_[kInputPiece] = {};
};

// Null when the parameters are refused (window 4..15 bits, lookahead 3 bits up to
// one less than the window) or memory runs out.
std::unique_ptr<DecompressStream> decompress_stream_new(Stream& inner, int window_bits,
                                                        int lookahead_bits);

}  // namespace busfold
