// Portions as units: the extraction handing over each portion itself, not
// the byte stream of portions each followed by a line feed, which is
// ambiguous when a portion holds line feeds of its own. For programs that
// embed tagcut (a crawler, an indexer, a test harness).
//
// Semantics are those of every other entry point (<tagcut/extract.h>): left
// to right, no overlap, tags never part of a portion, empty tags never occur,
// any byte value (NUL included) in tags and input. The same engine scans.
// A portion that the end of input cuts short is handed over too, marked so.
//
// Cost: one pass, linear in input plus tags. ForEachPortion keeps memory
// bounded however long a portion is: it hands pieces over as the input is
// read, and before a read that may wait. ExtractPortions holds every portion.
// Building the tags' tables costs about as much as scanning a few kilobytes:
// a caller with many small inputs compiles the pair once (PortionPattern),
// and a caller that takes portions in batches, block by block (a binding to
// another language, a batch writer), collects them with PortionCollector.
//
// Example:
//   ExtractPortions("<pre>", "</pre>", "<pre>a\nb</pre> <pre>c")
//   // == {"a\nb", "c"}: two portions, the second cut short
//
//   std::istringstream in("x[b]bold[/b]");
//   ForEachPortion("[b]", "[/b]", in, [](std::string_view piece, PortionEnd end) {
//     // ("bold", PortionEnd::kEndTag)
//   });
//
//   const PortionPattern links("href=\"", "\"");   // tables built once
//   for (const std::string& page : pages) Index(links.FindAll(page));
#ifndef TAGCUT_PORTIONS_H_
#define TAGCUT_PORTIONS_H_

#include <functional>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tagcut/export.h"
#include "tagcut/portion_end.h"

namespace tagcut {

// Streams each portion of `in`, in order, to on_piece(piece, end): a portion
// arrives as one or more pieces; every piece but the portion's last has
// end == kContinues and holds at least one byte; the last has kEndTag, or
// kEndOfInput when the input ended inside the portion (only the final
// portion can end so); it may be empty. No piece is longer than 64 KiB. A
// piece is valid only during the call. The input is handled as by AutomatonExtract(…,
// std::istream&, …): read to its end (eofbit set); a throwing input ends the input, the open
// portion is handed over, then `in` gets badbit and the exception goes on if
// `in.exceptions()` asks for it. An exception from on_piece stops the scan
// and goes on to the caller.
TAGCUT_EXPORT void ForEachPortion(
    std::string start_tag, std::string end_tag, std::istream& in,
    const std::function<void(std::string_view piece, PortionEnd end)>& on_piece);

// Every portion of `input`, in order, without the line feeds the byte-stream
// output adds; a final portion cut short by the end of `input` is the last.
TAGCUT_EXPORT std::vector<std::string> ExtractPortions(std::string_view start_tag,
                                                       std::string_view end_tag,
                                                       std::string_view input);

class ScanEngine;

// Both tags compiled once, for any number of inputs. Immutable: copies share
// the tables, and any number of threads may use one pattern at once.
// Constructing one throws std::bad_alloc where the tables cannot be had.
class TAGCUT_EXPORT PortionPattern {
 public:
  PortionPattern(std::string start_tag, std::string end_tag);

  // ExtractPortions with these tags.
  std::vector<std::string> FindAll(std::string_view input) const;

  const std::string& start_tag() const;
  const std::string& end_tag() const;

  // The compiled tags, shared: what a PortionCollector scans with. Opaque
  // outside the library.
  const std::shared_ptr<const ScanEngine>& engine() const { return engine_; }

 private:
  std::shared_ptr<const ScanEngine> engine_;
};

// One input's portions collected block by block into one buffer, for a
// caller that takes them in batches: Feed, read the collected entries, Clear,
// Feed again. Each entry is a whole portion (kPortions: the open portion's
// bytes stay held until it ends, so memory is the entries since the last
// Clear plus the longest portion), or a piece (kPieces: whatever the open
// portion gained in a Feed becomes a kContinues entry at its end, so memory
// is bounded by the entries since the last Clear, however long a portion).
// Entries end as ForEachPortion's pieces do. One collector is one stream:
// not for two threads at once; after an exception (std::bad_alloc from
// growing the buffer) only Reset or destruction is safe.
//
// Example:
//   PortionCollector collector(PortionPattern("<b>", "</b>"));
//   collector.Feed("x<b>1</b><b>2");
//   collector.Finish();  // entries: ("1", kEndTag), ("2", kEndOfInput)
class TAGCUT_EXPORT PortionCollector {
 public:
  enum class Unit { kPortions, kPieces };

  explicit PortionCollector(PortionPattern pattern, Unit unit = Unit::kPortions);
  ~PortionCollector();
  PortionCollector(PortionCollector&&) noexcept;
  PortionCollector& operator=(PortionCollector&&) noexcept;

  // Scans the next block of the input.
  void Feed(std::span<const unsigned char> block);
  void Feed(std::string_view block);

  // The input has ended: an open portion is collected (kEndOfInput, possibly
  // empty), and the collector is ready for a new input.
  void Finish();

  // Entries collected since the last Clear, in order; valid until the next
  // Feed, Finish, Clear or Reset.
  std::size_t size() const;
  std::string_view operator[](std::size_t entry) const;
  PortionEnd end(std::size_t entry) const;

  // Drops the collected entries, keeping the open portion's bytes.
  void Clear();

  // Drops everything, the open portion included: a new input from its start.
  void Reset();

  // True between a start tag and its end tag.
  bool in_portion() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tagcut

#endif  // TAGCUT_PORTIONS_H_
