// Tag search: finds the first occurrence of one tag in a byte stream that
// arrives in blocks of any size, keeping only a state number between blocks.
//
// For the extractor's hot loop. The tag is compiled once, from its Automaton,
// into a compact table (dense rows indexed by byte for short tags, sparse rows
// with memory linear in the tag for long ones) plus a prefilter that skips
// over bytes where no occurrence can begin: memchr for one-byte tags, and a
// vectorised test of two of the tag's bytes (its first and its rarest) for
// longer ones. Candidates are confirmed by stepping the automaton, so every
// input byte is stepped at most once and the search stays linear whatever the
// tag and the input; a prefilter that keeps stopping after a few bytes turns
// itself off for a while.
//
// Guarantees: the occurrence found is the leftmost one that begins at or after
// the point the search started (a tag with no bytes never occurs), and the
// result does not depend on how the input was split into blocks. The state
// carried between blocks is the length of the longest partial occurrence
// that can still complete, so the bytes it stands for always equal the tag's
// first `state` bytes.
//
// Example, with `first` holding the bytes "bold</" and `second` "b> x":
//   TagSearcher searcher("</b>");
//   std::uint32_t state = 0;
//   searcher.FindEnd(first, 0, state);   // kNotFound, and state == 2
//   searcher.FindEnd(second, 0, state);  // 2, just past "b>"; state == 0
#ifndef TAGCUT_TAG_SEARCH_H_
#define TAGCUT_TAG_SEARCH_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tagcut {

class TagSearcher {
 public:
  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

  // First p in [from, limit) where data[p] is the first byte and
  // data[p + distance] the second; the prefilter, in the best
  // variant this processor runs.
  using PairSearchFunction = std::size_t (*)(const unsigned char* data, std::size_t from,
                                             std::size_t limit, unsigned char first,
                                             unsigned char second, std::size_t distance);

  explicit TagSearcher(std::string tag);

  const std::string& tag() const { return tag_; }

  // Scans `data` from offset `from` with `state` carried in from earlier
  // bytes. Returns the offset just past the first complete occurrence and
  // resets `state` to 0, or returns kNotFound and leaves in `state` the
  // partial occurrence at the end of `data`.
  std::size_t FindEnd(std::span<const unsigned char> data, std::size_t from,
                      std::uint32_t& state) const;

 private:
  template <class Stepper>
  std::size_t Scan(const Stepper& stepper, const unsigned char* data,
                   std::size_t from, std::size_t size,
                   std::uint32_t& state) const;

  // True when `data` (with `available` bytes readable) begins with the tag;
  // for tags of at most 16 bytes.
  bool StartsWithTag(const unsigned char* data, std::size_t available) const;

  // First offset in [from, size) where an occurrence may begin, or size.
  std::size_t NextCandidate(const unsigned char* data, std::size_t from,
                            std::size_t size) const;

  std::string tag_;
  std::uint32_t length_;
  PairSearchFunction pair_search_;
  unsigned char tag_head_[16] = {};  // the tag's first 16 bytes, zero-padded
  unsigned char first_byte_ = 0;
  unsigned char rare_byte_ = 0;
  std::size_t rare_offset_ = 0;  // 0 when the tag has a single byte

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
