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
#include "chunk_scan.h"
#include "speculation.h"

namespace tagcut {
namespace {

constexpr unsigned kMaxThreads = 8;
constexpr std::size_t kDefaultChunkSize = 1u << 20;
// Below this many bytes the threads cost more than they save (measured:
// even at 8 to 16 MiB, ahead from 32 MiB on).
constexpr std::size_t kDefaultThreshold = 16u << 20;

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
std::optional<Plan> PlanParallelRun(const ScanEngine& engine, int fd,
                                    const ExtractOptions& options) {
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

// One slot of the ring: a chunk scanned from its guess, or refused.
struct Slot {
  ScannedChunk chunk;
  bool refused = false;  // a resource was refused: the writer stops here
};

// What the workers and the writer share for one run; all of it is taken
// before the first thread starts.
struct SharedRun {
  SharedRun(const Plan& plan)
      : ring(plan.chunk_count, plan.threads + 1), slots(ring.slot_count()) {}
  ChunkRing ring;
  std::vector<Slot> slots;
  PhaseOdds odds;
};

// The worker threads: each claims the next chunk, guesses its starting state
// and scans it into the chunk's slot. Whatever a chunk's work throws marks
// the slot refused; every claimed chunk is completed.
class ChunkWorkers {
 public:
  ChunkWorkers(const ScanEngine& engine, int fd, const Plan& plan, const ResourceCheck& check,
               const ScanState& first_state, SharedRun& shared)
      : engine_(engine),
        fd_(fd),
        plan_(plan),
        check_(check),
        first_state_(first_state),
        shared_(shared) {}
  // Stops the ring and joins every thread that started.
  ~ChunkWorkers();

  // Starts as many workers as the plan asks and the system allows: the count.
  std::size_t Start();

 private:
  // What a worker keeps from one chunk to the next.
  struct Memory {
    Memory(int fd, std::size_t sub_block) : reader(fd, sub_block) {}
    ChunkReader reader;
    ScanState learnt;  // what this worker's searches learnt of the input
  };

  void Work() noexcept;
  void Fill(std::size_t index, ScannedChunk& chunk, Memory& memory);

  const ScanEngine& engine_;
  const int fd_;
  const Plan& plan_;
  const ResourceCheck& check_;
  const ScanState first_state_;
  SharedRun& shared_;
  std::vector<std::thread> threads_;
  std::atomic<std::size_t> filled_chunks_{0};
};

ChunkWorkers::~ChunkWorkers() {
  shared_.ring.Stop();
  for (std::thread& thread : threads_) thread.join();
}

std::size_t ChunkWorkers::Start() {
  try {
    threads_.reserve(plan_.threads);
    for (unsigned i = 0; i < plan_.threads; ++i) {
      if (check_) check_(Resource::kThread, i);
      threads_.emplace_back([this] { Work(); });
    }
  } catch (const std::exception&) {
    // Refused: the threads that did start carry the run.
  }
  return threads_.size();
}

void ChunkWorkers::Work() noexcept {
  std::optional<Memory> memory;
  while (const std::optional<std::size_t> index = shared_.ring.Claim()) {
    Slot& slot = shared_.slots[shared_.ring.SlotOf(*index)];
    try {
      if (!memory) memory.emplace(fd_, plan_.sub_block);
      Fill(*index, slot.chunk, *memory);
      slot.refused = false;
    } catch (const std::exception&) {
      slot.refused = true;
    }
    shared_.ring.Complete(*index);
  }
}

void ChunkWorkers::Fill(std::size_t index, ScannedChunk& chunk, Memory& memory) {
  if (check_)
    check_(Resource::kWorkerMemory, filled_chunks_.fetch_add(1, std::memory_order_relaxed));
  chunk.offset = plan_.start + static_cast<off_t>(index * plan_.chunk_size);
  chunk.size = static_cast<std::size_t>(
      std::min<std::uint64_t>(plan_.chunk_size, plan_.total - index * plan_.chunk_size));
  // A chunk's output is at most the chunk and a line feed per portion (two
  // bytes of input at least), plus a held end tag: reserving keeps the
  // vector from doubling past that.
  chunk.output.clear();
  chunk.output.reserve(plan_.chunk_size + kSubBlock);
  chunk.guess = index == 0 ? first_state_
                           : GuessStartingState(engine_, memory.reader, chunk.offset, plan_.start,
                                                memory.learnt, shared_.odds);
  ScanFromGuess(engine_, memory.reader, chunk);
  memory.learnt = chunk.end_state;
}

// Where the threaded phase leaves the file: the offset just past the last
// chunk written, and the read error that ended it, if one did.
struct Handover {
  off_t offset = 0;
  int read_error = 0;
};

// The calling thread's part: takes the chunks in order, keeps or reconciles
// each guess, and appends the true output to the sink.
class ChunkWriter {
 public:
  ChunkWriter(const ScanEngine& engine, int fd, const Plan& plan, const ResourceCheck& check,
              SharedRun& shared)
      : engine_(engine), plan_(plan), check_(check), shared_(shared), reader_(fd, plan.sub_block) {}

  // Writes the chunks in order until the end, an error, a refused resource
  // or re-scans that cost too much; returns where the output stops.
  Handover WriteInOrder(ScanState& scan, OutputSink& sink);

 private:
  bool WriteChunk(const Slot& slot, ScanState& scan, OutputSink& sink, Handover& handover);

  const ScanEngine& engine_;
  const Plan& plan_;
  const ResourceCheck& check_;
  SharedRun& shared_;
  ChunkReader reader_;
  std::vector<unsigned char> rescanned_;
  RescanBudget budget_;
};

Handover ChunkWriter::WriteInOrder(ScanState& scan, OutputSink& sink) {
  Handover handover{plan_.start, 0};
  for (std::size_t index = 0; index < plan_.chunk_count; ++index) {
    shared_.ring.AwaitComplete(index);
    const bool go_on = WriteChunk(shared_.slots[shared_.ring.SlotOf(index)], scan, sink, handover);
    shared_.ring.Release(index);
    if (!go_on || sink.failed() ||
        budget_.Exceeded(static_cast<std::uint64_t>(handover.offset - plan_.start))) {
      break;
    }
  }
  return handover;
}

// Appends the slot's output as the true state `scan` makes it and moves
// `handover` past it. False when the parallel phase ends with this chunk:
// at a read error, the file's end, or (nothing written) a refused resource.
bool ChunkWriter::WriteChunk(const Slot& slot, ScanState& scan, OutputSink& sink,
                             Handover& handover) {
  if (slot.refused) return false;
  const ScannedChunk& chunk = slot.chunk;
  TrueOutput output = AsGuessed(chunk);
  if (chunk.guess.output != scan.output) {
    try {
      if (check_) check_(Resource::kWriterMemory, budget_.wrong_guesses());
      output = ReconcileWrongGuess(engine_, reader_, chunk, scan, rescanned_, budget_);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  shared_.odds.Record(scan.output);
  // Everything before a failed read is written; the input ends there.
  sink.Append(output.head.data(), output.head.size());
  sink.Append(output.tail.data(), output.tail.size());
  scan.output = output.end_state;
  handover = {chunk.offset + static_cast<off_t>(output.size), output.read_error};
  return output.read_error == 0 && output.size == plan_.chunk_size;
}

// Runs the planned threads and writes their chunks; where the output stops.
Handover RunInParallel(const ScanEngine& engine, int fd, const Plan& plan,
                       const ResourceCheck& check, ScanState& scan, OutputSink& sink) {
  std::optional<SharedRun> shared;
  try {
    if (check) check(Resource::kSlots, 0);
    shared.emplace(plan);
  } catch (const std::bad_alloc&) {
    return {plan.start, 0};  // no room for the slots: one thread reads it all
  }
  ChunkWriter writer(engine, fd, plan, check, *shared);
  ChunkWorkers workers(engine, fd, plan, check, scan, *shared);
  if (workers.Start() == 0) return {plan.start, 0};
  return writer.WriteInOrder(scan, sink);
}

}  // namespace

int ExtractFileInParallel(const ScanEngine& engine, ScanState& scan, int input_fd, OutputSink& sink,
                          const ExtractOptions& options, const ResourceCheck& check) {
  const std::optional<Plan> plan = PlanParallelRun(engine, input_fd, options);
  if (!plan) return 0;
  // Returns once every worker is joined.
  const Handover handover = RunInParallel(engine, input_fd, *plan, check, scan, sink);
  if (lseek(input_fd, handover.offset, SEEK_SET) < 0 && handover.read_error == 0) return errno;
  return handover.read_error;
}

}  // namespace tagcut
