#include "parallel_extract.h"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace tagcut {
namespace {

constexpr unsigned kMaxThreads = 8;
constexpr std::size_t kDefaultChunkSize = 1u << 20;
// Below this many bytes the threads cost more than they save (measured:
// even at 8 to 16 MiB, ahead from 32 MiB on).
constexpr std::size_t kDefaultThreshold = 16u << 20;
// Bytes before a chunk scanned to guess its starting state: enough for
// ordinary markup and text to settle into the true phase.
constexpr std::size_t kLookback = 16u << 10;
// A chunk is read in pieces small enough to be scanned while they are still
// in cache (64 KiB measured a little faster than 256 KiB with two threads
// copying at once), and records a checkpoint after each sub-block;
// a re-scan can meet the guessed run at any of them.
constexpr std::size_t kPieceSize = 64u << 10;
constexpr std::size_t kSubBlock = 64u << 10;
// Speculation stops paying when re-scans cover more than 1 in N bytes (after
// a few wrong guesses): then the rest is left to one thread.
constexpr std::uint64_t kRescanShare = 4;
constexpr std::size_t kWrongGuessesTolerated = 2;

unsigned UsableProcessors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return static_cast<unsigned>(CPU_COUNT(&set));
}

// Reads up to `size` bytes at `offset`, fewer only at the end of the file:
// the count read, or -errno.
ssize_t ReadAt(int fd, unsigned char* into, std::size_t size, off_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, into + done, size - done, offset + static_cast<off_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

// Collects everything written into a byte vector.
class CollectingSink final : public OutputSink {
 public:
  explicit CollectingSink(std::vector<unsigned char>& into) : OutputSink(kSubBlock), into_(into) {}

 protected:
  bool Write(std::span<const unsigned char> buffered, std::span<const unsigned char> direct) override {
    into_.insert(into_.end(), buffered.begin(), buffered.end());
    into_.insert(into_.end(), direct.begin(), direct.end());
    return true;
  }

 private:
  std::vector<unsigned char>& into_;
};

class DiscardingSink final : public OutputSink {
 public:
  DiscardingSink() : OutputSink(4096) {}

 protected:
  bool Write(std::span<const unsigned char>, std::span<const unsigned char>) override { return true; }
};

// Where a chunk's scan stood after one of its sub-blocks.
struct Checkpoint {
  std::size_t end = 0;  // offset in the chunk
  ScanState state;
  std::size_t output_size = 0;
};

struct Chunk {
  std::size_t index = 0;
  off_t offset = 0;
  std::size_t size = 0;  // bytes read
  int read_error = 0;
  bool done = false;
  ScanState guess;
  ScanState end_state;
  std::vector<unsigned char> output;
  std::vector<Checkpoint> checkpoints;
};

// What one scan of a chunk's bytes came to.
struct ChunkScan {
  std::size_t size = 0;  // bytes read and scanned
  int read_error = 0;
  std::size_t met = 0;   // index of the checkpoint met, or the count of checkpoints
};

// Reads up to `size` bytes of the file at `offset` piece by piece into
// `buffer` and scans them from `scan` in sub-blocks, into `output`. With
// `record`, notes a checkpoint after each sub-block; with `meet`, stops at the
// first checkpoint of `meet` whose state the scan reaches.
ChunkScan ScanChunk(const ScanEngine& engine, ScanState& scan, int fd, off_t offset,
                    std::size_t size, std::size_t sub_block, std::vector<unsigned char>& buffer,
                    std::vector<unsigned char>& output, std::vector<Checkpoint>* record,
                    const std::vector<Checkpoint>* meet) {
  CollectingSink sink(output);
  ChunkScan result;
  std::size_t index = 0;
  const std::size_t piece_size = std::max(sub_block, kPieceSize / sub_block * sub_block);
  buffer.resize(piece_size);
  while (result.size < size) {
    const std::size_t wanted = std::min(piece_size, size - result.size);
    const ssize_t got = ReadAt(fd, buffer.data(), wanted, offset + static_cast<off_t>(result.size));
    if (got < 0) {
      result.read_error = static_cast<int>(-got);
      break;
    }
    const auto length = static_cast<std::size_t>(got);
    for (std::size_t at = 0; at < length; at += sub_block, ++index) {
      const std::size_t part = std::min(sub_block, length - at);
      engine.Feed({buffer.data() + at, part}, scan, sink);
      sink.Flush();
      if (record != nullptr) record->push_back({result.size + at + part, scan, output.size()});
      if (meet != nullptr && index < meet->size() && scan.SameAs((*meet)[index].state)) {
        result.size += at + part;
        result.met = index;
        return result;
      }
    }
    result.size += length;
    if (length < wanted) break;  // the file ends here
  }
  result.met = meet != nullptr ? meet->size() : index;
  return result;
}

}  // namespace

int ExtractFileInParallel(const ScanEngine& engine, ScanState& scan, int input_fd,
                          OutputSink& sink, const ExtractOptions& options) {
  const unsigned threads =
      options.threads != 0 ? options.threads : std::min(UsableProcessors(), kMaxThreads);
  const std::size_t chunk_size = options.chunk_size != 0 ? options.chunk_size : kDefaultChunkSize;
  const std::size_t threshold =
      options.parallel_threshold != 0 ? options.parallel_threshold : kDefaultThreshold;
  // Tags longer than a fraction of the look-back hide partial matches from
  // the guess, and outgrow the sub-blocks (which then go wholly to the
  // automaton): one thread is faster there.
  const std::size_t longest_tag = std::max(engine.start().tag().size(), engine.end().tag().size());
  if (threads < 2 || longest_tag > kLookback / 4) return 0;
  const off_t start = lseek(input_fd, 0, SEEK_CUR);
  struct stat status;
  if (start < 0 || fstat(input_fd, &status) != 0 || status.st_size <= start ||
      static_cast<std::uint64_t>(status.st_size - start) < threshold) {
    return 0;
  }
  const auto total = static_cast<std::uint64_t>(status.st_size - start);
  const std::size_t chunk_count = static_cast<std::size_t>((total + chunk_size - 1) / chunk_size);
  const std::size_t sub_block = std::min(kSubBlock, chunk_size);

  // Chunk k lives in slot k % slots until the writer has taken it.
  const std::size_t slot_count = threads + 1;
  std::vector<Chunk> slots(slot_count);
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t next_claim = 0;
  std::size_t released = 0;  // chunks the writer has finished with
  bool stop = false;
  const ScanState first_state = scan;
  // How many chunks so far truly began inside a portion, of how many.
  std::atomic<std::uint64_t> copying_starts{0};
  std::atomic<std::uint64_t> released_count{0};

  const auto work = [&] {
    std::vector<unsigned char> buffer;
    // What this worker's searches learnt of the input, from chunk to chunk.
    ScanState learnt;
    for (;;) {
      std::size_t k;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] {
          return stop || next_claim >= chunk_count || next_claim < released + slot_count;
        });
        if (stop || next_claim >= chunk_count) return;
        k = next_claim++;
      }
      Chunk& chunk = slots[k % slot_count];
      chunk.index = k;
      chunk.offset = start + static_cast<off_t>(k * chunk_size);
      const std::size_t wanted =
          static_cast<std::size_t>(std::min<std::uint64_t>(chunk_size, total - k * chunk_size));
      // A chunk's output is at most the chunk and a line feed per portion
      // (two bytes of input at least), plus a held end tag: reserving keeps
      // the vector from doubling past that.
      chunk.output.clear();
      chunk.output.reserve(chunk_size + kSubBlock);
      chunk.checkpoints.clear();
      // The guess: the state reached over the bytes before the chunk, from
      // either phase. Where the two runs disagree, the bytes held neither
      // tag; the phase most chunks so far began in is then the better bet.
      chunk.guess = first_state;
      if (k > 0) {
        const std::size_t reach =
            static_cast<std::size_t>(std::min<off_t>(kLookback, chunk.offset - start));
        buffer.resize(reach);
        const ssize_t seen =
            ReadAt(input_fd, buffer.data(), reach, chunk.offset - static_cast<off_t>(reach));
        // Both runs start from what this worker has learnt of the input, so
        // they do not pay again for choosing probes on every chunk.
        ScanState from_search = learnt;
        from_search.copying = false;
        from_search.state = 0;
        ScanState from_copy = from_search;
        from_copy.copying = true;
        DiscardingSink discard;
        if (seen > 0) {
          const std::span<const unsigned char> before{buffer.data(), static_cast<std::size_t>(seen)};
          engine.Feed(before, from_search, discard);
          engine.Feed(before, from_copy, discard);
        }
        const bool copying_likelier = copying_starts.load(std::memory_order_relaxed) * 2 >
                                      released_count.load(std::memory_order_relaxed);
        chunk.guess = from_search.SameAs(from_copy) || !copying_likelier ? from_search : from_copy;
      }
      chunk.guess.start_hints = learnt.start_hints;
      chunk.guess.end_hints = learnt.end_hints;
      ScanState run = chunk.guess;
      const ChunkScan scanned = ScanChunk(engine, run, input_fd, chunk.offset, wanted, sub_block,
                                          buffer, chunk.output, &chunk.checkpoints, nullptr);
      chunk.size = scanned.size;
      chunk.read_error = scanned.read_error;
      chunk.end_state = run;
      learnt = run;
      {
        std::lock_guard lock(mutex);
        chunk.done = true;
      }
      changed.notify_all();
    }
  };
  std::vector<std::thread> workers;
  workers.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) workers.emplace_back(work);

  int read_error = 0;
  off_t scanned_to = start;
  std::size_t wrong_guesses = 0;
  std::uint64_t rescanned_bytes = 0;
  std::vector<unsigned char> rescanned;
  std::vector<unsigned char> buffer;
  for (std::size_t k = 0; k < chunk_count; ++k) {
    Chunk& chunk = slots[k % slot_count];
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return chunk.done && chunk.index == k; });
    }
    std::span<const unsigned char> head;
    std::span<const unsigned char> tail{chunk.output};
    ScanState end_state = chunk.end_state;
    std::size_t size = chunk.size;
    int error = chunk.read_error;
    if (!chunk.guess.SameAs(scan)) {
      // From the true state until the run meets the guessed one.
      ++wrong_guesses;
      rescanned.clear();
      ScanState run = scan;
      const ChunkScan again = ScanChunk(engine, run, input_fd, chunk.offset, chunk.size, sub_block,
                                        buffer, rescanned, nullptr, &chunk.checkpoints);
      rescanned_bytes += again.size;
      head = rescanned;
      if (again.met < chunk.checkpoints.size()) {
        tail = tail.subspan(chunk.checkpoints[again.met].output_size);
      } else {
        tail = {};
        end_state = run;
        size = again.size;
        error = error != 0 ? error : again.read_error;
      }
    }
    copying_starts.fetch_add(scan.copying ? 1 : 0, std::memory_order_relaxed);
    released_count.fetch_add(1, std::memory_order_relaxed);
    // Everything before a failed read is written; the input ends there.
    sink.Append(head.data(), head.size());
    sink.Append(tail.data(), tail.size());
    scan.copying = end_state.copying;
    scan.state = end_state.state;
    scanned_to = chunk.offset + static_cast<off_t>(size);
    const bool last = error != 0 || size < chunk_size;
    read_error = error;
    {
      std::lock_guard lock(mutex);
      chunk.done = false;
      ++released;
    }
    changed.notify_all();
    if (sink.failed() || last) break;
    // Re-scans this long cost more than the threads save.
    if (wrong_guesses > kWrongGuessesTolerated &&
        rescanned_bytes * kRescanShare > static_cast<std::uint64_t>(scanned_to - start)) {
      break;
    }
  }
  {
    std::lock_guard lock(mutex);
    stop = true;
  }
  changed.notify_all();
  for (std::thread& worker : workers) worker.join();
  lseek(input_fd, scanned_to, SEEK_SET);
  return read_error;
}

}  // namespace tagcut
