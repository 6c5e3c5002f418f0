// Fuzzes the linear-time table construction against the brute-force one:
// for every state and byte, the longest tag prefix that is a suffix.

#include <cstdlib>
#include <string>

#include "../tests/reference.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size > 24) return 0;  // brute force is cubic in the tag's length
  const std::string tag(reinterpret_cast<const char*>(data), size);
  if (tagcut::CreateAutomaton(tag) != tagcut::reference::BruteForceAutomaton(tag)) std::abort();
  return 0;
}
