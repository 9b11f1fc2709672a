#include "io/decompress_stream.h"

#include <new>

namespace busfold {

std::unique_ptr<DecompressStream> decompress_stream_new(Stream& inner, int window_bits,
                                                        int lookahead_bits) {
  auto decoder = LzssDecoder::create(window_bits, lookahead_bits);
  if (!decoder) return nullptr;
  return std::unique_ptr<DecompressStream>(new (std::nothrow)
                                               DecompressStream(inner, std::move(decoder)));
}

std::int64_t DecompressStream::read(void* buffer, std::uint64_t n) {
  if (n == 0) return 0;
  if (!decoder_) return kStreamError;
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint64_t delivered = 0;
  for (;;) {
    delivered += decoder_->decode({out + delivered, static_cast<std::size_t>(n - delivered)});
    if (delivered == n) return static_cast<std::int64_t>(n);
    // The decoder stopped short, so it has used up its input: the fed piece may be reused.
    std::int64_t got = inner_->read(input_, sizeof input_);
    if (got < 0) return kStreamError;
    // What the reader still holds cannot make a whole token: it is padding.
    if (got == 0) return static_cast<std::int64_t>(delivered);
    decoder_->feed({input_, static_cast<std::size_t>(got)});
  }
}

std::int64_t DecompressStream::write(const void*, std::uint64_t) { return kStreamError; }
std::int64_t DecompressStream::tell() { return kStreamError; }
std::int64_t DecompressStream::seek(std::int64_t, int) { return kStreamError; }

// The inner stream is borrowed; only the decoder is ours.
std::int64_t DecompressStream::close() {
  decoder_.reset();
  return 0;
}

}  // namespace busfold
