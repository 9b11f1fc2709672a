// Prints what a finalized bus-logging file holds: its size and the records of every
// channel group that has any, as the demo shows after a conversion.
//
//   mdf_summary [--groups] <file>...
#include <cinttypes>
#include <cstdio>
#include <string>

#include "io/buffered_stream.h"
#include "io/file_stream.h"
#include "mdf/cg_block.h"
#include "mdf/dg_block.h"
#include "mdf/hd_block.h"
#include "mdf/id_block.h"
#include "mdf/mdf_file.h"
#include "mdf/text_block.h"

namespace {

using namespace busfold;

bool summarise(const char* path, bool list_groups) {
  std::unique_ptr<FileStream> file = file_stream_open(path, 0);
  std::int64_t size = file ? stream_size(file.get()) : -1;
  if (size <= 0) {
    std::printf("%s: cannot be read\n", path);
    return false;
  }
  StreamPtr stream = buffered_stream_new(std::move(file), static_cast<std::uint64_t>(size));
  std::unique_ptr<MdfFile> mdf = stream ? file_or_null(mdf_open(*stream)) : nullptr;
  if (!mdf || mdf->hd() == nullptr) {
    std::printf("%s: not an MDF 4 file we can read\n", path);
    return false;
  }
  std::uint64_t frames = 0;
  std::string groups;
  for (const BlockRef& dg_ref : mdf->hd()->data_groups) {
    const DgBlock* dg = block_cast<DgBlock>(dg_ref);
    for (const BlockRef& cg_ref : dg->channel_groups) {
      const CgBlock* cg = block_cast<CgBlock>(cg_ref);
      if (cg->vlsd_group || cg->cg_cycle_count == 0) continue;
      frames += cg->cg_cycle_count;
      groups += "    " + std::string(block_text(cg->acq_name)) + ": " +
                std::to_string(cg->cg_cycle_count) + "\n";
    }
  }
  std::printf("%s: %" PRId64 " bytes, \"%s\", %" PRIu64 " frames\n%s", path, size,
              mdf->id_block()->file_id(), frames, list_groups ? groups.c_str() : "");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  bool list_groups = argc > 1 && std::string(argv[1]) == "--groups";
  if (list_groups) ++first;
  bool ok = argc > first;
  for (int i = first; i < argc; ++i)
    ok = summarise(argv[i], list_groups) && ok;
  return ok ? 0 : 1;
}
