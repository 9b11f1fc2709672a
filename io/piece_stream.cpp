#include "io/piece_stream.h"

#include <zlib.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <new>

#include "base/format.h"

namespace busfold {

namespace {

// zlib counts in 32-bit amounts: larger pieces are fed in parts.
constexpr std::uint64_t kZlibStep = std::uint64_t{1} << 30;

// Rows restored from a transposed piece at a time: about this many bytes of them.
constexpr std::uint64_t kTransposeBlockBytes = 32 << 10;

// What one piece needs only while it is inflated: the deflated bytes the source could not
// show in place, and a transposed piece before it is put back in rows. The streams of a
// thread (one per data group of a file, read side by side) share them, and keep them
// between pieces up to a size; a larger piece's are given back when it is done.
constexpr std::size_t kKeptScratchBytes = std::size_t{8} << 20;
struct InflateScratch {
  std::vector<std::uint8_t> input;
  std::vector<std::uint8_t> transposed;
};
thread_local InflateScratch inflate_scratch;

#ifdef __SSE2__
// Eight rows of eight columns: each column's eight bytes in, each row's eight bytes out.
void restore_8x8(const std::uint8_t* in, std::uint64_t rows, std::uint8_t* out,
                 std::uint64_t columns) {
  auto column = [&](std::uint64_t k) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + k * rows));
  };
  // Bytes of columns 0 and 1 side by side, row by row; then 0 to 3; then all eight.
  const __m128i c01 = _mm_unpacklo_epi8(column(0), column(1));
  const __m128i c23 = _mm_unpacklo_epi8(column(2), column(3));
  const __m128i c45 = _mm_unpacklo_epi8(column(4), column(5));
  const __m128i c67 = _mm_unpacklo_epi8(column(6), column(7));
  const __m128i rows03_c03 = _mm_unpacklo_epi16(c01, c23);
  const __m128i rows47_c03 = _mm_unpackhi_epi16(c01, c23);
  const __m128i rows03_c47 = _mm_unpacklo_epi16(c45, c67);
  const __m128i rows47_c47 = _mm_unpackhi_epi16(c45, c67);
  const __m128i two_rows[4] = {
      _mm_unpacklo_epi32(rows03_c03, rows03_c47), _mm_unpackhi_epi32(rows03_c03, rows03_c47),
      _mm_unpacklo_epi32(rows47_c03, rows47_c47), _mm_unpackhi_epi32(rows47_c03, rows47_c47)};
  for (int pair = 0; pair < 4; ++pair) {
    std::uint8_t* row = out + static_cast<std::uint64_t>(2 * pair) * columns;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(row), two_rows[pair]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(row + columns), _mm_srli_si128(two_rows[pair], 8));
  }
}
#endif

// Rows [first, last) of columns [first_column, end_column), byte by byte.
void restore_bytes(const std::uint8_t* in, std::uint64_t rows, std::uint64_t columns,
                   std::uint8_t* out, std::uint64_t first, std::uint64_t last,
                   std::uint64_t first_column, std::uint64_t end_column) {
  for (std::uint64_t c = first_column; c < end_column; ++c) {
    const std::uint8_t* column = in + c * rows;
    for (std::uint64_t r = first; r < last; ++r)
      out[r * columns + c] = column[r];
  }
}

// Puts `rows` rows of `columns` bytes, stored column by column in `in`, back in rows.
void restore_rows(const std::uint8_t* in, std::uint64_t rows, std::uint64_t columns,
                  std::uint8_t* out) {
  // A block of rows at a time, so that the rows being filled stay in the cache while
  // each column's run of them is read.
  const std::uint64_t block = std::max<std::uint64_t>(64, kTransposeBlockBytes / columns / 8 * 8);
  for (std::uint64_t first = 0; first < rows; first += block) {
    const std::uint64_t last = std::min(rows, first + block);
    std::uint64_t by_eights = 0;  // columns restored eight by eight rows
#ifdef __SSE2__
    by_eights = columns / 8 * 8;
    const std::uint64_t whole = first + (last - first) / 8 * 8;
    for (std::uint64_t c = 0; c < by_eights; c += 8) {
      for (std::uint64_t r = first; r < whole; r += 8)
        restore_8x8(in + c * rows + r, rows, out + r * columns + c, columns);
    }
    // The rows after the last eight, of those columns.
    restore_bytes(in, rows, columns, out, whole, last, 0, by_eights);
#endif
    restore_bytes(in, rows, columns, out, first, last, by_eights, columns);
  }
}

// A scratch buffer in use until the end of the scope, then given back if it grew large.
class ScratchUse {
public:
  explicit ScratchUse(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  ScratchUse(const ScratchUse&) = delete;
  ScratchUse& operator=(const ScratchUse&) = delete;
  ~ScratchUse() {
    if (bytes_.capacity() > kKeptScratchBytes) std::vector<std::uint8_t>().swap(bytes_);
  }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

private:
  std::vector<std::uint8_t>& bytes_;
};

}  // namespace

std::unique_ptr<PieceStream> piece_stream_new(Stream& source, std::vector<StreamPiece> pieces) {
  std::uint64_t total = 0;
  for (const StreamPiece& piece : pieces) {
    if (piece.size > static_cast<std::uint64_t>(INT64_MAX) - total) return nullptr;
    total += piece.size;
  }
  return std::unique_ptr<PieceStream>(new (std::nothrow) PieceStream(source, std::move(pieces)));
}

PieceStream::PieceStream(Stream& source, std::vector<StreamPiece> pieces)
    : source_(source), pieces_(std::move(pieces)) {
  // Pieces that give nothing are never the piece of a position.
  std::erase_if(pieces_, [](const StreamPiece& piece) { return piece.size == 0; });
  starts_.reserve(pieces_.size());
  for (const StreamPiece& piece : pieces_) {
    starts_.push_back(size_);
    size_ += piece.size;
    if (piece.coding == PieceCoding::kStored) ++stored_pieces_;
  }
}

std::size_t PieceStream::piece_at(std::uint64_t position) {
  // Reads go forward: the piece of the last access or the one after it, nearly always.
  for (std::size_t i = hint_; i < std::min(hint_ + 2, pieces_.size()); ++i) {
    if (position >= starts_[i] && position - starts_[i] < pieces_[i].size) return hint_ = i;
  }
  auto after = std::upper_bound(starts_.begin(), starts_.end(), position);
  return hint_ = static_cast<std::size_t>(after - starts_.begin()) - 1;
}

bool PieceStream::inflate_into(const StreamPiece& piece, std::vector<std::uint8_t>& out) {
  const std::uint8_t* in = source_.view(piece.source_start, piece.source_size);
  ScratchUse scratch(inflate_scratch.input);
  std::vector<std::uint8_t>& input = scratch.bytes();
  if (in == nullptr) {
    input.resize(piece.source_size);
    if (!stream_seek_exact(source_, piece.source_start) ||
        !stream_read_exact(source_, input.data(), piece.source_size)) {
      failure_ = make_error(ErrorCode::kIo, "Zipped data at offset %llu could not be read",
                            ull(piece.source_start));
      return false;
    }
    in = input.data();
  }
  // One byte of room past the size declared: a piece that fills it holds more.
  out.resize(piece.size + 1);
  z_stream z{};
  if (inflateInit(&z) != Z_OK) {
    failure_ = make_error(ErrorCode::kOutOfMemory, "%s", "Could not start to inflate zipped data");
    return false;
  }
  std::uint64_t in_left = piece.source_size, out_left = piece.size + 1;
  z.next_in = const_cast<Bytef*>(in);
  z.next_out = out.data();
  int result = Z_OK;
  while (result == Z_OK) {
    if (z.avail_in == 0 && in_left != 0) {
      z.avail_in = static_cast<uInt>(std::min(in_left, kZlibStep));
      in_left -= z.avail_in;
    }
    if (z.avail_out == 0 && out_left != 0) {
      z.avail_out = static_cast<uInt>(std::min(out_left, kZlibStep));
      out_left -= z.avail_out;
    }
    result = inflate(&z, Z_NO_FLUSH);
  }
  const std::uint64_t produced = piece.size + 1 - out_left - z.avail_out;
  const char* zlib_message = z.msg;
  inflateEnd(&z);
  out.resize(piece.size);
  if (result == Z_STREAM_END && produced == piece.size) return true;
  if (result == Z_STREAM_END || result == Z_BUF_ERROR) {
    // Z_BUF_ERROR: the input ran out before its end (fewer), or the spare byte was taken.
    const bool more = produced > piece.size;
    failure_ = make_error(ErrorCode::kInvalidInput,
                          "Zipped data at offset %llu inflates to %s than the %llu bytes its "
                          "block declares",
                          ull(piece.source_start), more ? "more" : "fewer", ull(piece.size));
  } else {
    failure_ = make_error(
        ErrorCode::kInvalidInput, "Zipped data at offset %llu does not inflate (zlib: %s)",
        ull(piece.source_start), zlib_message != nullptr ? zlib_message : "damaged");
  }
  return false;
}

const std::uint8_t* PieceStream::inflated(std::size_t index) {
  ++uses_;
  for (Inflated& slot : inflated_) {
    if (slot.piece == index) {
      slot.last_use = uses_;
      return slot.bytes.data();
    }
  }
  Inflated& slot = inflated_[0].last_use <= inflated_[1].last_use ? inflated_[0] : inflated_[1];
  slot.piece = SIZE_MAX;
  ++inflations_;
  const StreamPiece& piece = pieces_[index];
  if (piece.coding == PieceCoding::kDeflate) {
    if (!inflate_into(piece, slot.bytes)) return nullptr;
  } else {
    ScratchUse scratch(inflate_scratch.transposed);
    std::vector<std::uint8_t>& transposed = scratch.bytes();
    if (!inflate_into(piece, transposed)) return nullptr;
    // Rows of `columns` bytes were stored column by column; what does not fill a whole
    // row follows as it is.
    const std::uint64_t columns = std::max<std::uint32_t>(piece.columns, 1);
    const std::uint64_t rows = piece.size / columns;
    slot.bytes.resize(piece.size);
    std::uint8_t* out = slot.bytes.data();
    const std::uint8_t* in = transposed.data();
    restore_rows(in, rows, columns, out);
    std::memcpy(out + rows * columns, in + rows * columns, piece.size - rows * columns);
  }
  slot.piece = index;
  slot.last_use = uses_;
  return slot.bytes.data();
}

const std::uint64_t* PieceStream::view_epoch() const {
  if (stored_pieces_ == pieces_.size()) return source_.view_epoch();
  return stored_pieces_ == 0 ? &inflations_ : nullptr;
}

const std::uint8_t* PieceStream::view(std::uint64_t position, std::uint64_t n) {
  if (position >= size_ || n > size_ - position) return nullptr;
  const std::size_t index = piece_at(position);
  const StreamPiece& piece = pieces_[index];
  const std::uint64_t within = position - starts_[index];
  if (n > piece.size - within) return nullptr;
  if (piece.coding == PieceCoding::kStored) return source_.view(piece.source_start + within, n);
  const std::uint8_t* bytes = inflated(index);
  return bytes == nullptr ? nullptr : bytes + within;
}

std::int64_t PieceStream::read(void* buffer, std::uint64_t n) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint64_t done = 0;
  while (done < n && position_ < size_) {
    const std::size_t index = piece_at(position_);
    const StreamPiece& piece = pieces_[index];
    const std::uint64_t within = position_ - starts_[index];
    const std::uint64_t k = std::min(n - done, piece.size - within);
    if (piece.coding == PieceCoding::kStored) {
      if (!stream_seek_exact(source_, piece.source_start + within) ||
          !stream_read_exact(source_, out + done, k)) {
        failure_ = make_error(ErrorCode::kIo, "Data at offset %llu could not be read",
                              ull(piece.source_start + within));
        return done != 0 ? static_cast<std::int64_t>(done) : kStreamError;
      }
    } else {
      const std::uint8_t* bytes = inflated(index);
      if (bytes == nullptr) return done != 0 ? static_cast<std::int64_t>(done) : kStreamError;
      std::memcpy(out + done, bytes + within, k);
    }
    done += k;
    position_ += k;
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t PieceStream::seek(std::int64_t offset, int whence) {
  std::int64_t base;
  switch (whence) {
  case kSeekSet: base = 0; break;
  case kSeekCur: base = static_cast<std::int64_t>(position_); break;
  case kSeekEnd: base = static_cast<std::int64_t>(size_); break;
  default: return kStreamError;
  }
  std::int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return kStreamError;
  position_ = std::min(static_cast<std::uint64_t>(target), size_);
  return static_cast<std::int64_t>(position_);
}

}  // namespace busfold
