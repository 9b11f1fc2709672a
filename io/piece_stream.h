// A read-only stream made of pieces of a source stream, one after another: pieces kept
// as they are, and pieces deflated with zlib, optionally with their bytes transposed in
// columns first. Kept pieces are read and viewed in place in the source, so that a long
// run of them costs no memory of its own. A deflated piece is inflated whole when it is
// first touched; the last two stay inflated, so that a view into one stays valid while
// the next one is read (a record that ends one piece and a value that starts the next).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/result.h"
#include "io/stream.h"

namespace busfold {

enum class PieceCoding : std::uint8_t {
  kStored,
  kDeflate,
  kTransposedDeflate,  // rows of `columns` bytes stored column by column, then deflated
};

struct StreamPiece {
  std::uint64_t source_start = 0;  // first byte in the source
  std::uint64_t source_size = 0;   // bytes it takes in the source
  std::uint64_t size = 0;          // bytes it gives: source_size when stored
  PieceCoding coding = PieceCoding::kStored;
  std::uint32_t columns = 0;  // bytes of a row when transposed
};

class PieceStream final : public Stream {
public:
  std::int64_t read(void* buffer, std::uint64_t n) override;
  std::int64_t tell() override { return static_cast<std::int64_t>(position_); }
  std::int64_t seek(std::int64_t offset, int whence) override;
  // Null for a range that spans two pieces, or whose piece cannot be read.
  const std::uint8_t* view(std::uint64_t position, std::uint64_t n) override;
  // Pieces all kept as they are show the source's views: its epoch. Pieces all deflated
  // show the inflated ones: up whenever one of those is inflated anew. A mix keeps none.
  const std::uint64_t* view_epoch() const override;

  std::uint64_t size() const { return size_; }
  // Why the last read or view that failed did (a piece that does not inflate to its
  // size, a source cut short); success while none has.
  const Status& failure() const { return failure_; }

private:
  friend std::unique_ptr<PieceStream> piece_stream_new(Stream& source,
                                                       std::vector<StreamPiece> pieces);
  struct Inflated {
    std::size_t piece = SIZE_MAX;
    std::vector<std::uint8_t> bytes;
    std::uint64_t last_use = 0;
  };
  PieceStream(Stream& source, std::vector<StreamPiece> pieces);
  // Index of the piece that holds the position (< size).
  std::size_t piece_at(std::uint64_t position);
  // The bytes of a deflated piece, inflated now if they are not yet; null on failure.
  const std::uint8_t* inflated(std::size_t index);
  bool inflate_into(const StreamPiece& piece, std::vector<std::uint8_t>& out);

  Stream& source_;
  std::vector<StreamPiece> pieces_;
  std::vector<std::uint64_t> starts_;  // where each piece starts in this stream
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
  std::size_t hint_ = 0;  // the piece the last access fell into
  std::uint64_t uses_ = 0;
  std::uint64_t inflations_ = 0;
  std::size_t stored_pieces_ = 0;  // of pieces_
  std::array<Inflated, 2> inflated_;
  Status failure_;
};

// Null when the pieces together give more than a stream position can reach.
std::unique_ptr<PieceStream> piece_stream_new(Stream& source, std::vector<StreamPiece> pieces);

}  // namespace busfold
