// An opened MDF 4 file: its source stream and the tree of blocks loaded from it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
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
  // Set when a history entry names a tool other than our logger (the file was taken
  // with MdfOpenOptions::any_writer): the first such entry's tool id, "" for none.
  std::optional<std::string> other_writer;

  IdBlock* id_block() const;
  HdBlock* hd() const;  // the identification block's header block, or null
};

struct MdfOpenOptions {
  // Takes files that other tools wrote when they hold groups the classifier recognises;
  // without, the history of a file must name our logger's tool.
  bool any_writer = false;
  // Ends the line that refuses a file of another writer (e.g. how to take it after all).
  std::string_view writer_hint;
};

// Loads the whole tree of the file. Fails when any block of it fails to load; the
// failure's lines explain why, cause first. An unfinalized file whose last data block's
// length was not updated gets that length repaired from the stream size. The classifier,
// when given, gives the channels their roles and each channel group its record handler;
// it is used during the load only. What the load let pass (a record id used twice, a
// channel data type we do not read) is appended to `warnings`, when given, on success and
// failure alike: the caller logs those lines as warnings, before any failure.
// A file of another writer taken with any_writer fails when none of its groups is
// recognised.
Result<std::unique_ptr<MdfFile>> mdf_open(Stream& stream,
                                          const ChannelClassifier* classifier = nullptr,
                                          std::vector<std::string>* warnings = nullptr,
                                          const MdfOpenOptions& options = {});

// The file of an open, or null when it failed: for callers that need no reason.
inline std::unique_ptr<MdfFile> file_or_null(Result<std::unique_ptr<MdfFile>> opened) {
  return opened.ok() ? std::move(*opened) : nullptr;
}

}  // namespace busfold
