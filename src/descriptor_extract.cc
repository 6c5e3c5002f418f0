#include "descriptor_extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "read_block.h"
#include "scan_engine.h"
#include "system_calls.h"

namespace tagcut {
namespace {

// Large enough that a read or a write costs little per byte, small enough to
// stay in the second-level cache together with the output buffer (1 MiB
// reads measured no faster).
constexpr std::size_t kReadBlockSize = 256 * 1024;
constexpr std::size_t kWriteBufferSize = 256 * 1024;

// A pipe on standard input is asked to hold this much, so that a fast writer
// fills it between two reads and each read takes more; refused is fine.
constexpr int kPipeSize = 1024 * 1024;

class DescriptorSink final : public OutputSink {
 public:
  explicit DescriptorSink(int fd) : OutputSink(kWriteBufferSize), fd_(fd) {}
  int error() const { return error_; }

 protected:
  bool Write(std::span<const unsigned char> buffered,
             std::span<const unsigned char> direct) override {
    error_ = WriteAll(fd_, buffered, direct);
    return error_ == 0;
  }

 private:
  int fd_;
  int error_ = 0;
};

// Reads `input_fd` to its end in one thread, scanning every block; returns 0
// or the errno value of the failed read. With `reads_may_wait`, everything
// released goes out before a read that would wait. Allocates nothing.
int ExtractInOneThread(const ScanEngine& engine, ScanState& scan, int input_fd, bool reads_may_wait,
                       std::span<unsigned char> block, DescriptorSink& sink) {
  while (!sink.failed()) {
    if (reads_may_wait && !ReadableNow(input_fd) && !sink.Flush()) break;
    const ssize_t got = ReadSome(input_fd, block);
    if (got == 0) break;
    if (got < 0) return static_cast<int>(-got);
    engine.Feed(block.first(static_cast<std::size_t>(got)), scan, sink);
  }
  return 0;
}

}  // namespace

ExtractResult ExtractBetweenDescriptors(std::string start_tag, std::string end_tag, int input_fd,
                                        int output_fd, const ExtractOptions& options,
                                        const ResourceCheck& check) {
  // The tag tables are the one allocation the run cannot do without; if they
  // are refused, std::bad_alloc leaves here, before anything is read. Every
  // buffer the one-thread loop needs is taken now, smaller where refused,
  // so that whatever the threaded path gives up, carrying on needs nothing.
  const ScanEngine engine(std::move(start_tag), std::move(end_tag));
  ScanState scan;
  DescriptorSink sink(output_fd);
  const ReadBlock block(kReadBlockSize);
  ExtractResult result;
  // A read of a regular file never waits, so output goes out only when the
  // buffer fills and at the end; anything else may wait for its writer.
  struct stat input_status;
  const bool reads_never_wait =
      fstat(input_fd, &input_status) == 0 && S_ISREG(input_status.st_mode);
  if (reads_never_wait) {
    result.read_error = ExtractFileInParallel(engine, scan, input_fd, sink, options, check);
  } else {
    (void)fcntl(input_fd, F_SETPIPE_SZ, kPipeSize);
  }
  // The rest in one thread: all of a pipe or a small file, whatever the
  // threads left, and whatever a file gained while they read it.
  if (result.read_error == 0) {
    result.read_error =
        ExtractInOneThread(engine, scan, input_fd, !reads_never_wait, block.bytes(), sink);
  }
  if (!sink.failed()) {
    engine.Finish(scan, sink);
    sink.Flush();
  }
  result.write_error = sink.error();
  return result;
}

ExtractResult AutomatonExtract(std::string start_tag, std::string end_tag, int input_fd,
                               int output_fd, const ExtractOptions& options) {
  return ExtractBetweenDescriptors(std::move(start_tag), std::move(end_tag), input_fd, output_fd,
                                   options, {});
}

}  // namespace tagcut
