// Scan engine: both tags compiled once, and the block scan that runs from any
// scan state. The engine is immutable after construction, so any number of
// scans (one per thread, one per chunk of a file) may share it; everything a
// scan carries from one block to the next is its ScanState: the output state
// (a phase and one partial match), which decides every byte released, and
// the search hints, which only decide the speed.
//
// For the extractor and the input adapters; not installed.
#ifndef TAGCUT_SCAN_ENGINE_H_
#define TAGCUT_SCAN_ENGINE_H_

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

class PortionSink;
class TagSearcher;

class ScanEngine {
 public:
  // Builds the start tag's searcher, then the end tag's.
  ScanEngine(std::string start_tag, std::string end_tag);
  ScanEngine(ScanEngine&&) noexcept;
  ~ScanEngine();

  // Scans `block` from `scan`, appending every released byte to `sink`, and
  // a line feed after each portion (a PortionSink: the portion's end).
  void Feed(std::span<const unsigned char> block, ScanState& scan, OutputSink& sink) const;
  void Feed(std::span<const unsigned char> block, ScanState& scan, PortionSink& sink) const;

  // The input has ended: writes an open portion's held bytes and line feed
  // (a PortionSink: its end), and resets the output state.
  void Finish(ScanState& scan, OutputSink& sink) const;
  void Finish(ScanState& scan, PortionSink& sink) const;

  // The state after `bytes` for a scan that begins them at the start of a
  // search (`copying` false) or of a portion, with the search hints of
  // `hints`; what it releases is discarded. Once the bytes hold a tag, the
  // output state no longer depends on the phase they began in.
  ScanState StateAfter(std::span<const unsigned char> bytes, bool copying,
                       const ScanState& hints) const;

  const std::string& start_tag() const;
  const std::string& end_tag() const;

 private:
  template <class Sink>
  void FeedInto(std::span<const unsigned char> block, ScanState& scan, Sink& sink) const;
  template <class Sink>
  void FinishInto(ScanState& scan, Sink& sink) const;

  // The kernel's one pass over both tags from the block's start, and the
  // portions cut at the bounds it finds; where the general path goes on.
  template <class Sink>
  std::size_t ScanShortTags(std::span<const unsigned char> block, ScanState& scan,
                            Sink& sink) const;

  // Releases the oldest bytes of "held end-tag prefix, then block[from, to)",
  // keeping the newest `keep` of them held.
  template <class Sink>
  void Release(std::uint32_t held, std::span<const unsigned char> block, std::size_t from,
               std::size_t to, std::size_t keep, Sink& sink) const;

  // Held apart so the adapters that include this header need not see how
  // a tag is searched.
  std::unique_ptr<const TagSearcher> start_;
  std::unique_ptr<const TagSearcher> end_;
  // Both tags are 1 to kVectorBytes long and their kernel has a one-pass
  // scan for two tags.
  bool one_pass_ = false;
};

}  // namespace tagcut

#endif  // TAGCUT_SCAN_ENGINE_H_
