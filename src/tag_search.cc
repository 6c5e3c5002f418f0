#include "tag_search.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "cpu_features.h"

namespace tagcut {
namespace {

// Rank of each byte by how common it is in typical input, 0 = rarest.
constexpr unsigned char kByteRank[256] = {
#include "byte_frequency.inc"
};

// Above this length the dense table (1 KiB per state) gives way to sparse rows.
constexpr std::size_t kDenseLimit = 128;

// Every kFalseCandidatesPerCheck false candidates the probes are judged: if
// they came within fewer than kBytesPerFalseCandidate bytes each, the probes
// are re-picked by trying the tag's offsets on the bytes around (a sample of
// up to 2 * kSampleReach starts, kOffsetsTried offsets). Re-picking costs a
// few microseconds, so it waits kCalmAfterRepick bytes before it is tried
// again, and kCalmAfterVainRepick when it changed nothing.
constexpr std::uint32_t kFalseCandidatesPerCheck = 32;
constexpr std::uint64_t kBytesPerFalseCandidate = 64;
constexpr std::size_t kSampleReach = 4096;
constexpr std::size_t kSampleMinimum = 256;
constexpr std::size_t kOffsetsTried = 16;
constexpr std::uint64_t kCalmAfterRepick = 256u << 10;
constexpr std::uint64_t kCalmAfterVainRepick = 4u << 20;

// Comparing long candidates may cost at most this many times the bytes
// searched, plus a fixed allowance; beyond it the automaton steps instead.
constexpr std::uint64_t kComparisonBudgetFactor = 4;
constexpr std::uint64_t kComparisonAllowance = 1u << 20;

// Offset `at` of a block, in the hints' count of bytes searched, for a
// FindEnd call that began at `call_start`.
std::uint64_t StreamOffset(const SearchHints& hints, std::size_t call_start, std::size_t at) {
  return hints.searched_bytes + (at - call_start);
}

bool BookFalseCandidate(SearchHints& hints, std::size_t call_start, std::size_t at) {
  return TagSearcher::FalseCandidate(hints, StreamOffset(hints, call_start, at));
}

// Sets bit i of `bits` (zeroed by the caller) when at[i] == wanted, for i < count.
void MarkEqualBytesScalar(const unsigned char* at, std::size_t count, unsigned char wanted,
                          std::uint64_t* bits) {
  for (std::size_t i = 0; i < count; ++i) bits[i / 64] |= std::uint64_t{at[i] == wanted} << (i % 64);
}

// The count of bits set in both `a` and `b`.
__attribute__((always_inline)) inline std::size_t CountCommonBits(const std::uint64_t* a,
                                                                  const std::uint64_t* b,
                                                                  std::size_t words) {
  std::size_t common = 0;
  for (std::size_t w = 0; w < words; ++w) common += static_cast<std::size_t>(std::popcount(a[w] & b[w]));
  return common;
}

#ifdef TAGCUT_X86
// The same 64 starts at a time; a re-pick then costs microseconds, not a
// hundred of them.
__attribute__((target("avx2"))) void MarkEqualBytesAvx2(const unsigned char* at,
                                                        std::size_t count, unsigned char wanted,
                                                        std::uint64_t* bits) {
  const __m256i byte = _mm256_set1_epi8(static_cast<char>(wanted));
  std::size_t i = 0;
  for (; i + 64 <= count; i += 64) {
    const auto low = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + i)), byte)));
    const auto high = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + i + 32)), byte)));
    bits[i / 64] = low | std::uint64_t{high} << 32;
  }
  MarkEqualBytesScalar(at + i, count - i, wanted, bits + i / 64);
}

// Every processor with AVX2 has the popcnt instruction.
__attribute__((target("popcnt"))) std::size_t CountCommonPopcnt(const std::uint64_t* a,
                                                               const std::uint64_t* b,
                                                               std::size_t words) {
  return CountCommonBits(a, b, words);
}
#endif

// The two above, with the vector instructions where `vector` says they exist.
void MarkEqualBytes(const unsigned char* at, std::size_t count, unsigned char wanted,
                    std::uint64_t* bits, [[maybe_unused]] bool vector) {
#ifdef TAGCUT_X86
  if (vector) {
    MarkEqualBytesAvx2(at, count, wanted, bits);
    return;
  }
#endif
  MarkEqualBytesScalar(at, count, wanted, bits);
}

std::size_t CountCommon(const std::uint64_t* a, const std::uint64_t* b, std::size_t words,
                        [[maybe_unused]] bool vector) {
#ifdef TAGCUT_X86
  if (vector) return CountCommonPopcnt(a, b, words);
#endif
  return CountCommonBits(a, b, words);
}

}  // namespace

bool TagSearcher::FalseCandidate(SearchHints& hints, std::uint64_t now) {
  if (++hints.false_candidates < kFalseCandidatesPerCheck) return false;
  const bool crowded =
      now - hints.window_start < kFalseCandidatesPerCheck * kBytesPerFalseCandidate;
  hints.false_candidates = 0;
  hints.window_start = now;
  return crowded && now >= hints.calm_until;
}

TagSearcher::TagSearcher(std::string tag)
    : tag_(std::move(tag)),
      length_(static_cast<std::uint32_t>(tag_.size())),
      vector_search_(HaveAvx2()) {
  if (length_ == 0) return;
  const auto byte_at = [this](std::size_t index) {
    return static_cast<unsigned char>(tag_[index]);
  };
  std::memcpy(head_.data(), tag_.data(), std::min<std::size_t>(length_, head_.size()));
  head_mask_ = length_ >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << length_) - 1;

  std::array<std::uint32_t, 256> rank{};
  for (int byte = 0; byte < 256; ++byte) rank[byte] = kByteRank[byte];
  PickProbes(rank, first_choice_);

  // The automaton, built straight into its compact form: from state q, any
  // byte but tag[q] leads where it leads from the longest proper border of
  // the tag's first q bytes, so row q is that (earlier) row with the entry
  // for tag[q] set to q + 1.
  std::vector<std::uint32_t> border(length_, 0);  // border[q]: of the first q bytes
  for (std::uint32_t q = 2; q < length_; ++q) {  // border[0] and border[1] are 0
    std::uint32_t candidate = border[q - 1];
    while (candidate > 0 && byte_at(q - 1) != byte_at(candidate)) candidate = border[candidate];
    border[q] = byte_at(q - 1) == byte_at(candidate) ? candidate + 1 : 0;
  }
  dense_ = length_ <= kDenseLimit;
  if (dense_) {
    next_.assign(static_cast<std::size_t>(length_) * 256, 0);
    for (std::uint32_t q = 0; q < length_; ++q) {
      std::uint32_t* row = next_.data() + (static_cast<std::size_t>(q) << 8);
      if (q > 0) std::memcpy(row, next_.data() + (static_cast<std::size_t>(border[q]) << 8), 256 * sizeof *row);
      row[byte_at(q)] = q + 1;
    }
    return;
  }
  row_begin_.reserve(static_cast<std::size_t>(length_) + 1);
  entry_byte_.reserve(2 * static_cast<std::size_t>(length_));
  entry_next_.reserve(2 * static_cast<std::size_t>(length_));
  for (std::uint32_t q = 0; q < length_; ++q) {
    const auto begin = static_cast<std::uint32_t>(entry_byte_.size());
    row_begin_.push_back(begin);
    bool replaced = false;
    if (q > 0) {
      for (std::uint32_t i = row_begin_[border[q]]; i < row_begin_[border[q] + 1]; ++i) {
        const bool forward = entry_byte_[i] == byte_at(q);
        replaced |= forward;
        entry_byte_.push_back(entry_byte_[i]);
        entry_next_.push_back(forward ? q + 1 : entry_next_[i]);
      }
    }
    if (!replaced) {
      entry_byte_.push_back(byte_at(q));
      entry_next_.push_back(q + 1);
    }
  }
  row_begin_.push_back(static_cast<std::uint32_t>(entry_byte_.size()));
}

void TagSearcher::PickProbes(const std::array<std::uint32_t, 256>& weight,
                             SearchHints& hints) const {
  hints.probe_count = 0;
  if (length_ == 0) return;
  // Offsets by weight of their byte, then nearest the start.
  std::vector<std::uint32_t> offsets(length_);
  for (std::uint32_t i = 0; i < length_; ++i) offsets[i] = i;
  const auto byte_at = [this](std::uint32_t offset) {
    return static_cast<unsigned char>(tag_[offset]);
  };
  std::stable_sort(offsets.begin(), offsets.end(), [&](std::uint32_t a, std::uint32_t b) {
    return weight[byte_at(a)] < weight[byte_at(b)];
  });
  const std::uint32_t wanted = length_ <= 4 ? length_ : 3;
  // A byte already probed adds little, so distinct bytes go first.
  for (const bool allow_repeats : {false, true}) {
    for (const std::uint32_t offset : offsets) {
      if (hints.probe_count == wanted) break;
      bool taken = false;
      for (std::uint32_t i = 0; i < hints.probe_count; ++i) {
        taken |= hints.probes[i].offset == offset ||
                 (!allow_repeats && hints.probes[i].byte == byte_at(offset));
      }
      if (!taken) hints.probes[hints.probe_count++] = {offset, byte_at(offset)};
    }
  }
}

void TagSearcher::Repick(const unsigned char* data, std::size_t size, std::size_t position,
                         SearchHints& hints) const {
  const SearchHints before = hints;
  ChooseProbesAround(data, size, position, hints);
  const bool same = hints.probe_count == before.probe_count &&
                    std::equal(hints.probes.begin(), hints.probes.begin() + hints.probe_count,
                               before.probes.begin());
  hints.calm_until = hints.window_start + (same ? kCalmAfterVainRepick : kCalmAfterRepick);
}

void TagSearcher::ChooseProbesAround(const unsigned char* data, std::size_t size,
                                     std::size_t position, SearchHints& hints) const {
  if (size < length_) return;
  // Starts in the sample leave room for the whole tag.
  const std::size_t limit = size - length_ + 1;
  const std::size_t begin = position > kSampleReach ? position - kSampleReach : 0;
  const std::size_t end = std::min(limit, begin + 2 * kSampleReach);
  if (end < begin + kSampleMinimum) return;
  const std::size_t starts = end - begin;
  const std::size_t words = (starts + 63) / 64;

  // The offsets worth trying: all of a short tag's, else those whose bytes
  // are rarest in the sample.
  std::array<std::uint32_t, 256> count{};
  for (std::size_t i = begin; i < end; ++i) ++count[data[i]];
  std::vector<std::uint32_t> offsets(length_);
  for (std::uint32_t i = 0; i < length_; ++i) offsets[i] = i;
  const auto byte_at = [this](std::uint32_t offset) {
    return static_cast<unsigned char>(tag_[offset]);
  };
  std::stable_sort(offsets.begin(), offsets.end(), [&](std::uint32_t a, std::uint32_t b) {
    return count[byte_at(a)] * 256 + kByteRank[byte_at(a)] <
           count[byte_at(b)] * 256 + kByteRank[byte_at(b)];
  });
  offsets.resize(std::min<std::size_t>(offsets.size(), kOffsetsTried));

  // agree[k]: bit i set when start begin + i has the tag's byte at offsets[k].
  std::vector<std::uint64_t> agree(offsets.size() * words, 0);
  for (std::size_t k = 0; k < offsets.size(); ++k) {
    const unsigned char wanted = byte_at(offsets[k]);
    const unsigned char* at = data + begin + offsets[k];
    MarkEqualBytes(at, starts, wanted, agree.data() + k * words, vector_search_);
  }
  // Greedily, the probe that leaves the fewest starts agreeing with all.
  std::vector<std::uint64_t> together(words, ~std::uint64_t{0});
  std::vector<bool> used(offsets.size(), false);
  const std::uint32_t wanted = length_ <= 4 ? length_ : 3;
  hints.probe_count = 0;
  while (hints.probe_count < wanted && hints.probe_count < offsets.size()) {
    std::size_t best = 0;
    std::size_t best_left = static_cast<std::size_t>(-1);
    for (std::size_t k = 0; k < offsets.size(); ++k) {
      if (used[k]) continue;
      const std::size_t left =
          CountCommon(together.data(), agree.data() + k * words, words, vector_search_);
      if (left < best_left) {
        best = k;
        best_left = left;
      }
    }
    used[best] = true;
    for (std::size_t w = 0; w < words; ++w) together[w] &= agree[best * words + w];
    hints.probes[hints.probe_count++] = {offsets[best], byte_at(offsets[best])};
  }
}

namespace {

// The probes' offsets and bytes, and the comparison a candidate needs.
struct ProbeSet {
  const Probe* probes;
  std::uint32_t count;
};

// True when the bytes at `data + p` agree with every probe.
inline bool ProbesAgree(const unsigned char* data, std::size_t p, const ProbeSet& set) {
  for (std::uint32_t i = 0; i < set.count; ++i) {
    if (data[p + set.probes[i].offset] != set.probes[i].byte) return false;
  }
  return true;
}

#ifdef TAGCUT_X86
// One call's candidate search: starts below `limit` whose probes agree.
struct VectorSearch {
  const unsigned char* data;
  std::size_t size;
  std::size_t limit;
  const unsigned char* head;  // the tag's first 32 bytes
  std::uint32_t head_mask;    // which of them the tag has
  ProbeSet set;
  std::size_t call_start;  // where the FindEnd call began
};

enum class Agreement { kHead, kRepick, kNone };

// From `from`, 64 starts at a time while 32 bytes can be read at each: stops
// at a start whose first 32 bytes agree with the tag (kHead), or when the
// false candidates on the way call for new probes (kRepick); `from` is left
// on that start, or past the starts it looked at.
template <int kProbes>
__attribute__((target("avx2"))) Agreement NextAgreeing(const VectorSearch& search,
                                                       SearchHints& hints, std::size_t& from) {
  const unsigned char* data = search.data;
  std::uint32_t offsets[kProbes];
  __m256i bytes[kProbes];
  for (int k = 0; k < kProbes; ++k) {
    offsets[k] = search.set.probes[k].offset;
    bytes[k] = _mm256_set1_epi8(static_cast<char>(search.set.probes[k].byte));
  }
  const __m256i head = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(search.head));
  std::size_t p = from;
  for (; p + 64 <= search.limit && p + 96 <= search.size; p += 64) {
    __m256i low = _mm256_set1_epi8(-1);
    __m256i high = low;
    for (int k = 0; k < kProbes; ++k) {
      const unsigned char* at = data + p + offsets[k];
      low = _mm256_and_si256(low, _mm256_cmpeq_epi8(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), bytes[k]));
      high = _mm256_and_si256(high, _mm256_cmpeq_epi8(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 32)), bytes[k]));
    }
    std::uint64_t mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
                         (std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32);
    while (mask != 0) {
      const std::size_t candidate = p + static_cast<std::size_t>(__builtin_ctzll(mask));
      mask &= mask - 1;
      const __m256i seen = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + candidate));
      const auto equal = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(seen, head)));
      if ((equal & search.head_mask) == search.head_mask) {
        from = candidate;
        return Agreement::kHead;
      }
      if (BookFalseCandidate(hints, search.call_start, candidate)) {
        from = candidate + 1;
        return Agreement::kRepick;
      }
    }
  }
  from = p;
  return Agreement::kNone;
}
#endif

}  // namespace

TagSearcher::Outcome TagSearcher::SearchWhole(const unsigned char* data,
                                              [[maybe_unused]] std::size_t size,  // vector loads
                                              std::size_t call_start, std::size_t& position,
                                              std::size_t limit, SearchHints& hints) const {
  const ProbeSet set{hints.probes.data(), hints.probe_count};
  const bool long_tag = length_ > 32;
  // What a candidate that agrees with the probes costs when it turns out
  // false: kRepick or kOverBudget to leave the search, kExhausted to go on.
  const auto reject = [&](std::size_t candidate) {
    if (BookFalseCandidate(hints, call_start, candidate)) return Outcome::kRepick;
    if (long_tag && hints.compared_bytes > kComparisonBudgetFactor *
                                               StreamOffset(hints, call_start, candidate) +
                                           kComparisonAllowance) {
      return Outcome::kOverBudget;
    }
    return Outcome::kExhausted;
  };
  // Past the first 32 bytes, a comparison whose cost is booked.
  const auto tail_matches = [&](const unsigned char* candidate) {
    if (!long_tag) return true;
    hints.compared_bytes += length_ - 32;
    return std::memcmp(candidate + 32, tag_.data() + 32, length_ - 32) == 0;
  };
  // A candidate whose probes agree: kFound, a reason to leave the search, or
  // kExhausted to go on; `position` is set where the search left off.
  const auto settle = [&](std::size_t candidate, bool head_agrees) {
    if (head_agrees && tail_matches(data + candidate)) {
      position = candidate;
      return Outcome::kFound;
    }
    const Outcome outcome = reject(candidate);
    if (outcome != Outcome::kExhausted) position = candidate + 1;
    return outcome;
  };
  std::size_t p = position;
#ifdef TAGCUT_X86
  if (vector_search_ && set.count >= 2) {
    const VectorSearch search{data, size, limit, head_.data(), head_mask_, set, call_start};
    for (;;) {
      const Agreement agreement = set.count == 2   ? NextAgreeing<2>(search, hints, p)
                                  : set.count == 3 ? NextAgreeing<3>(search, hints, p)
                                                   : NextAgreeing<4>(search, hints, p);
      if (agreement == Agreement::kNone) break;
      if (agreement == Agreement::kRepick) {
        position = p;
        return Outcome::kRepick;
      }
      const Outcome outcome = settle(p++, /*head_agrees=*/true);
      if (outcome != Outcome::kExhausted) return outcome;
    }
  }
#endif
  // The rest (or everything, without AVX2): the first probe by memchr.
  const Probe lead = set.probes[0];
  while (p < limit) {
    const void* hit = std::memchr(data + p + lead.offset, lead.byte, limit - p);
    if (hit == nullptr) break;
    const std::size_t candidate =
        static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - data) - lead.offset;
    p = candidate + 1;
    if (!ProbesAgree(data, candidate, set)) continue;
    const Outcome outcome = settle(
        candidate, std::memcmp(data + candidate, tag_.data(), std::min<std::size_t>(length_, 32)) == 0);
    if (outcome != Outcome::kExhausted) return outcome;
  }
  position = limit;
  return Outcome::kExhausted;
}

std::size_t TagSearcher::StepThrough(const unsigned char* data, std::size_t position,
                                     std::size_t size, std::uint32_t& state) const {
  const auto first = static_cast<unsigned char>(tag_[0]);
  std::uint32_t current = 0;
  while (position < size) {
    if (current == 0) {
      // Bytes before the tag's first byte cannot begin an occurrence.
      const void* hit = std::memchr(data + position, first, size - position);
      if (hit == nullptr) break;
      position = static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - data);
    }
    current = Step(current, data[position++]);
    if (current == length_) {
      state = 0;
      return position;
    }
  }
  state = current;
  return kNotFound;
}

std::size_t TagSearcher::FindEnd(std::span<const unsigned char> block, std::size_t from,
                                 std::uint32_t& state, SearchHints& hints) const {
  if (length_ == 0) {
    state = 0;
    return kNotFound;
  }
  InitHints(hints);
  const unsigned char* data = block.data();
  const std::size_t size = block.size();
  if (length_ == 1) {  // no partial occurrence, no candidate to confirm
    const void* hit = std::memchr(data + from, head_[0], size - from);
    if (hit == nullptr) return kNotFound;
    return static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - data) + 1;
  }
  const auto finish = [&](std::size_t end) {
    hints.searched_bytes += (end == kNotFound ? size : end) - from;
    return end;
  };
  std::size_t position = from;
  if (state != 0) {
    // A partial occurrence carried in: step until it completes, or until the
    // longest partial occurrence begins inside this block, where the search
    // proper can take over (no occurrence can begin before it).
    std::uint32_t current = state;
    while (position < size) {
      current = Step(current, data[position++]);
      if (current == length_) {
        state = 0;
        return finish(position);
      }
      if (current <= position - from) break;
    }
    if (current > position - from) {
      state = current;
      return finish(kNotFound);
    }
    position -= current;
    state = 0;
  }
  // Starts below `limit` leave room for the whole tag.
  const std::size_t limit = size >= length_ ? size - length_ + 1 : 0;
  while (position < limit) {
    switch (SearchWhole(data, size, from, position, limit, hints)) {
      case Outcome::kFound:
        state = 0;
        return finish(position + length_);
      case Outcome::kExhausted:
        position = limit;
        break;
      case Outcome::kRepick:
        Repick(data, size, position, hints);
        continue;
      case Outcome::kOverBudget:
        return finish(StepThrough(data, position, size, state));
    }
  }
  // Where no whole occurrence fits, the automaton finds the partial one.
  return finish(StepThrough(data, position, size, state));
}

}  // namespace tagcut
