// Scan engine: both tags compiled once, and the block scan that runs from any
// scan state. The engine is immutable after construction, so any number of
// scans (one per thread, one per chunk of a file) may share it; everything a
// scan carries from one block to the next is its ScanState: the output state
// (a phase and one partial match), which decides every byte released, and
// the search hints, which only decide the speed.
//
// The engine writes into any sink that meets ScanSink: the byte stream's
// OutputSink through Feed and Finish, any other type through FeedInto and
// FinishInto, whose definitions (scan_engine_feed.h) the file using that
// sink includes.
//
// For the extractor, the input adapters and the portion API; not installed.
#ifndef TAGCUT_SCAN_ENGINE_H_
#define TAGCUT_SCAN_ENGINE_H_

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "search_hints.h"
#include "tagcut/output_sink.h"

namespace tagcut {

// Where a scan stands between two blocks, as far as the output goes: two
// scans in equal output states release the same bytes from there on.
struct OutputState {
  bool copying = false;             // between a start tag and its end tag
  std::uint32_t partial_match = 0;  // of the tag the phase looks for
  bool operator==(const OutputState&) const = default;
};

struct ScanState {
  OutputState output;
  // What each tag's search has learnt of this stream; speed only.
  SearchHints start_hints;
  SearchHints end_hints;
};

// What the engine writes into. Append queues released bytes of the open
// portion; AppendLine queues the rest of a portion and ends it by its end
// tag; EndPortion ends the open portion as PortionEnd says (the sink decides
// what an end is: a line feed in the byte stream, a portion's last piece
// for the portion API). A portion's first call points at its first byte in
// the block (count 0 where it has none yet), or, for bytes held from the
// block before, into the end tag, whose first bytes they equal.
template <class Sink>
concept ScanSink = requires(Sink& sink, const unsigned char* bytes, std::size_t count,
                            PortionEnd end) {
  sink.Append(bytes, count);
  sink.AppendLine(bytes, count);
  sink.EndPortion(end);
};

struct Kernel;
struct ShortTags;
class ProbeCycle;
class TagSearcher;

class ScanEngine {
 public:
  // Builds the start tag's searcher, then the end tag's.
  ScanEngine(std::string start_tag, std::string end_tag);
  ScanEngine(ScanEngine&&) noexcept;
  ~ScanEngine();

  // Scans `block` from `scan`, appending every released byte to `sink`, and
  // ending each portion in it.
  void Feed(std::span<const unsigned char> block, ScanState& scan, OutputSink& sink) const;

  // The input has ended: writes an open portion's held bytes and ends it
  // (PortionEnd::kEndOfInput), and resets the output state.
  void Finish(ScanState& scan, OutputSink& sink) const;

  // The same into a sink of another type (defined in scan_engine_feed.h).
  template <ScanSink Sink>
  void FeedInto(std::span<const unsigned char> block, ScanState& scan, Sink& sink) const;
  template <ScanSink Sink>
  void FinishInto(ScanState& scan, Sink& sink) const;

  // The state after `bytes` for a scan that begins them at the start of a
  // search (`copying` false) or of a portion, with the search hints of
  // `hints`; what it releases is discarded. Once the bytes hold a tag, the
  // output state no longer depends on the phase they began in.
  ScanState StateAfter(std::span<const unsigned char> bytes, bool copying,
                       const ScanState& hints) const;

  const std::string& start_tag() const;
  const std::string& end_tag() const;

 private:
  // The kernel's one pass over both tags from the block's start, and the
  // portions cut at the bounds it finds, or written by compaction where the
  // sink lets the kernel write into its buffer; where the general path goes on.
  template <ScanSink Sink>
  std::size_t ScanShortTags(std::span<const unsigned char> block, ScanState& scan,
                            Sink& sink) const;

  // Portions written by the kernel's compaction into the sink's buffer from
  // `from`, until a long portion, sparse portions, the block's last window
  // or a buffer too small; where it stopped.
  template <ScanSink Sink>
  std::size_t WriteByCompaction(const ShortTags& tags, const ProbeCycle& start_cycle,
                                std::span<const unsigned char> block, std::size_t from,
                                bool& copying, Sink& sink) const;

  // Releases the oldest bytes of "held end-tag prefix, then block[from, to)",
  // keeping the newest `keep` of them held.
  template <ScanSink Sink>
  void Release(std::uint32_t held, std::span<const unsigned char> block, std::size_t from,
               std::size_t to, std::size_t keep, Sink& sink) const;

  const Kernel* kernel_;  // both searchers' and the one-pass scan's
  // Held apart so the adapters that include this header need not see how
  // a tag is searched.
  std::unique_ptr<const TagSearcher> start_;
  std::unique_ptr<const TagSearcher> end_;
  // Both tags are 1 to kVectorBytes long and their kernel has a one-pass
  // scan for two tags.
  bool one_pass_ = false;
  // The one-pass scan runs, its kernel compacts, and the tags suit compaction.
  bool compacts_ = false;
};

}  // namespace tagcut

#endif  // TAGCUT_SCAN_ENGINE_H_
