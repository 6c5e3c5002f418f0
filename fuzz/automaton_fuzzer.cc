// Fuzzes the linear-time table construction against the brute-force one:
// for every state and byte, the longest tag prefix that is a suffix. The
// searcher's compact rows, compiled from that table, must be the same table,
// and on each kernel the searcher must find the tag where string search
// does, in a text made of the tag's own prefixes.

#include <cstdlib>
#include <string>
#include <vector>

#include "../tests/reference.h"
#include "../tests/test_support.h"
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
      if (searcher.Step(static_cast<std::uint32_t>(state), static_cast<unsigned char>(byte)) !=
          expected) {
        std::abort();
      }
    }
  }
  if (tag.empty()) return 0;
  std::string text;
  for (std::size_t i = 0; text.size() < 2048; ++i) text += tag.substr(0, 1 + i % tag.size());
  text += tag;
  const std::vector<std::size_t> expected = tagcut::testing::StringSearchEnds(tag, text);
  tagcut::testing::ForEachKernel([&] {
    const tagcut::TagSearcher searcher_on_kernel(tag);
    if (tagcut::testing::SearchedEnds(searcher_on_kernel, text, [&] { return text.size(); }) !=
        expected) {
      std::abort();
    }
  });
  return 0;
}
