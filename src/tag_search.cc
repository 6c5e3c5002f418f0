#include "tag_search.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "tagcut/automaton.h"
#include "cpu_features.h"

namespace tagcut {
namespace {

// Rank of each byte by how common it is in typical input, 0 = rarest.
constexpr unsigned char kByteRank[256] = {
#include "byte_frequency.inc"
};

// Above this length the dense table (1 KiB per state) gives way to sparse rows.
constexpr std::size_t kDenseLimit = 128;

// Offsets of the prefilter's second byte stay this close to the tag's start,
// so the stretch at a block's end that the pair test cannot reach stays short.
constexpr std::size_t kRareOffsetLimit = 256;

// A prefilter that lands within kShortSkip bytes this many times in a row is
// costing more than it saves; stepping the automaton takes over for a while.
constexpr int kShortSkipsBeforeOff = 8;
constexpr std::size_t kShortSkip = 8;
constexpr std::size_t kPrefilterOffStretch = 512;

// Candidates for tags up to this length are first confirmed by comparison.
constexpr std::uint32_t kDirectCompareLimit = 16;

struct DenseStepper {
  const std::uint32_t* next;
  std::uint32_t operator()(std::uint32_t state, unsigned char byte) const {
    return next[(static_cast<std::size_t>(state) << 8) | byte];
  }
};

struct SparseStepper {
  const std::uint32_t* row_begin;
  const unsigned char* entry_byte;
  const std::uint32_t* entry_next;
  std::uint32_t operator()(std::uint32_t state, unsigned char byte) const {
    for (std::uint32_t i = row_begin[state]; i < row_begin[state + 1]; ++i) {
      if (entry_byte[i] == byte) return entry_next[i];
    }
    return 0;
  }
};

// First p in [from, limit) with data[p] == first and data[p + distance] ==
// second, or limit. The caller guarantees limit + distance <= data's size.
std::size_t PairSearchScalar(const unsigned char* data, std::size_t from,
                             std::size_t limit, unsigned char first,
                             unsigned char second, std::size_t distance) {
  while (from < limit) {
    const void* hit = std::memchr(data + from, first, limit - from);
    if (hit == nullptr) return limit;
    const std::size_t p = static_cast<const unsigned char*>(hit) - data;
    if (data[p + distance] == second) return p;
    from = p + 1;
  }
  return limit;
}

#ifdef TAGCUT_X86
// Bit i set when data[p + i] == first and data[p + distance + i] == second.
__attribute__((target("avx2"), always_inline)) inline std::uint32_t PairMaskAvx2(
    const unsigned char* data, std::size_t p, std::size_t distance,
    unsigned char first, unsigned char second) {
  const __m256i head = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p));
  const __m256i tail =
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p + distance));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(
      _mm256_cmpeq_epi8(head, _mm256_set1_epi8(static_cast<char>(first))),
      _mm256_cmpeq_epi8(tail, _mm256_set1_epi8(static_cast<char>(second))))));
}

__attribute__((target("avx2"))) std::size_t PairSearchAvx2(
    const unsigned char* data, std::size_t from, std::size_t limit,
    unsigned char first, unsigned char second, std::size_t distance) {
  std::size_t p = from;
  for (; p + 64 <= limit; p += 64) {
    const std::uint64_t mask = PairMaskAvx2(data, p, distance, first, second) |
                               (std::uint64_t{PairMaskAvx2(data, p + 32, distance, first, second)} << 32);
    if (mask != 0) return p + static_cast<std::size_t>(__builtin_ctzll(mask));
  }
  for (; p + 32 <= limit; p += 32) {
    const std::uint32_t mask = PairMaskAvx2(data, p, distance, first, second);
    if (mask != 0) return p + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  return PairSearchScalar(data, p, limit, first, second, distance);
}

std::size_t PairSearchSse2(const unsigned char* data, std::size_t from,
                           std::size_t limit, unsigned char first,
                           unsigned char second, std::size_t distance) {
  const __m128i first_vector = _mm_set1_epi8(static_cast<char>(first));
  const __m128i second_vector = _mm_set1_epi8(static_cast<char>(second));
  std::size_t p = from;
  for (; p + 16 <= limit; p += 16) {
    const __m128i head =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
    const __m128i tail =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p + distance));
    const int mask = _mm_movemask_epi8(_mm_and_si128(
        _mm_cmpeq_epi8(head, first_vector), _mm_cmpeq_epi8(tail, second_vector)));
    if (mask != 0) return p + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  return PairSearchScalar(data, p, limit, first, second, distance);
}
#endif

TagSearcher::PairSearchFunction ChoosePairSearch() {
#ifdef TAGCUT_X86
  if (HaveAvx2()) return PairSearchAvx2;
  return PairSearchSse2;
#else
  return PairSearchScalar;
#endif
}

}  // namespace

TagSearcher::TagSearcher(std::string tag)
    : tag_(std::move(tag)),
      length_(static_cast<std::uint32_t>(tag_.size())),
      pair_search_(ChoosePairSearch()) {
  if (length_ == 0) return;
  const auto byte_at = [this](std::size_t index) {
    return static_cast<unsigned char>(tag_[index]);
  };
  first_byte_ = byte_at(0);
  std::memcpy(tag_head_, tag_.data(), std::min<std::size_t>(length_, sizeof tag_head_));
  // The second prefilter byte: the rarest one near the start, preferring one
  // that differs from the first byte (a repeat adds little information).
  const std::size_t reach = std::min<std::size_t>(length_, kRareOffsetLimit);
  int best_score = 0;
  for (std::size_t offset = 1; offset < reach; ++offset) {
    const unsigned char candidate = byte_at(offset);
    const int score = (candidate == first_byte_ ? 256 : 0) + kByteRank[candidate];
    if (rare_offset_ == 0 || score < best_score) {
      rare_offset_ = offset;
      rare_byte_ = candidate;
      best_score = score;
    }
  }

  const Automaton automaton = CreateAutomaton(tag_);
  dense_ = length_ <= kDenseLimit;
  if (dense_) {
    next_.assign(static_cast<std::size_t>(length_) * 256, 0);
    for (const auto& [state, row] : automaton) {
      for (const auto& [byte, target] : row) {
        next_[(static_cast<std::size_t>(state) << 8) | byte] =
            static_cast<std::uint32_t>(target);
      }
    }
  } else {
    row_begin_.reserve(static_cast<std::size_t>(length_) + 1);
    for (const auto& [state, row] : automaton) {
      row_begin_.push_back(static_cast<std::uint32_t>(entry_byte_.size()));
      for (const auto& [byte, target] : row) {
        entry_byte_.push_back(byte);
        entry_next_.push_back(static_cast<std::uint32_t>(target));
      }
    }
    row_begin_.push_back(static_cast<std::uint32_t>(entry_byte_.size()));
  }
}

std::size_t TagSearcher::NextCandidate(const unsigned char* data,
                                       std::size_t from,
                                       std::size_t size) const {
  if (rare_offset_ != 0 && from + rare_offset_ < size) {
    const std::size_t limit = size - rare_offset_;
    const std::size_t found =
        pair_search_(data, from, limit, first_byte_, rare_byte_, rare_offset_);
    if (found < limit) return found;
    from = limit;
  }
  // Too close to the end for the pair test (or a one-byte tag): only the
  // first byte can rule a position out.
  const void* hit = std::memchr(data + from, first_byte_, size - from);
  return hit == nullptr ? size : static_cast<const unsigned char*>(hit) - data;
}

bool TagSearcher::StartsWithTag(const unsigned char* data,
                                std::size_t available) const {
#ifdef TAGCUT_X86
  // One 16-byte comparison instead of a call to memcmp for a few bytes.
  if (available >= 16) {
    const __m128i seen = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
    const __m128i wanted = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tag_head_));
    const auto equal = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(seen, wanted)));
    const std::uint32_t needed = (std::uint32_t{1} << length_) - 1;
    return (equal & needed) == needed;
  }
#endif
  return std::memcmp(data, tag_.data(), length_) == 0;
}

template <class Stepper>
std::size_t TagSearcher::Scan(const Stepper& step, const unsigned char* data,
                              std::size_t from, std::size_t size,
                              std::uint32_t& state) const {
  std::uint32_t current = state;
  std::size_t position = from;
  std::size_t prefilter_off_until = 0;
  int short_skips = 0;
  while (position < size) {
    if (current == 0 && position >= prefilter_off_until) {
      // Bytes before the candidate cannot begin an occurrence, so any partial
      // match they hold is dead: restarting at state 0 there loses nothing.
      const std::size_t candidate = NextCandidate(data, position, size);
      if (candidate == size) {
        position = size;
        break;
      }
      if (candidate - position < kShortSkip) {
        if (++short_skips >= kShortSkipsBeforeOff) {
          prefilter_off_until = candidate + kPrefilterOffStretch;
          short_skips = 0;
        }
      } else {
        short_skips = 0;
      }
      // A short tag that lies wholly in the block is confirmed in one
      // comparison; this bounded check keeps the scan linear, and a failed
      // one falls through to stepping the automaton from the candidate.
      if (length_ <= kDirectCompareLimit && size - candidate >= length_ &&
          StartsWithTag(data + candidate, size - candidate)) {
        state = 0;
        return candidate + length_;
      }
      position = candidate;
    }
    current = step(current, data[position++]);
    if (current == length_) {
      state = 0;
      return position;
    }
  }
  state = current;
  return kNotFound;
}

std::size_t TagSearcher::FindEnd(std::span<const unsigned char> data,
                                 std::size_t from, std::uint32_t& state) const {
  if (length_ == 0) {
    state = 0;
    return kNotFound;
  }
  if (dense_) {
    return Scan(DenseStepper{next_.data()}, data.data(), from, data.size(),
                state);
  }
  return Scan(SparseStepper{row_begin_.data(), entry_byte_.data(),
                            entry_next_.data()},
              data.data(), from, data.size(), state);
}

}  // namespace tagcut
