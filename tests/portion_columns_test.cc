// The column collectors against the byte-at-a-time model and against a
// plain search for the spans, over random blocks, every kernel (each ctest
// run has its own); and every allocation refused in turn.

#include "tagcut/portion_columns.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "allocation_refusal.h"
#include "generators.h"
#include "reference.h"

namespace tagcut {
namespace {

// Each portion's [start, end) by the definition, with string search alone.
std::vector<std::int64_t> PlainSpans(std::string_view start_tag, std::string_view end_tag,
                                     std::string_view input) {
  std::vector<std::int64_t> spans;
  std::size_t at = 0;
  for (;;) {
    const std::size_t start = input.find(start_tag, at);
    if (start == std::string_view::npos) return spans;
    const std::size_t first = start + start_tag.size();
    const std::size_t end = std::min(input.find(end_tag, first), input.size());
    spans.insert(spans.end(), {static_cast<std::int64_t>(first), static_cast<std::int64_t>(end)});
    if (end == input.size()) return spans;
    at = end + end_tag.size();
  }
}

// Small blocks mostly, so portions and end tags straddle them; now and then
// an empty block or one of a few KiB, where the one-pass scan runs.
std::size_t NextBlockSize(std::mt19937& random) {
  const unsigned pick = random() % 16;
  if (pick == 0) return 0;
  if (pick == 1) return random() % 4096;
  return random() % 40;
}

// The collector fed in random blocks; after each, a batch caller's moves:
// take everything, or copy a few portions out and drop them.
std::vector<std::string> CollectColumns(PortionColumnCollector& collector, std::string_view input,
                                        std::mt19937& random) {
  std::vector<std::string> portions;
  const auto take_some = [&](bool all) {
    if (all || random() % 2 == 0) {
      const PortionColumns taken = collector.Take();
      EXPECT_EQ(taken.offset_values().back(), static_cast<std::int64_t>(taken.data.size()));
      for (std::size_t i = 0; i < taken.size(); ++i) portions.emplace_back(taken[i]);
      return;
    }
    const std::size_t count = random() % (collector.collected().size() + 1);
    const PortionColumns copy = collector.Copy(0, count);
    for (std::size_t i = 0; i < copy.size(); ++i) portions.emplace_back(copy[i]);
    collector.Drop(count);
  };
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t size = std::min(NextBlockSize(random), input.size() - at);
    collector.Feed(input.substr(at, size));
    at += size;
    take_some(false);
  }
  collector.Finish();
  take_some(true);
  return portions;
}

std::vector<std::int64_t> CollectSpans(SpanCollector& collector, std::string_view input,
                                       std::mt19937& random) {
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t size = std::min(NextBlockSize(random), input.size() - at);
    collector.Feed(input.substr(at, size));
    at += size;
  }
  collector.Finish();
  const ColumnBuffer spans = collector.Take();
  const auto* values = reinterpret_cast<const std::int64_t*>(spans.data());
  return {values, values + spans.size() / sizeof(std::int64_t)};
}

// Tags that overlap themselves and each other (aa ab, =" "", <a </a>) and
// random ones, in soups of their own pieces with line feeds and NULs.
TEST(PortionColumnsTest, ColumnsAndSpansAgreeWithTheModel) {
  std::mt19937 random(71);
  const std::string alphabet("ab<=\"/\n\0", 8);
  const std::vector<std::pair<std::string, std::string>> chosen = {
      {"aa", "ab"}, {"=\"", "\"\""}, {"<a", "</a>"}, {"a", "a"}, {">", "<"}, {"ab", "b"}};
  for (int round = 0; round < 2000; ++round) {
    std::string start_tag = testing::RandomText(random, alphabet, 3);
    std::string end_tag = testing::RandomText(random, alphabet, 4);
    if (round % 2 == 0) std::tie(start_tag, end_tag) = chosen[random() % chosen.size()];
    if (start_tag.empty() || end_tag.empty()) continue;
    const std::string tags[] = {start_tag, end_tag};
    const std::string input =
        testing::TagSoup(random, tags, alphabet, random() % (round % 8 == 0 ? 20000 : 300));
    SCOPED_TRACE("round " + std::to_string(round) + " tags " + start_tag + " " + end_tag);
    std::vector<std::string> expected;
    for (const reference::Portion& portion : reference::Portions(start_tag, end_tag, input)) {
      expected.push_back(portion.bytes);
    }
    const PortionPattern pattern(start_tag, end_tag);
    PortionColumnCollector columns(pattern);
    ASSERT_EQ(CollectColumns(columns, input, random), expected);
    SpanCollector spans(pattern);
    ASSERT_EQ(CollectSpans(spans, input, random), PlainSpans(start_tag, end_tag, input));
    ASSERT_EQ(CollectSpans(spans, input, random), PlainSpans(start_tag, end_tag, input))
        << "a second input after Finish";
  }
}

// Refused at any allocation, collecting throws std::bad_alloc or gives
// every portion; never a wrong result.
TEST(PortionColumnsTest, EveryRefusedAllocationThrowsOrCollectsAll) {
  std::string input;
  for (int i = 0; i < 3000; ++i) input += "<b>" + std::string(i % 7, 'x') + "</b>";
  input += std::string(3 << 20, 'y');  // the data column crosses into mapped memory
  const std::vector<std::int64_t> expected_spans = PlainSpans("<b>", "</b>", input);
  std::size_t made = 0;
  for (std::size_t ordinal = 1;; ++ordinal) {
    bool refused = false;
    std::size_t portions = 0;
    std::vector<std::int64_t> spans;
    {
      const testing::RefusedAllocations refusal(ordinal, false);
      try {
        PortionColumnCollector columns(PortionPattern("<b>", "</b>"));
        columns.Feed(input.substr(0, 100));
        columns.Feed(input.substr(100));
        columns.Finish();
        portions = columns.Take().size();
        SpanCollector collector(PortionPattern("<b>", "</b>"));
        collector.Feed(input);
        collector.Finish();
        spans.assign(collector.spans().begin(), collector.spans().end());
      } catch (const std::bad_alloc&) {
        refused = true;
      }
      made = refusal.made();
    }
    if (!refused) {
      ASSERT_EQ(portions, 3000u) << "allocation " << ordinal;
      ASSERT_EQ(spans, expected_spans) << "allocation " << ordinal;
    }
    if (ordinal > made) break;
  }
}

// Growth across the mapped threshold keeps every byte; a size the system
// cannot map is refused with the buffer as it was.
TEST(ColumnBufferTest, GrowsIntoMappedMemoryAndSurvivesARefusal) {
  ColumnBuffer buffer;
  std::string expected;
  for (std::size_t step = 1; buffer.size() < 5 * ColumnBuffer::kMappedFrom; step = step * 3 + 1) {
    const std::string bytes(step % 100000, static_cast<char>('a' + step % 26));
    buffer.Append(bytes.data(), bytes.size());
    expected += bytes;
  }
  ASSERT_EQ(std::string_view(reinterpret_cast<const char*>(buffer.data()), buffer.size()),
            expected);
  // More than any size can hold, and (with 64-bit sizes) more than the
  // system maps.
  EXPECT_THROW(buffer.Reserve(std::numeric_limits<std::size_t>::max() / 2), std::bad_alloc);
  if constexpr (sizeof(std::size_t) == 8) {
    EXPECT_THROW(buffer.Reserve(std::numeric_limits<std::size_t>::max() / 8), std::bad_alloc);
  }
  buffer.EraseFront(7);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(buffer.data()), buffer.size()),
            std::string_view(expected).substr(7));
}

}  // namespace
}  // namespace tagcut
