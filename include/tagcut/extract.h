// Tag-delimited extraction: copies every portion of a byte stream that lies
// between an occurrence of a start tag and the next occurrence of an end tag,
// each portion followed by one line feed.
//
// Semantics, for any input and any way it is split into blocks: occurrences
// are found left to right and never overlap; the tags themselves are never
// written; a start tag inside a portion is ordinary text, and an end tag met
// while searching is ignored; a portion that the end of input cuts short is
// written with its line feed; an empty tag never occurs (an empty end tag
// copies everything after the first start tag). Bytes are bytes: 0x00 and
// 0x80-0xFF are ordinary, and there is no notion of lines or encodings.
//
// Cost: one pass, linear in input plus tags, with memory fixed by the tags
// and the buffers: nothing grows with the input or with a portion.
//
// Each portion as a unit, rather than a line of output: <tagcut/portions.h>.
//
// Example:
//   std::istringstream in("a [b]bold[/b] c");
//   std::ostringstream out;
//   AutomatonExtract("[b]", "[/b]", in, out);  // out.str() == "bold\n"
#ifndef TAGCUT_EXTRACT_H_
#define TAGCUT_EXTRACT_H_

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "tagcut/export.h"
#include "tagcut/output_sink.h"

namespace tagcut {

// The extraction core, fed one block at a time by an input adapter. Its state
// (searching or copying, and the partial tag match) survives between blocks,
// so the output never depends on how the input was split; a tag split across
// two blocks is carried as a state number, never as buffered bytes.
class TAGCUT_EXPORT Extractor {
 public:
  Extractor(std::string start_tag, std::string end_tag);
  ~Extractor();
  Extractor(Extractor&&) noexcept;
  Extractor& operator=(Extractor&&) noexcept;

  // Scans the next block of input, appending every released byte to `sink`.
  void Feed(std::span<const unsigned char> block, OutputSink& sink);
  void Feed(std::string_view block, OutputSink& sink);

  // The input has ended: closes an open portion (its held bytes and line
  // feed) and starts over, ready for a new input.
  void Finish(OutputSink& sink);

  // True between a start tag and its end tag.
  bool in_portion() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Runs the extraction from `in` to `out`. Output is flushed before every read
// that may block (no buffered input left) and before returning, so a reader
// at the other end of a pipe never waits for bytes already released; input
// buffered by C stdio behind a synchronised std::cin counts as buffered, so
// std::cin in its default mode is read in blocks, not a byte per write(2).
// Stops at the end of `in` (setting its eofbit), or early if `out` fails.
// An input that fails (its stream buffer throws) ends the input exactly as
// its end would: the open portion is closed and written, `out` is flushed,
// then `in` gets badbit and, if `in.exceptions()` asks for badbit, the
// buffer's exception is rethrown. An exception `in.exceptions()` asks for on
// eofbit is likewise thrown only after the output is complete.
TAGCUT_EXPORT void AutomatonExtract(std::string start_tag, std::string end_tag, std::istream& in,
                                    std::ostream& out);

// What stopped an extraction over file descriptors: 0, or the errno value of
// the failed read and of the failed write.
struct ExtractResult {
  int read_error = 0;
  int write_error = 0;
  bool ok() const { return read_error == 0 && write_error == 0; }
};

// How the descriptor overload may spread a regular file over threads.
struct ExtractOptions {
  // Worker threads: 0 means one per processor this process may run on
  // (sched_getaffinity), at most 8; 1 never starts a thread.
  unsigned threads = 0;
  // Bytes a worker reads and scans at a time; 0 means 1 MiB.
  std::size_t chunk_size = 0;
  // Fewer bytes left in the file than this are scanned in one thread;
  // 0 means 16 MiB.
  std::size_t parallel_threshold = 0;
};

// Runs the extraction from file descriptor `input_fd` to `output_fd` with
// read(2) and write(2). From a pipe, socket or terminal: one read per
// refill, whatever has arrived is scanned, and everything released is
// written before a read that may wait. From a regular file, output leaves
// when its buffer fills and at the end, and a large file is read in chunks
// by worker threads (pread(2), each chunk's starting state guessed from the
// bytes before it and re-scanned from the true state where the guess was
// wrong): the output is byte for byte the one-thread output, in order, with
// memory bounded by (threads + 1) output slots of under 2 x chunk_size each
// plus 128 KiB a thread (6 MiB on two processors by default). Either way the file
// offset ends where reading to the end leaves it, and bytes appended while
// the file is read are read too. Threads and memory are a speed-up only: if
// the system refuses a thread or a buffer of the threaded path, it goes on
// with the threads it has, or in the calling thread from the first byte not
// yet written, with the same output and no error; every thread it started
// is joined before it returns. A read error ends the input (the open
// portion is closed as at end of input) and is reported after all output
// before it; the first write error stops the scan at once. EINTR is retried
// and EAGAIN waited on.
TAGCUT_EXPORT ExtractResult AutomatonExtract(std::string start_tag, std::string end_tag,
                                             int input_fd, int output_fd,
                                             const ExtractOptions& options = {});

}  // namespace tagcut

#endif  // TAGCUT_EXTRACT_H_
