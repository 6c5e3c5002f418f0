// Speculation: how the threaded path starts a chunk before the chunk before
// it is done. A worker guesses the chunk's starting state from the bytes
// just before it; the writer, which knows the true state, keeps the guessed
// run's output when the guess was right, and otherwise re-scans the chunk
// from the truth until the two runs meet at a checkpoint in the same output
// state (from there on they release the same bytes). Re-scans are paid for
// by the writer alone, so a budget says when they cost more than the
// threads save.
//
// For the threaded file path; not installed. PhaseOdds is shared between
// threads (relaxed atomics: it steers guesses, never output); the rest
// belongs to one thread at a time.
#ifndef TAGCUT_SPECULATION_H_
#define TAGCUT_SPECULATION_H_

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "chunk_scan.h"
#include "scan_engine.h"

namespace tagcut {

// Bytes before a chunk scanned to guess its starting state: enough for
// ordinary markup and text to settle into the true phase.
inline constexpr std::size_t kLookback = 16u << 10;

// How many chunks so far truly began inside a portion, of how many: the
// better bet where the bytes before a chunk do not settle its phase.
class PhaseOdds {
 public:
  void Record(const OutputState& truth) {
    copying_starts_.fetch_add(truth.copying ? 1 : 0, std::memory_order_relaxed);
    chunks_.fetch_add(1, std::memory_order_relaxed);
  }
  bool CopyingLikelier() const {
    return copying_starts_.load(std::memory_order_relaxed) * 2 >
           chunks_.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<std::uint64_t> copying_starts_{0};
  std::atomic<std::uint64_t> chunks_{0};
};

// The state to scan the chunk at `offset` from: the state reached over the
// bytes before it (at most kLookback, none before `floor`) from either
// phase, or where the two disagree, the likelier phase. The search hints
// are `learnt`'s, so the worker does not pay again for choosing probes.
ScanState GuessStartingState(const ScanEngine& engine, ChunkReader& reader, off_t offset,
                             off_t floor, const ScanState& learnt, const PhaseOdds& odds);

// A chunk's output as the writer appends it, from the true starting state.
struct TrueOutput {
  std::span<const unsigned char> head;  // re-scanned from the true state
  std::span<const unsigned char> tail;  // the guessed run's output from where they met
  OutputState end_state;
  std::size_t size = 0;  // bytes of input it stands for
  int read_error = 0;
};

// The output of `chunk` as it is when the guess was right.
TrueOutput AsGuessed(const ScannedChunk& chunk);

// Re-scans cost the writer's time: once more than a few guesses were wrong
// and re-scans covered more than a quarter of the bytes written, the
// threads no longer save any.
class RescanBudget {
 public:
  void Spend(std::size_t rescanned) {
    ++wrong_guesses_;
    rescanned_bytes_ += rescanned;
  }
  bool Exceeded(std::uint64_t bytes_written) const {
    return wrong_guesses_ > kWrongGuessesTolerated &&
           rescanned_bytes_ * kRescanShare > bytes_written;
  }
  std::size_t wrong_guesses() const { return wrong_guesses_; }

 private:
  static constexpr std::uint64_t kRescanShare = 4;
  static constexpr std::size_t kWrongGuessesTolerated = 2;
  std::size_t wrong_guesses_ = 0;
  std::uint64_t rescanned_bytes_ = 0;
};

// Re-scans `chunk` from the true state `truth` into `rescanned` until the
// run meets the guessed one, and books the bytes it re-scanned in `budget`;
// from where they met the guessed output is the true one. May throw
// std::bad_alloc (the re-scan's output).
TrueOutput ReconcileWrongGuess(const ScanEngine& engine, ChunkReader& reader,
                               const ScannedChunk& chunk, const ScanState& truth,
                               std::vector<unsigned char>& rescanned, RescanBudget& budget);

}  // namespace tagcut

#endif  // TAGCUT_SPECULATION_H_
