#include "tag_search.h"

#include <cstring>
#include <utility>

#include "tagcut/automaton.h"

namespace tagcut {
namespace {

// Above this length the dense table (1 KiB per state) gives way to sparse rows.
constexpr std::size_t kDenseLimit = 128;

// Comparing long candidates may cost at most this many times the bytes
// searched, plus a fixed allowance; beyond it the automaton steps instead.
constexpr std::uint64_t kComparisonBudgetFactor = 4;
constexpr std::uint64_t kComparisonAllowance = 1u << 20;

}  // namespace

TagSearcher::TagSearcher(std::string tag, const Kernel& kernel)
    : probes_(std::move(tag)), kernel_(&kernel), length_(probes_.length()) {
  CompileRows();
}

void TagSearcher::CompileRows() {
  const Automaton table = CreateAutomaton(tag());
  dense_ = length_ <= kDenseLimit;
  if (dense_) {
    next_.assign(static_cast<std::size_t>(length_) * 256, 0);
    for (const auto& [state, row] : table) {
      for (const auto& [byte, next] : row) {
        next_[(static_cast<std::size_t>(state) << 8) | byte] = static_cast<std::uint32_t>(next);
      }
    }
    return;
  }
  row_begin_.reserve(static_cast<std::size_t>(length_) + 1);
  entry_byte_.reserve(2 * static_cast<std::size_t>(length_));
  entry_next_.reserve(2 * static_cast<std::size_t>(length_));
  for (const auto& [state, row] : table) {
    row_begin_.push_back(static_cast<std::uint32_t>(entry_byte_.size()));
    for (const auto& [byte, next] : row) {
      entry_byte_.push_back(byte);
      entry_next_.push_back(static_cast<std::uint32_t>(next));
    }
  }
  row_begin_.push_back(static_cast<std::uint32_t>(entry_byte_.size()));
}

std::optional<TagSearcher::Outcome> TagSearcher::Settle(const unsigned char* data,
                                                        std::size_t call_start,
                                                        std::size_t candidate,
                                                        SearchHints& hints) const {
  if (length_ <= kVectorBytes) return Outcome::kFound;  // the head was all of it
  // Past the head, a comparison whose cost is booked.
  hints.compared_bytes += length_ - kVectorBytes;
  if (std::memcmp(data + candidate + kVectorBytes, tag().data() + kVectorBytes,
                  length_ - kVectorBytes) == 0) {
    return Outcome::kFound;
  }
  const std::uint64_t now = StreamOffset(hints, call_start, candidate);
  if (BookFalseCandidate(hints, now)) return Outcome::kRepick;
  if (hints.compared_bytes > kComparisonBudgetFactor * now + kComparisonAllowance) {
    return Outcome::kOverBudget;
  }
  return std::nullopt;
}

TagSearcher::Outcome TagSearcher::SearchWhole(const unsigned char* data, std::size_t size,
                                              std::size_t call_start, std::size_t& position,
                                              std::size_t limit, SearchHints& hints) const {
  const CandidateSearch search{data, size, limit, &probes_.kernel_tag(), call_start};
  std::size_t p = position;
  for (;;) {
    switch (kernel_->routines.next_agreeing(search, hints, p)) {
      case Agreement::kNone:
        position = limit;
        return Outcome::kExhausted;
      case Agreement::kRepick:
        position = p;
        return Outcome::kRepick;
      case Agreement::kHead:
        break;
    }
    const std::size_t candidate = p++;
    const std::optional<Outcome> outcome = Settle(data, call_start, candidate, hints);
    if (!outcome) continue;
    position = *outcome == Outcome::kFound ? candidate : candidate + 1;
    return *outcome;
  }
}

std::size_t TagSearcher::StepThrough(const unsigned char* data, std::size_t position,
                                     std::size_t size, std::uint32_t& state) const {
  const auto first = static_cast<unsigned char>(tag()[0]);
  std::uint32_t current = 0;
  while (position < size) {
    if (current == 0) {
      // Bytes before the tag's first byte cannot begin an occurrence.
      const void* hit = std::memchr(data + position, first, size - position);
      if (hit == nullptr) break;
      position = static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - data);
    }
    current = Step(current, data[position++]);
    if (current == length_) break;
  }
  state = current == length_ ? 0 : current;
  return current == length_ ? position : kNotFound;
}

bool TagSearcher::ResumePartial(std::span<const unsigned char> block, std::size_t from,
                                std::size_t& position, std::uint32_t& state) const {
  std::uint32_t current = state;
  while (position < block.size()) {
    current = Step(current, block[position++]);
    if (current == length_) {
      state = 0;
      return true;
    }
    if (current <= position - from) break;
  }
  if (current > position - from) {  // still the partial occurrence carried in
    state = current;
    position = kNotFound;
    return true;
  }
  // No occurrence can begin before the longest partial one, which lies in
  // the block: the search proper takes over there.
  position -= current;
  state = 0;
  return false;
}

std::size_t TagSearcher::Find(std::span<const unsigned char> block, std::size_t from,
                              std::uint32_t& state, SearchHints& hints) const {
  if (length_ == 0) {
    state = 0;
    return kNotFound;
  }
  const unsigned char* data = block.data();
  const std::size_t size = block.size();
  if (length_ == 1) {  // no partial occurrence, no candidate to confirm, no probe
    const void* hit = std::memchr(data + from, static_cast<unsigned char>(tag()[0]), size - from);
    if (hit == nullptr) return kNotFound;
    return static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - data) + 1;
  }
  const ProbeCycle cycle(probes_, *kernel_, hints, block, from);
  const auto finish = [&](std::size_t end) {
    cycle.Advance((end == kNotFound ? size : end) - from);
    return end;
  };
  std::size_t position = from;
  if (state != 0 && ResumePartial(block, from, position, state)) return finish(position);
  // Starts below `limit` leave room for the whole tag.
  const std::size_t limit = size >= length_ ? size - length_ + 1 : 0;
  while (position < limit) {
    switch (SearchWhole(data, size, from, position, limit, hints)) {
      case Outcome::kFound:
        state = 0;
        return finish(position + length_);
      case Outcome::kExhausted:
        break;
      case Outcome::kRepick:
        cycle.Repick(position);
        continue;
      case Outcome::kOverBudget:
        return finish(StepThrough(data, position, size, state));
    }
  }
  // Where no whole occurrence fits, the automaton finds the partial one.
  return finish(StepThrough(data, position, size, state));
}

}  // namespace tagcut
