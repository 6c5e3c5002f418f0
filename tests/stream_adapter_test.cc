// The byte-stream adapters on their own: the output sink's buffering, and
// the stream overload where the input stream fails or is std::cin in its
// default mode.
#include "tagcut/extract.h"
#include "tagcut/output_sink.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "test_support.h"

namespace tagcut {
namespace {

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

}  // namespace
}  // namespace tagcut
