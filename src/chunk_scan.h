// Chunk scan: one stretch of a regular file read with pread(2) and scanned
// from a given state into a byte vector, a sub-block at a time, with the
// scan's standing noted after each sub-block (a checkpoint). The threaded
// path uses it twice: a worker scans a chunk from a guessed state and keeps
// every checkpoint; the writer re-scans a wrongly guessed chunk from the
// true state until it stands where the guessed run stood.
//
// For the threaded file path; not installed. Knows nothing of threads.
// Memory: the reader's piece buffer (64 KiB) and the output vector; either
// may throw std::bad_alloc, which the caller turns into a refused chunk.
#ifndef TAGCUT_CHUNK_SCAN_H_
#define TAGCUT_CHUNK_SCAN_H_

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "tagcut/page_aligned_buffer.h"
#include "scan_engine.h"

namespace tagcut {

// A chunk is read in pieces small enough to be scanned while they are still
// in cache (64 KiB measured a little faster than 256 KiB with two threads
// copying at once), and records a checkpoint after each sub-block.
inline constexpr std::size_t kPieceSize = 64u << 10;
inline constexpr std::size_t kSubBlock = 64u << 10;

// Where a chunk's scan stood after one of its sub-blocks.
struct Checkpoint {
  OutputState state;
  std::size_t output_size = 0;  // bytes of output up to there
};

// What one read of a chunk came to.
struct ChunkRead {
  std::size_t size = 0;  // bytes read and scanned
  int read_error = 0;
};

// A chunk scanned from a guessed state: what the writer needs to check the
// guess and keep the output.
struct ScannedChunk {
  off_t offset = 0;
  std::size_t size = 0;  // bytes read
  int read_error = 0;
  ScanState guess;
  ScanState end_state;
  std::vector<unsigned char> output;
  std::vector<Checkpoint> checkpoints;
};

// Reads stretches of one file, each piece into its own buffer (taken at the
// first read, page-aligned), and collects their output through its own sink.
class ChunkReader {
 public:
  ChunkReader(int fd, std::size_t sub_block)
      : fd_(fd),
        sub_block_(sub_block),
        piece_size_(std::max(sub_block, kPieceSize / sub_block * sub_block)) {}
  ChunkReader(const ChunkReader&) = delete;
  ChunkReader& operator=(const ChunkReader&) = delete;

  // Scans up to `size` bytes at `offset` from `run` into `output`, one
  // sub-block at a time; after each, `at_checkpoint(index, checkpoint)`
  // returns whether to go on. Stops there, at a read error or at the end of
  // the file.
  template <class AtCheckpoint>
  ChunkRead Scan(const ScanEngine& engine, off_t offset, std::size_t size, ScanState& run,
                 std::vector<unsigned char>& output, AtCheckpoint&& at_checkpoint);

  // Up to `size` bytes just before `offset`, at most what lies after
  // `floor`, in one piece: the bytes read (none after a read error).
  std::span<const unsigned char> ReadBefore(off_t offset, std::size_t size, off_t floor);

 private:
  // One piece of `wanted` bytes (at most a piece) at `offset` into the
  // buffer: the count read (fewer where the file ends), or -errno.
  ssize_t ReadPiece(off_t offset, std::size_t wanted);
  // Scans one sub-block into the output and says where the scan stands.
  Checkpoint ScanSubBlock(const ScanEngine& engine, std::span<const unsigned char> bytes,
                          ScanState& run);

  // The piece buffer, allocated at the first read; may throw std::bad_alloc.
  unsigned char* Buffer();

  int fd_;
  std::size_t sub_block_;
  std::size_t piece_size_;  // whole sub-blocks, and at least the look-back
  PageAlignedBuffer buffer_;
  std::vector<unsigned char> no_output_;  // the sink's destination between scans
  ByteVectorSink sink_{no_output_, kSubBlock};
};

// Scans `chunk.size` bytes at `chunk.offset` from `chunk.guess`, noting every
// checkpoint; sets the bytes read, the read error and the end state.
void ScanFromGuess(const ScanEngine& engine, ChunkReader& reader, ScannedChunk& chunk);

template <class AtCheckpoint>
ChunkRead ChunkReader::Scan(const ScanEngine& engine, off_t offset, std::size_t size,
                            ScanState& run, std::vector<unsigned char>& output,
                            AtCheckpoint&& at_checkpoint) {
  ChunkRead read;
  sink_.Redirect(output);
  std::size_t index = 0;
  while (read.size < size) {
    const std::size_t wanted = std::min(piece_size_, size - read.size);
    const ssize_t got = ReadPiece(offset + static_cast<off_t>(read.size), wanted);
    if (got < 0) {
      read.read_error = static_cast<int>(-got);
      break;
    }
    const auto length = static_cast<std::size_t>(got);
    for (std::size_t at = 0; at < length; at += sub_block_) {
      const std::size_t part = std::min(sub_block_, length - at);
      const Checkpoint checkpoint = ScanSubBlock(engine, {buffer_.data() + at, part}, run);
      if (!at_checkpoint(index++, checkpoint)) {
        read.size += at + part;
        return read;
      }
    }
    read.size += length;
    if (length < wanted) break;  // the file ends here
  }
  return read;
}

}  // namespace tagcut

#endif  // TAGCUT_CHUNK_SCAN_H_
