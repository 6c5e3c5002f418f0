// Tag automaton: turns one tag (any byte string) into the deterministic
// string-matching automaton that recognises it in a byte stream.
//
// State q means: the last q bytes read equal the tag's first q bytes, and no
// longer prefix of the tag ends at the current byte. State 0 is the start;
// the state equal to the table's row count means the whole tag was just read.
// The table has one row per state 0 .. n-1 (none for the empty tag), and a
// row holds entries only for bytes that lead to a state of 1 or more; a byte
// without an entry leads back to state 0.
//
// Cost: O(n) time and at most 2n entries for a tag of n bytes (a row copies
// the row of its longest border and overrides one entry), so even the longest
// tag a command line can carry (128 KiB) builds in milliseconds.
//
// Example:
//   Automaton table = CreateAutomaton("abab");
//   // table.size() == 4
//   // table[2] == {{'a', 3}}          ('a' after "ab" extends to "aba")
//   // table[3] == {{'a', 1}, {'b', 4}}
#ifndef TAGCUT_AUTOMATON_H_
#define TAGCUT_AUTOMATON_H_

#include <cstdint>
#include <map>
#include <string>

#include "tagcut/export.h"

namespace tagcut {

// Next state for each byte that leads to a state of 1 or more.
using TransitionRow = std::map<unsigned char, std::int32_t>;

// One row per state, keyed by state number in ascending order.
using Automaton = std::map<std::int32_t, TransitionRow>;

// Builds the transition table that recognises `tag`; the empty tag has no rows.
TAGCUT_EXPORT Automaton CreateAutomaton(std::string tag);

}  // namespace tagcut

#endif  // TAGCUT_AUTOMATON_H_
