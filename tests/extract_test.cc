#include "tagcut/extract.h"
#include "tagcut/portions.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/wait.h>

#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "generators.h"
#include "reference.h"
#include "test_support.h"

namespace tagcut {
namespace {

using testing::ExtractFileWith;
using testing::ExtractFromDescriptor;
using testing::ExtractInBlocks;

std::string ExtractThroughStreams(const std::string& start_tag, const std::string& end_tag,
                                  const std::string& input) {
  std::istringstream in(input);
  std::ostringstream out;
  AutomatonExtract(start_tag, end_tag, in, out);
  return out.str();
}

// The descriptor path reading a regular (in-memory) file, as the program does.
std::string ExtractThroughDescriptors(const std::string& start_tag, const std::string& end_tag,
                                      const std::string& input) {
  return ExtractFileWith(start_tag, end_tag, input, {});
}

struct Case {
  std::string start_tag, end_tag, input, output;
};

const Case kCases[] = {
    // The usage text's example: link targets, and nothing of the anchors.
    {"href=\"", "\"", "<a href=\"x.html\">first</a> <a href=\"y\">second</a>", "x.html\ny\n"},
    {"[b]", "[/b]", "a [b]bold[/b] c", "bold\n"},
    // Input ends inside a partial end tag: the held bytes are written.
    {"[b]", "[/b]", "text [b]bold[/", "bold[/\n"},
    // A broken partial end tag releases its bytes oldest first.
    {"(", "[/a]", "(x[/[/a])", "x[/\n"},
    {"(", "abcx", "(zabcabcx)", "zabc\n"},
    {"(", "abab", "(abaabab)", "aba\n"},
    {"a", "b", "abab", "\n\n"},
    // A start tag inside a portion is text; an end tag while searching is ignored.
    {"{", "}", "{a{b}c}", "a{b\n"},
    {"aab", ";", "aaab1;", "1\n"},
    // Occurrences never overlap: the end tag's bytes do not start a new portion.
    {"ab", "ba", "abababa", "a\n"},
    {"<", ">", "<a\nb><>", "a\nb\n\n"},
    // Bytes are bytes.
    {"(", ")", "(a\377b)", "a\377b\n"},  // 0xFF (octal escapes end after three digits)
    {"(", "\377", "(ab\377c", "ab\n"},
    {"<", ">", std::string("<a\0b>", 5), std::string("a\0b\n", 4)},
    // Nothing to write.
    {"[b]", "[/b]", "abc [b", ""},
    {"[b]", "[/b]", "no tags here [/b]", ""},
    {"[b]", "[/b]", "", ""},
    {"", ")", "abc)", ""},
    {"", "", "abc", ""},
    // Input ends right after a start tag: one empty line.
    {"[b]", "[/b]", "x[b]", "\n"},
    // An empty end tag copies everything after the first start tag.
    {"(", "", "a(b(c)d", "b(c)d\n"},
};

TEST(ExtractTest, DocumentedCasesThroughEveryAdapter) {
  for (const Case& c : kCases) {
    SCOPED_TRACE("start '" + c.start_tag + "' end '" + c.end_tag + "' input '" + c.input + "'");
    EXPECT_EQ(reference::Extract(c.start_tag, c.end_tag, c.input), c.output);
    EXPECT_EQ(ExtractThroughStreams(c.start_tag, c.end_tag, c.input), c.output);
    EXPECT_EQ(ExtractThroughDescriptors(c.start_tag, c.end_tag, c.input), c.output);
    std::string lines;
    for (const std::string& portion : ExtractPortions(c.start_tag, c.end_tag, c.input)) {
      lines += portion + "\n";
    }
    EXPECT_EQ(lines, c.output) << "as portions";
    for (std::size_t block = 1; block <= c.input.size(); ++block) {
      EXPECT_EQ(ExtractInBlocks(c.start_tag, c.end_tag, c.input, [&] { return block; }), c.output)
          << "blocks of " << block;
    }
    // An unbuffered sink, and one too small for the smallest run.
    for (const std::size_t capacity : {0, 1}) {
      EXPECT_EQ(ExtractInBlocks(
                    c.start_tag, c.end_tag, c.input, [] { return 3; }, capacity),
                c.output)
          << "sink capacity " << capacity;
    }
  }
}

// Random tags over a tiny alphabet and inputs stitched from pieces of both
// tags, so overlaps, broken partial matches and tags cut by block edges are
// the rule. The block extractor must agree with the byte-at-a-time model.
TEST(ExtractTest, AgreesWithReferenceOnRandomInputsAndSplits) {
  std::mt19937 random(5);
  for (int round = 0; round < 4000; ++round) {
    const std::string start_tag = testing::RandomText(random, "abc", round % 10 == 0 ? 1 : 4);
    const std::string end_tag = testing::RandomText(random, "abc", round % 10 == 1 ? 1 : 5);
    const std::string tags[] = {start_tag, end_tag, end_tag};
    const std::string input =
        testing::TagSoup(random, tags, "abcabc\x80\xff", random() % (round % 2 == 0 ? 200 : 700));
    const std::string expected = reference::Extract(start_tag, end_tag, input);
    // Small blocks cut tags everywhere; large ones reach the 64-byte chunk scans.
    const std::size_t max_block = round % 2 == 0 ? 9 : 300;
    ASSERT_EQ(ExtractInBlocks(
                  start_tag, end_tag, input, [&] { return 1 + random() % max_block; },
                  /*sink_capacity=*/8),
              expected)
        << "start '" << start_tag << "' end '" << end_tag << "' input '" << input << "'";
    ASSERT_EQ(ExtractThroughStreams(start_tag, end_tag, input), expected);
    // Before the end, the extractor says whether the input left a portion open.
    const std::vector<reference::Portion> portions = reference::Portions(start_tag, end_tag, input);
    Extractor extractor(start_tag, end_tag);
    std::string output;
    StringSink sink(output);
    extractor.Feed(testing::Bytes(input), sink);
    ASSERT_EQ(extractor.in_portion(), !portions.empty() && portions.back().cut_short);
    extractor.Finish(sink);
    ASSERT_FALSE(extractor.in_portion());
  }
}

// The descriptor path reading from a pipe that a writer fills in random
// sizes, so reads return whatever arrived: any split the kernel may produce.
std::string ExtractThroughTricklingPipe(const std::string& start_tag, const std::string& end_tag,
                                        const std::string& input, unsigned seed) {
  int ends[2];
  EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
  std::thread writer([&input, seed, in = ends[1]] {
    std::mt19937 random(seed);
    for (std::size_t done = 0; done < input.size();) {
      const std::size_t size = std::min<std::size_t>(1 + random() % 13, input.size() - done);
      const ssize_t wrote = write(in, input.data() + done, size);
      if (wrote <= 0) break;
      done += static_cast<std::size_t>(wrote);
      if (random() % 4 == 0) std::this_thread::yield();
    }
    close(in);
  });
  std::string text = ExtractFromDescriptor(start_tag, end_tag, ends[0]);
  writer.join();
  close(ends[0]);
  return text;
}

// However the input is split, by blocks of every size up to 64, by a stream
// buffer, or by a pipe, the output bytes are the same.
TEST(ExtractTest, OutputNeverDependsOnTheSplit) {
  std::mt19937 random(9);
  const std::string tags[] = {"<", ">", "ab", "aab", "abab", "[/a]", "\xff\x80", ""};
  for (int round = 0; round < 150; ++round) {
    const std::string& start_tag = tags[random() % std::size(tags)];
    const std::string& end_tag = tags[random() % std::size(tags)];
    const std::string input = testing::TagSoup(random, tags, "ab<>[/]\n\xff\x80", 120);
    const std::string expected =
        ExtractInBlocks(start_tag, end_tag, input, [&] { return input.size(); });
    for (std::size_t block = 1; block <= 64; ++block) {
      ASSERT_EQ(ExtractInBlocks(start_tag, end_tag, input, [&] { return block; }), expected)
          << "blocks of " << block;
    }
    ASSERT_EQ(ExtractThroughStreams(start_tag, end_tag, input), expected);
    ASSERT_EQ(ExtractThroughTricklingPipe(start_tag, end_tag, input, random()), expected);
  }
}

// Near-miss copies of both tags between real portions, in blocks large enough
// for the one-pass scan of both tags and its re-picking of probes, after and
// before long stretches of sparse portions, where reviews cut the probes to
// one.
TEST(ExtractTest, NearMissesInLargeBlocks) {
  std::mt19937 random(21);
  for (const auto& [start_tag, end_tag] : {std::pair<std::string, std::string>{"href=\"", "\""},
                                           {"<td class=", "</td>"},
                                           {"the ", " "}}) {
    std::string sparse;
    while (sparse.size() < 300000) sparse += std::string(4000, 'y') + start_tag + "far" + end_tag;
    std::string input = sparse;
    while (input.size() < 500000) {
      input += testing::NearMiss(random, start_tag) + testing::NearMiss(random, end_tag);
      input += random() % 8 == 0 ? start_tag + "portion " + std::to_string(random() % 100) + end_tag
                                 : std::string(random() % 12, 'x');
    }
    input += sparse;
    const std::string expected = reference::Extract(start_tag, end_tag, input);
    for (const std::size_t block : {std::size_t{4096}, std::size_t{65536}, input.size()}) {
      EXPECT_EQ(ExtractInBlocks(start_tag, end_tag, input, [&] { return block; }), expected)
          << start_tag << " in blocks of " << block;
    }
  }
}

// Tags a compacting scan takes (one-byte tags, the same byte or not; start
// tags that end in the end tag's byte, or overlap themselves, or are longer
// than their probes) and one it must not (an end tag inside the start tag),
// over stretches that are dense with portions, one portion longer than the
// windows a compacting scan copies before it hands over, and no tag at all,
// so that windows begin inside and outside portions and tags straddle every
// window offset; in large blocks, into sinks whose buffers are too small to
// compact into, just large enough, or fill mid-block.
TEST(ExtractTest, CompactedPortionsAgreeWithReference) {
  std::mt19937 random(33);
  const std::pair<std::string, std::string> tag_pairs[] = {
      {"<", ">"},           {">", "<"},  {"|", "|"},  {"=\"", "\""}, {"href=\"", "\""},
      {"<a href=\"", "\""}, {"aa", "|"}, {"ab", "b"}, {"\"x", "\""}};
  for (const auto& [start_tag, end_tag] : tag_pairs) {
    const std::string pieces[] = {start_tag, end_tag, start_tag + "ab" + end_tag};
    for (int round = 0; round < 12; ++round) {
      std::string input;
      while (input.size() < 150000) {
        switch (random() % 16) {
          case 0:
            input += start_tag + std::string(5000 + random() % 100, 'x') + end_tag;
            break;
          case 1:
            input += std::string(random() % 300, 'y');
            break;
          case 2:
            input += testing::RandomText(random, "<>|", 20);
            break;
          default:
            input += testing::TagSoup(random, pieces, "<>|ab\n", random() % 300);
        }
      }
      const std::string expected = reference::Extract(start_tag, end_tag, input);
      for (const std::size_t capacity : {0, 63, 64, 65, 127, 128, 129, 200, 4096}) {
        const std::string got = ExtractInBlocks(
            start_tag, end_tag, input, [&] { return 1000 + random() % 99000; }, capacity);
        ASSERT_EQ(testing::FirstDifference(got, expected), "")
            << start_tag << end_tag << ", sink capacity " << capacity << ", round " << round;
      }
    }
  }
}

// Start tags longer than a byte that straddle every offset of a compacting
// scan's windows and of blocks, among portions dense and sparse (sparse
// enough for the scan to hand them to the per-portion path and back).
TEST(ExtractTest, CompactedStartTagsStraddlingEveryOffset) {
  const std::pair<std::string, std::string> tag_pairs[] = {
      {"=\"", "\""}, {"href=\"", "\""}, {"<a href=\"", "\""}, {"ab", "|"}};
  for (const auto& [start_tag, end_tag] : tag_pairs) {
    for (std::size_t shift = 0; shift < 2 * kStartsPerWindow + start_tag.size(); ++shift) {
      std::string input(shift, 'y');
      for (const std::size_t gap : {0, 3, 40, 0, 400, 400, 400, 400, 400, 400, 400, 400, 400, 1}) {
        input += start_tag + "in" + end_tag + std::string(gap, '"');
      }
      const std::string expected = reference::Extract(start_tag, end_tag, input + input);
      for (const std::size_t block : {std::size_t{1000}, 4096 - shift}) {
        const std::string got = ExtractInBlocks(
            start_tag, end_tag, input + input, [&] { return block; }, 4096);
        ASSERT_EQ(testing::FirstDifference(got, expected), "")
            << start_tag << " shifted " << shift << ", blocks of " << block;
      }
    }
  }
}

// Portions of each length around a vector (32 bytes) and a window (64), one
// to four to a window, from every offset of a window: a window of one or two
// runs of kept bytes is copied run by run (a run beginning past the first
// vector, one longer than a vector, one running on into the next window),
// others compacted; the last portion is cut short by the end of the input.
TEST(ExtractTest, CompactedRunsOfEveryLengthAndOffset) {
  for (const std::size_t length : {0, 1, 2, 30, 31, 32, 33, 34, 60, 61, 62, 63, 64, 65, 130}) {
    for (const std::size_t gap : {0, 1, 9, 40}) {
      for (std::size_t shift = 0; shift < kStartsPerWindow; ++shift) {
        std::string input(shift, 'y');
        for (int portion = 0; portion < 6; ++portion) {
          input += "=\"" + std::string(length, 'x') + "\"" + std::string(gap, 'y');
        }
        input += "=\"" + std::string(length, 'x');
        const std::string expected = reference::Extract("=\"", "\"", input);
        const std::string got = ExtractInBlocks(
            "=\"", "\"", input, [&] { return input.size(); }, 4096);
        ASSERT_EQ(testing::FirstDifference(got, expected), "")
            << "length " << length << ", gap " << gap << ", shift " << shift;
      }
    }
  }
}

// Stretches dense enough to be compacted a batch of windows at a time, then
// a portion long enough to hand over, dense again, sparse, and dense, from
// every offset of a window: start tags straddle the batches' edges, the
// batches' sizes go in and out of the sinks' room (a batch of 32 windows
// with its room is 2176 bytes) and of the blocks, and tags longer than their
// probes meet near misses inside batches.
TEST(ExtractTest, CompactedBatchesAgreeWithReference) {
  std::mt19937 random(45);
  const std::pair<std::string, std::string> tag_pairs[] = {
      {"=\"", "\""}, {"href=\"", "\""}, {"ab", "|"}, {"abcd", "d"}};
  for (const auto& [start_tag, end_tag] : tag_pairs) {
    std::string dense;
    while (dense.size() < 6000) {
      dense += start_tag + std::string(random() % 70, 'x') + end_tag;
      dense += random() % 4 == 0 ? testing::NearMiss(random, start_tag)
                                 : std::string(random() % 90, 'y');
    }
    std::string sparse;
    for (int portion = 0; portion < 40; ++portion)
      sparse += start_tag + "s" + end_tag + std::string(500, 'y');
    const std::string long_portion = start_tag + std::string(7000, 'x') + end_tag;
    const std::string body = dense + long_portion + dense + sparse + dense;
    for (std::size_t shift = 0; shift < kStartsPerWindow + start_tag.size(); ++shift) {
      const std::string input = std::string(shift, 'y') + body;
      const std::string expected = reference::Extract(start_tag, end_tag, input);
      for (const std::size_t capacity : {2175, 2176, 2177, 65536}) {
        const std::size_t block = capacity == 65536 ? input.size() : 3000 + shift;
        const std::string got = ExtractInBlocks(
            start_tag, end_tag, input, [&] { return block; }, capacity);
        ASSERT_EQ(testing::FirstDifference(got, expected), "")
            << start_tag << " shifted " << shift << ", sink capacity " << capacity;
      }
    }
  }
}

// A portion placed at every distance from the end of blocks whose sizes
// straddle what a window (96 bytes) and a skip (128 more) read: the vector
// loops must stop where a load would leave the block (which ends at an
// unreadable page), and the general path must take over exactly there,
// with nothing lost or found twice.
TEST(ExtractTest, PortionsAtEveryDistanceFromTheBlockEnd) {
  const std::pair<std::string, std::string> tag_pairs[] = {{"<", ">"},
                                                           {"href=\"", "\""},
                                                           {std::string(32, 's'), "e"},
                                                           {"ab", std::string(40, 'x') + "y"}};
  for (const auto& [start_tag, end_tag] : tag_pairs) {
    const std::string portion = start_tag + "in" + end_tag;
    for (std::size_t size = portion.size(); size <= 300; ++size) {
      for (std::size_t after = 0; after + portion.size() <= size && after <= 40; ++after) {
        std::string input(size - portion.size() - after, '.');
        input += portion + std::string(after, '.');
        ASSERT_EQ(testing::ExtractGuarded(start_tag, end_tag, input), "in\n")
            << start_tag << " in " << size << " bytes, " << after << " after";
      }
    }
  }
}

// Tags of every length around the vector width (32) and the window (64),
// among copies of themselves that differ in one byte only, anywhere, most
// tellingly past the 32nd: only the true tags open and close portions.
TEST(ExtractTest, TagsAroundTheVectorWidthMatchWhole) {
  std::mt19937 random(31);
  for (std::size_t length = 28; length <= 68; ++length) {
    std::string starts(length, 's'), ends(length, 'e');
    for (std::size_t i = 1; i < length; ++i) {
      starts[i] = "ab"[random() % 2];
      ends[i] = "ab"[random() % 2];
    }
    std::string input;
    for (std::size_t differ = 0; differ < length; ++differ) {
      std::string near_start = starts, near_end = ends;
      near_start[differ] = near_start[differ] == 'a' ? 'b' : 'a';  // 's' too
      near_end[differ] = near_end[differ] == 'a' ? 'b' : 'a';
      input +=
          near_start + "out" + near_end + starts + "in" + std::to_string(differ) + near_end + ends;
    }
    const std::string expected = reference::Extract(starts, ends, input);
    for (const std::size_t block : {std::size_t{100}, input.size()}) {
      ASSERT_EQ(ExtractInBlocks(starts, ends, input, [&] { return block; }), expected)
          << length << "-byte tags in blocks of " << block;
    }
  }
}

// A portion far longer than any buffer, with an end tag split over a block
// edge, leaves through the direct-write path intact.
TEST(ExtractTest, LongPortionsSurviveBufferBoundaries) {
  std::string body;
  for (int i = 0; body.size() < 3'000'000; ++i) body += "line " + std::to_string(i) + " </no\n";
  const std::string input = "x<body>" + body + "</body>y<body>" + body;
  const std::string expected = body + "\n" + body + "\n";
  EXPECT_EQ(ExtractThroughDescriptors("<body>", "</body>", input), expected);
  EXPECT_EQ(ExtractInBlocks("<body>", "</body>", input, [] { return std::size_t{65521}; }),
            expected);
}

}  // namespace
}  // namespace tagcut
