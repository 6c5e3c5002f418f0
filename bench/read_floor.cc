// The read floor: standard input, a regular file, read to its end with
// pread(2) in 64 KiB pieces on as many threads as asked, the bytes dropped.
// No tool that reads the whole file can take less time than this; tagcut
// reads the same way (1 MiB chunks claimed in turn, 64 KiB pieces).
//
//   c++ -O2 -pthread bench/read_floor.cc -o read_floor
//   read_floor THREADS < file
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kPiece = 64 << 10;

// Reads chunks in turn until none is left; false on a read error.
bool ReadChunks(int fd, off_t size, std::atomic<off_t>& next) {
  auto* piece = new (std::align_val_t{4096}) unsigned char[kPiece];
  bool ok = true;
  for (off_t chunk; ok && (chunk = next.fetch_add(kChunk)) < size;) {
    const off_t end = chunk + static_cast<off_t>(kChunk) < size ? chunk + kChunk : size;
    for (off_t at = chunk; at < end;) {
      const auto left = static_cast<std::size_t>(end - at);
      const ssize_t got = pread(fd, piece, left < kPiece ? left : kPiece, at);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ok = got == 0;
        break;
      }
      at += got;
    }
  }
  ::operator delete[](piece, std::align_val_t{4096});
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 1;
  struct stat status;
  if (threads < 1 || fstat(STDIN_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) {
    std::fprintf(stderr, "usage: read_floor THREADS < regular-file\n");
    return 2;
  }
  std::atomic<off_t> next{0};
  std::atomic<bool> ok{true};
  std::vector<std::thread> workers;
  for (int i = 1; i < threads; ++i) {
    workers.emplace_back([&] { ok = ReadChunks(STDIN_FILENO, status.st_size, next) && ok; });
  }
  const bool mine = ReadChunks(STDIN_FILENO, status.st_size, next);
  for (std::thread& worker : workers) worker.join();
  if (!mine || !ok) {
    std::fprintf(stderr, "read_floor: read error: %s\n", std::strerror(errno));
    return 2;
  }
  return 0;
}
