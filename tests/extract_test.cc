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

#include "reference.h"
#include "test_support.h"

namespace tagcut {
namespace {

using testing::ExtractFileWith;
using testing::ExtractFromDescriptor;
using testing::ExtractInBlocks;

std::string ExtractThroughStreams(const std::string& start_tag,
                                  const std::string& end_tag,
                                  const std::string& input) {
  std::istringstream in(input);
  std::ostringstream out;
  AutomatonExtract(start_tag, end_tag, in, out);
  return out.str();
}

// The descriptor path reading a regular (in-memory) file, as the program does.
std::string ExtractThroughDescriptors(const std::string& start_tag,
                                      const std::string& end_tag,
                                      const std::string& input) {
  return ExtractFileWith(start_tag, end_tag, input, {});
}

struct Case {
  std::string start_tag, end_tag, input, output;
};

const Case kCases[] = {
    // The usage text's example: link targets, and nothing of the anchors.
    {"href=\"", "\"",
     "<a href=\"x.html\">first</a> <a href=\"y\">second</a>", "x.html\ny\n"},
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
    {"(", ")", "(a\xff" "b)", "a\xff" "b\n"},
    {"(", "\xff", "(ab\xff" "c", "ab\n"},
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
      EXPECT_EQ(ExtractInBlocks(c.start_tag, c.end_tag, c.input, [&] { return block; }),
                c.output)
          << "blocks of " << block;
    }
    // An unbuffered sink, and one too small for the smallest run.
    for (const std::size_t capacity : {0, 1}) {
      EXPECT_EQ(ExtractInBlocks(c.start_tag, c.end_tag, c.input, [] { return 3; }, capacity),
                c.output)
          << "sink capacity " << capacity;
    }
  }
}

// Capacity 0 means unbuffered: every byte reaches Write at once.
TEST(OutputSinkTest, ZeroCapacityWritesEachByteAtOnce) {
  testing::StringSink sink(0);
  sink.Put('a');
  EXPECT_EQ(sink.text, "a");
  sink.Append(testing::Bytes("bc").data(), 2);
  EXPECT_EQ(sink.text, "abc");
  EXPECT_TRUE(sink.Flush());
  EXPECT_EQ(sink.text, "abc");
}

// Serves `text`, then fails the way a stream buffer over a failing device
// does: by throwing from underflow.
class FailingBuffer final : public std::streambuf {
 public:
  explicit FailingBuffer(std::string text) : text_(std::move(text)) {
    setg(text_.data(), text_.data(), text_.data() + text_.size());
  }

 protected:
  int_type underflow() override { throw std::runtime_error("device failed"); }

 private:
  std::string text_;
};

// A failing input ends the input as its end would: the open portion is
// written and closed first, then the caller sees the failure.
TEST(ExtractTest, FailingInputStreamClosesTheOpenPortionFirst) {
  {
    std::istringstream in("x<ab</");
    in.exceptions(std::ios::eofbit);
    std::ostringstream out;
    EXPECT_THROW(AutomatonExtract("<", "</b>", in, out), std::ios_base::failure);
    EXPECT_EQ(out.str(), "ab</\n");
  }
  for (const bool wants_exceptions : {false, true}) {
    FailingBuffer buffer("x<ab</");
    std::istream in(&buffer);
    if (wants_exceptions) in.exceptions(std::ios::badbit);
    std::ostringstream out;
    if (wants_exceptions) {
      EXPECT_THROW(AutomatonExtract("<", "</b>", in, out), std::runtime_error);
    } else {
      AutomatonExtract("<", "</b>", in, out);
    }
    EXPECT_EQ(out.str(), "ab</\n");
    EXPECT_TRUE(in.bad());
  }
  std::ifstream directory("/");
  std::ostringstream out;
  AutomatonExtract("<", ">", directory, out);
  EXPECT_TRUE(directory.bad());
  EXPECT_EQ(out.str(), "");
}

// Count of write(2) calls this process has made, from /proc/self/io.
long WriteCallCount() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long value = -1;
  while (io >> key >> value) {
    if (key == "syscw:") return value;
  }
  return -1;
}

// std::cin and std::cout in their default mode, synchronised with C stdio,
// must not cost a write(2) per released byte: a child process runs the
// stream overload on them over 1 MB holding 100,000 portions.
TEST(ExtractTest, SynchronisedStandardStreamsWriteInBlocks) {
  if (WriteCallCount() < 0) GTEST_SKIP() << "no /proc/self/io";
  std::string input;
  while (input.size() < 1'000'000) input += "<a>xy</a>.";
  const int in = memfd_create("input", 0);
  ASSERT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  lseek(in, 0, SEEK_SET);
  const int out = memfd_create("output", 0);
  const pid_t child = fork();
  if (child == 0) {
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    const long before = WriteCallCount();
    AutomatonExtract("<a>", "</a>", std::cin, std::cout);
    const long writes = WriteCallCount() - before;
    _exit(writes < 2000 ? 0 : 1);  // byte by byte it would be about 300,000
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "too many writes";
  EXPECT_EQ(lseek(out, 0, SEEK_CUR), 300'000);
  close(in);
  close(out);
}

// Random tags over a tiny alphabet and inputs stitched from pieces of both
// tags, so overlaps, broken partial matches and tags cut by block edges are
// the rule. The block extractor must agree with the byte-at-a-time model.
TEST(ExtractTest, AgreesWithReferenceOnRandomInputsAndSplits) {
  std::mt19937 random(5);
  const auto random_tag = [&](std::size_t max_length) {
    std::string tag;
    const std::size_t length = random() % (max_length + 1);
    for (std::size_t i = 0; i < length; ++i) tag.push_back(static_cast<char>('a' + random() % 3));
    return tag;
  };
  for (int round = 0; round < 4000; ++round) {
    const std::string start_tag = random_tag(round % 10 == 0 ? 1 : 4);
    const std::string end_tag = random_tag(round % 10 == 1 ? 1 : 5);
    std::string input;
    const std::size_t size = random() % (round % 2 == 0 ? 200 : 700);
    while (input.size() < size) {
      switch (random() % 4) {
        case 0: input += start_tag.substr(0, random() % (start_tag.size() + 1)); break;
        case 1: input += end_tag.substr(0, random() % (end_tag.size() + 1)); break;
        case 2: input.push_back(static_cast<char>(random() % 2 ? 'a' + random() % 3 : random())); break;
        default: input += end_tag; break;
      }
    }
    const std::string expected = reference::Extract(start_tag, end_tag, input);
    // Small blocks cut tags everywhere; large ones reach the 64-byte chunk scans.
    const std::size_t max_block = round % 2 == 0 ? 9 : 300;
    ASSERT_EQ(ExtractInBlocks(start_tag, end_tag, input, [&] { return 1 + random() % max_block; },
                              /*sink_capacity=*/8),
              expected)
        << "start '" << start_tag << "' end '" << end_tag << "' input '" << input << "'";
    ASSERT_EQ(ExtractThroughStreams(start_tag, end_tag, input), expected);
  }
}

// The descriptor path reading from a pipe that a writer fills in random
// sizes, so reads return whatever arrived: any split the kernel may produce.
std::string ExtractThroughTricklingPipe(const std::string& start_tag,
                                        const std::string& end_tag,
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
    std::string input;
    while (input.size() < 120) {
      input += random() % 3 == 0 ? tags[random() % std::size(tags)]
                                 : std::string(1, static_cast<char>("ab<>[/]\n\xff\x80"[random() % 10]));
    }
    const std::string expected = ExtractInBlocks(start_tag, end_tag, input, [&] { return input.size(); });
    for (std::size_t block = 1; block <= 64; ++block) {
      ASSERT_EQ(ExtractInBlocks(start_tag, end_tag, input, [&] { return block; }), expected)
          << "blocks of " << block;
    }
    ASSERT_EQ(ExtractThroughStreams(start_tag, end_tag, input), expected);
    ASSERT_EQ(ExtractThroughTricklingPipe(start_tag, end_tag, input, random()), expected);
  }
}

// Near-miss copies of both tags between real portions, in blocks large enough
// for the one-pass scan of both tags and its re-picking of probes.
TEST(ExtractTest, NearMissesInLargeBlocks) {
  std::mt19937 random(21);
  for (const auto& [start_tag, end_tag] : {std::pair<std::string, std::string>{"href=\"", "\""},
                                           {"<td class=", "</td>"},
                                           {"the ", " "}}) {
    std::string input;
    while (input.size() < 200000) {
      for (const std::string* tag : {&start_tag, &end_tag}) {
        std::string copy = *tag;
        copy[random() % copy.size()] ^= static_cast<char>(1 + random() % 8);
        input += copy;
      }
      input += random() % 8 == 0 ? start_tag + "portion " + std::to_string(random() % 100) + end_tag
                                 : std::string(random() % 12, 'x');
    }
    const std::string expected = reference::Extract(start_tag, end_tag, input);
    for (const std::size_t block : {std::size_t{4096}, std::size_t{65536}, input.size()}) {
      EXPECT_EQ(ExtractInBlocks(start_tag, end_tag, input, [&] { return block; }), expected)
          << start_tag << " in blocks of " << block;
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
