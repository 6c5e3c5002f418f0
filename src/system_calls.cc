#include "system_calls.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tagcut {

bool WaitFor(int fd, short events) {
  pollfd poll_entry{fd, events, 0};
  for (;;) {
    const int ready = poll(&poll_entry, 1, -1);
    if (ready >= 0) return true;
    if (errno != EINTR) return false;
  }
}

bool ReadableNow(int fd) {
  int available = 0;
  return ioctl(fd, FIONREAD, &available) == 0 && available > 0;
}

ssize_t ReadSome(int fd, std::span<unsigned char> buffer) {
  for (;;) {
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd, POLLIN)) continue;
    return -errno;
  }
}

ssize_t ReadAt(int fd, std::span<unsigned char> buffer, off_t offset) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t got =
        pread(fd, buffer.data() + done, buffer.size() - done, offset + static_cast<off_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

int WriteAll(int fd, std::span<const unsigned char> first, std::span<const unsigned char> second) {
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
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd, POLLOUT)) continue;
      return errno;
    }
    // Drop what was written, from `first` before `second`.
    const auto done = static_cast<std::size_t>(written);
    const std::size_t from_first = std::min(done, first.size());
    first = first.subspan(from_first);
    second = second.subspan(done - from_first);
  }
  return 0;
}

bool InputIsAlsoTheOutput(int input_fd, int output_fd) {
  struct stat input, output;
  if (fstat(input_fd, &input) != 0 || fstat(output_fd, &output) != 0) return false;
  if (!S_ISREG(input.st_mode) || input.st_dev != output.st_dev || input.st_ino != output.st_ino) {
    return false;
  }
  const off_t at = lseek(input_fd, 0, SEEK_CUR);
  return at >= 0 && at < input.st_size;
}

}  // namespace tagcut
