// The byte-stream adapters on their own: the output sink's buffering, the
// system-call helpers under short and interrupted calls, and the stream
// overload where the input stream waits, fails or is std::cin in its
// default mode; and each library entry under refused memory.
#include "tagcut/extract.h"
#include "tagcut/output_sink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <new>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "allocation_refusal.h"
#include "tagcut/portions.h"
#include "system_calls.h"
#include "test_support.h"

namespace tagcut {
namespace {

// Capacity 0 means unbuffered: every byte reaches Write at once.
TEST(OutputSinkTest, ZeroCapacityWritesEachByteAtOnce) {
  std::string text;
  StringSink sink(text, 0);
  sink.Put('a');
  EXPECT_EQ(text, "a");
  sink.Append(testing::Bytes("bc").data(), 2);
  EXPECT_EQ(text, "abc");
  EXPECT_TRUE(sink.Flush());
  EXPECT_EQ(text, "abc");
}

// A sink's first failed write is its last: nothing after it reaches Write,
// so a transient error cannot leave a hole in output that goes on.
TEST(OutputSinkTest, NothingIsWrittenAfterAFailedWrite) {
  struct FailingOnce final : OutputSink {
    FailingOnce() : OutputSink(64) {}
    int calls = 0;
    bool Write(std::span<const unsigned char>, std::span<const unsigned char>) override {
      return ++calls > 1;
    }
  } sink;
  const std::string run(100, 'x');
  for (int i = 0; i < 4; ++i) sink.Append(testing::Bytes(run).data(), run.size());
  sink.Put('y');
  EXPECT_FALSE(sink.Flush());
  EXPECT_EQ(sink.calls, 1);
}

// Redirect hands what is already buffered to the old vector, not the new one.
TEST(OutputSinkTest, RedirectKeepsBufferedBytesWhereTheyWereWritten) {
  std::vector<unsigned char> first, second;
  ByteVectorSink sink(first);
  sink.Append(testing::Bytes("first").data(), 5);
  sink.Redirect(second);
  sink.Append(testing::Bytes("second").data(), 6);
  sink.Flush();
  EXPECT_EQ(std::string(first.begin(), first.end()), "first");
  EXPECT_EQ(std::string(second.begin(), second.end()), "second");
}

// Short portions of every length (0 to 32) one after another, into sinks
// whose buffers fill at every offset: the short-portion copy (32 bytes, then
// the line feed) must stay inside the buffer (the sanitizer build checks the
// bounds) and keep every byte in order.
TEST(OutputSinkTest, ShortPortionsAtEveryFill) {
  std::string input, expected;
  for (int round = 0; round < 40; ++round) {
    for (std::size_t length = 0; length <= 32; ++length) {
      const std::string portion(length, static_cast<char>('a' + (round + length) % 26));
      input += "<" + portion + ">";
      expected += portion + "\n";
    }
  }
  for (const std::size_t capacity : {33, 34, 40, 64, 65, 100}) {
    ASSERT_EQ(testing::ExtractInBlocks(
                  "<", ">", input, [] { return 1u << 20; }, capacity),
              expected)
        << "capacity " << capacity;
  }
}

// A pipe whose reader takes a few bytes at a time, its write end
// non-blocking: writes come back short or with EAGAIN, and all of both
// parts must still arrive, in order.
TEST(SystemCallsTest, ShortWritesAreCompleted) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  (void)fcntl(ends[1], F_SETPIPE_SZ, 4096);
  ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
  std::string first(300000, '\0'), second(100000, '\0');
  for (std::size_t i = 0; i < first.size(); ++i) first[i] = static_cast<char>('a' + i % 23);
  for (std::size_t i = 0; i < second.size(); ++i) second[i] = static_cast<char>('A' + i % 19);
  std::string received;
  std::thread reader([&] {
    char buffer[1500];
    for (ssize_t got; (got = read(ends[0], buffer, sizeof buffer)) != 0;) {
      if (got > 0) received.append(buffer, static_cast<std::size_t>(got));
    }
  });
  EXPECT_EQ(WriteAll(ends[1], testing::Bytes(first), testing::Bytes(second)), 0);
  close(ends[1]);
  reader.join();
  close(ends[0]);
  EXPECT_TRUE(received == first + second) << received.size() << " bytes arrived";
}

// A positioned read that reaches a file's end comes back short with exactly
// the bytes there: a file that shrank under the threads ends the read.
TEST(SystemCallsTest, PositionedReadStopsAtTheFileEnd) {
  std::string text(5000, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  const int fd = testing::MemoryFile(text);
  std::vector<unsigned char> buffer(8192, '#');
  EXPECT_EQ(ReadAt(fd, buffer, 1000), 4000);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 4000), text.substr(1000));
  EXPECT_EQ(buffer[4000], '#');
  close(fd);
}

// A read that a signal interrupts (a handler installed without SA_RESTART)
// is retried, not reported: a blocking read, and the poll(2) that waits on a
// non-blocking descriptor's EAGAIN.
class InterruptedReadTest : public ::testing::TestWithParam<bool> {};

TEST_P(InterruptedReadTest, IsRetried) {
  const bool non_blocking = GetParam();
  struct sigaction action {
  }, before{};
  action.sa_handler = [](int) {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &before), 0);
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC | (non_blocking ? O_NONBLOCK : 0)), 0);
  std::atomic<ssize_t> got{-1000};
  unsigned char byte = 0;
  std::thread reader([&] { got = ReadSome(ends[0], {&byte, 1}); });
  for (int i = 0; i < 20; ++i) {
    pthread_kill(reader.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(write(ends[1], "x", 1), 1);
  reader.join();
  sigaction(SIGUSR1, &before, nullptr);
  close(ends[0]);
  close(ends[1]);
  EXPECT_EQ(got, 1);
  EXPECT_EQ(byte, 'x');
}
INSTANTIATE_TEST_SUITE_P(SystemCallsTest, InterruptedReadTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "NonBlocking" : "Blocking"; });

// Offers `first`, then, when the reader would have to wait for more, notes
// what the output held at that moment and offers `second`.
class WaitingBuffer final : public std::streambuf {
 public:
  WaitingBuffer(std::string first, std::string second, const std::string& out)
      : first_(std::move(first)), second_(std::move(second)), out_(out) {}
  std::string delivered_before_wait;

 protected:
  int_type underflow() override {
    if (serving_ == 0) {
      setg(first_.data(), first_.data(), first_.data() + first_.size());
    } else if (serving_ == 1) {
      delivered_before_wait = out_;
      setg(second_.data(), second_.data(), second_.data() + second_.size());
    } else {
      return traits_type::eof();
    }
    ++serving_;
    return traits_type::to_int_type(*gptr());
  }

 private:
  std::string first_, second_;
  const std::string& out_;
  int serving_ = 0;
};

// An output stream buffer that holds what is written until it is flushed,
// as a file's or a socket's does.
class HoldingBuffer final : public std::streambuf {
 public:
  HoldingBuffer() { setp(held_, held_ + sizeof held_); }
  std::string delivered;

 protected:
  int sync() override {
    delivered.append(pbase(), pptr());
    setp(held_, held_ + sizeof held_);
    return 0;
  }
  int_type overflow(int_type byte) override {
    sync();
    if (!traits_type::eq_int_type(byte, traits_type::eof())) sputc(traits_type::to_char_type(byte));
    return traits_type::not_eof(byte);
  }

 private:
  char held_[256];
};

// Everything released has been delivered by the output stream, flushed,
// before a read that may wait.
TEST(StreamAdapterTest, ReleasedBytesReachTheOutputBeforeAWait) {
  HoldingBuffer held;
  std::ostream out(&held);
  WaitingBuffer buffer("<a>first</a> <a>open ", "part</a>", held.delivered);
  std::istream in(&buffer);
  AutomatonExtract("<a>", "</a>", in, out);
  EXPECT_EQ(buffer.delivered_before_wait, "first\nopen ");
  EXPECT_EQ(held.delivered, "first\nopen part\n");
}

// An input stream buffer with no get area: it never reports a byte ready,
// and hands them over one call at a time.
class UnbufferedInput final : public std::streambuf {
 public:
  explicit UnbufferedInput(std::string text) : text_(std::move(text)) {}

 protected:
  int_type underflow() override {
    return at_ < text_.size() ? traits_type::to_int_type(text_[at_]) : traits_type::eof();
  }
  int_type uflow() override {
    return at_ < text_.size() ? traits_type::to_int_type(text_[at_++]) : traits_type::eof();
  }

 private:
  std::string text_;
  std::size_t at_ = 0;
};

// A stream that never reports bytes ready is still read to its end.
TEST(StreamAdapterTest, UnbufferedInputIsReadToItsEnd) {
  UnbufferedInput buffer("<a>one</a> <a>two</a> <a>three");
  std::istream in(&buffer);
  std::ostringstream out;
  AutomatonExtract("<a>", "</a>", in, out);
  EXPECT_EQ(out.str(), "one\ntwo\nthree\n");
  EXPECT_TRUE(in.eof());
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
TEST(StreamAdapterTest, FailingInputClosesTheOpenPortionFirst) {
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
TEST(StreamAdapterTest, SynchronisedStandardStreamsWriteInBlocks) {
  if (WriteCallCount() < 0) GTEST_SKIP() << "no /proc/self/io";
  std::string input;
  while (input.size() < 1'000'000) input += "<a>xy</a>.";
  const int in = testing::MemoryFile(input);
  const int out = testing::MemoryFile("");
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

// An output stream buffer over a fixed array, so that writing allocates
// nothing.
class FixedOutput final : public std::streambuf {
 public:
  FixedOutput() { setp(bytes_.data(), bytes_.data() + bytes_.size()); }
  std::string text() const { return {pbase(), pptr()}; }

 private:
  std::array<char, 1 << 16> bytes_;
};

// What one library call under refused memory came to.
struct Attempt {
  std::size_t allocations = 0;
  bool threw_bad_alloc = false;
  std::string output;
  bool input_untouched = true;  // nothing was read
};

// Runs `call` with the `ordinal`-th allocation (and, with `onward`, every
// later one) refused, then `settle(attempt)` to note what it came to.
template <class Call, class Settle>
Attempt Refusing(std::size_t ordinal, bool onward, Call&& call, Settle&& settle) {
  Attempt attempt;
  try {
    const testing::RefusedAllocations refused(ordinal, onward);
    call();
    attempt.allocations = refused.made();
  } catch (const std::bad_alloc&) {
    attempt.threw_bad_alloc = true;
  }
  settle(attempt);
  return attempt;
}

// Every allocation a library entry makes, refused in turn (alone, then from
// there on): the call gives the output it gives with memory to spare, or
// std::bad_alloc reaches the caller before anything is read or written
// (except ExtractPortions, whose result itself may be refused). Never an
// abort; the sanitizer build checks that nothing leaks.
TEST(RefusedMemoryTest, EachLibraryEntryThrowsBeforeReadingOrLosesNothing) {
  std::string input;
  for (int i = 0; input.size() < 20000; ++i)
    input += "<a href=\"" + std::to_string(i) + "\">x</a>\n";
  // A crowd of false candidates, which re-picks the probes in mid-scan.
  for (int i = 0; i < 2000; ++i) input += "<a f=\"1\">";
  const std::string expected =
      testing::ExtractInBlocks("href=\"", "\"", input, [] { return 4096; });
  const auto bytes_of = [](const std::vector<std::string>& portions) {
    std::string text;
    for (const std::string& portion : portions) text += portion + "\n";
    return text;
  };
  using Run = std::function<Attempt(std::size_t ordinal, bool onward)>;
  struct Entry {
    const char* name;
    bool refused_only_before_reading;
    Run run;
  };
  const ExtractOptions threads{.threads = 2, .chunk_size = 700, .parallel_threshold = 1};
  const Entry entries[] = {
      {"the stream overload", true,
       [&](std::size_t ordinal, bool onward) {
         std::istringstream in(input);
         FixedOutput buffer;
         std::ostream out(&buffer);
         return Refusing(
             ordinal, onward, [&] { AutomatonExtract("href=\"", "\"", in, out); },
             [&](Attempt& attempt) {
               attempt.output = buffer.text();
               attempt.input_untouched = in.good() && in.tellg() == 0;
             });
       }},
      {"the descriptor overload with threads", true,
       [&](std::size_t ordinal, bool onward) {
         const int in = testing::MemoryFile(input);
         const int out = testing::MemoryFile("");
         bool ok = true;
         return Refusing(
             ordinal, onward,
             [&] { ok = AutomatonExtract("href=\"", "\"", in, out, threads).ok(); },
             [&](Attempt& attempt) {
               attempt.output = ok ? testing::FileContents(out) : "an error reported";
               attempt.input_untouched = lseek(in, 0, SEEK_CUR) == 0;
               close(in);
               close(out);
             });
       }},
      {"ForEachPortion", true,
       [&](std::size_t ordinal, bool onward) {
         std::istringstream in(input);
         std::string pieces;
         pieces.reserve(2 * input.size());
         const auto collect = [&](std::string_view piece, PortionEnd end) {
           pieces.append(piece);
           if (end != PortionEnd::kContinues) pieces += '\n';
         };
         return Refusing(
             ordinal, onward, [&] { ForEachPortion("href=\"", "\"", in, collect); },
             [&](Attempt& attempt) {
               attempt.output = pieces;
               attempt.input_untouched = in.good() && in.tellg() == 0;
             });
       }},
      {"ExtractPortions", false,
       [&](std::size_t ordinal, bool onward) {
         std::vector<std::string> portions;
         return Refusing(
             ordinal, onward, [&] { portions = ExtractPortions("href=\"", "\"", input); },
             [&](Attempt& attempt) { attempt.output = bytes_of(portions); });
       }},
  };
  for (const Entry& entry : entries) {
    const Attempt unrefused = entry.run(0, false);
    ASSERT_EQ(unrefused.output, expected) << entry.name;
    for (std::size_t ordinal = 1; ordinal <= unrefused.allocations + 1; ++ordinal) {
      for (const bool onward : {false, true}) {
        const Attempt attempt = entry.run(ordinal, onward);
        SCOPED_TRACE(std::string(entry.name) + ", allocation " + std::to_string(ordinal) +
                     (onward ? " and every later one" : " alone") + " refused");
        if (!attempt.threw_bad_alloc) {
          ASSERT_EQ(attempt.output, expected);
        } else if (entry.refused_only_before_reading) {
          ASSERT_EQ(attempt.output, "");
          ASSERT_TRUE(attempt.input_untouched);
        }
      }
    }
  }
}

}  // namespace
}  // namespace tagcut
