// Search hints: what the candidate search has learnt about one stream (the
// probes that suit it, and how they have been doing), and the pacing rule
// that decides when the probes are re-picked.
//
// For the tag search and the two-tag scan; not installed. Hints never affect
// a result, only the speed, so a stream may start with fresh ones anywhere.
// One per stream and tag: the searchers that use them stay immutable.
#ifndef TAGCUT_SEARCH_HINTS_H_
#define TAGCUT_SEARCH_HINTS_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace tagcut {

// One tag byte the candidate search tests, at its offset in the tag.
struct Probe {
  std::uint32_t offset = 0;
  unsigned char byte = 0;
  bool operator==(const Probe&) const = default;
};

// The most probes a tag is given: every byte of a tag up to this long, else
// one fewer (tag_probes.cc). The vector loops compile once per probe count,
// up to this many.
inline constexpr std::uint32_t kMaxProbes = 4;

// The probes are looked at again after this many bytes searched, then at
// ever longer intervals (tag_probes.cc).
inline constexpr std::uint64_t kShortestReviewInterval = 64u << 10;

// Offsets below count bytes searched with these hints, over all calls.
struct SearchHints {
  std::array<Probe, kMaxProbes> probes{};
  std::uint32_t probe_count = 0;                      // 0: the tag's first choice, not yet set
  std::uint32_t false_candidates = 0;                 // booked since the offset below
  std::uint64_t false_candidates_since = 0;           // where the current count began
  std::uint64_t calm_until = 0;                       // no re-picking before this offset
  std::uint64_t searched_bytes = 0;                   // the offset the next call starts at
  std::uint64_t compared_bytes = 0;                   // comparison work beyond 32-byte heads
  std::uint64_t review_at = kShortestReviewInterval;  // the next look at whether fewer would do
};

// Offset `at` of a block, in the hints' count of bytes searched, for a
// search call that began at `call_start`.
inline std::uint64_t StreamOffset(const SearchHints& hints, std::size_t call_start,
                                  std::size_t at) {
  return hints.searched_bytes + (at - call_start);
}

// Every kFalseCandidatesPerCheck false candidates the probes are judged: if
// they came within fewer than kBytesPerFalseCandidate bytes each, they are
// re-picked (unless a recent re-pick asked for calm).
inline constexpr std::uint32_t kFalseCandidatesPerCheck = 32;
inline constexpr std::uint64_t kBytesPerFalseCandidate = 64;

// Books a false candidate at offset `now`; true when false candidates crowd
// and the probes should be re-picked.
inline bool BookFalseCandidate(SearchHints& hints, std::uint64_t now) {
  if (++hints.false_candidates < kFalseCandidatesPerCheck) return false;
  const bool crowded =
      now - hints.false_candidates_since < kFalseCandidatesPerCheck * kBytesPerFalseCandidate;
  hints.false_candidates = 0;
  hints.false_candidates_since = now;
  return crowded && now >= hints.calm_until;
}

}  // namespace tagcut

#endif  // TAGCUT_SEARCH_HINTS_H_
