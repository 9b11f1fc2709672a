// An opened MDF 4 file: its source stream and the tree of blocks loaded from it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/result.h"
#include "io/stream.h"
#include "mdf/block.h"

namespace busfold {

class IdBlock;
class HdBlock;
class ChannelClassifier;

struct MdfFile {
  Stream* source = nullptr;  // not owned
  BlockRef id;               // the identification block, owner of the tree

  IdBlock* id_block() const;
  HdBlock* hd() const;  // the identification block's header block, or null
};

// Loads the whole tree of the file. Fails when any block of it fails to load; the
// failure's lines explain why, cause first. An unfinalized file whose last data block's
// length was not updated gets that length repaired from the stream size. The classifier,
// when given, gives the channels their roles and each channel group its record handler;
// it is used during the load only. What the load let pass (a record id used twice, a
// channel data type we do not read) is appended to `warnings`, when given, on success and
// failure alike: the caller logs those lines as warnings, before any failure.
Result<std::unique_ptr<MdfFile>> mdf_open(Stream& stream,
                                          const ChannelClassifier* classifier = nullptr,
                                          std::vector<std::string>* warnings = nullptr);

// The file of an open, or null when it failed: for callers that need no reason.
inline std::unique_ptr<MdfFile> file_or_null(Result<std::unique_ptr<MdfFile>> opened) {
  return opened.ok() ? std::move(*opened) : nullptr;
}

}  // namespace busfold
