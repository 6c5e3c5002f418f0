#include "fd_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "parallel_extract.h"
#include "scan_engine.h"
#include "tagcut/extract.h"

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

// True when a read from `fd` will not wait: bytes are already there.
bool ReadableNow(int fd) {
  int available = 0;
  return ioctl(fd, FIONREAD, &available) == 0 && available > 0;
}

// Waits until `fd` is ready for `events`; false (with errno set) on error.
bool WaitFor(int fd, short events) {
  pollfd poll_entry{fd, events, 0};
  for (;;) {
    const int ready = poll(&poll_entry, 1, -1);
    if (ready >= 0) return true;
    if (errno != EINTR) return false;
  }
}

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

}  // namespace

ssize_t ReadSome(int fd, std::span<unsigned char> buffer) {
  for (;;) {
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (WaitFor(fd, POLLIN)) continue;
    }
    return -errno;
  }
}

int WriteAll(int fd, std::span<const unsigned char> first,
             std::span<const unsigned char> second) {
  while (!first.empty() || !second.empty()) {
    iovec parts[2];
    int count = 0;
    for (const auto part : {first, second}) {
      if (part.empty()) continue;
      parts[count].iov_base = const_cast<unsigned char*>(part.data());
      parts[count].iov_len = part.size();
      ++count;
    }
    const ssize_t written = writev(fd, parts, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd, POLLOUT)) {
        continue;
      }
      return errno;
    }
    // Drop what was written, from `first` before `second`.
    std::size_t done = static_cast<std::size_t>(written);
    const std::size_t from_first = std::min(done, first.size());
    first = first.subspan(from_first);
    second = second.subspan(done - from_first);
  }
  return 0;
}

ExtractResult AutomatonExtract(std::string start_tag, std::string end_tag,
                               int input_fd, int output_fd, const ExtractOptions& options) {
  const ScanEngine engine(std::move(start_tag), std::move(end_tag));
  ScanState scan;
  DescriptorSink sink(output_fd);
  ExtractResult result;
  // A read of a regular file never waits, so output goes out only when the
  // buffer fills and at the end; anything else may wait for its writer.
  struct stat input_status;
  const bool reads_never_wait = fstat(input_fd, &input_status) == 0 && S_ISREG(input_status.st_mode);
  if (reads_never_wait) {
    result.read_error = ExtractFileInParallel(engine, scan, input_fd, sink, options);
  } else {
    (void)fcntl(input_fd, F_SETPIPE_SZ, kPipeSize);
  }
  // The rest in one thread: all of a pipe or a small file, and whatever a
  // file gained while the workers read it.
  // Not zeroed: a small input touches only the pages it fills.
  std::unique_ptr<unsigned char[]> block(new unsigned char[kReadBlockSize]);
  while (result.read_error == 0 && !sink.failed()) {
    // Everything released so far goes out before a read that may wait.
    if (!reads_never_wait && !ReadableNow(input_fd) && !sink.Flush()) break;
    const ssize_t got = ReadSome(input_fd, {block.get(), kReadBlockSize});
    if (got == 0) break;
    if (got < 0) {
      result.read_error = static_cast<int>(-got);
      break;
    }
    engine.Feed({block.get(), static_cast<std::size_t>(got)}, scan, sink);
  }
  if (!sink.failed()) {
    engine.Finish(scan, sink);
    sink.Flush();
  }
  result.write_error = sink.error();
  return result;
}

}  // namespace tagcut
