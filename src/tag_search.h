// Tag search: finds the first occurrence of one tag in a byte stream that
// arrives in blocks of any size, keeping only a state number between blocks.
//
// For the extractor's hot loop. Candidates are found by probing a few of the
// tag's bytes at their offsets (one to three), 64 positions at a time from
// vector bit masks; a candidate that lies wholly inside the block is confirmed
// or rejected by comparing it with the tag, and the search goes on right
// after it. The probes start as the tag's rarest bytes by a fixed frequency
// table; when they keep producing false candidates, the searcher counts the
// bytes of the input around it and re-picks the probes that are rarest there
// (the choice lives in SearchHints, one per stream, so a searcher is
// immutable and may be shared between threads).
//
// The tag's automaton remains the guarantee: it carries a partial occurrence
// across a block edge, scans the block's last bytes where no whole occurrence
// fits, and takes over whenever comparisons would cost more than a few times
// the bytes scanned (long periodic tags over their own periodic text), so the
// search is linear in the input whatever the tag and the input.
//
// Guarantees: the occurrence found is the leftmost one that begins at or after
// the point the search started (a tag with no bytes never occurs), and the
// result does not depend on how the input was split into blocks nor on the
// hints. The state carried between blocks is the length of the longest
// partial occurrence that can still complete, so the bytes it stands for
// always equal the tag's first `state` bytes.
//
// Example, with `first` holding the bytes "bold</" and `second` "b> x":
//   TagSearcher searcher("</b>");
//   SearchHints hints;
//   std::uint32_t state = 0;
//   searcher.FindEnd(first, 0, state, hints);   // kNotFound, and state == 2
//   searcher.FindEnd(second, 0, state, hints);  // 2, just past "b>"; state == 0
#ifndef TAGCUT_TAG_SEARCH_H_
#define TAGCUT_TAG_SEARCH_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tagcut {

// One tag byte the candidate search tests, at its offset in the tag.
struct Probe {
  std::uint32_t offset = 0;
  unsigned char byte = 0;
  bool operator==(const Probe&) const = default;
};

// What the search has learnt about one stream: the probes that suit it, and
// how they have been doing. Never affects a result, only the speed.
// Offsets below count bytes searched with these hints, over all calls.
struct SearchHints {
  std::array<Probe, 4> probes{};
  std::uint32_t probe_count = 0;       // 0: the searcher's first choice
  std::uint32_t false_candidates = 0;  // since `window_start`
  std::uint64_t window_start = 0;
  std::uint64_t calm_until = 0;        // no re-picking before this offset
  std::uint64_t searched_bytes = 0;    // the offset the next call starts at
  std::uint64_t compared_bytes = 0;    // comparison work beyond 32-byte heads
};

class TagSearcher {
 public:
  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

  explicit TagSearcher(std::string tag);

  const std::string& tag() const { return tag_; }

  // Scans `data` from offset `from` with `state` carried in from earlier
  // bytes. Returns the offset just past the first complete occurrence and
  // resets `state` to 0, or returns kNotFound and leaves in `state` the
  // partial occurrence at the end of `data`.
  std::size_t FindEnd(std::span<const unsigned char> data, std::size_t from,
                      std::uint32_t& state, SearchHints& hints) const;

  // The same with throwaway hints, for one-off searches.
  std::size_t FindEnd(std::span<const unsigned char> data, std::size_t from,
                      std::uint32_t& state) const {
    SearchHints hints;
    return FindEnd(data, from, state, hints);
  }

  // The automaton's next state from `state` on `byte`.
  std::uint32_t Step(std::uint32_t state, unsigned char byte) const {
    if (dense_) return next_[(static_cast<std::size_t>(state) << 8) | byte];
    for (std::uint32_t i = row_begin_[state]; i < row_begin_[state + 1]; ++i) {
      if (entry_byte_[i] == byte) return entry_next_[i];
    }
    return 0;
  }

  // Fills in the first choice of probes if `hints` has none yet.
  void InitHints(SearchHints& hints) const {
    if (hints.probe_count == 0) {
      hints.probes = first_choice_.probes;
      hints.probe_count = first_choice_.probe_count;
    }
  }

  // Books a false candidate at `now` (an offset in the hints' count of bytes
  // searched); true when they crowd and the probes should be re-picked.
  static bool FalseCandidate(SearchHints& hints, std::uint64_t now);

  // Tries the tag's offsets on the bytes of `data` around `position`, sets
  // the probes that leave the fewest candidates there, and pauses further
  // re-picking for a while (longer if nothing changed).
  void Repick(const unsigned char* data, std::size_t size, std::size_t position,
              SearchHints& hints) const;

  // The tag's first 32 bytes (zero-padded), and a bit for each that is real.
  const unsigned char* head() const { return head_.data(); }
  std::uint32_t head_mask() const { return head_mask_; }

 private:
  // Picks probes for this tag from byte weights (lower = rarer in the input).
  void PickProbes(const std::array<std::uint32_t, 256>& weight, SearchHints& hints) const;

  enum class Outcome { kFound, kExhausted, kRepick, kOverBudget };

  // Candidate search and comparison over starts in [position, limit), where
  // every start leaves room for the whole tag; `call_start` is where the
  // FindEnd call began, for the hints' offsets.
  Outcome SearchWhole(const unsigned char* data, std::size_t size, std::size_t call_start,
                      std::size_t& position, std::size_t limit, SearchHints& hints) const;

  // The automaton from state 0 over [position, size), skipping to the tag's
  // first byte whenever it is back at state 0.
  std::size_t StepThrough(const unsigned char* data, std::size_t position, std::size_t size,
                          std::uint32_t& state) const;

  void ChooseProbesAround(const unsigned char* data, std::size_t size, std::size_t position,
                          SearchHints& hints) const;

  std::string tag_;
  std::uint32_t length_;
  bool vector_search_;  // the processor has AVX2
  SearchHints first_choice_;
  std::array<unsigned char, 32> head_{};  // the tag's first 32 bytes, zero-padded
  std::uint32_t head_mask_ = 0;           // bit i set for each i < min(length, 32)

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
