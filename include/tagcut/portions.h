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
//
// Example:
//   ExtractPortions("<pre>", "</pre>", "<pre>a\nb</pre> <pre>c")
//   // == {"a\nb", "c"}: two portions, the second cut short
//
//   std::istringstream in("x[b]bold[/b]");
//   ForEachPortion("[b]", "[/b]", in, [](std::string_view piece, PortionEnd end) {
//     // ("bold", PortionEnd::kEndTag)
//   });
#ifndef TAGCUT_PORTIONS_H_
#define TAGCUT_PORTIONS_H_

#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "tagcut/export.h"
#include "tagcut/output_sink.h"  // PortionEnd

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

}  // namespace tagcut

#endif  // TAGCUT_PORTIONS_H_
