#include "tag_probes.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace tagcut {
namespace {

// Rank of each byte by how common it is in typical input, 0 = rarest.
constexpr unsigned char kByteRank[256] = {
#include "byte_frequency.inc"
};

// A re-pick tries the tag's offsets on a sample of up to 2 * kSampleReach
// starts around the crowd (at least kSampleMinimum), kOffsetsTried of them.
// It costs a few microseconds, so it waits kCalmAfterRepick bytes before it
// is tried again, and kCalmAfterVainRepick when it changed nothing.
constexpr std::size_t kSampleReach = 4096;
constexpr std::size_t kSampleMinimum = 256;
constexpr std::size_t kOffsetsTried = 16;
constexpr std::size_t kSampleWords = (2 * kSampleReach + 63) / 64;  // bit-map words per offset
constexpr std::uint64_t kCalmAfterRepick = 256u << 10;
constexpr std::uint64_t kCalmAfterVainRepick = 4u << 20;

// A probe is added only while the sample has more than one start in
// kStartsPerLoneCandidate agreeing with the probes so far. Below that a
// candidate costs less than the further probe's loads over the bytes
// between candidates.
constexpr std::size_t kStartsPerLoneCandidate = 1024;

// Reviews come at twice the bytes searched each time, at least
// kShortestReviewInterval (search_hints.h) and at most kLongestReviewInterval apart.
constexpr std::uint64_t kLongestReviewInterval = 16u << 20;

// Probes per tag: all of a tag up to kMaxProbes bytes long, else one fewer.
std::uint32_t ProbesWanted(std::uint32_t length) {
  return length <= kMaxProbes ? length : kMaxProbes - 1;
}

}  // namespace

TagProbes::TagProbes(std::string tag)
    : tag_(std::move(tag)),
      length_(static_cast<std::uint32_t>(tag_.size())),
      kernel_tag_(KernelTag::Of(tag_)) {
  std::array<std::uint32_t, 256> rank{};
  for (int byte = 0; byte < 256; ++byte) rank[byte] = kByteRank[byte];
  PickProbes(rank, first_choice_);
}

bool TagProbes::Lighter(const std::array<std::uint32_t, 256>& weight, std::uint32_t a,
                        std::uint32_t b) const {
  return weight[ByteAt(a)] < weight[ByteAt(b)] || (weight[ByteAt(a)] == weight[ByteAt(b)] && a < b);
}

std::vector<std::uint32_t> TagProbes::OffsetsByWeight(
    const std::array<std::uint32_t, 256>& weight) const {
  std::vector<std::uint32_t> offsets(length_);
  for (std::uint32_t i = 0; i < length_; ++i) offsets[i] = i;
  std::sort(offsets.begin(), offsets.end(),
            [&](std::uint32_t a, std::uint32_t b) { return Lighter(weight, a, b); });
  return offsets;
}

std::size_t TagProbes::LightestOffsets(const std::array<std::uint32_t, 256>& weight,
                                       std::span<std::uint32_t> lightest) const {
  // Insertion into a short sorted list: no allocation, a few compares per offset.
  std::size_t count = 0;
  for (std::uint32_t offset = 0; offset < length_; ++offset) {
    std::size_t at = count;
    while (at > 0 && Lighter(weight, offset, lightest[at - 1])) --at;
    if (at == lightest.size()) continue;
    count = std::min(count + 1, lightest.size());
    std::copy_backward(lightest.begin() + at, lightest.begin() + count - 1,
                       lightest.begin() + count);
    lightest[at] = offset;
  }
  return count;
}

void TagProbes::PickProbes(const std::array<std::uint32_t, 256>& weight, SearchHints& hints) const {
  hints.probe_count = 0;
  const std::vector<std::uint32_t> offsets = OffsetsByWeight(weight);  // at construction only
  const std::uint32_t wanted = ProbesWanted(length_);
  // A byte already probed adds little, so distinct bytes go first.
  for (const bool allow_repeats : {false, true}) {
    for (const std::uint32_t offset : offsets) {
      if (hints.probe_count == wanted) break;
      bool taken = false;
      for (std::uint32_t i = 0; i < hints.probe_count; ++i) {
        taken |= hints.probes[i].offset == offset ||
                 (!allow_repeats && hints.probes[i].byte == ByteAt(offset));
      }
      if (!taken) hints.probes[hints.probe_count++] = {offset, ByteAt(offset)};
    }
  }
}

void TagProbes::Repick(const Kernel& kernel, const unsigned char* data, std::size_t size,
                       std::size_t position, SearchHints& hints) const {
  const SearchHints before = hints;
  ChooseProbesAround(kernel, data, size, position, hints);
  const bool same = hints.probe_count == before.probe_count &&
                    std::equal(hints.probes.begin(), hints.probes.begin() + hints.probe_count,
                               before.probes.begin());
  hints.calm_until =
      hints.false_candidates_since + (same ? kCalmAfterVainRepick : kCalmAfterRepick);
}

std::optional<TagProbes::Sample> TagProbes::SampleAround(std::size_t size,
                                                         std::size_t position) const {
  if (size < length_) return std::nullopt;
  // Starts in the sample leave room for the whole tag.
  const std::size_t limit = size - length_ + 1;
  const std::size_t begin = position > kSampleReach ? position - kSampleReach : 0;
  const std::size_t end = std::min(limit, begin + 2 * kSampleReach);
  if (end < begin + kSampleMinimum) return std::nullopt;
  return Sample{begin, end - begin};
}

bool TagProbes::ProbesCover() const { return ProbesWanted(length_) == length_; }

void TagProbes::Review(const Kernel& kernel, const unsigned char* data, std::size_t size,
                       std::size_t position, SearchHints& hints) const {
  if (ProbesCover()) {
    hints.review_at = std::numeric_limits<std::uint64_t>::max();
    return;
  }
  const std::uint64_t now = hints.searched_bytes;
  hints.review_at = now + std::clamp(now, kShortestReviewInterval, kLongestReviewInterval);
  const std::optional<Sample> sample = SampleAround(size, position);
  if (!sample) return;
  const Probe lead = hints.probes[0];
  std::array<std::uint64_t, kSampleWords> agree{};
  const std::size_t words = (sample->starts + 63) / 64;
  kernel.routines.mark_equal_bytes(data + sample->begin + lead.offset, sample->starts, lead.byte,
                                   agree.data());
  const std::size_t alone = kernel.routines.count_common_bits(agree.data(), agree.data(), words);
  if (alone * kStartsPerLoneCandidate <= sample->starts) {
    hints.probe_count = 1;
  } else if (hints.probe_count == 1) {
    ChooseProbesAround(kernel, data, size, position, hints);
  }
}

void TagProbes::ChooseProbesAround(const Kernel& kernel, const unsigned char* data,
                                   std::size_t size, std::size_t position,
                                   SearchHints& hints) const {
  const std::optional<Sample> sample = SampleAround(size, position);
  if (!sample) return;
  const std::size_t begin = sample->begin;
  const std::size_t starts = sample->starts;
  const std::size_t end = begin + starts;
  const std::size_t words = (starts + 63) / 64;

  // The offsets worth trying: all of a short tag's, else those whose bytes
  // are rarest in the sample (the fixed ranks break ties).
  std::array<std::uint32_t, 256> weight{};
  for (std::size_t i = begin; i < end; ++i) weight[data[i]] += 256;
  for (int byte = 0; byte < 256; ++byte) weight[byte] += kByteRank[byte];
  std::array<std::uint32_t, kOffsetsTried> lightest;
  const std::span<const std::uint32_t> offsets(lightest.data(), LightestOffsets(weight, lightest));

  // agree[k]: bit i set when start begin + i has the tag's byte at offsets[k].
  // On the stack: a re-pick happens mid-scan, where nothing may be allocated.
  std::array<std::uint64_t, kOffsetsTried * kSampleWords> agree{};
  for (std::size_t k = 0; k < offsets.size(); ++k) {
    kernel.routines.mark_equal_bytes(data + begin + offsets[k], starts, ByteAt(offsets[k]),
                                     agree.data() + k * words);
  }
  PickFewestAgreeing(kernel, offsets, agree.data(), words, hints);
}

void TagProbes::PickFewestAgreeing(const Kernel& kernel, std::span<const std::uint32_t> offsets,
                                   const std::uint64_t* agree, std::size_t words,
                                   SearchHints& hints) const {
  std::array<std::uint64_t, kSampleWords> together;
  std::fill_n(together.begin(), words, ~std::uint64_t{0});
  std::array<bool, kOffsetsTried> used{};
  const std::uint32_t wanted = ProbesWanted(length_);
  hints.probe_count = 0;
  while (hints.probe_count < wanted && hints.probe_count < offsets.size()) {
    std::size_t best = 0;
    std::size_t best_left = static_cast<std::size_t>(-1);
    for (std::size_t k = 0; k < offsets.size(); ++k) {
      if (used[k]) continue;
      const std::size_t left =
          kernel.routines.count_common_bits(together.data(), agree + k * words, words);
      if (left < best_left) {
        best = k;
        best_left = left;
      }
    }
    used[best] = true;
    for (std::size_t w = 0; w < words; ++w) together[w] &= agree[best * words + w];
    hints.probes[hints.probe_count++] = {offsets[best], ByteAt(offsets[best])};
    // Probes that cover the tag are all kept: their candidates need no compare.
    if (!ProbesCover() && best_left * kStartsPerLoneCandidate <= words * 64) break;
  }
}

}  // namespace tagcut
