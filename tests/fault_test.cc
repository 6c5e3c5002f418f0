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
  const std::string payload = "payload " + end_tag.substr(0, 1000) + " middle " +
                              end_tag.substr(0, 131070) + " end";
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

// A file large enough for threads, under limits that refuse them or their
// memory: the output is still the one-thread output, and the status 0.
TEST(FaultTest, RefusedThreadsAndMemoryLoseNoOutput) {
  if (!kMeasuresMemory) GTEST_SKIP() << "sanitizers and emulators need more than the limits allow";
  std::string input;
  for (int i = 0; input.size() < (20u << 20); ++i) {
    input += "<a href=\"" + std::to_string(i) + ".html\">link</a> and some text\n";
  }
  const std::string expected = ExtractInBlocks("href=\"", "\"", input, [] { return 65536; });
  const int file = MemoryFile(input);
  const ReachableBinary binary;
  struct Limit {
    const char* what;
    SpawnOptions options;
  };
  const Limit limits[] = {
      {"8 MB of address space", {.address_space_limit = 8'000'000}},
      {"16 MB of address space", {.address_space_limit = 16'000'000}},
      {"no thread, as nobody", {.unprivileged_alone = true, .binary = binary.path()}},
  };
  for (Limit limit : limits) {
    lseek(file, 0, SEEK_SET);
    limit.options.stdin_fd = file;
    const Outcome outcome = RunTagcut({"tagcut", "href=\"", "\""}, "", limit.options);
    if (limit.options.unprivileged_alone && (ExitedWith(outcome, kCouldNotDropPrivileges) ||
                                             ExitedWith(outcome, kCouldNotExecute))) {
      std::cout << "not run as nobody: needs root and a binary nobody may run\n";
      continue;
    }
    EXPECT_TRUE(ExitedWith(outcome, 0)) << limit.what << ": " << outcome.err;
    EXPECT_EQ(outcome.err, "") << limit.what;
    EXPECT_TRUE(outcome.out == expected) << limit.what << ": " << outcome.out.size() << " bytes out";
  }
  close(file);
}

}  // namespace
}  // namespace tagcut::testing
