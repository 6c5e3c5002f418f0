// Trivially correct models that the fast code is checked against: the
// transition table built by brute force, and the extraction run one byte at
// a time exactly as the design describes it (a row lookup per byte, held
// bytes released from the end tag itself). Slow on purpose; small inputs only.
#ifndef TAGCUT_TESTS_REFERENCE_H_
#define TAGCUT_TESTS_REFERENCE_H_

#include <string>
#include <string_view>
#include <vector>

#include "tagcut/automaton.h"

namespace tagcut::reference {

// For each state q and byte c: the longest prefix of `tag` that is a suffix
// of the tag's first q bytes followed by c; only entries of 1 or more.
inline Automaton BruteForceAutomaton(const std::string& tag) {
  Automaton table;
  for (std::size_t state = 0; state < tag.size(); ++state) {
    TransitionRow& row = table[static_cast<std::int32_t>(state)];
    for (int byte = 0; byte < 256; ++byte) {
      const std::string seen = tag.substr(0, state) + static_cast<char>(byte);
      for (std::size_t length = seen.size(); length > 0; --length) {
        if (seen.compare(seen.size() - length, length, tag, 0, length) == 0) {
          row[static_cast<unsigned char>(byte)] = static_cast<std::int32_t>(length);
          break;
        }
      }
    }
  }
  return table;
}

// One portion as the model finds it.
struct Portion {
  std::string bytes;
  bool cut_short = false;  // the input ended inside it
  bool operator==(const Portion&) const = default;
};

// The portions, one byte at a time, over tables from `build` (brute force
// by default; long tags need the fast construction, checked on its own).
inline std::vector<Portion> Portions(const std::string& start_tag, const std::string& end_tag,
                                     std::string_view input,
                                     Automaton (*build)(const std::string&) = BruteForceAutomaton) {
  Automaton start = build(start_tag);
  Automaton end = build(end_tag);
  std::vector<Portion> portions;
  std::size_t next = 0;
  for (;;) {
    // Search phase: nothing is written.
    std::int32_t s = 0;
    bool found = false;
    while (next < input.size()) {
      const auto c = static_cast<unsigned char>(input[next++]);
      const TransitionRow& row = start[s];  // inserts a row for the empty tag
      const auto entry = row.find(c);
      if (entry == row.end()) {
        s = 0;
        continue;
      }
      s = entry->second;
      if (s == static_cast<std::int32_t>(start.size())) {
        found = true;
        break;
      }
    }
    if (!found) return portions;
    // Copy phase: release what can no longer belong to the end tag.
    std::string& out = portions.emplace_back().bytes;
    std::int32_t e = 0;
    bool closed = false;
    while (next < input.size()) {
      const auto c = static_cast<unsigned char>(input[next++]);
      const TransitionRow& row = end[e];
      const auto entry = row.find(c);
      const std::int32_t u = entry == row.end() ? 0 : entry->second;
      if (u == 0) {
        out.append(end_tag, 0, static_cast<std::size_t>(e));
        out.push_back(static_cast<char>(c));
      } else if (u <= e) {
        out.append(end_tag, 0, static_cast<std::size_t>(e - u + 1));
      }
      if (u == static_cast<std::int32_t>(end.size())) {
        closed = true;
        break;
      }
      e = u;
    }
    if (!closed) {
      out.append(end_tag, 0, static_cast<std::size_t>(e));
      portions.back().cut_short = true;
      return portions;
    }
  }
}

// The byte stream: every portion followed by one line feed.
inline std::string Extract(const std::string& start_tag, const std::string& end_tag,
                           std::string_view input,
                           Automaton (*build)(const std::string&) = BruteForceAutomaton) {
  std::string out;
  for (const Portion& portion : Portions(start_tag, end_tag, input, build)) {
    out += portion.bytes;
    out.push_back('\n');
  }
  return out;
}

}  // namespace tagcut::reference

#endif  // TAGCUT_TESTS_REFERENCE_H_
