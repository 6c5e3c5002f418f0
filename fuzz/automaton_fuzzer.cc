// Fuzzes the linear-time table construction against the brute-force one:
// for every state and byte, the longest tag prefix that is a suffix. The
// searcher's compact rows, built on their own, must be the same table.

#include <cstdlib>
#include <string>

#include "../tests/reference.h"
#include "tag_search.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size > 24) return 0;  // brute force is cubic in the tag's length
  const std::string tag(reinterpret_cast<const char*>(data), size);
  const tagcut::Automaton table = tagcut::CreateAutomaton(tag);
  if (table != tagcut::reference::BruteForceAutomaton(tag)) std::abort();
  const tagcut::TagSearcher searcher(tag);
  for (const auto& [state, row] : table) {
    for (int byte = 0; byte < 256; ++byte) {
      const auto entry = row.find(static_cast<unsigned char>(byte));
      const auto expected = entry == row.end() ? 0u : static_cast<std::uint32_t>(entry->second);
      if (searcher.Step(static_cast<std::uint32_t>(state), static_cast<unsigned char>(byte)) != expected) {
        std::abort();
      }
    }
  }
  return 0;
}
