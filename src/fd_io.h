// Whole-operation wrappers around read(2) and write(2) for the command line's
// file-descriptor path: EINTR is retried, EAGAIN on a non-blocking descriptor
// is waited out with poll(2), short writes are completed, and any other error
// is returned as its errno value. They know nothing of tags or automata.
#ifndef TAGCUT_FD_IO_H_
#define TAGCUT_FD_IO_H_

#include <cstddef>
#include <span>
#include <sys/types.h>

namespace tagcut {

// One read(2) of at most `buffer.size()` bytes: the count read (0 at end of
// input), or -errno.
ssize_t ReadSome(int fd, std::span<unsigned char> buffer);

// Writes all of `first` and then all of `second`; 0, or the errno value of
// the write that failed.
int WriteAll(int fd, std::span<const unsigned char> first,
             std::span<const unsigned char> second = {});

}  // namespace tagcut

#endif  // TAGCUT_FD_IO_H_
