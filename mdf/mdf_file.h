// An opened MDF 4 file: its source stream and the tree of blocks loaded from it.
#pragma once

#include <memory>

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

// Loads the whole tree of the file. Null when any block of it fails to load. An
// unfinalized file whose last data block's length was not updated gets that length
// repaired from the stream size. The classifier, when given, gives the channels their roles
// and each channel group its record handler; it is used during the load only.
std::unique_ptr<MdfFile> mdf_open(Stream& stream, const ChannelClassifier* classifier = nullptr);

// Releases the tree (blocks still referenced elsewhere stay); the source stays open.
void mdf_close(std::unique_ptr<MdfFile> file);

}  // namespace busfold
