// DT and SD blocks. They never hold their data: each is a read stream over a window of
// a source stream (the file it was loaded from, a buffer a writer attached, or the
// pieces of a data list or zipped block that stands in the file where a DT or SD may).
#pragma once

#include <cstdint>

#include "io/piece_stream.h"
#include "io/stream.h"
#include "mdf/block.h"

namespace busfold {

class DataBlock : public MdfBlock {
public:
  static bool matches(BlockType kind) { return kind == BlockType::kDt || kind == BlockType::kSd; }

  ~DataBlock() override;

  // Reads the header only: the data stays in the source.
  Status load(LoadContext& ctx, const BlockHeader& header) override;
  // Writes the header, then copies the data from its start; no source, no data.
  Status save(SaveContext& ctx, const MdfBlock* next) override;

  // The data as a stream: read, tell, seek within [0, data size], and direct views when
  // the source holds its bytes in memory.
  Stream& read_stream() { return reader_; }

  std::uint64_t data_size() const {
    return length > kBlockHeaderSize ? length - kBlockHeaderSize : 0;
  }
  // Absolute position of the first data byte in the source.
  std::uint64_t data_start() const { return data_start_; }
  Stream* source() const { return source_; }
  bool owns_source() const { return owned_source_ != nullptr; }

  // The data becomes `size` bytes of the source from `data_start` on (length 24 + size);
  // the read position goes back to 0. A borrowed source must outlive the block's use.
  void set_source(Stream* source, std::uint64_t data_start, std::uint64_t size);
  // Owning form: the source is closed when the block goes.
  void set_source(StreamPtr source, std::uint64_t data_start, std::uint64_t size);
  // The data becomes all that the pieces give, owned like a source.
  void set_pieces(std::unique_ptr<PieceStream> pieces);
  // Whether the data is gathered from pieces rather than held by one block in the file.
  bool from_pieces() const { return pieces_ != nullptr; }
  // Why a read of the data failed, when its source can say; success otherwise.
  Status read_failure() const { return pieces_ != nullptr ? pieces_->failure() : Status(); }

protected:
  explicit DataBlock(BlockType kind);

private:
  class ReadStream final : public Stream {
  public:
    explicit ReadStream(DataBlock& block) : block_(block) {}
    std::int64_t read(void* buffer, std::uint64_t n) override;
    std::int64_t tell() override;
    std::int64_t seek(std::int64_t offset, int whence) override;
    const std::uint8_t* view(std::uint64_t position, std::uint64_t n) override;
    const std::uint64_t* view_epoch() const override;

  private:
    // Moves the source to data position `at`; false when it does not land there.
    bool seek_source(std::uint64_t at);
    DataBlock& block_;
  };

  std::uint64_t data_start_ = 0;
  Stream* source_ = nullptr;
  StreamPtr owned_source_;
  PieceStream* pieces_ = nullptr;  // owned_source_, when that gathers pieces
  std::uint64_t position_ = 0;
  ReadStream reader_{*this};
};

class DtBlock final : public BlockOfKind<BlockType::kDt, DataBlock> {
public:
  // Set by the open for the last data block of an unfinalized file: a recording that
  // stopped may have stopped inside its last record. Every other block has an exact
  // length, so a record cut short in it can only be damage.
  bool may_end_inside_record = false;
};

class SdBlock final : public BlockOfKind<BlockType::kSd, DataBlock> {};

}  // namespace busfold
