// The binary under faults and load: a reader that goes away, descriptors that
// are closed or non-blocking, input that trickles in, endless streams, and
// the longest tags a command line can carry, limits that refuse threads or
// memory.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "process.h"
#include "test_support.h"

namespace tagcut::testing {
namespace {

#if defined(TAGCUT_SANITIZED) || defined(TAGCUT_EMULATOR)
// The sanitizers' shadow memory, or the emulator's own, dwarfs ours.
constexpr bool kMeasuresMemory = false;
#else
constexpr bool kMeasuresMemory = true;
#endif

// With SIGPIPE ignored, a vanished reader is a write error: the tool stops at
// once instead of reading the rest of an endless input.
TEST(FaultTest, ReaderGoneWithSigpipeIgnoredStops) {
  Child child = SpawnTagcut({"tagcut", "<a>", "</a>"}, {.ignore_sigpipe = true});
  close(child.out);
  child.out = -1;
  const std::string chunk = "<a>portion</a>";
  const std::size_t times = 64 * 1024 * 1024 / chunk.size();
  const std::size_t written = WriteRepeatedly(child.in, chunk, times);
  child.in = -1;
  const Outcome outcome = Finish(child);
  EXPECT_TRUE(ExitedWith(outcome, 2));
  EXPECT_EQ(outcome.err, "tagcut: write error: Broken pipe\n");
  EXPECT_LT(written, chunk.size() * times) << "kept reading after the reader left";
}

// With the default disposition, the tool simply ends, like `yes | ... | head`.
TEST(FaultTest, ReaderGoneWithDefaultSigpipeEnds) {
  Child child = SpawnTagcut({"tagcut", "<a>", "</a>"});
  std::thread writer([in = child.in] { WriteRepeatedly(in, "<a>y</a>", 1u << 30); });
  child.in = -1;
  EXPECT_EQ(ReadFor(child.out, 10, 10000), "y\ny\ny\ny\ny\n");
  close(child.out);
  child.out = -1;
  const Outcome outcome = Finish(child);
  writer.join();
  ASSERT_TRUE(WIFSIGNALED(outcome.status));
  EXPECT_EQ(WTERMSIG(outcome.status), SIGPIPE);
}

TEST(FaultTest, ClosedDescriptorsAreErrors) {
  Outcome outcome = RunTagcut({"tagcut", "<a>", "</a>"}, "", {.stdin_fd = kClosed});
  EXPECT_TRUE(ExitedWith(outcome, 2));
  EXPECT_EQ(outcome.err, "tagcut: read error: Bad file descriptor\n");

  outcome = RunTagcut({"tagcut", "<a>", "</a>"}, "<a>x</a>", {.stdout_fd = kClosed});
  EXPECT_TRUE(ExitedWith(outcome, 2));
  EXPECT_EQ(outcome.err, "tagcut: write error: Bad file descriptor\n");
}

// Input that arrives a byte at a time on a non-blocking descriptor: EAGAIN
// is waited out, and each portion is delivered as soon as its end tag is in.
TEST(FaultTest, NonBlockingInputTricklingIn) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
  Child child = SpawnTagcut({"tagcut", "[", "]"}, {.stdin_fd = ends[0]});
  close(ends[0]);
  for (const std::string portion : {"first", "", "third\nline"}) {
    for (const char byte : "x[" + portion + "]y") {
      ASSERT_EQ(write(ends[1], &byte, 1), 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(ReadFor(child.out, portion.size() + 1, 10000), portion + "\n");
  }
  ASSERT_EQ(write(ends[1], "[open", 5), 5);
  close(ends[1]);
  const Outcome outcome = Finish(child);
  EXPECT_TRUE(ExitedWith(outcome, 0));
  EXPECT_EQ(outcome.out, "open\n");
}

// 1.5 GiB through a pipe while searching and while copying: memory must not
// follow the input, and every byte of the copied portion must arrive.
TEST(FaultTest, EndlessStreamsKeepMemoryFlat) {
  const std::string chunk = [] {
    std::string text;
    for (int i = 0; text.size() < (1u << 20); ++i) text += "line " + std::to_string(i) + " </b\n";
    return text.substr(0, 1u << 20);
  }();
  const std::size_t times = 1536;
  for (const bool copying : {false, true}) {
    SCOPED_TRACE(copying ? "copying" : "searching");
    Child child = SpawnTagcut({"tagcut", "<b>", "</b>"});
    std::thread writer([in = child.in, &chunk, copying] {
      if (copying) WriteRepeatedly(dup(in), "<b>", 1);
      WriteRepeatedly(in, chunk, times);
    });
    child.in = -1;
    std::size_t received = 0;
    char last = 0;
    char buffer[1 << 16];
    for (ssize_t got; (got = read(child.out, buffer, sizeof buffer)) != 0;) {
      if (got < 0) {
        if (errno == EINTR) continue;
        break;
      }
      received += static_cast<std::size_t>(got);
      last = buffer[got - 1];
    }
    close(child.out);
    child.out = -1;
    writer.join();
    const Outcome outcome = Finish(child);
    EXPECT_TRUE(ExitedWith(outcome, 0));
    EXPECT_EQ(received, copying ? chunk.size() * times + 1 : 0);
    if (copying) {
      EXPECT_EQ(last, '\n');
    }
    if (kMeasuresMemory) {
      EXPECT_LT(outcome.peak_rss_kib, 16 * 1024);
    }
  }
}

// The longest argument Linux passes is 131071 bytes: two such tags, one of
// them as periodic as a tag can be, build and scan correctly in little memory.
TEST(FaultTest, LongestTags) {
  const std::string start_tag = std::string(131070, 'a') + 'b';
  std::string end_tag;
  unsigned state = 1;
  while (end_tag.size() < 131071) {
    state = state * 1103515245u + 12345u;
    end_tag.push_back(static_cast<char>('!' + (state >> 16) % 90));
  }
  const std::string payload =
      "payload " + end_tag.substr(0, 1000) + " middle " + end_tag.substr(0, 131070) + " end";
  const std::string input = std::string(200000, 'a') + start_tag + payload + end_tag + "tail";
  const Outcome outcome = RunTagcut({"tagcut", start_tag, end_tag}, input);
  EXPECT_TRUE(ExitedWith(outcome, 0));
  EXPECT_TRUE(outcome.out == payload + "\n") << outcome.out.size() << " bytes out";
  if (kMeasuresMemory) {
    EXPECT_LT(outcome.peak_rss_kib, 128 * 1024);
  }
}

// A copy of the binary that the unprivileged user can run, wherever the
// build tree is; removed with the object.
class ReachableBinary {
 public:
  ReachableBinary() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tagcut-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    directory_ = pattern;
    std::filesystem::permissions(directory_, std::filesystem::perms::owner_all |
                                                 std::filesystem::perms::group_exec |
                                                 std::filesystem::perms::others_exec);
    std::filesystem::copy_file(TAGCUT_BINARY, directory_ / "tagcut");
  }
  ~ReachableBinary() {
    if (!directory_.empty()) std::filesystem::remove_all(directory_);
  }
  std::string path() const { return (directory_ / "tagcut").string(); }

 private:
  std::filesystem::path directory_;
};

// Links and text, `size` bytes of it.
std::string LinkPage(std::size_t size) {
  std::string page;
  for (int i = 0; page.size() < size; ++i) {
    page += "<a href=\"" + std::to_string(i) + ".html\">link</a> and some text\n";
  }
  return page;
}

// A file large enough for threads run as a user allowed no thread: the
// one-thread output, and the status 0.
TEST(FaultTest, NoThreadAllowedLosesNoOutput) {
  if (!kMeasuresMemory) GTEST_SKIP() << "the emulator's own threads would count against the limit";
  const std::string input = LinkPage(20u << 20);
  const int file = MemoryFile(input);
  const ReachableBinary binary;
  const Outcome outcome =
      RunTagcut({"tagcut", "href=\"", "\""}, "",
                {.stdin_fd = file, .unprivileged_alone = true, .binary = binary.path()});
  close(file);
  if (ExitedWith(outcome, kCouldNotApplyLimits) || ExitedWith(outcome, kCouldNotExecute)) {
    GTEST_SKIP() << "not run as nobody: needs root and a binary nobody may run";
  }
  EXPECT_TRUE(ExitedWith(outcome, 0)) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  EXPECT_TRUE(outcome.out == ExtractInBlocks("href=\"", "\"", input, [] { return 65536; }));
}

// Runs the binary on `input`, from a file (`file`, rewound first) or, with
// `file` negative, through a pipe.
Outcome RunOn(const std::string& input, int file, SpawnOptions options) {
  if (file >= 0) lseek(file, 0, SEEK_SET);
  options.stdin_fd = file >= 0 ? file : kPipe;
  return RunTagcut({"tagcut", "href=\"", "\""}, file >= 0 ? "" : input, options);
}

// A run under refused memory either completes as if nothing had been
// refused, or (the tag tables refused) says so and exits 2 before reading or
// writing anything. True for the second.
bool CompletedOrRefusedCleanly(const Outcome& outcome, const std::string& expected, int file) {
  if (ExitedWith(outcome, 0) && outcome.err.empty() && outcome.out == expected) return false;
  EXPECT_TRUE(ExitedWith(outcome, 2)) << "status " << outcome.status << ": " << outcome.err;
  EXPECT_EQ(outcome.err, "tagcut: out of memory\n");
  EXPECT_EQ(outcome.out.size(), 0u);
  if (file >= 0) {
    EXPECT_EQ(lseek(file, 0, SEEK_CUR), 0) << "read the input before giving up";
  }
  return true;
}

#if defined(TAGCUT_SANITIZED) || defined(TAGCUT_EMULATOR)
constexpr bool kCanPreload = false;  // the sanitizers' allocator, or the emulator, comes first
#else
constexpr bool kCanPreload = true;
#endif

// Every heap allocation the binary makes, refused in turn (that one alone,
// then every one from there on), on a file large enough for threads, the
// same bytes through a pipe, and a small file.
TEST(FaultTest, EveryRefusedAllocationLosesNoOutput) {
  if (!kCanPreload) GTEST_SKIP() << "the refusing allocator cannot be preloaded here";
  const std::string large = LinkPage(20u << 20);
  const std::string small = large.substr(0, 100000);
  const int count_file = MemoryFile("");
  const std::string shim = "LD_PRELOAD=" TAGCUT_REFUSAL_SHIM;
  struct Case {
    const char* what;
    const std::string& input;
    bool through_pipe;
  };
  for (const Case& run : {Case{"large file", large, false}, Case{"large pipe", large, true},
                          Case{"small file", small, false}}) {
    const std::string expected = ExtractInBlocks("href=\"", "\"", run.input, [] { return 65536; });
    const int file = run.through_pipe ? -1 : MemoryFile(run.input);
    const Outcome counted = RunOn(run.input, file,
                                  {.environment = {shim, "TAGCUT_COUNT_ALLOCATIONS=/proc/self/fd/" +
                                                             std::to_string(count_file)}});
    ASSERT_FALSE(CompletedOrRefusedCleanly(counted, expected, file)) << run.what;
    const std::size_t allocations = std::stoul(FileContents(count_file));
    std::size_t refused_at_start = 0;
    for (std::size_t ordinal = 1; ordinal <= allocations + 1; ++ordinal) {
      for (const char* onward : {"0", "1"}) {
        SCOPED_TRACE(std::string(run.what) + ", allocation " + std::to_string(ordinal) +
                     (*onward == '1' ? " and every later one" : " alone") + " refused");
        const Outcome outcome =
            RunOn(run.input, file,
                  {.environment = {shim, "TAGCUT_REFUSE_ALLOCATION=" + std::to_string(ordinal),
                                   std::string("TAGCUT_REFUSE_ONWARD=") + onward}});
        refused_at_start += CompletedOrRefusedCleanly(outcome, expected, file);
        if (HasFailure()) return;
      }
    }
    std::cout << run.what << ": " << allocations << " allocations, " << 2 * (allocations + 1)
              << " runs, " << refused_at_start << " refused before the first read\n";
    if (file >= 0) close(file);
  }
  close(count_file);
}

// Any address-space limit from the least one thread runs in up to 40 MB, in
// steps of 256 KiB, on a file large enough for threads: whatever the threads
// and their buffers cannot have, the output is the one-thread output and the
// status 0. Below the least, it never aborts.
TEST(FaultTest, AnyAddressSpaceOneThreadRunsInLosesNoOutput) {
  if (!kMeasuresMemory) GTEST_SKIP() << "sanitizers and emulators need more than the limits allow";
  constexpr rlim_t kStep = 256 << 10;
  constexpr rlim_t kMost = 40'000'000;
  const std::string large = LinkPage(20u << 20);
  const std::string small = large.substr(0, 100000);
  const int small_file = MemoryFile(small);
  const std::string small_expected = ExtractInBlocks("href=\"", "\"", small, [] { return 65536; });
  rlim_t least = 1 << 20;
  for (; least <= kMost; least += kStep) {
    const Outcome outcome = RunOn(small, small_file, {.address_space_limit = least});
    if (ExitedWith(outcome, 0) && outcome.out == small_expected) break;
  }
  // Below that, page by page over the last step: the program cannot start
  // (the loader fails, or the kernel ends the exec with SIGSEGV), or it
  // starts without room for a heap and says so; it never aborts.
  for (rlim_t limit = least - kStep; limit < least; limit += 4096) {  // least >= 1 MiB
    const Outcome outcome = RunOn(small, small_file, {.address_space_limit = limit});
    EXPECT_FALSE(WIFSIGNALED(outcome.status) && WTERMSIG(outcome.status) == SIGABRT)
        << limit << " bytes: " << outcome.err;
  }
  close(small_file);
  ASSERT_LE(least, kMost) << "one thread does not run in " << kMost << " bytes";
  const int file = MemoryFile(large);
  const std::string expected = ExtractInBlocks("href=\"", "\"", large, [] { return 65536; });
  for (rlim_t limit = least; limit <= kMost && !HasFailure(); limit += kStep) {
    const Outcome outcome = RunOn(large, file, {.address_space_limit = limit});
    EXPECT_TRUE(ExitedWith(outcome, 0))
        << limit << " bytes: status " << outcome.status << ", " << outcome.err;
    EXPECT_TRUE(outcome.out == expected)
        << limit << " bytes: " << outcome.out.size() << " bytes out";
  }
  close(file);
}

}  // namespace
}  // namespace tagcut::testing
