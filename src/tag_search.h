// Tag search: finds the first occurrence of one tag in a byte stream that
// arrives in blocks of any size, keeping only a state number between blocks.
//
// For the scan engine. Candidates come from the kernel (kernel.h), which
// tests a few of the tag's bytes at their offsets (the probes, tag_probes.h)
// 64 starts at a time; a candidate that lies wholly inside the block is
// confirmed or rejected by comparing it with the tag, and the search goes on
// right after it. The probes adapt to the input; what they have learnt lives
// in SearchHints, one per stream, so a searcher is immutable and may be
// shared between threads.
//
// The tag's automaton, compiled from CreateAutomaton's table, remains the
// guarantee: it carries a partial occurrence across a block edge, scans the
// block's last bytes where no whole occurrence fits, and takes over whenever
// comparisons would cost more than a few times the bytes scanned (long
// periodic tags over their own periodic text), so the search is linear in
// the input whatever the tag and the input.
//
// Guarantees: the occurrence found is the leftmost one that begins at or after
// the point the search started (a tag with no bytes never occurs), and the
// result does not depend on how the input was split into blocks, on the
// hints nor on the kernel. The state carried between blocks is the length of
// the longest partial occurrence that can still complete, so the bytes it
// stands for always equal the tag's first `state` bytes.
//
// Example, with `first` holding the bytes "bold</" and `second` "b> x":
//   TagSearcher searcher("</b>");
//   SearchHints hints;
//   std::uint32_t state = 0;
//   searcher.Find(first, 0, state, hints);   // kNotFound, and state == 2
//   searcher.Find(second, 0, state, hints);  // 2, just past "b>"; state == 0
#ifndef TAGCUT_TAG_SEARCH_H_
#define TAGCUT_TAG_SEARCH_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kernel.h"
#include "search_hints.h"
#include "tag_probes.h"

namespace tagcut {

class TagSearcher {
 public:
  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

  // Builds the tag's automaton with CreateAutomaton and compiles its rows.
  explicit TagSearcher(std::string tag, const Kernel& kernel = SelectedKernel());

  const std::string& tag() const { return probes_.tag(); }

  // The tag as the candidate search sees it.
  const TagProbes& probes() const { return probes_; }

  // The kernel this searcher runs on.
  const Kernel& kernel() const { return *kernel_; }

  // Scans `data` from offset `from` with `state` carried in from earlier
  // bytes. Returns the offset just past the first complete occurrence and
  // resets `state` to 0, or returns kNotFound and leaves in `state` the
  // partial occurrence at the end of `data`.
  std::size_t Find(std::span<const unsigned char> data, std::size_t from, std::uint32_t& state,
                   SearchHints& hints) const;

  // The same with throwaway hints, for one-off searches.
  std::size_t Find(std::span<const unsigned char> data, std::size_t from,
                   std::uint32_t& state) const {
    SearchHints hints;
    return Find(data, from, state, hints);
  }

  // The automaton's next state from `state` on `byte`.
  std::uint32_t Step(std::uint32_t state, unsigned char byte) const {
    if (dense_) return next_[(static_cast<std::size_t>(state) << 8) | byte];
    for (std::uint32_t i = row_begin_[state]; i < row_begin_[state + 1]; ++i) {
      if (entry_byte_[i] == byte) return entry_next_[i];
    }
    return 0;
  }

 private:
  // How a search over whole candidates ended.
  enum class Outcome {
    kFound,       // an occurrence, at `position`
    kExhausted,   // no candidate below the limit
    kRepick,      // false candidates crowd: new probes, then on from `position`
    kOverBudget,  // comparisons cost too much: the automaton steps from `position`
  };

  // Candidate search and comparison over starts in [position, limit), where
  // every start leaves room for the whole tag; `call_start` is where the
  // Find call began, for the hints' offsets.
  Outcome SearchWhole(const unsigned char* data, std::size_t size, std::size_t call_start,
                      std::size_t& position, std::size_t limit, SearchHints& hints) const;

  // A candidate whose head agrees: kFound if the rest of the tag does too;
  // else, with the rejection booked, std::nullopt to go on, or kRepick or
  // kOverBudget when the bookings call for it.
  std::optional<Outcome> Settle(const unsigned char* data, std::size_t call_start,
                                std::size_t candidate, SearchHints& hints) const;

  // Steps a partial occurrence carried in, from `position`, until it
  // completes (returns true) or until the longest partial occurrence begins
  // inside the block at or after `from` (`position` set there).
  bool ResumePartial(std::span<const unsigned char> block, std::size_t from, std::size_t& position,
                     std::uint32_t& state) const;

  // The automaton from state 0 over [position, size), skipping to the tag's
  // first byte whenever it is back at state 0.
  std::size_t StepThrough(const unsigned char* data, std::size_t position, std::size_t size,
                          std::uint32_t& state) const;

  // The tag's automaton: dense rows for short tags, sparse rows beyond.
  void CompileRows();

  TagProbes probes_;  // holds the tag
  const Kernel* kernel_;
  std::uint32_t length_;

  // Dense: next_[state * 256 + byte]. Sparse: the entries of row q are
  // entry_byte_/entry_next_[row_begin_[q] .. row_begin_[q + 1]).
  bool dense_ = true;
  std::vector<std::uint32_t> next_;
  std::vector<std::uint32_t> row_begin_;
  std::vector<unsigned char> entry_byte_;
  std::vector<std::uint32_t> entry_next_;
};

}  // namespace tagcut

#endif  // TAGCUT_TAG_SEARCH_H_
