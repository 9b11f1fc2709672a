// The unwrapped content of a container: the whole payload held in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "io/container_header.h"
#include "io/memory_stream.h"
#include "io/stream.h"

namespace busfold {

// Read, write, tell, seek, view and release go to the owned memory stream, so the content
// no longer depends on the stream it was unwrapped from.
class ContainerStream final : public Stream {
public:
  // Compressed containers keep their raw parameter fields; encrypted ones pass 0.
  ContainerStream(const ContainerHeader& header, std::unique_ptr<MemoryStream> memory,
                  std::uint32_t window_field = 0, std::uint32_t lookahead_field = 0)
      : header_(header), window_field_(window_field), lookahead_field_(lookahead_field),
        memory_(std::move(memory)) {}

  BUSFOLD_STREAM_OPERATIONS;
  void release_before(std::uint64_t position) override;
  const std::uint64_t* view_epoch() const override {
    return memory_ ? memory_->view_epoch() : nullptr;
  }

  const ContainerHeader& header() const { return header_; }
  std::uint32_t window_field() const { return window_field_; }
  std::uint32_t lookahead_field() const { return lookahead_field_; }
  // The whole content (empty after close).
  std::span<const std::uint8_t> bytes() const;

private:
  ContainerHeader header_;
  std::uint32_t window_field_;
  std::uint32_t lookahead_field_;
  std::unique_ptr<MemoryStream> memory_;
};

}  // namespace busfold
