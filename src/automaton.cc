#include "tagcut/automaton.h"

#include <cstddef>
#include <vector>

namespace tagcut {

Automaton CreateAutomaton(std::string tag) {
  Automaton table;
  const std::size_t length = tag.size();
  if (length == 0) return table;
  const auto byte_at = [&tag](std::size_t index) { return static_cast<unsigned char>(tag[index]); };

  // prefix_border[k]: length of the longest proper border (a prefix that is
  // also a suffix) of the tag's first k + 1 bytes.
  std::vector<std::size_t> prefix_border(length, 0);
  for (std::size_t k = 1; k < length; ++k) {
    std::size_t border = prefix_border[k - 1];
    while (border > 0 && byte_at(k) != byte_at(border)) {
      border = prefix_border[border - 1];
    }
    if (byte_at(k) == byte_at(border)) ++border;
    prefix_border[k] = border;
  }

  // From state q, any byte other than tag[q] leads where it would lead from
  // the longest proper border of the first q bytes: that is where a failed
  // extension falls back to. So row q is that border's (earlier) row with the
  // entry for tag[q] set to q + 1. The table keeps fewer than 2n entries in
  // all, because every entry that is not a forward step points back to a
  // distinct border.
  table.emplace_hint(table.end(), 0, TransitionRow{{byte_at(0), std::int32_t{1}}});
  for (std::size_t state = 1; state < length; ++state) {
    const auto fallback = static_cast<std::int32_t>(prefix_border[state - 1]);
    TransitionRow row = table.find(fallback)->second;
    row[byte_at(state)] = static_cast<std::int32_t>(state + 1);
    table.emplace_hint(table.end(), static_cast<std::int32_t>(state), std::move(row));
  }
  return table;
}

}  // namespace tagcut
