#include "frontend/file_jobs.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "base/log.h"
#include "frontend/convert_file.h"

namespace busfold {

namespace {

// More threads than this would only take turns on the cores and the disk.
constexpr std::int64_t kMaxWorkers = 256;
// Files (and runs of the walk's own lines) not yet written out, per worker: enough for
// a long file to be overtaken by many short ones, few enough that what they hold back
// stays small.
constexpr std::size_t kSlotsPerWorker = 16;
// Lines a file holds back while an earlier one is still converting; beyond this its
// worker waits for its turn and writes them as they come.
constexpr std::size_t kHeldBytes = std::size_t{64} << 10;

int convert_one(ToolContext& ctx, RunProgress& progress, std::string_view input,
                std::string_view output, std::string_view shown, std::uint64_t size) {
  const int shown_length = print_length(shown);
  progress.started(shown);
  const std::uint64_t records = ctx.record_count, written = ctx.output_bytes;
  const auto start = std::chrono::steady_clock::now();
  ctx.shown_input = shown;
  ctx.progress = &progress;
  ctx.input_size = size;
  const int code = ctx.file_converter != nullptr ? ctx.file_converter(ctx, input, output)
                                                 : convert_file(ctx, input, output);
  ctx.shown_input = {};
  ctx.progress = nullptr;
  const std::uint64_t frames = ctx.record_count - records;
  if (code != 0) {
    BUSFOLD_LOG(kLogError, "Error during conversion of %.*s", shown_length, shown.data());
  } else if (log_enabled(kLogInfo)) {
    std::string path =
        ctx.output_root != nullptr ? ctx.output_root->full_path(output) : std::string(output);
    path += tool_output_suffix(ctx);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    log_message(kLogInfo, "Converted %.*s -> %s (%llu frames, %.2f MiB, %.2f s)", shown_length,
                shown.data(), path.c_str(), static_cast<unsigned long long>(frames),
                static_cast<double>(size) / (1024.0 * 1024.0), seconds);
  }
  progress.finished(shown, code == 0, frames, size, ctx.output_bytes - written);
  return code;
}

// A path as a key: "//" reduced, no trailing "/".
std::string path_key(std::string_view path) {
  std::string key;
  key.reserve(path.size());
  for (char c : path) {
    if (c != '/' || key.empty() || key.back() != '/') key += c;
  }
  if (key.size() > 1 && key.back() == '/') key.pop_back();
  return key;
}

std::string parent_key(const std::string& key) {
  const std::size_t slash = key.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : key.substr(0, slash);
}

void write_lines(std::string_view lines) {
  while (!lines.empty()) {
    const std::size_t end = std::min(lines.find('\n'), lines.size() - 1) + 1;
    log_write_line(lines.substr(0, end));
    lines.remove_prefix(end);
  }
}

// One file's place in the walk order, or lines the walk logged between two files.
struct Slot {
  Slot() : done(true) {}  // lines of the walk's own
  Slot(std::string_view in, std::string_view out, std::string_view as_shown, std::uint64_t bytes)
      : input(in), output(out), shown(as_shown), size(bytes) {}
  std::string input, output, shown;  // all empty for the walk's lines
  std::uint64_t size = 0;
  std::string held;           // lines not yet written
  // Full paths the file reads or writes, and the folders of what it writes or deletes.
  std::string paths[2], folders[2];
  bool done = false;
  int code = 0;
  bool walk_lines() const { return input.empty(); }
};

}  // namespace

struct FileJobs::State final : LogSink {
  using Keys = std::unordered_multiset<std::string>;
  struct Worker final : LogSink {
    Worker(State& s, std::unique_ptr<ToolContext> c) : state(s), ctx(std::move(c)) {}
    void write_line(std::string_view line) override { state.worker_line(*this, line); }
    void run();

    State& state;
    std::unique_ptr<ToolContext> ctx;
    Slot* slot = nullptr;  // the file being converted
    std::thread thread;
  };

  State(ToolContext& c, RunProgress& p, std::size_t workers)
      : ctx(c), progress(p), max_workers(workers) {}

  // The walk's own lines: written at once when no file is outstanding, else after the
  // files before them.
  void write_line(std::string_view line) override;
  void worker_line(Worker& worker, std::string_view line);
  // Writes what the files at the front of the order hold, and drops the finished ones.
  void advance();
  void drain(std::unique_lock<std::mutex>& lock);
  // Waits until no file before the next one touches the key.
  void wait_untouched(std::unique_lock<std::mutex>& lock, const Keys& keys, const std::string& key);
  // Where each key of a file is counted.
  std::array<std::pair<Keys*, const std::string*>, 4> keys_of(const Slot& slot) {
    return {{{&touched, &slot.paths[0]},
             {&touched, &slot.paths[1]},
             {&touched_folders, &slot.folders[0]},
             {&touched_folders, &slot.folders[1]}}};
  }
  static void forget(Keys& keys, const std::string& key) {
    if (auto it = keys.find(key); it != keys.end()) keys.erase(it);
  }
  bool add_worker(std::unique_ptr<ToolContext> worker_ctx);
  bool is_front(const Slot* slot) const { return !order.empty() && order.front().get() == slot; }

  ToolContext& ctx;
  RunProgress& progress;
  const std::size_t max_workers;
  bool deletes_inputs = false;
  std::string output_suffix;

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::unique_ptr<Slot>> order;  // not yet written out, in walk order
  std::deque<Slot*> waiting;                // files no worker has taken yet
  std::vector<std::unique_ptr<Worker>> workers;
  std::size_t idle = 0;
  bool stopping = false;
  int codes = 0;
  // The paths and folders of the files in order.
  Keys touched, touched_folders;
};

void FileJobs::State::write_line(std::string_view line) {
  std::unique_lock lock(mutex);
  if (!order.empty() && order.back()->walk_lines() && order.back()->held.size() > kHeldBytes) {
    drain(lock);
  }
  if (order.empty()) {
    log_write_line(line);
    return;
  }
  try {
    if (!order.back()->walk_lines()) order.push_back(std::make_unique<Slot>());
    order.back()->held.append(line);
  } catch (const std::bad_alloc&) {
    log_write_line(line);  // out of place rather than lost
  }
}

void FileJobs::State::worker_line(Worker& worker, std::string_view line) {
  std::unique_lock lock(mutex);
  Slot* slot = worker.slot;
  if (!is_front(slot) && slot->held.size() + line.size() > kHeldBytes) {
    changed.wait(lock, [&] { return is_front(slot); });
  }
  if (is_front(slot)) {
    log_write_line(line);
    return;
  }
  try {
    slot->held.append(line);
  } catch (const std::bad_alloc&) {
    log_write_line(line);
  }
}

void FileJobs::State::advance() {
  while (!order.empty()) {
    Slot& front = *order.front();
    write_lines(front.held);
    front.held.clear();
    if (!front.done) break;
    codes |= front.code;
    for (auto [keys, key] : keys_of(front)) {
      if (!key->empty()) forget(*keys, *key);
    }
    order.pop_front();
  }
  changed.notify_all();
}

void FileJobs::State::drain(std::unique_lock<std::mutex>& lock) {
  changed.wait(lock, [&] { return order.empty(); });
}

void FileJobs::State::wait_untouched(std::unique_lock<std::mutex>& lock, const Keys& keys,
                                     const std::string& key) {
  changed.wait(lock, [&] { return !keys.contains(key); });
}

void FileJobs::State::Worker::run() {
  set_thread_log_sink(this);
  std::unique_lock lock(state.mutex);
  for (;;) {
    ++state.idle;
    state.changed.wait(lock, [&] { return state.stopping || !state.waiting.empty(); });
    --state.idle;
    if (state.waiting.empty()) break;
    slot = state.waiting.front();
    state.waiting.pop_front();
    lock.unlock();
    int code = kConvertFailed;
    try {
      code = convert_one(*ctx, state.progress, slot->input, slot->output, slot->shown, slot->size);
    } catch (const std::bad_alloc&) {
      // As in the calling thread: the file fails, the run goes on.
      BUSFOLD_LOG(kLogError, "Out of memory while converting %.*s", print_length(slot->shown),
                  slot->shown.data());
    }
    lock.lock();
    slot->code = code;
    slot->done = true;
    slot = nullptr;
    state.advance();
  }
  set_thread_log_sink(nullptr);
}

bool FileJobs::State::add_worker(std::unique_ptr<ToolContext> worker_ctx) {
  if (!worker_ctx) return false;
  worker_ctx->file_converter = ctx.file_converter;
  std::unique_ptr<Worker> worker(new (std::nothrow) Worker(*this, std::move(worker_ctx)));
  if (!worker) return false;
  try {
    workers.reserve(workers.size() + 1);
    worker->thread = std::thread([w = worker.get()] { w->run(); });
  } catch (const std::bad_alloc&) {
  } catch (const std::system_error&) {
  }
  if (!worker->thread.joinable()) {
    tool_context_destroy(std::move(worker->ctx));
    return false;
  }
  workers.push_back(std::move(worker));
  return true;
}

FileJobs::FileJobs(ToolContext& ctx, std::int64_t jobs, bool show_progress)
    : ctx_(ctx), progress_(show_progress) {
  if (jobs <= 1 || ctx.ops == nullptr || ctx.options == nullptr) return;
  std::unique_ptr<ToolContext> first = ctx.ops->new_worker(ctx);
  if (!first) return;
  state_.reset(new (std::nothrow)
                   State(ctx, progress_, static_cast<std::size_t>(std::min(jobs, kMaxWorkers))));
  if (!state_) {
    tool_context_destroy(std::move(first));
    return;
  }
  state_->deletes_inputs = ctx.options->delete_converted == 1;
  state_->output_suffix = tool_output_suffix(ctx);
  std::unique_lock lock(state_->mutex);
  if (!state_->add_worker(std::move(first))) {
    lock.unlock();
    state_.reset();
    return;
  }
  set_thread_log_sink(state_.get());
}

FileJobs::~FileJobs() {
  if (!state_) return;
  State& state = *state_;
  {
    std::unique_lock lock(state.mutex);
    state.drain(lock);
    state.stopping = true;
    state.changed.notify_all();
  }
  for (auto& worker : state.workers) {
    worker->thread.join();
    ctx_.record_count += worker->ctx->record_count;
    tool_context_destroy(std::move(worker->ctx));
  }
  set_thread_log_sink(nullptr);
}

void FileJobs::wait_until_untouched(const FsRoot* root, std::string_view path, bool folder) {
  if (!state_) return;
  const std::string key = path_key(root->full_path(path));
  std::unique_lock lock(state_->mutex);
  state_->wait_untouched(lock, folder ? state_->touched_folders : state_->touched, key);
}

void FileJobs::before_examine(std::string_view input) {
  wait_until_untouched(ctx_.input_root, input, false);
}

void FileJobs::before_examine_output(std::string_view output) {
  wait_until_untouched(ctx_.output_root, output, false);
}

void FileJobs::before_list(std::string_view folder) {
  wait_until_untouched(ctx_.input_root, folder, true);
}

int FileJobs::convert(std::string_view input, std::string_view output, std::string_view shown,
                      std::uint64_t size) {
  progress_.found();
  if (!state_) return convert_one(ctx_, progress_, input, output, shown, size);
  State& state = *state_;
  std::string input_key = path_key(ctx_.input_root->full_path(input));
  std::string output_key = path_key(ctx_.output_root->full_path(output) + state.output_suffix);
  std::unique_lock lock(state.mutex);
  // Two files that write one output, or one that overwrites what another reads, go in
  // walk order.
  state.wait_untouched(lock, state.touched, output_key);
  state.changed.wait(lock,
                     [&] { return state.order.size() < kSlotsPerWorker * state.max_workers; });
  if (state.idle == 0 && state.workers.size() < state.max_workers) {
    state.add_worker(ctx_.ops->new_worker(ctx_));
  }
  auto slot = std::make_unique<Slot>(input, output, shown, size);
  slot->folders[0] = parent_key(output_key);
  if (state.deletes_inputs) slot->folders[1] = parent_key(input_key);
  slot->paths[0] = std::move(output_key);
  slot->paths[1] = std::move(input_key);
  Slot* queued = slot.get();
  state.order.push_back(std::move(slot));
  std::size_t counted = 0;
  const auto keys = state.keys_of(*queued);
  try {
    state.waiting.push_back(queued);
    for (; counted < keys.size(); ++counted) {
      if (!keys[counted].second->empty()) keys[counted].first->insert(*keys[counted].second);
    }
  } catch (const std::bad_alloc&) {
    // Out of memory ends the run: nothing of the file may stay for a worker or a wait.
    for (std::size_t i = 0; i < counted; ++i) {
      if (!keys[i].second->empty()) State::forget(*keys[i].first, *keys[i].second);
    }
    if (!state.waiting.empty() && state.waiting.back() == queued) state.waiting.pop_back();
    state.order.pop_back();
    throw;
  }
  state.changed.notify_all();
  return 0;
}

int FileJobs::finish() {
  if (!state_) return 0;
  std::unique_lock lock(state_->mutex);
  state_->drain(lock);
  return state_->codes;
}

}  // namespace busfold
