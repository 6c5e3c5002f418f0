// Scan engine: both tags compiled once, and the block scan that runs from any
// scan state. The engine is immutable after construction, so any number of
// scans (one per thread, one per chunk of a file) may share it; everything a
// scan carries from one block to the next is its ScanState: a phase and one
// state number.
//
// For the extractor and the input adapters; not installed.
#ifndef TAGCUT_SCAN_ENGINE_H_
#define TAGCUT_SCAN_ENGINE_H_

#include <cstdint>
#include <span>
#include <string>

#include "tag_search.h"
#include "tagcut/output_sink.h"

namespace tagcut {

// Where a scan stands between two blocks.
struct ScanState {
  bool copying = false;     // between a start tag and its end tag
  std::uint32_t state = 0;  // partial match of the tag the phase looks for
  // What each tag's search has learnt of this stream; speed only.
  SearchHints start_hints;
  SearchHints end_hints;

  // Equal when the scan goes on identically from here.
  bool SameAs(const ScanState& other) const {
    return copying == other.copying && state == other.state;
  }
};

class PortionSink;

class ScanEngine {
 public:
  ScanEngine(std::string start_tag, std::string end_tag);

  // Scans `block` from `scan`, appending every released byte to `sink`, and
  // a line feed after each portion (a PortionSink: the portion's end).
  void Feed(std::span<const unsigned char> block, ScanState& scan, OutputSink& sink) const;
  void Feed(std::span<const unsigned char> block, ScanState& scan, PortionSink& sink) const;

  // The input has ended: writes an open portion's held bytes and line feed
  // (a PortionSink: its end), and resets `scan`.
  void Finish(ScanState& scan, OutputSink& sink) const;
  void Finish(ScanState& scan, PortionSink& sink) const;

  const TagSearcher& start() const { return start_; }
  const TagSearcher& end() const { return end_; }

 private:
  template <class Sink>
  void FeedInto(std::span<const unsigned char> block, ScanState& scan, Sink& sink) const;
  template <class Sink>
  void FinishInto(ScanState& scan, Sink& sink) const;

  // Releases the oldest bytes of "held end-tag prefix, then block[from, to)",
  // keeping the newest `keep` of them held.
  template <class Sink>
  void Release(std::uint32_t held, std::span<const unsigned char> block,
               std::size_t from, std::size_t to, std::size_t keep, Sink& sink) const;

  TagSearcher start_;
  TagSearcher end_;
  // Both tags are at most 32 bytes and AVX2 is there: both are found in
  // one pass of bit masks per 64 bytes before the general path runs.
  bool short_tags_ = false;
};

}  // namespace tagcut

#endif  // TAGCUT_SCAN_ENGINE_H_
