// System-call helpers for the descriptor paths: EINTR is retried, EAGAIN on a
// non-blocking descriptor is waited out with poll(2), short reads and writes
// are completed where the caller wants all of them, and any other error is
// returned as its errno value. They know nothing of tags or automata.
#ifndef TAGCUT_SYSTEM_CALLS_H_
#define TAGCUT_SYSTEM_CALLS_H_

#include <sys/types.h>

#include <cstddef>
#include <span>

namespace tagcut {

// One read(2) of at most `buffer.size()` bytes: the count read (0 at end of
// input), or -errno.
ssize_t ReadSome(int fd, std::span<unsigned char> buffer);

// pread(2) until `buffer` is full or the file ends at `offset + count`: the
// count read, or -errno.
ssize_t ReadAt(int fd, std::span<unsigned char> buffer, off_t offset);

// Writes all of `first` and then all of `second`; 0, or the errno value of
// the write that failed.
int WriteAll(int fd, std::span<const unsigned char> first,
             std::span<const unsigned char> second = {});

// Waits until `fd` is ready for `events` (poll(2) flags); false, with errno
// set, on an error other than EINTR.
bool WaitFor(int fd, short events);

// True when a read from `fd` will not wait: bytes are already there.
bool ReadableNow(int fd);

// True when `input_fd` and `output_fd` are the same regular file and input
// remains to be read from it: every byte written would be read back.
bool InputIsAlsoTheOutput(int input_fd, int output_fd);

}  // namespace tagcut

#endif  // TAGCUT_SYSTEM_CALLS_H_
