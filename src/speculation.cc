#include "speculation.h"

#include <optional>

namespace tagcut {

ScanState GuessStartingState(const ScanEngine& engine, ChunkReader& reader, off_t offset,
                             off_t floor, const ScanState& learnt, const PhaseOdds& odds) {
  const std::span<const unsigned char> before = reader.ReadBefore(offset, kLookback, floor);
  const ScanState from_search = engine.StateAfter(before, /*copying=*/false, learnt);
  const ScanState from_copy = engine.StateAfter(before, /*copying=*/true, learnt);
  // Where the two runs disagree, the bytes held neither tag.
  ScanState guess =
      from_search.output == from_copy.output || !odds.CopyingLikelier() ? from_search : from_copy;
  guess.start_hints = learnt.start_hints;
  guess.end_hints = learnt.end_hints;
  return guess;
}

TrueOutput AsGuessed(const ScannedChunk& chunk) {
  return {{}, chunk.output, chunk.end_state.output, chunk.size, chunk.read_error};
}

TrueOutput ReconcileWrongGuess(const ScanEngine& engine, ChunkReader& reader,
                               const ScannedChunk& chunk, const ScanState& truth,
                               std::vector<unsigned char>& rescanned, RescanBudget& budget) {
  rescanned.clear();
  ScanState run = truth;
  std::optional<std::size_t> met;
  const ChunkRead read = reader.Scan(engine, chunk.offset, chunk.size, run, rescanned,
                                     [&](std::size_t index, const Checkpoint& checkpoint) {
                                       if (index < chunk.checkpoints.size() &&
                                           checkpoint.state == chunk.checkpoints[index].state) {
                                         met = index;
                                       }
                                       return !met;
                                     });
  budget.Spend(read.size);
  if (met) {
    const std::size_t kept_from = chunk.checkpoints[*met].output_size;
    return {rescanned, std::span(chunk.output).subspan(kept_from), chunk.end_state.output,
            chunk.size, chunk.read_error};
  }
  return {rescanned,
          {},
          run.output,
          read.size,
          chunk.read_error != 0 ? chunk.read_error : read.read_error};
}

}  // namespace tagcut
