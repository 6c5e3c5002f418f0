#include "parallel_extract.h"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "chunk_ring.h"
#include "system_calls.h"

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

// The options resolved against the file: what the threads will do.
struct Plan {
  unsigned threads = 0;
  std::size_t chunk_size = 0;
  std::size_t sub_block = 0;
  off_t start = 0;          // the file offset the run begins at
  std::uint64_t total = 0;  // bytes from there to the end of the file
  std::size_t chunk_count = 0;
};

// The plan for `fd`, or nothing when one thread should read it all.
std::optional<Plan> PlanParallelRun(const ScanEngine& engine, int fd, const ExtractOptions& options) {
  Plan plan;
  plan.threads = options.threads != 0 ? options.threads : std::min(UsableProcessors(), kMaxThreads);
  plan.chunk_size = options.chunk_size != 0 ? options.chunk_size : kDefaultChunkSize;
  plan.sub_block = std::min(kSubBlock, plan.chunk_size);
  const std::size_t threshold =
      options.parallel_threshold != 0 ? options.parallel_threshold : kDefaultThreshold;
  // Tags longer than a fraction of the look-back hide partial matches from
  // the guess, and outgrow the sub-blocks (which then go wholly to the
  // automaton): one thread is faster there.
  const std::size_t longest_tag = std::max(engine.start_tag().size(), engine.end_tag().size());
  if (plan.threads < 2 || longest_tag > kLookback / 4) return std::nullopt;
  plan.start = lseek(fd, 0, SEEK_CUR);
  struct stat status;
  if (plan.start < 0 || fstat(fd, &status) != 0 || status.st_size <= plan.start ||
      static_cast<std::uint64_t>(status.st_size - plan.start) < threshold) {
    return std::nullopt;
  }
  plan.total = static_cast<std::uint64_t>(status.st_size - plan.start);
  plan.chunk_count = static_cast<std::size_t>((plan.total + plan.chunk_size - 1) / plan.chunk_size);
  return plan;
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
  OutputState state;
  std::size_t output_size = 0;
};

// One slot of the ring: a chunk's place in the file and its guessed run.
struct Chunk {
  off_t offset = 0;
  std::size_t size = 0;  // bytes read
  int read_error = 0;
  bool refused = false;  // a resource was refused: the writer stops here
  ScanState guess;
  ScanState end_state;
  std::vector<unsigned char> output;
  std::vector<Checkpoint> checkpoints;
};

// What one read of a chunk came to.
struct ChunkRead {
  std::size_t size = 0;  // bytes read and scanned
  int read_error = 0;
};

// Reads a stretch of the file piece by piece into its own buffer and hands
// it on a sub-block at a time.
class ChunkReader {
 public:
  ChunkReader(int fd, std::size_t sub_block) : fd_(fd), sub_block_(sub_block) {}

  // Reads up to `size` bytes at `offset` and calls scan(bytes, end) for each
  // sub-block, `end` being its end relative to `offset`; stops early when
  // scan returns false, or at a read error or the end of the file.
  template <class Scan>
  ChunkRead Read(off_t offset, std::size_t size, Scan&& scan) {
    ChunkRead read;
    const std::size_t piece_size = std::max(sub_block_, kPieceSize / sub_block_ * sub_block_);
    buffer_.resize(piece_size);
    while (read.size < size) {
      const std::size_t wanted = std::min(piece_size, size - read.size);
      const ssize_t got = ReadAt(fd_, {buffer_.data(), wanted}, offset + static_cast<off_t>(read.size));
      if (got < 0) {
        read.read_error = static_cast<int>(-got);
        break;
      }
      const auto length = static_cast<std::size_t>(got);
      for (std::size_t at = 0; at < length; at += sub_block_) {
        const std::size_t part = std::min(sub_block_, length - at);
        if (!scan(std::span<const unsigned char>{buffer_.data() + at, part}, read.size + at + part)) {
          read.size += at + part;
          return read;
        }
      }
      read.size += length;
      if (length < wanted) break;  // the file ends here
    }
    return read;
  }

  // Reads up to `size` bytes just before `offset`, at most what lies after
  // `floor`, in one piece: the bytes read (none after a read error).
  std::span<const unsigned char> ReadBefore(off_t offset, std::size_t size, off_t floor) {
    const auto reach = static_cast<std::size_t>(std::min<off_t>(static_cast<off_t>(size), offset - floor));
    buffer_.resize(reach);
    const ssize_t got = ReadAt(fd_, {buffer_.data(), reach}, offset - static_cast<off_t>(reach));
    return {buffer_.data(), got > 0 ? static_cast<std::size_t>(got) : 0};
  }

 private:
  int fd_;
  std::size_t sub_block_;
  std::vector<unsigned char> buffer_;
};

// Scans `size` bytes at `offset` from `run` into `output`, noting a
// checkpoint after every sub-block.
ChunkRead ScanWithCheckpoints(const ScanEngine& engine, ChunkReader& reader, off_t offset,
                              std::size_t size, ScanState& run, std::vector<unsigned char>& output,
                              std::vector<Checkpoint>& checkpoints) {
  CollectingSink sink(output);
  return reader.Read(offset, size, [&](std::span<const unsigned char> bytes, std::size_t) {
    engine.Feed(bytes, run, sink);
    sink.Flush();
    checkpoints.push_back({run.output, output.size()});
    return true;
  });
}

// How a re-scan from the true state ended: at the index of the guessed run's
// checkpoint it met, or (none met) at the end of what it read.
struct Meeting {
  ChunkRead read;
  std::optional<std::size_t> checkpoint;
};

// Scans the chunk again from the true state `run` into `output`, until the
// run stands where the guessed run stood at one of its checkpoints.
Meeting RescanUntilMeeting(const ScanEngine& engine, ChunkReader& reader, const Chunk& chunk,
                           ScanState& run, std::vector<unsigned char>& output) {
  CollectingSink sink(output);
  Meeting meeting;
  std::size_t index = 0;
  meeting.read = reader.Read(chunk.offset, chunk.size, [&](std::span<const unsigned char> bytes, std::size_t) {
    engine.Feed(bytes, run, sink);
    sink.Flush();
    if (index < chunk.checkpoints.size() && run.output == chunk.checkpoints[index].state) {
      meeting.checkpoint = index;
      return false;
    }
    ++index;
    return true;
  });
  return meeting;
}

// What a worker keeps from one chunk to the next.
struct WorkerMemory {
  explicit WorkerMemory(int fd, std::size_t sub_block) : reader(fd, sub_block) {}
  ChunkReader reader;
  // What this worker's searches learnt of the input, from chunk to chunk.
  ScanState learnt;
};

// A chunk's output as the writer appends it, from the true starting state.
struct TrueOutput {
  std::span<const unsigned char> head;  // re-scanned from the true state
  std::span<const unsigned char> tail;  // the guessed run's output from where they met
  OutputState end_state;
  std::size_t size = 0;
  int read_error = 0;
};

// One threaded run over a planned file: worker threads fill the ring's slots,
// the calling thread writes them in order.
class ParallelFileScan {
 public:
  ParallelFileScan(const ScanEngine& engine, int fd, const Plan& plan, const ResourceCheck& check,
                   const ScanState& first_state)
      : engine_(engine), fd_(fd), plan_(plan), check_(check), first_state_(first_state),
        ring_(plan.chunk_count, plan.threads + 1), slots_(ring_.slot_count()),
        writer_reader_(fd, plan.sub_block) {}

  ~ParallelFileScan() {
    ring_.Stop();
    for (std::thread& worker : workers_) worker.join();
  }

  // Starts as many workers as the plan asks and the system allows: the count.
  std::size_t StartWorkers();

  // Writes the chunks in order until the end, an error, a refused resource
  // or re-scans that cost too much; returns where the output stops.
  struct Handover {
    off_t offset = 0;
    int read_error = 0;
  };
  Handover WriteChunksInOrder(ScanState& scan, OutputSink& sink);

 private:
  void Ask(Resource resource, std::size_t ordinal) const {
    if (check_) check_(resource, ordinal);
  }
  void Work() noexcept;
  void FillChunk(std::size_t index, Chunk& chunk, WorkerMemory& memory);
  ScanState GuessStartingState(std::size_t index, off_t offset, WorkerMemory& memory) const;
  bool WriteChunk(const Chunk& chunk, ScanState& scan, OutputSink& sink, Handover& handover);
  TrueOutput ReconcileWrongGuess(const Chunk& chunk, const ScanState& truth);
  bool RescansCostMoreThanThreadsSave(off_t written_to) const;

  const ScanEngine& engine_;
  const int fd_;
  const Plan plan_;
  const ResourceCheck& check_;
  const ScanState first_state_;
  ChunkRing ring_;
  std::vector<Chunk> slots_;
  std::vector<std::thread> workers_;
  std::atomic<std::size_t> prepared_chunks_{0};
  // How many chunks so far truly began inside a portion, of how many.
  std::atomic<std::uint64_t> copying_starts_{0};
  std::atomic<std::uint64_t> written_chunks_{0};
  // The writer's own: re-scans of wrongly guessed chunks.
  ChunkReader writer_reader_;
  std::vector<unsigned char> rescanned_;
  std::size_t wrong_guesses_ = 0;
  std::uint64_t rescanned_bytes_ = 0;
};

std::size_t ParallelFileScan::StartWorkers() {
  try {
    workers_.reserve(plan_.threads);
    for (unsigned i = 0; i < plan_.threads; ++i) {
      Ask(Resource::kThread, i);
      workers_.emplace_back([this] { Work(); });
    }
  } catch (const std::exception&) {
    // Refused: the threads that did start carry the run.
  }
  return workers_.size();
}

void ParallelFileScan::Work() noexcept {
  std::optional<WorkerMemory> memory;
  while (const std::optional<std::size_t> index = ring_.Claim()) {
    Chunk& chunk = slots_[ring_.SlotOf(*index)];
    try {
      if (!memory) memory.emplace(fd_, plan_.sub_block);
      FillChunk(*index, chunk, *memory);
      chunk.refused = false;
    } catch (const std::exception&) {
      chunk.refused = true;
    }
    ring_.Complete(*index);
  }
}

void ParallelFileScan::FillChunk(std::size_t index, Chunk& chunk, WorkerMemory& memory) {
  Ask(Resource::kWorkerMemory, prepared_chunks_.fetch_add(1, std::memory_order_relaxed));
  chunk.offset = plan_.start + static_cast<off_t>(index * plan_.chunk_size);
  const auto wanted = static_cast<std::size_t>(
      std::min<std::uint64_t>(plan_.chunk_size, plan_.total - index * plan_.chunk_size));
  // A chunk's output is at most the chunk and a line feed per portion (two
  // bytes of input at least), plus a held end tag: reserving keeps the
  // vector from doubling past that.
  chunk.output.clear();
  chunk.output.reserve(plan_.chunk_size + kSubBlock);
  chunk.checkpoints.clear();
  chunk.guess = GuessStartingState(index, chunk.offset, memory);
  ScanState run = chunk.guess;
  const ChunkRead read =
      ScanWithCheckpoints(engine_, memory.reader, chunk.offset, wanted, run, chunk.output, chunk.checkpoints);
  chunk.size = read.size;
  chunk.read_error = read.read_error;
  chunk.end_state = run;
  memory.learnt = run;
}

// The state reached over the bytes before the chunk, from either phase.
// Where the two runs disagree, the bytes held neither tag; the phase most
// chunks so far began in is then the better bet. Both runs start from what
// this worker has learnt of the input, so they do not pay again for
// choosing probes on every chunk.
ScanState ParallelFileScan::GuessStartingState(std::size_t index, off_t offset,
                                               WorkerMemory& memory) const {
  ScanState guess = first_state_;
  if (index > 0) {
    ScanState from_search = memory.learnt;
    from_search.output = OutputState{};
    ScanState from_copy = from_search;
    from_copy.output.copying = true;
    const std::span<const unsigned char> before = memory.reader.ReadBefore(offset, kLookback, plan_.start);
    DiscardingSink discard;
    engine_.Feed(before, from_search, discard);
    engine_.Feed(before, from_copy, discard);
    const bool copying_likelier = copying_starts_.load(std::memory_order_relaxed) * 2 >
                                  written_chunks_.load(std::memory_order_relaxed);
    guess = from_search.output == from_copy.output || !copying_likelier ? from_search : from_copy;
  }
  guess.start_hints = memory.learnt.start_hints;
  guess.end_hints = memory.learnt.end_hints;
  return guess;
}

ParallelFileScan::Handover ParallelFileScan::WriteChunksInOrder(ScanState& scan, OutputSink& sink) {
  Handover handover{plan_.start, 0};
  for (std::size_t index = 0; index < plan_.chunk_count; ++index) {
    ring_.AwaitComplete(index);
    const bool go_on = WriteChunk(slots_[ring_.SlotOf(index)], scan, sink, handover);
    ring_.Release(index);
    if (!go_on || sink.failed() || RescansCostMoreThanThreadsSave(handover.offset)) break;
  }
  return handover;
}

// Appends `chunk`'s output as the true state `scan` makes it and moves
// `handover` past it. False when the parallel phase ends with this chunk:
// at a read error, the file's end, or (nothing written) a refused resource.
bool ParallelFileScan::WriteChunk(const Chunk& chunk, ScanState& scan, OutputSink& sink,
                                  Handover& handover) {
  if (chunk.refused) return false;
  TrueOutput output{{}, chunk.output, chunk.end_state.output, chunk.size, chunk.read_error};
  if (chunk.guess.output != scan.output) {
    try {
      output = ReconcileWrongGuess(chunk, scan);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  copying_starts_.fetch_add(scan.output.copying ? 1 : 0, std::memory_order_relaxed);
  written_chunks_.fetch_add(1, std::memory_order_relaxed);
  // Everything before a failed read is written; the input ends there.
  sink.Append(output.head.data(), output.head.size());
  sink.Append(output.tail.data(), output.tail.size());
  scan.output = output.end_state;
  handover = {chunk.offset + static_cast<off_t>(output.size), output.read_error};
  return output.read_error == 0 && output.size == plan_.chunk_size;
}

// Re-scans a chunk whose guess was wrong from the true state until the run
// meets the guessed one; from there the guessed output is the true one.
TrueOutput ParallelFileScan::ReconcileWrongGuess(const Chunk& chunk, const ScanState& truth) {
  Ask(Resource::kWriterMemory, wrong_guesses_++);
  rescanned_.clear();
  ScanState run = truth;
  const Meeting meeting = RescanUntilMeeting(engine_, writer_reader_, chunk, run, rescanned_);
  rescanned_bytes_ += meeting.read.size;
  if (meeting.checkpoint) {
    const std::size_t kept_from = chunk.checkpoints[*meeting.checkpoint].output_size;
    return {rescanned_, std::span(chunk.output).subspan(kept_from), chunk.end_state.output, chunk.size,
            chunk.read_error};
  }
  return {rescanned_, {}, run.output, meeting.read.size,
          chunk.read_error != 0 ? chunk.read_error : meeting.read.read_error};
}

// Re-scans this long cost more than the threads save.
bool ParallelFileScan::RescansCostMoreThanThreadsSave(off_t written_to) const {
  return wrong_guesses_ > kWrongGuessesTolerated &&
         rescanned_bytes_ * kRescanShare > static_cast<std::uint64_t>(written_to - plan_.start);
}

}  // namespace

int ExtractFileInParallel(const ScanEngine& engine, ScanState& scan, int input_fd,
                          OutputSink& sink, const ExtractOptions& options,
                          const ResourceCheck& check) {
  const std::optional<Plan> plan = PlanParallelRun(engine, input_fd, options);
  if (!plan) return 0;
  std::optional<ParallelFileScan> run;
  try {
    if (check) check(Resource::kSlots, 0);
    run.emplace(engine, input_fd, *plan, check, scan);
  } catch (const std::bad_alloc&) {
    return 0;  // no room for the slots: one thread reads it all
  }
  if (run->StartWorkers() == 0) return 0;
  const ParallelFileScan::Handover handover = run->WriteChunksInOrder(scan, sink);
  run.reset();  // stops and joins the workers
  if (lseek(input_fd, handover.offset, SEEK_SET) < 0 && handover.read_error == 0) return errno;
  return handover.read_error;
}

}  // namespace tagcut
