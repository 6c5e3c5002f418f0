// Parallel extraction of a regular file: worker threads pread(2) chunks of
// the file and scan them at once, each from a state guessed by scanning the
// bytes just before its chunk; the calling thread takes the chunks in order,
// checks each guess against the true state (where the chunk before it ended),
// re-scans a chunk whose guess was wrong until the new run meets the guessed
// one at a checkpoint (same phase and state at the same offset: from there on
// the output is the same), and appends the outputs to the sink in order.
// The output is therefore byte for byte the one-thread output.
//
// Every resource it asks for may be refused: a thread, the chunk slots, a
// worker's or the writer's buffers. None of these is an error: the run goes
// on with the threads that did start, or stops at the first chunk not yet
// written and leaves the rest to the caller's one-thread loop. Threads that
// started are always stopped and joined, and nothing escapes a worker. Only
// what one thread would also meet (a read or write error) is reported.
//
// For the descriptor driver; knows nothing of tags beyond the ScanEngine.
// This file runs the threads, the ring and the handover; reading and
// scanning a chunk is chunk_scan.h, guessing and reconciling speculation.h.
// Memory: (threads + 1) chunk slots, each holding at most about a chunk of
// output, and a 64 KiB read piece and a 64 KiB output buffer per thread
// (the writer too). When re-scans keep costing, the parallel phase ends
// early and the caller goes on in one thread. The caller's one-thread loop
// must have its buffers before calling: whatever ends this phase, carrying
// on should need nothing new.
#ifndef TAGCUT_PARALLEL_EXTRACT_H_
#define TAGCUT_PARALLEL_EXTRACT_H_

#include <cstddef>
#include <functional>

#include "scan_engine.h"
#include "tagcut/extract.h"
#include "tagcut/output_sink.h"

namespace tagcut {

// What the threaded path asks for.
enum class Resource { kThread, kSlots, kWorkerMemory, kWriterMemory };

// Called before the threaded path takes a resource, with how many of that
// kind it asked for before; refuses it by throwing (std::system_error for a
// thread, std::bad_alloc for memory), as the system would. Tests refuse
// resources through it; the program passes none.
using ResourceCheck = std::function<void(Resource resource, std::size_t ordinal)>;

// Extracts from `input_fd` (a regular file) starting at its file offset, for
// as many whole chunks as the file held when the call began, if that is at
// least the options' threshold and more than one thread is allowed. On
// return the file offset is just past the bytes whose output was written and
// `scan` holds the state there, so a sequential reader can carry on. Returns
// 0, or the errno value of a failed read (the bytes before the failing chunk
// piece are scanned and written). A failed write shows in `sink` and stops
// the run.
int ExtractFileInParallel(const ScanEngine& engine, ScanState& scan, int input_fd, OutputSink& sink,
                          const ExtractOptions& options, const ResourceCheck& check = {});

}  // namespace tagcut

#endif  // TAGCUT_PARALLEL_EXTRACT_H_
