#include "chunk_scan.h"

#include <new>

#include "system_calls.h"

namespace tagcut {

unsigned char* ChunkReader::Buffer() {
  if (buffer_.size() == 0) {
    buffer_ = PageAlignedBuffer(piece_size_, piece_size_);
    if (buffer_.size() == 0) throw std::bad_alloc();  // the chunk is then refused
  }
  return buffer_.data();
}

ssize_t ChunkReader::ReadPiece(off_t offset, std::size_t wanted) {
  return ReadAt(fd_, {Buffer(), wanted}, offset);
}

Checkpoint ChunkReader::ScanSubBlock(const ScanEngine& engine, std::span<const unsigned char> bytes,
                                     ScanState& run) {
  engine.Feed(bytes, run, sink_);
  sink_.Flush();
  return {run.output, sink_.destination().size()};
}

std::span<const unsigned char> ChunkReader::ReadBefore(off_t offset, std::size_t size,
                                                       off_t floor) {
  const auto reach = static_cast<std::size_t>(
      std::min<off_t>(static_cast<off_t>(std::min(size, piece_size_)), offset - floor));
  unsigned char* buffer = Buffer();
  const ssize_t got = ReadAt(fd_, {buffer, reach}, offset - static_cast<off_t>(reach));
  return {buffer, got > 0 ? static_cast<std::size_t>(got) : 0};
}

void ScanFromGuess(const ScanEngine& engine, ChunkReader& reader, ScannedChunk& chunk) {
  chunk.checkpoints.clear();
  ScanState run = chunk.guess;
  const ChunkRead read = reader.Scan(engine, chunk.offset, chunk.size, run, chunk.output,
                                     [&](std::size_t, const Checkpoint& checkpoint) {
                                       chunk.checkpoints.push_back(checkpoint);
                                       return true;
                                     });
  chunk.size = read.size;
  chunk.read_error = read.read_error;
  chunk.end_state = run;
}

}  // namespace tagcut
