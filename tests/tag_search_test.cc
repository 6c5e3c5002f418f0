#include "tag_search.h"
#include "tagcut/automaton.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "generators.h"
#include "kernel.h"
#include "reference.h"
#include "test_support.h"

namespace tagcut {
namespace {

using testing::Bytes;
using testing::SearchedEnds;
using testing::StringSearchEnds;

// The searcher compiles its compact rows from CreateAutomaton's table; they
// must be the brute-force automaton's (CreateAutomaton's, checked against it
// elsewhere, for tags too long for brute force), entry for entry, in dense
// and in sparse form.
TEST(TagSearchTest, CompactRowsAreTheReferenceAutomaton) {
  std::mt19937 random(19);
  for (int round = 0; round < 400; ++round) {
    std::string tag;
    const std::size_t length = round % 4 == 0 ? 129 + random() % 200 : 1 + random() % 20;
    for (std::size_t i = 0; i < length; ++i) tag.push_back(static_cast<char>('a' + random() % 3));
    const TagSearcher searcher(tag);
    const Automaton reference =
        length <= 20 ? reference::BruteForceAutomaton(tag) : CreateAutomaton(tag);
    for (const auto& [state, row] : reference) {
      for (int byte = 0; byte < 256; ++byte) {
        const auto entry = row.find(static_cast<unsigned char>(byte));
        const std::uint32_t expected =
            entry == row.end() ? 0 : static_cast<std::uint32_t>(entry->second);
        ASSERT_EQ(
            searcher.Step(static_cast<std::uint32_t>(state), static_cast<unsigned char>(byte)),
            expected)
            << "tag '" << tag << "' state " << state << " byte " << byte;
      }
    }
  }
}

// Worked cases: the tag, the input in blocks, and the ends of the
// occurrences in the whole input.
struct SearchCase {
  std::string tag;
  std::vector<std::string> blocks;
  std::vector<std::size_t> ends;
};

TEST(TagSearchTest, WorkedCases) {
  const SearchCase cases[] = {
      // A partial match carried across one block edge, then across two.
      {"</b>", {"bold</", "b> x"}, {8}},
      {"</b>", {"x<", "/", "b>"}, {5}},
      // A carried partial match that breaks, where a shorter one goes on.
      {"abab", {"aba", "abab"}, {7}},
      {"aab", {"a", "aab"}, {4}},
      // Occurrences do not overlap.
      {"aa", {"aaaaa"}, {2, 4}},
      // One-byte tags, NULs and high bytes are ordinary.
      {"\xff", {"a\xff", "\xff"}, {2, 3}},
      {std::string("a\0b", 3), {std::string("a\0", 2), std::string("ba\0b", 4)}, {3, 6}},
      // The empty tag never occurs.
      {"", {"anything", ""}, {}},
  };
  for (const SearchCase& c : cases) {
    const TagSearcher searcher(c.tag);
    std::string input;
    for (const std::string& block : c.blocks) input += block;
    std::size_t next = 0;
    EXPECT_EQ(SearchedEnds(searcher, input, [&] { return c.blocks[next++].size(); }), c.ends)
        << "tag '" << c.tag << "'";
  }
}

// Short tags use dense rows, tags over 128 bytes sparse ones, and tags over
// 256 bytes put the prefilter's second byte well inside the tag; every block
// size must give exactly the occurrences plain string search finds.
TEST(TagSearchTest, AgreesWithStringSearchUnderAnySplit) {
  std::mt19937 random(3);
  for (int round = 0; round < 600; ++round) {
    const std::size_t tag_length = round % 3 == 0   ? random() % 6
                                   : round % 3 == 1 ? 1 + random() % 40
                                                    : 120 + random() % 300;
    std::string tag;
    for (std::size_t i = 0; i < tag_length; ++i) {
      tag.push_back(static_cast<char>(random() % 5 == 0 ? random() : 'a' + random() % 3));
    }
    const std::string input = testing::TagFragments(random, tag, 1 + random() % 3000);
    const TagSearcher searcher(tag);
    const auto expected = StringSearchEnds(tag, input);
    const std::size_t fixed_block = 1 + random() % 70;
    ASSERT_EQ(SearchedEnds(searcher, input, [&] { return fixed_block; }), expected)
        << "round " << round << ", blocks of " << fixed_block;
    ASSERT_EQ(SearchedEnds(searcher, input, [&] { return 1 + random() % 700; }), expected)
        << "round " << round << ", random blocks";
  }
}

// A periodic tag over a long run of its own period: the prefilter keeps
// landing on candidates and must still find every occurrence.
TEST(TagSearchTest, PeriodicTagOverItsOwnRun) {
  const std::string tag = "aaaaaaaab";
  std::string input(100000, 'a');
  input[5000] = 'b';
  input[5009] = 'b';
  input[99999] = 'b';
  const TagSearcher searcher(tag);
  EXPECT_EQ(SearchedEnds(searcher, input, [] { return std::size_t{4096}; }),
            StringSearchEnds(tag, input));
}

// Copies of the tag with one byte changed, at any offset the first probes do
// not cover: every copy agrees with those probes and none is an occurrence.
// The searcher must still find exactly the real occurrences, and where such
// false candidates crowd (copies under 64 bytes) it must have moved its
// probes off the ones the input defeats.
TEST(TagSearchTest, NearMissesMakeTheProbesMove) {
  std::mt19937 random(13);
  for (const std::string& tag :
       {std::string("href=\""), std::string("</span></span></span></span>"),
        std::string("the value of "), std::string(40, 'x') + "needle" + std::string(100, 'y')}) {
    const TagSearcher searcher(tag);
    SearchHints first;
    std::uint32_t state = 0;
    searcher.Find(Bytes(""), 0, state, first);
    ASSERT_GT(first.probe_count, 0u);
    std::vector<std::uint32_t> free_offsets;
    for (std::uint32_t offset = 0; offset < tag.size(); ++offset) {
      bool probed = false;
      for (std::uint32_t k = 0; k < first.probe_count; ++k)
        probed |= first.probes[k].offset == offset;
      if (!probed) free_offsets.push_back(offset);
    }
    std::string input;
    while (input.size() < 400000) {
      std::string copy = tag;
      copy[free_offsets[random() % free_offsets.size()]] ^= 0x20;
      input += copy;
      if (random() % 50 == 0) input += tag;
      input.push_back(' ');
    }
    SearchHints hints;
    const auto ends = SearchedEnds(
        searcher, input, [] { return std::size_t{65536}; }, &hints);
    EXPECT_EQ(ends, StringSearchEnds(tag, input)) << tag;
    if (tag.size() >= 64) continue;
    EXPECT_FALSE(std::equal(hints.probes.begin(), hints.probes.begin() + hints.probe_count,
                            first.probes.begin(), first.probes.begin() + first.probe_count))
        << "probes never re-picked for " << tag;
  }
}

// Where the first probe's byte is rare, a review leaves that probe alone;
// where it then keeps landing on near copies of the tag, though not close
// enough together to call for a re-pick, the next review brings probes back.
// The occurrences are string search's throughout.
TEST(TagSearchTest, ReviewsCutTheProbesToOneAndBack) {
  const std::string tag = "aaaaaaaab";
  std::string sparse(1 << 20, 'a');
  for (std::size_t i = 4096; i < sparse.size(); i += 4096) sparse[i] = 'b';
  std::string near_copies;
  while (near_copies.size() < (2u << 20)) near_copies += "aaaxaaaab" + std::string(91, 'c');
  const TagSearcher searcher(tag);
  SearchHints hints;
  const auto blocks = [] { return std::size_t{65536}; };
  EXPECT_EQ(SearchedEnds(searcher, sparse, blocks, &hints), StringSearchEnds(tag, sparse));
  EXPECT_EQ(hints.probe_count, 1u);
  EXPECT_EQ(SearchedEnds(searcher, near_copies, blocks, &hints),
            StringSearchEnds(tag, near_copies));
  EXPECT_GT(hints.probe_count, 1u);
}

// Near copies of the tag that differ only at one offset, whose byte is the
// commonest around: re-picking must probe that offset, which leaves no
// candidate, rather than the rarest bytes, which all the copies carry.
TEST(TagSearchTest, RepickProbesTheOffsetNearCopiesMiss) {
  const std::string tag = "abcdefgh";
  std::mt19937 random(5);
  std::string input;
  while (input.size() < 8000) {
    if (random() % 4 == 0) input += "abcdxfgh";
    input.push_back(random() % 3 == 0 ? 'e' : static_cast<char>('a' + random() % 8));
  }
  input.resize(8000);  // a sample that is not a whole number of 64-byte words
  const TagProbes probes(tag);
  SearchHints hints;
  probes.Prepare(hints);
  const auto bytes = Bytes(input);
  probes.Repick(SelectedKernel(), bytes.data(), bytes.size(), 4000, hints);
  bool probes_the_miss = false;
  for (std::uint32_t k = 0; k < hints.probe_count; ++k)
    probes_the_miss |= hints.probes[k].offset == 4;
  EXPECT_TRUE(probes_the_miss);
}

// A re-pick reads its byte counts off the kernel's bit maps; a wrong map
// only misplaces the probes, which no search result shows. So each kernel's
// maps and common-bit counts must be the portable kernel's, at every length
// around a 64-byte word, from an unaligned start, with the other words left
// as they were.
TEST(KernelTest, BitMapsAreThePortableKernels) {
  std::mt19937 random(11);
  std::vector<unsigned char> bytes(400);
  for (unsigned char& byte : bytes) byte = "ab\0\xff"[random() % 4];
  const Kernel& portable = *testing::KernelNamed("portable");
  for (const Kernel* kernel : testing::KernelsUnderTest()) {
    for (const std::size_t count : {0, 1, 63, 64, 65, 127, 128, 129, 255, 256, 300}) {
      std::uint64_t expected[6] = {}, seen[6] = {};
      portable.routines.mark_equal_bytes(bytes.data() + 1, count, 'b', expected);
      kernel->routines.mark_equal_bytes(bytes.data() + 1, count, 'b', seen);
      ASSERT_TRUE(std::equal(seen, seen + 6, expected))
          << kernel->name << ", " << count << " bytes";
      std::uint64_t others[6] = {};
      portable.routines.mark_equal_bytes(bytes.data() + 2, count, 'b', others);
      EXPECT_EQ(kernel->routines.count_common_bits(seen, others, 6),
                portable.routines.count_common_bits(expected, others, 6))
          << kernel->name;
    }
  }
}

// ctest runs the whole suite once per kernel from a list of names; a kernel
// missing from it would run only the tests that compare kernels.
TEST(KernelTest, EveryKernelHasARunOfItsOwn) {
  const std::string_view runs = "," TAGCUT_KERNEL_RUNS ",";
  for (const Kernel* kernel : testing::KernelsUnderTest()) {
    std::string name = ",";
    name.append(kernel->name).push_back(',');
    EXPECT_NE(runs.find(name), std::string_view::npos) << kernel->name << " is not in " << runs;
  }
}

// The choice rule: the first kernel that runs, unless its row names this
// processor's family as measured slower; and on the real table, the AVX-512
// compaction row wherever it runs.
TEST(KernelTest, FirstChoiceIsTheFirstThatRunsAndWasNotMeasuredSlower) {
  static constexpr SlowerOn kSlowerOnFamily99[] = {{{"AuthenticAMD", 99}, "a made-up row"}};
  static const Kernel fast{"fast", nullptr, kSlowerOnFamily99, {}};
  static const Kernel next{"next", nullptr, {}, {}};
  static const Kernel last{"last", nullptr, {}, {}};
  const Kernel* const table[] = {&fast, &next, &last};
  const std::span<const Kernel* const> rows(table);
  const auto all_run = [](const Kernel&) { return true; };
  EXPECT_EQ(FirstChoice(rows, {"AuthenticAMD", 26}, all_run), &fast);
  EXPECT_EQ(FirstChoice(rows, {"AuthenticAMD", 99}, all_run), &next);
  EXPECT_EQ(FirstChoice(rows, {"GenuineIntel", 99}, all_run), &fast);
  EXPECT_EQ(FirstChoice(rows, {"AuthenticAMD", 26},
                        [](const Kernel& kernel) { return &kernel != &fast; }),
            &next);
  EXPECT_EQ(FirstChoice(rows, {"AuthenticAMD", 26},
                        [](const Kernel& kernel) { return &kernel == &last; }),
            &last);

  const auto runs_here = [](const Kernel& kernel) { return kernel.available(); };
  const Kernel* chosen = FirstChoice(BuiltInKernels(), ThisProcessorFamily(), runs_here);
  for (const Kernel* kernel : BuiltInKernels()) {
    if (std::string_view(kernel->name) == "avx512-compaction" && kernel->available()) {
      EXPECT_EQ(chosen, kernel) << "avx512-compaction runs here and was measured no slower";
    }
  }
}

// A long periodic tag over its own period makes every position a candidate
// that fails late; comparisons must stay within their budget (a few times
// the bytes searched) and the automaton take over, with the same results.
TEST(TagSearchTest, LongPeriodicTagKeepsComparisonsLinear) {
  std::string period;
  for (int i = 0; i < 100; ++i) period += "ab";
  const std::string tag = period + "b" + period;
  std::string input;
  while (input.size() < 8'000'000) input += "ab";
  input.insert(3'000'001, tag);
  input.insert(6'000'000, tag);
  const TagSearcher searcher(tag);
  SearchHints hints;
  const auto ends = SearchedEnds(
      searcher, input, [] { return std::size_t{262144}; }, &hints);
  EXPECT_EQ(ends, StringSearchEnds(tag, input));
  EXPECT_LE(hints.compared_bytes, 4 * input.size() + (2u << 20));
}

}  // namespace
}  // namespace tagcut
