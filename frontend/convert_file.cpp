#include "frontend/convert_file.h"

#include <sys/types.h>

#include <algorithm>

#include "frontend/log.h"
#include "io/buffered_stream.h"
#include "io/fs_root.h"

namespace busfold {

namespace {

// Holds the one stream the pipeline reads the input through and closes it on every way out.
class CurrentStream {
public:
  explicit CurrentStream(StreamPtr stream) : stream_(std::move(stream)) {}
  CurrentStream(const CurrentStream&) = delete;
  CurrentStream& operator=(const CurrentStream&) = delete;
  ~CurrentStream() { stream_close(stream_); }

  Stream* get() const { return stream_.get(); }
  StreamPtr& ptr() { return stream_; }

private:
  StreamPtr stream_;
};

}  // namespace

int convert_file(ToolContext& ctx, std::string_view input, std::string_view output) {
  (void)output;
  const int input_length = static_cast<int>(std::min<std::size_t>(input.size(), 0x7fffffff));
  std::unique_ptr<FileStream> file = fs_open(ctx.input_root, input, kFsRead | 4);
  if (!file) {
    BUSFOLD_LOG(kLogError, "Could not open input file %.*s", input_length, input.data());
    return kConvertFailed;
  }

  std::int64_t buffer_size = ctx.options != nullptr ? ctx.options->buffer_size : -1;
  if (buffer_size < 0) buffer_size = stream_size(file.get());
  StreamPtr opened = std::move(file);
  if (buffer_size > 0) {
    StreamPtr buffered =
        buffered_stream_new(std::move(opened), static_cast<std::uint64_t>(buffer_size));
    if (!buffered) {
      BUSFOLD_LOG(kLogError, "Could not allocate buffer of size %zd",
                  static_cast<ssize_t>(buffer_size));
      return kConvertFailed;
    }
    opened = std::move(buffered);
  }
  CurrentStream current(std::move(opened));

  // Containers and the MDF loader are not wired in yet: nothing can be read.
  BUSFOLD_LOG(kLogError, "Could not open MDF");
  return kConvertFailed;
}

}  // namespace busfold
