// The kernel's routines called directly, each checked against a plain
// definition of what it must find: the compaction's mask arithmetic against
// a byte at a time, the candidate search against string search, the bounds
// and the compaction against a byte-at-a-time scan, from every window
// offset, in both phases and into outputs of every room that matters. Each
// run of the suite checks its own kernel (ctest runs it once per kernel,
// the emulated ones included). Blocks end at an unreadable page, so a load
// past a block faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "compaction_masks.h"
#include "compaction_tuning.h"
#include "generators.h"
#include "kernel.h"
#include "tag_probes.h"
#include "test_support.h"

namespace tagcut {
namespace {

using testing::GuardedBytes;

// Masks of every density: bits set with probability 1/2, 1/8 or 7/8, runs.
std::uint64_t RandomMask(std::mt19937_64& random) {
  switch (random() % 4) {
    case 0:
      return random();
    case 1:
      return random() & random() & random();
    case 2:
      return random() | random() | random();
    default: {  // a run, possibly reaching either end
      const unsigned first = random() % 64, length = random() % 65;
      const std::uint64_t run = length >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << length) - 1;
      return run << first;
    }
  }
}

bool Bit(std::uint64_t mask, unsigned i) { return ((mask >> i) & 1) != 0; }

// The phase walked byte by byte: a byte is kept when the phase before it is
// copying; then a start event opens (or, where it is also an end byte,
// toggles) and an end byte alone closes.
std::uint64_t KeptByteByByte(std::uint64_t start_events, std::uint64_t ends, bool toggles,
                             std::uint64_t& copying) {
  std::uint64_t kept = 0;
  for (unsigned i = 0; i < 64; ++i) {
    kept |= copying << i;
    if (Bit(start_events, i)) {
      copying = toggles ? copying ^ 1 : 1;
    } else if (Bit(ends, i)) {
      copying = 0;
    }
  }
  return kept;
}

TEST(CompactionMasksTest, KeptBytesAreThePhaseWalkedByteByByte) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 200000; ++round) {
    const std::uint64_t starts = RandomMask(random), others = RandomMask(random);
    const std::uint64_t carry = random() % 2;
    {  // the events never coincide
      const std::uint64_t ends = others & ~starts;
      std::uint64_t expected_carry = carry, carry_out = carry;
      const std::uint64_t expected = KeptByteByByte(starts, ends, false, expected_carry);
      ASSERT_EQ(KeptBytesBetweenEvents(starts, ends, carry_out), expected)
          << std::hex << starts << " " << ends << " carry " << carry;
      ASSERT_EQ(carry_out, expected_carry);
    }
    {  // every start event is an end byte too, and toggles
      const std::uint64_t ends = others | starts;
      std::uint64_t expected_carry = carry, carry_out = carry;
      const std::uint64_t expected = KeptByteByByte(starts, ends, true, expected_carry);
      ASSERT_EQ(KeptBytesWithToggles(starts, PrefixXorByShifts(starts), ends, carry_out), expected)
          << std::hex << starts << " " << ends << " carry " << carry;
      ASSERT_EQ(carry_out, expected_carry);
    }
  }
}

TEST(CompactionMasksTest, PrefixXorStraddlingAndRunsBitByBit) {
  std::mt19937_64 random(8);
  for (int round = 0; round < 100000; ++round) {
    const std::uint64_t mask = RandomMask(random);
    std::uint64_t prefix = 0, parity = 0;
    for (unsigned i = 0; i < 64; ++i) prefix |= (parity ^= (mask >> i) & 1) << i;
    ASSERT_EQ(PrefixXorByShifts(mask), prefix) << std::hex << mask;

    const auto lag = static_cast<std::uint32_t>(random() % 64);
    std::uint64_t straddling = 0;  // a tag begun at bit i ends at i + lag, in the next window
    for (unsigned i = 0; i < 64; ++i) {
      if (Bit(mask, i) && i + lag >= 64) straddling |= std::uint64_t{1} << (i + lag - 64);
    }
    ASSERT_EQ(StraddlingEvents(mask, lag), straddling) << std::hex << mask << " lag " << lag;

    // Runs: maximal stretches of set bits, lowest first, and empty ones after.
    std::vector<std::pair<unsigned, unsigned>> runs;
    for (unsigned i = 0; i < 64;) {
      if (!Bit(mask, i)) {
        ++i;
        continue;
      }
      const unsigned first = i;
      while (i < 64 && Bit(mask, i)) ++i;
      runs.emplace_back(first, i);
    }
    const KeptRuns<2> split = SplitRuns<2>(mask);
    ASSERT_EQ(split.fits, runs.size() <= 2) << std::hex << mask;
    if (!split.fits) continue;
    for (std::size_t r = 0; r < 2; ++r) {
      const auto [first, past] = r < runs.size() ? runs[r] : std::pair<unsigned, unsigned>{64, 64};
      ASSERT_EQ(LowestSetBit(split.firsts[r]), first) << std::hex << mask << " run " << r;
      ASSERT_EQ(LowestSetBit(split.pasts[r]), r < runs.size() ? past : 64)
          << std::hex << mask << " run " << r;
    }
  }
}

// Every start below the search's limit where the tag's head occurs, found
// by calling the routine again past each one.
std::vector<std::size_t> AgreeingStarts(Agreement (*next_agreeing)(const CandidateSearch&,
                                                                   SearchHints&, std::size_t&),
                                        const CandidateSearch& search, SearchHints hints) {
  std::vector<std::size_t> found;
  for (std::size_t from = 0; from < search.limit;) {
    const Agreement agreement = next_agreeing(search, hints, from);
    if (agreement == Agreement::kNone) break;
    if (agreement == Agreement::kHead) found.push_back(from++);
  }
  return found;
}

// Tags of five bytes and more whose bytes recur, over input dense in their
// near misses, with probes at any offsets, the lead included: a search that
// resumes anywhere but just past a false candidate skips starts.
TEST(KernelRoutinesTest, CandidateSearchFindsWhatStringSearchFinds) {
  std::mt19937 random(46);
  const Kernel& kernel = SelectedKernel();
  for (int round = 0; round < 300; ++round) {
    std::string tag = "a";  // (built in steps: GCC 12 warns of a + b + c falsely)
    tag += testing::RandomText(random, "ab", 36);
    tag += "ba";
    const std::string input = testing::TagFragments(random, tag, 3000);
    const GuardedBytes block(input);
    const KernelTag kernel_tag = KernelTag::Of(tag);
    const std::size_t head = std::min<std::size_t>(tag.size(), kVectorBytes);
    const std::size_t limit = input.size() - tag.size() + 1;
    // Distinct offsets, as a tag's probes are: probes as many as the tag's
    // bytes cover it, and its candidates are not compared.
    std::vector<std::uint32_t> offsets(tag.size());
    std::iota(offsets.begin(), offsets.end(), 0);
    std::shuffle(offsets.begin(), offsets.end(), random);
    SearchHints hints;
    hints.probe_count = 1 + random() % std::min<std::size_t>(kMaxProbes, tag.size());
    for (std::uint32_t k = 0; k < hints.probe_count; ++k)
      hints.probes[k] = {offsets[k], static_cast<unsigned char>(tag[offsets[k]])};
    // Where the head and the probes agree (a probe may lie past the head).
    std::vector<std::size_t> expected;
    for (std::size_t p = 0; p < limit; ++p) {
      bool agrees = std::memcmp(input.data() + p, tag.data(), head) == 0;
      for (std::uint32_t k = 0; k < hints.probe_count; ++k)
        agrees = agrees && input[p + hints.probes[k].offset] == tag[hints.probes[k].offset];
      if (agrees) expected.push_back(p);
    }
    const CandidateSearch search{block.bytes().data(), input.size(), limit, &kernel_tag, 0};
    ASSERT_EQ(AgreeingStarts(NextAgreeingByMemchr, search, hints), expected)
        << "portable search, tag " << tag << ", lead offset " << hints.probes[0].offset;
    ASSERT_EQ(AgreeingStarts(kernel.routines.next_agreeing, search, hints), expected)
        << kernel.name << ", tag " << tag << ", lead offset " << hints.probes[0].offset;
  }
}

// The bounds a byte-at-a-time scan finds from `from` in `phase`: the
// phase's tag at its leftmost occurrence, then the other one past it.
std::vector<std::size_t> ReferenceBounds(std::string_view input, const std::string (&tags)[2],
                                         std::size_t from, int phase) {
  std::vector<std::size_t> bounds;
  for (std::size_t at = from;; phase ^= 1) {
    const std::size_t found = input.find(tags[phase], at);
    if (found == std::string_view::npos) return bounds;
    bounds.push_back(found);
    at = found + tags[phase].size();
  }
}

// One test's two tags as the kernel takes them, their probes first choices.
struct TagPair {
  explicit TagPair(const std::string& start, const std::string& end)
      : texts{start, end}, probes{TagProbes(start), TagProbes(end)} {
    probes[0].Prepare(hints[0]);
    probes[1].Prepare(hints[1]);
  }
  ShortTags Short() {
    return {{&probes[0].kernel_tag(), &probes[1].kernel_tag()}, {&hints[0], &hints[1]}};
  }

  std::string texts[2];
  TagProbes probes[2];
  SearchHints hints[2];
};

TEST(KernelRoutinesTest, BoundsAreTheByteAtATimeScansFromEveryOffset) {
  std::mt19937 random(47);
  const std::pair<std::string, std::string> tag_pairs[] = {{">", "<"},
                                                           {"=\"", "\""},
                                                           {"aa", "ab"},
                                                           {"<a", "</a>"},
                                                           {"href=\"", "\""},
                                                           {"title=\"", "\">"},
                                                           {std::string(32, 's'), "e"}};
  for (const auto& [start, end] : tag_pairs) {
    const std::string near_misses[] = {start, end, testing::NearMiss(random, start),
                                       testing::NearMiss(random, end)};
    const std::string input = testing::TagSoup(random, near_misses, "xy<\"", 4000);
    const GuardedBytes block(input);
    const Kernel* kernel = &SelectedKernel();
    if (kernel->routines.find_bounds == nullptr)
      GTEST_SKIP() << kernel->name << " has no such pass";
    {
      for (std::size_t from = 0; from < 2 * kStartsPerWindow; ++from) {
        for (const int phase : {0, 1}) {
          TagPair tags(start, end);
          std::vector<std::size_t> found(1024 + kStartsPerWindow);
          const BoundScan scan = kernel->routines.find_bounds(tags.Short(), block.bytes(), from,
                                                              phase == 1, {found.data(), 1024});
          found.resize(scan.count);
          std::vector<std::size_t> expected = ReferenceBounds(input, tags.texts, from, phase);
          std::erase_if(expected, [&](std::size_t bound) { return bound >= scan.stop; });
          ASSERT_EQ(found, expected) << kernel->name << " " << start << " " << end << " from "
                                     << from << " phase " << phase << " stop " << scan.stop;
          if (scan.count > 0) {  // the last tag found lies before the stop
            const int last_phase = phase ^ static_cast<int>((scan.count - 1) % 2);
            ASSERT_LE(found.back() + tags.texts[last_phase].size(), scan.stop) << kernel->name;
          }
          ASSERT_LE(scan.stop, input.size());
        }
      }
    }
  }
}

// What compaction must write from `from` in the phase `copying` up to
// `stop`: each portion's bytes and a line feed for its end tag, and the
// open portion's bytes up to the stop. Empty optional-like flag `straddled`
// where a start tag searched for begins before the stop and ends past it.
struct CompactedReference {
  std::string output;
  bool copying;
  bool straddled = false;
};

CompactedReference ReferenceCompaction(std::string_view input, const std::string& start, char end,
                                       std::size_t from, bool copying, std::size_t stop) {
  CompactedReference reference{{}, copying};
  for (std::size_t at = from; at < stop;) {
    if (!reference.copying) {
      const std::size_t found = input.find(start, at);
      if (found == std::string_view::npos || found >= stop) break;
      if (found + start.size() > stop) {
        reference.straddled = true;
        break;
      }
      at = found + start.size();
      reference.copying = true;
      continue;
    }
    const std::size_t found = input.find(end, at);
    if (found == std::string_view::npos || found >= stop) {
      reference.output += input.substr(at, stop - at);
      break;
    }
    reference.output.append(input.substr(at, found - at));
    reference.output.push_back('\n');
    at = found + 1;
    reference.copying = false;
  }
  return reference;
}

// Calls the kernel's compaction from `from` until it makes no progress
// (the block's last window), re-picking where it asks, as the engine does
// but without the per-portion path between: so its long-portion stops and
// sparse hand-overs are resumed by compaction itself.
CompactedReference Compacted(const Kernel& kernel, TagPair& tags,
                             std::span<const unsigned char> block, std::size_t from, bool copying,
                             std::size_t room, std::size_t& stop) {
  CompactedReference compacted{{}, copying};
  std::vector<unsigned char> out(room);
  stop = from;
  for (;;) {
    const CompactScan scan =
        kernel.routines.compact_portions(tags.Short(), block, stop, compacted.copying, out);
    compacted.output.append(reinterpret_cast<const char*>(out.data()), scan.written);
    compacted.copying = scan.copying;
    const bool moved = scan.stop != stop || scan.written != 0;
    stop = scan.stop;
    if (scan.repick) {
      tags.probes[0].Repick(kernel, block.data(), block.size(), stop, tags.hints[0]);
    } else if (!moved) {
      return compacted;
    }
  }
}

TEST(KernelRoutinesTest, CompactionIsTheByteAtATimeScanFromEveryOffset) {
  std::mt19937 random(48);
  // Covered and uncovered start tags, of one byte and longer, ending in the
  // end tag's byte and not.
  const std::pair<std::string, char> tag_pairs[] = {{">", '<'},          {"=\"", '"'},
                                                    {"ab\"", '"'},       {"href=\"", '"'},
                                                    {"<td class=", '>'}, {"abcd", 'd'}};
  for (const auto& [start, end] : tag_pairs) {
    const std::string end_tag(1, end);
    std::string dense;  // portions of every length, near misses, straddles
    while (dense.size() < 5000) {
      dense += start + std::string(random() % 70, 'x') + end_tag;
      dense +=
          random() % 3 == 0 ? testing::NearMiss(random, start) : std::string(random() % 40, 'y');
    }
    std::string sparse;
    for (int portion = 0; portion < 20; ++portion)
      sparse += start + "s" + end_tag + std::string(400, 'y');
    const std::string input = dense + start + std::string(5000, 'x') + end_tag + sparse + dense;
    const GuardedBytes block(input);
    const Kernel* kernel = &SelectedKernel();
    if (kernel->routines.compact_portions == nullptr)
      GTEST_SKIP() << kernel->name << " has no compaction";
    {
      for (std::size_t from = 0; from < kStartsPerWindow + start.size(); ++from) {
        for (const bool copying : {false, true}) {
          for (const std::size_t room :
               {kCompactRoom, kCompactRoom + 1, std::size_t{2176}, std::size_t{1} << 16}) {
            TagPair tags(start, end_tag);
            std::size_t stop = 0;
            const CompactedReference got =
                Compacted(*kernel, tags, block.bytes(), from, copying, room, stop);
            const CompactedReference expected =
                ReferenceCompaction(input, start, end, from, copying, stop);
            const auto where = [&] {
              return std::string(kernel->name) + " " + start + " from " + std::to_string(from) +
                     (copying ? " copying" : " searching") + ", room " + std::to_string(room) +
                     ", stop " + std::to_string(stop);
            };
            ASSERT_FALSE(expected.straddled) << "a start tag straddles the stop: " << where();
            ASSERT_EQ(testing::FirstDifference(got.output, expected.output), "") << where();
            ASSERT_EQ(got.copying, expected.copying) << where();
            ASSERT_GT(stop + kWindowReach, input.size()) << "stopped early: " << where();
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace tagcut
